#pragma once

#include <QString>

namespace kxcore {

// What feedback says about the system it runs on.
namespace SystemInfo {

// PRETTY_NAME of /etc/os-release (else /usr/lib/os-release), unquoted;
// "Linux" when neither file names one.
QString prettyName();
// Parses the text of an os-release file; empty when it has no PRETTY_NAME.
QString prettyNameFrom(const QString& osRelease);
// The running kernel's release (uname -r), e.g. "6.1.0-18-amd64".
QString kernelRelease();
// Both in one line: "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64".
QString osVersion();

} // namespace SystemInfo

} // namespace kxcore
