#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <optional>

class QSettings;

namespace kxcore {

// The user's settings store: one INI file, by default
// $XDG_CONFIG_HOME/hushcoffer/hushcoffer.ini (~/.config/hushcoffer/...).
//
// The INI file keeps no types: a boolean written here reads back from the
// file as the text "true" or "false", a number as its digits, and a list of
// one text as that text. The typed reads below undo this and apply the
// application's rules: a boolean key that is absent or holds anything but a
// boolean reads as its default.
//
// Each Settings object reads the file when it is made and writes changes at
// once; objects are cheap, make one where needed.
class Settings {
public:
    // The keys, exactly as stored.
    static constexpr const char* lockOnQuitKey = "hc.lockOnQuit";        // bool, default true
    static constexpr const char* settingsTabKey = "kx.settingsTab";      // int, default 0
    static constexpr const char* autoUpdateKey = "kx.autoUpdate";        // bool, default true
    static constexpr const char* telemetryKey = "kx.telemetry";          // bool, default true
    static constexpr const char* feedbackEmailKey = "kx.feedback.email"; // text, default empty
    static constexpr const char* languagesKey = "AppleLanguages";        // list of language codes

    Settings();                             // the standard file
    explicit Settings(const QString& file); // another file (tests)
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    static QString standardFile();
    QString file() const;

    // Typed reads of any key.
    bool boolValue(const QString& key, bool defaultValue) const;
    std::optional<int> intValue(const QString& key) const;
    std::optional<QString> stringValue(const QString& key) const;
    // A list of texts; a single text counts as a list of one (see above).
    std::optional<QStringList> stringListValue(const QString& key) const;
    bool contains(const QString& key) const;

    void setBool(const QString& key, bool value);
    void setInt(const QString& key, int value);
    void setString(const QString& key, const QString& value);
    void setStringList(const QString& key, const QStringList& value);
    void setRaw(const QString& key, const QVariant& value); // tests write odd values through this
    void remove(const QString& key);

    // The application's settings.
    bool lockOnQuit() const { return boolValue(lockOnQuitKey, true); }
    void setLockOnQuit(bool on) { setBool(lockOnQuitKey, on); }
    int settingsTab() const { return intValue(settingsTabKey).value_or(0); }
    void setSettingsTab(int tab) { setInt(settingsTabKey, tab); }
    bool autoUpdate() const { return boolValue(autoUpdateKey, true); }
    void setAutoUpdate(bool on) { setBool(autoUpdateKey, on); }
    bool telemetry() const { return boolValue(telemetryKey, true); }
    void setTelemetry(bool on) { setBool(telemetryKey, on); }
    QString feedbackEmail() const { return stringValue(feedbackEmailKey).value_or(QString()); }
    void setFeedbackEmail(const QString& email) { setString(feedbackEmailKey, email); }

private:
    void written();
    std::unique_ptr<QSettings> settings_;
};

} // namespace kxcore
