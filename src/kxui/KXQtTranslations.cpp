#include "kxui/KXQtTranslations.h"

#include "kxcore/Log.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

namespace KXQtTranslations {

namespace {
QPointer<QTranslator>& installed() {
    static QPointer<QTranslator> translator;
    return translator;
}
} // namespace

QString qtLocaleName(const std::string& code) {
    if (code == "zh-Hans") return QStringLiteral("zh_CN");
    if (code == "zh-Hant") return QStringLiteral("zh_TW");
    if (code == "pt") return QStringLiteral("pt_BR");
    return QString::fromStdString(code);
}

QTranslator* install(const std::string& code, const QString& folder) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return nullptr;
    if (installed()) {
        QCoreApplication::removeTranslator(installed());
        delete installed();
    }
    if (code.empty() || code == "en") return nullptr;
    const QString dir = folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : folder;
    auto* translator = new QTranslator(app);
    if (!translator->load(QStringLiteral("qtbase_") + qtLocaleName(code), dir)) {
        kxcore::Log::shared().info("no Qt translation for " + code + " in " + dir.toStdString() +
                                   ": Qt's own dialogs stay in English");
        delete translator;
        return nullptr;
    }
    QCoreApplication::installTranslator(translator);
    installed() = translator;
    return translator;
}

} // namespace KXQtTranslations
