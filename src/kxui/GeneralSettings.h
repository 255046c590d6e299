#pragma once

#include "kxcore/AppPaths.h"
#include "kxcore/Autostart.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace kxui {

// The settings' General tab: automatic update checks, starting at login in
// the tray (an XDG autostart entry, kxcore::Autostart), the interface language
// (the desktop's, or one of the seventeen), the restart hint with "Restart
// Now", and the ways to the data and log folders.
class GeneralSettings : public QWidget {
    Q_OBJECT
public:
    explicit GeneralSettings(kxcore::AppPaths paths, QWidget* parent = nullptr);

    // Starting at login: the autostart entry that starts this program in the
    // tray (--tray). The application offers it from other places too.
    static kxcore::Autostart autostart();

    // The selected language code; empty for the desktop's language.
    QString language() const;
    // Selects a language as the user would (empty: the desktop's).
    void chooseLanguage(const QString& code);
    bool needsRestart() const;

    // Whether the language was changed in this run of the program (the
    // restart hint then stays until the restart).
    static bool languageChangedThisRun();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void load();

    kxcore::AppPaths paths_;
    QCheckBox* autoUpdate_;
    QCheckBox* launchAtLogin_;
    QComboBox* language_;
    QWidget* restartRow_;
    bool loading_ = false;
};

} // namespace kxui
