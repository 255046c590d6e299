#include "app/FolderLook.h"

#include "kxcore/AppPaths.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/Exec.h"
#include "vaultkit/Vault.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QSaveFile>
#include <QSvgRenderer>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* lockedPrefix = "folder look (locked): ";
constexpr const char* unlockedPrefix = "folder look (unlocked): ";
constexpr const char* bundleID = "app.hushcoffer.Hushcoffer";
constexpr double gioTimeLimitSeconds = 10;

// The padlock's place: 30 px below the vertically centred position.
constexpr int padlockDrop = 30;
// Its shadow: blur radius 12 (a Gaussian of sigma 6, made of three box blurs
// of radius 6), black at alpha 0.35, no offset.
constexpr int shadowBlurRadius = 12;
constexpr int shadowBoxRadius = 6;
constexpr double shadowAlpha = 0.35;

std::mutex supportMutex;
QString supportOverride;
QString gioOverride; // guarded by supportMutex too

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

std::string trimmed(const std::string& text) {
    constexpr std::string_view space = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// One horizontal or vertical pass of a box blur over the alpha channel of a
// premultiplied image whose colour is black (so alpha is all there is).
void boxBlurAlpha(QImage& image, int radius, bool horizontal) {
    const int w = image.width(), h = image.height();
    const int lines = horizontal ? h : w;
    const int length = horizontal ? w : h;
    std::vector<int> in(static_cast<std::size_t>(length));
    const int window = 2 * radius + 1;
    for (int line = 0; line < lines; ++line) {
        auto pixel = [&](int i) -> QRgb& {
            const int x = horizontal ? i : line, y = horizontal ? line : i;
            return reinterpret_cast<QRgb*>(image.scanLine(y))[x];
        };
        for (int i = 0; i < length; ++i)
            in[static_cast<std::size_t>(i)] = qAlpha(pixel(i));
        int sum = 0;
        for (int i = -radius; i <= radius; ++i)
            if (i >= 0 && i < length) sum += in[static_cast<std::size_t>(i)];
        for (int i = 0; i < length; ++i) {
            pixel(i) = qRgba(0, 0, 0, (sum + window / 2) / window);
            const int leaving = i - radius, entering = i + radius + 1;
            if (leaving >= 0) sum -= in[static_cast<std::size_t>(leaving)];
            if (entering < length) sum += in[static_cast<std::size_t>(entering)];
        }
    }
}

// The drop shadow of `shape` (an ARGB32 premultiplied image): its alpha in
// black, scaled by shadowAlpha and blurred; `margin` pixels larger on every
// side than the shape.
QImage shadowOf(const QImage& shape, int margin) {
    QImage shadow(shape.width() + 2 * margin, shape.height() + 2 * margin,
                  QImage::Format_ARGB32_Premultiplied);
    shadow.fill(Qt::transparent);
    {
        QPainter p(&shadow);
        p.drawImage(margin, margin, shape);
    }
    for (int y = 0; y < shadow.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(shadow.scanLine(y));
        for (int x = 0; x < shadow.width(); ++x)
            line[x] = qRgba(0, 0, 0, static_cast<int>(qAlpha(line[x]) * shadowAlpha + 0.5));
    }
    for (int pass = 0; pass < 3; ++pass) {
        boxBlurAlpha(shadow, shadowBoxRadius, true);
        boxBlurAlpha(shadow, shadowBoxRadius, false);
    }
    return shadow;
}

void drawFolder(QPainter& p, const QRect& area) {
    const QIcon theme = QIcon::fromTheme(QStringLiteral("folder"));
    if (!theme.isNull()) {
        const QPixmap pixmap = theme.pixmap(area.size());
        if (!pixmap.isNull()) {
            p.drawPixmap(area, pixmap);
            return;
        }
    }
    QSvgRenderer fallback(QStringLiteral(":/hcapp/folder.svg"));
    fallback.render(&p, area);
}

void drawPadlock(QPainter& p, const QRect& area) {
    QSvgRenderer padlock(QStringLiteral(":/hcapp/padlock.svg"));
    if (!padlock.isValid()) return; // no symbol: only the folder
    const QSize size = padlock.defaultSize();
    QImage shape(size, QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    {
        QPainter sp(&shape);
        sp.setRenderHint(QPainter::Antialiasing);
        padlock.render(&sp, QRectF(QPointF(0, 0), QSizeF(size)));
    }
    const int x = area.left() + (area.width() - size.width()) / 2;
    const int y = area.top() + (area.height() - size.height()) / 2 + padlockDrop;
    const int margin = 3 * shadowBlurRadius;
    p.save();
    p.drawImage(x - margin, y - margin, shadowOf(shape, margin));
    p.drawImage(x, y, shape);
    p.restore();
}

// The program of a desktop entry's Exec= value: its first word, unquoted,
// after an "env" and its VAR=value words.
QString execProgram(const QString& exec) {
    QStringList words;
    QString word;
    bool quoted = false, inWord = false;
    for (int i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                word += exec[++i];
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = inWord = true;
        } else if (c.isSpace()) {
            if (inWord) words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words << word;
    int i = 0;
    if (i < words.size() && QFileInfo(words[i]).fileName() == QLatin1String("env")) {
        ++i;
        while (i < words.size() && words[i].contains(QLatin1Char('=')))
            ++i;
    }
    return i < words.size() ? words[i] : QString();
}

// The Exec= value of the [Desktop Entry] group.
QString desktopExec(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    bool inEntry = false;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
        } else if (inEntry && line.startsWith(QLatin1String("Exec"))) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            if (eq > 0 && line.left(eq).trimmed() == QLatin1String("Exec")) return line.mid(eq + 1).trimmed();
        }
    }
    return {};
}

