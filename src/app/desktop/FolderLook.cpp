#include "app/desktop/FolderLook.h"

#include "kxcore/AppPaths.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/record/SupportFolder.h"
#include "vaultkit/vault/LockedLook.h"
#include "vaultkit/vault/Vault.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QSaveFile>
#include <QSvgRenderer>

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

std::string runningExecutable() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const fs::path real = fs::canonical(self, ec);
    return ec ? std::string() : real.string();
}

void logProblems(const char* prefix, const std::vector<std::string>& problems) {
    for (const auto& problem : problems)
        kxcore::Log::shared().error(std::string(prefix) + problem);
}

} // namespace

void FolderLook::refresh(const vaultkit::Vault& vault) {
    if (vault.isUnlocked())
        applyUnlocked(vault);
    else
        applyLocked(vault);
}

void FolderLook::applyLocked(const vaultkit::Vault& vault) {
    if (vault.isUnlocked()) return;
    vaultkit::LockedLook::Settings settings;
    settings.gioProgram = gioProgram().toStdString();
    settings.gioTimeLimit = gioTimeLimitSeconds;
    settings.launcherName = kx("launcher.name").toStdString();
    // The icon and the launcher only for a folder that is there: a removed
    // one is not made again, and nothing is drawn for it.
    struct stat st {};
    if (::lstat(vault.mountPoint().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        settings.iconFile = lockedIconFile().toStdString(); // empty (and logged) when it cannot be written
        if (const auto desktopFile = installedDesktopFile()) settings.desktopFile = desktopFile->toStdString();
    }
    logProblems(lockedPrefix, vaultkit::LockedLook::applyLocked(vault.mountPoint(), settings));
}

void FolderLook::applyUnlocked(const vaultkit::Vault& vault) {
    if (!vault.isUnlocked()) return;
    // Open outside its synced folder: the visible folder keeps the locked look.
    if (vault.openFolder() != vault.mountPoint()) return;
    logProblems(unlockedPrefix, vaultkit::LockedLook::applyUnlocked(vault.mountPoint(), gioProgram().toStdString(),
                                                                      gioTimeLimitSeconds));
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
    return QString::fromStdString(vaultkit::SupportFolder::path().string());
}

std::optional<QString> FolderLook::installedDesktopFile() {
    const std::string self = runningExecutable();
    if (self.empty()) return std::nullopt;
    const auto file = vaultkit::LockedLook::installedDesktopFile(self);
    if (!file) return std::nullopt;
    return QString::fromStdString(*file);
}

QString FolderLook::escapeDesktopValue(const QString& value) {
    return QString::fromStdString(vaultkit::LockedLook::escapeDesktopValue(value.toStdString()));
}
