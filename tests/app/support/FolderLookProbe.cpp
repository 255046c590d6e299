#include "support/FolderLookProbe.h"

#include "kxcore/Log.h"
#include "vaultkit/process/Exec.h"

#include <QFile>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace folderlookprobe {

std::optional<QString> directoryIcon(const QString& folder) {
    QFile file(folder + QStringLiteral("/.directory"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inEntry = line == QLatin1String("[Desktop Entry]");
        else if (inEntry && line.startsWith(QLatin1String("Icon=")))
            return line.mid(5);
    }
    return std::nullopt;
}

std::optional<QString> gioCustomIcon(const QString& folder) {
    const auto r = vaultkit::Exec::runSync(
        "/usr/bin/gio", {"info", "-a", "metadata::custom-icon", folder.toStdString()}, std::nullopt, 20);
    if (r.status != 0) throw std::runtime_error("gio info failed: " + r.stderrText);
    const QString out = QString::fromStdString(r.stdoutText());
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        const QString t = line.trimmed();
        if (t.startsWith(QLatin1String("metadata::custom-icon:")))
            return t.mid(static_cast<qsizetype>(std::strlen("metadata::custom-icon:"))).trimmed();
    }
    return std::nullopt;
}

int modeOf(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

std::vector<std::string> launcherLinks(const QString& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(folder.toStdString(), ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_symlink()) continue;
        const std::string target = fs::read_symlink(it->path()).string();
        if (target.ends_with(".desktop") || target.ends_with(".app"))
            out.push_back(it->path().filename().string() + " -> " + target);
    }
    std::sort(out.begin(), out.end());
    return out;
}

LogCapture::LogCapture() {
    kxcore::Log::shared().setSystemSink([this](kxcore::Log::Level level, const std::string& message) {
        if (level != kxcore::Log::Level::error) return;
        std::lock_guard lock(mutex_);
        errors_.push_back(message);
    });
}

LogCapture::~LogCapture() {
    kxcore::Log::shared().setSystemSink({});
}

std::vector<std::string> LogCapture::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

} // namespace folderlookprobe