QString resolveProgram(const QString& program) {
    if (program.isEmpty()) return {};
    if (program.contains(QLatin1Char('/'))) return QFileInfo(program).canonicalFilePath();
    const QString path = qEnvironmentVariable("PATH", QStringLiteral("/usr/local/bin:/usr/bin:/bin"));
    for (const QString& dir : path.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QFileInfo candidate(dir + QLatin1Char('/') + program);
        if (candidate.isFile() && candidate.isExecutable()) return candidate.canonicalFilePath();
    }
    return {};
}

QString runningExecutable() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? QString() : QFileInfo(QString::fromStdString(self.string())).canonicalFilePath();
}

bool isGioMissing() {
    return !QFileInfo(FolderLook::gioProgram()).isExecutable();
}

// Runs gio with `args`; a failure is logged with `prefix`.
void runGio(const std::vector<std::string>& args, const char* prefix) {
    if (isGioMissing()) {
        kxcore::Log::shared().error(
            std::string(prefix) + FolderLook::gioProgram().toStdString() +
            " is missing (install gvfs and libglib2.0-bin for GNOME Files' folder icons)");
        return;
    }
    const auto result =
        vaultkit::Exec::runSync(FolderLook::gioProgram().toStdString(), args, std::nullopt, gioTimeLimitSeconds);
    if (result.status != 0)
        kxcore::Log::shared().error(std::string(prefix) + "gio " + args.at(0) + " " + args.at(1) + ": " +
                                    trimmed(result.stderrText));
}

void setLockedIcon(const fs::path& folder) {
    const QString icon = FolderLook::lockedIconFile();
    if (icon.isEmpty()) return; // logged

    // Dolphin: <folder>/.directory
    QSaveFile directory(QString::fromStdString((folder / FolderLook::directoryFileName).string()));
    const QByteArray text = "[Desktop Entry]\nIcon=" + FolderLook::escapeDesktopValue(icon).toUtf8() + "\n";
    if (!directory.open(QIODevice::WriteOnly) || directory.write(text) != text.size() || !directory.commit())
        kxcore::Log::shared().error(std::string(lockedPrefix) + directory.fileName().toStdString() + ": " +
                                    directory.errorString().toStdString());

    // GNOME Files and other GIO file managers: the custom-icon metadata.
    const QString uri = QUrl::fromLocalFile(icon).toString(QUrl::FullyEncoded);
    runGio({"set", "-t", "string", folder.string(), FolderLook::customIconAttribute, uri.toStdString()},
           lockedPrefix);
}

// True for a link whose destination is a desktop entry or an application
// bundle: what a launcher link of this or an earlier run looks like.
bool isLauncherLink(const fs::directory_entry& entry) {
    std::error_code ec;
    if (!entry.is_symlink(ec)) return false;
    const std::string target = fs::read_symlink(entry.path(), ec).string();
    return !ec && (target.ends_with(".desktop") || target.ends_with(".app"));
}

void placeLauncher(const fs::path& folder) {
    const QString name = kx("launcher.name");
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
        name == QLatin1String("..")) {
        kxcore::Log::shared().error(std::string(lockedPrefix) + "unusable launcher name \"" +
                                    name.toStdString() + "\"");
        return;
    }
    const auto desktopFile = FolderLook::installedDesktopFile();
    if (!desktopFile) return; // not the installed application: no link

    std::error_code ec;
    std::vector<fs::path> stale;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (isLauncherLink(*it)) stale.push_back(it->path());
    for (const auto& link : stale)
        fs::remove(link, ec);

    const fs::path link = folder / name.toStdString();
    fs::create_symlink(desktopFile->toStdString(), link, ec);
    if (ec) kxcore::Log::shared().error(std::string(lockedPrefix) + link.string() + ": " + ec.message());
}

} // namespace

