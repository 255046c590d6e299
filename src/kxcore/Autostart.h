#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kxcore {

// Starting the application at login through an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/<application id>.desktop (by default under
// ~/.config). The entry itself is the setting: the toggle reads whether it
// is there and writes or removes it, so a change made by the desktop's own
// start-up settings shows in the application too.
//
// An entry that is present counts as on unless it is switched off the ways
// desktops do it (Hidden=true, X-GNOME-Autostart-enabled=false); switching
// on replaces such an entry with a fresh one.
class Autostart {
public:
    // `appID`: the desktop file id without ".desktop" (also the icon name);
    // `name`: the entry's Name; `program`: the absolute path of the program
    // to start, `arguments` its arguments (for example "--tray").
    Autostart(QString appID, QString name, QString program, QStringList arguments);

    // $XDG_CONFIG_HOME/autostart/<appID>.desktop, read from the environment
    // on every call.
    QString entryPath() const;

    bool isEnabled() const;

    // Writes the entry (atomically, making the folder when missing) or
    // removes it. On failure returns false, sets `error` to a one-line
    // description and leaves the previous state in place.
    bool setEnabled(bool enabled, QString* error = nullptr) const;

    // The text of the entry that switching on writes.
    QByteArray entryText() const;

    // The Exec= value for a program and its arguments: each word quoted
    // when it holds a space or a reserved character (inside the quotes ",
    // `, $ and \ are escaped with a backslash), "%" written "%%", and then
    // every backslash doubled, as the string value of a desktop entry needs.
    static QString execLine(const QString& program, const QStringList& arguments);

    // Whether an entry's text leaves autostart on: true unless its
    // [Desktop Entry] group holds Hidden=true or
    // X-GNOME-Autostart-enabled=false.
    static bool entryIsActive(const QByteArray& text);

private:
    QString appID_;
    QString name_;
    QString program_;
    QStringList arguments_;
};

} // namespace kxcore
