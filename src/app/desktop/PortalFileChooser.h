#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>

// The desktop's own file dialog through the XDG desktop portal
// (org.freedesktop.portal.FileChooser.OpenFile): the portal shows the
// dialog of the running desktop and answers with the chosen URIs on a
// request object (its Response signal).
class PortalFileChooser final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* service = "org.freedesktop.portal.Desktop";
    static constexpr const char* path = "/org/freedesktop/portal/desktop";
    static constexpr const char* interface = "org.freedesktop.portal.FileChooser";
    static constexpr const char* requestInterface = "org.freedesktop.portal.Request";

    explicit PortalFileChooser(QDBusConnection bus, QObject* parent = nullptr);

    // Whether the portal runs on the bus (asked of the bus daemon).
    static bool isAvailable(QDBusConnection bus);

    struct Request {
        QString parentWindow; // "x11:HEX", "wayland:HANDLE" (xdg-foreign) or empty
        QString title;
        QString acceptLabel;
        bool directories = false; // folders instead of files
        bool multiple = true;
    };
    using Answer = std::function<void(bool answered, QList<QUrl> chosen)>;
    // Asks the portal; `answer` runs once on this thread: answered with the
    // chosen local files (empty when cancelled), or not answered when the
    // portal failed (logged; the caller may use another dialog).
    void open(const Request& request, Answer answer);

    // The options of OpenFile for a request (tests compare them).
    static QVariantMap options(const Request& request, const QString& token);

private slots:
    void onResponse(uint response, const QVariantMap& results);

private:
    void finish(bool answered, QList<QUrl> chosen);

    QDBusConnection bus_;
    QString requestPath_;
    Answer answer_;
};