void FolderLook::refresh(const vaultkit::Vault& vault) {
    if (vault.isUnlocked())
        applyUnlocked(vault);
    else
        applyLocked(vault);
}

void FolderLook::applyLocked(const vaultkit::Vault& vault) {
    const fs::path folder = vault.mountPoint();
    if (vault.isUnlocked()) return;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT)
            kxcore::Log::shared().error(std::string(lockedPrefix) + folder.string() + ": " +
                                        errnoText().toStdString());
        return; // a removed folder is left alone
    }
    if (!S_ISDIR(st.st_mode)) {
        // Never change the mode of a file or of what a link points to.
        kxcore::Log::shared().error(std::string(lockedPrefix) + folder.string() + " is not a folder");
        return;
    }
    if (::chmod(folder.c_str(), 0755) != 0) {
        kxcore::Log::shared().error(std::string(lockedPrefix) + folder.string() + ": " +
                                    errnoText().toStdString());
        return;
    }
    struct ReadOnlyAgain {
        const fs::path& folder;
        ~ReadOnlyAgain() { ::chmod(folder.c_str(), 0555); }
    } readOnlyAgain{folder};

    setLockedIcon(folder);
    placeLauncher(folder);
}

void FolderLook::applyUnlocked(const vaultkit::Vault& vault) {
    const fs::path folder = vault.mountPoint();
    if (!vault.isUnlocked()) return;
    runGio({"set", "-t", "unset", folder.string(), customIconAttribute}, unlockedPrefix);
}

QImage FolderLook::lockedIcon() {
    QImage image(iconSize, iconSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    const QRect area(0, 0, iconSize, iconSize);
    drawFolder(p, area);
    drawPadlock(p, area);
    p.end();
    return image;
}

QString FolderLook::lockedIconFile() {
    static std::mutex mutex;
    static QByteArray png; // drawn once per run
    std::lock_guard lock(mutex);

    const QString dir = supportDirectory();
    const QString file = dir + QLatin1Char('/') + QLatin1String(iconFileName);
    if (png.isEmpty()) {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        lockedIcon().save(&buffer, "PNG");
    } else if (QFileInfo::exists(file)) {
        return file;
    }

    QFile existing(file);
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == png) return file;
    existing.close();
    if (!kxcore::AppPaths::makeOwnerOnlyPath(dir)) {
        kxcore::Log::shared().error(std::string(lockedPrefix) + "cannot make " + dir.toStdString());
        return {};
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(png) != png.size() || !out.commit()) {
        kxcore::Log::shared().error(std::string(lockedPrefix) + file.toStdString() + ": " +
                                    out.errorString().toStdString());
        return {};
    }
    return file;
}

void FolderLook::setGioProgram(const QString& program) {
    std::lock_guard lock(supportMutex);
    gioOverride = program;
}

QString FolderLook::gioProgram() {
    std::lock_guard lock(supportMutex);
    return gioOverride.isEmpty() ? QString::fromLatin1(gioTool) : gioOverride;
}

void FolderLook::setSupportDirectory(const QString& dir) {
    std::lock_guard lock(supportMutex);
    supportOverride = dir;
}

QString FolderLook::supportDirectory() {
    {
        std::lock_guard lock(supportMutex);
        if (!supportOverride.isEmpty()) return supportOverride;
    }
    const QString env = qEnvironmentVariable("HC_SUPPORT_DIR");
    if (!env.isEmpty()) return env;
    return kxcore::AppPaths::dataHome() + QLatin1Char('/') + QLatin1String(bundleID);
}

std::optional<QString> FolderLook::installedDesktopFile() {
    QStringList dataDirs{kxcore::AppPaths::dataHome()};
    QString system = qEnvironmentVariable("XDG_DATA_DIRS");
    if (system.isEmpty()) system = QStringLiteral("/usr/local/share:/usr/share");
    for (const QString& dir : system.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        if (QDir::isAbsolutePath(dir)) dataDirs << dir;

    for (const QString& dir : dataDirs) {
        const QString file = dir + QStringLiteral("/applications/") + QLatin1String(desktopFileName);
        if (!QFileInfo(file).isFile()) continue;
        // The first entry found is the one the desktop starts: it must start
        // this executable, or this is not the installed application.
        const QString program = resolveProgram(execProgram(desktopExec(file)));
        const QString self = runningExecutable();
        if (!program.isEmpty() && program == self) return QFileInfo(file).absoluteFilePath();
        return std::nullopt;
    }
    return std::nullopt;
}

QString FolderLook::escapeDesktopValue(const QString& value) {
    QString out;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else if (c == QLatin1Char(' ') && i == 0)
            out += QLatin1String("\\s");
        else
            out += c;
    }
    return out;
}
