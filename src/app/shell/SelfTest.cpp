#include "app/shell/SelfTest.h"

#include "vaultkit/vault/Vault.h"

#include <QApplication>
#include <QFile>
#include <QPointer>

#include <dirent.h>

namespace {

void writeLine(FILE* out, const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out);
    std::fflush(out);
}

const char* boolText(bool b) {
    return b ? "true" : "false";
}

} // namespace

QStringList SelfTest::listing(const QString& folder) {
    QStringList names;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..") continue;
        names << QFile::decodeName(name);
    }
    ::closedir(dir);
    return names;
}

QString SelfTest::bracketed(const QStringList& names) {
    QStringList quoted;
    for (const QString& name : names) {
        QString q = QStringLiteral("\"");
        for (const QChar c : name) {
            switch (c.unicode()) {
            case '\\':
                q += QStringLiteral("\\\\");
                break;
            case '"':
                q += QStringLiteral("\\\"");
                break;
            case '\n':
                q += QStringLiteral("\\n");
                break;
            case '\r':
                q += QStringLiteral("\\r");
                break;
            case '\t':
                q += QStringLiteral("\\t");
                break;
            default:
                if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                    q += QStringLiteral("\\u{%1}").arg(c.unicode(), 0, 16);
                else
                    q += c;
            }
        }
        q += QLatin1Char('"');
        quoted << q;
    }
    return QLatin1Char('[') + quoted.join(QStringLiteral(", ")) + QLatin1Char(']');
}

bool SelfTest::startIfRequested(AppModel* model, std::function<void(int)> exit, FILE* out) {
    if (!qEnvironmentVariableIsSet(environmentVariable)) return false;
    start(model, qEnvironmentVariable(environmentVariable), std::move(exit), out);
    return true;
}

void SelfTest::start(AppModel* model, const QString& password, std::function<void(int)> exit, FILE* out) {
    if (!exit) exit = [](int status) { QApplication::exit(status); };
    const AppModel::VaultPtr vault = model ? model->selected() : nullptr;
    if (!vault) return; // nothing to test: no output, keep running
    QPointer<AppModel> m = model;
    model->unlock(vault, password, [m, vault, exit, out](bool ok) {
        if (!m) return;
        const bool unlocked = ok && m->isUnlocked(vault);
        writeLine(out, QStringLiteral("selftest unlock=") + QLatin1String(boolText(unlocked)));
        m->lock(vault, false, [m, vault, exit, out, unlocked](bool) {
            if (!m) return;
            const QString mountPoint = QString::fromStdString(vault->mountPoint().string());
            const QStringList items = listing(mountPoint);
            const bool stillMounted = m->isUnlocked(vault);
            writeLine(out, QStringLiteral("selftest locked=") + QLatin1String(boolText(!stillMounted)) +
                               QStringLiteral(" items=") + bracketed(items));
            exit(!unlocked || stillMounted ? 1 : 0);
        });
    });
}
