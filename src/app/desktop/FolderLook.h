#pragma once

#include "vaultkit/vault/LockedLook.h"

#include <QImage>
#include <QString>

#include <optional>

namespace vaultkit {
class Vault;
}

// The look of a vault's visible folder P (Vault::mountPoint) in the file
// managers. Locked: P is read-only (0555), shows a folder icon with a white
// padlock and holds one link that opens the application. Unlocked: the
// mounted volume looks like a plain folder.
//
// The icon reaches both families of file managers: a ".directory" file in P
// with "[Desktop Entry]" and "Icon=" the rendered PNG (KDE Dolphin), and the
// GIO attribute metadata::custom-icon of P, the PNG's file URI, kept by the
// GIO metadata service outside the folder (GNOME Files and others; set and
// unset with /usr/bin/gio; without it or without gvfs only the first works,
// which is logged).
//
// The drawing is done here; the rest (modes, files, gio, the link) by
// vaultkit::LockedLook, which the command-line tool shares.
//
// No stored state; nothing here throws. Failures are written to the log
// ("folder look (locked): ..." and "folder look (unlocked): ...") and never
// change the vault's state. Every operation is idempotent. Called on the GUI
// thread (lockedIcon needs a QGuiApplication for the desktop theme).
class FolderLook {
public:
    FolderLook() = delete;

    // The desktop entry the launcher link points to: the application's id.
    static constexpr const char* desktopFileName = vaultkit::LockedLook::desktopFileName;
    // Name of the rendered locked icon in the support folder.
    static constexpr const char* iconFileName = vaultkit::LockedLook::iconFileName;
    // What the Dolphin file manager reads in a folder.
    static constexpr const char* directoryFileName = vaultkit::LockedLook::directoryFileName;
    static constexpr const char* gioTool = vaultkit::LockedLook::gioTool;
    static constexpr const char* customIconAttribute = vaultkit::LockedLook::customIconAttribute;
    static constexpr int iconSize = 512;

    // Unlocked (the visible folder is a mount point): applyUnlocked; locked:
    // applyLocked.
    static void refresh(const vaultkit::Vault& vault);

    // The locked look, with P = vault.mountPoint():
    //  1. nothing to do when P is a mount point or does not exist (a removed
    //     folder is not made again);
    //  2. P is made writable (0755); when that fails, the failure is logged
    //     and P is left as it is;
    //  3. from here on P always ends at 0555;
    //  4. the icon: the .directory file and the GIO custom icon;
    //  5-6. only when running as the installed application (its desktop entry
    //     is found under $XDG_DATA_HOME/$XDG_DATA_DIRS and starts this very
    //     executable): links in P to a desktop entry or application bundle
    //     are removed, and one link named kx("launcher.name") to the desktop
    //     entry is made.
    static void applyLocked(const vaultkit::Vault& vault);

    // The unlocked look: when P is a mount point, the GIO custom icon of P is
    // removed (GIO keeps it by path, so the locked icon would show on the open
    // volume). Nothing is written into the volume; nothing else changes.
    static void applyUnlocked(const vaultkit::Vault& vault);

    // The locked icon, drawn now: iconSize x iconSize, the desktop theme's
    // "folder" icon (else the bundled folder) filling the image, a white
    // padlock centred horizontally 30 px below the middle, with a soft black
    // shadow (blur radius 12, alpha 0.35, no offset).
    static QImage lockedIcon();

    // The PNG of lockedIcon() in the support folder: drawn once per run and
    // written when the file is missing or differs, reused afterwards. Empty
    // (and logged) when it cannot be written.
    static QString lockedIconFile();

    // The support folder: set at start by the application; until then the
    // one the command-line tool uses too (SupportFolder::path).
    static void setSupportDirectory(const QString& dir);
    // The GIO tool run for the GNOME Files icon: gioTool unless set (tests
    // set a stand-in; empty restores gioTool).
    static void setGioProgram(const QString& program);
    static QString gioProgram();
    static QString supportDirectory();

    // The installed desktop entry of the running executable, or none when
    // running from elsewhere (a build tree): the first
    // "applications/app.hushcoffer.Hushcoffer.desktop" under $XDG_DATA_HOME
    // and then $XDG_DATA_DIRS, accepted only when its Exec= program is this
    // executable.
    static std::optional<QString> installedDesktopFile();

    // The Icon= line's value escaped as desktop entries require.
    static QString escapeDesktopValue(const QString& value);
};
