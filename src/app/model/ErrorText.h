#pragma once

#include <QString>

#include <exception>
#include <string>

namespace vaultkit {
class KeyringError;
}

// The texts of errors. For a banner: a VaultError becomes kx of its key with
// its arguments, any other error its own description.
QString describe(const std::exception& error);
QString describe(const std::exception_ptr& error);
// The error's own English text, for the log ("unknown error" for anything
// that is not a std::exception).
std::string detailOf(const std::exception_ptr& error);
// The banner text of a keyring failure: why the keyring could not be used.
QString describeKeyring(const vaultkit::KeyringError& error);
