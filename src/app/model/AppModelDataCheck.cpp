// AppModel: the check of a vault's encrypted data for damage, with the
// password, nothing changed.
#include "app/model/AppModel.h"

#include "app/model/VaultWorkRunner.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <openssl/crypto.h>

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

// The password as UTF-8, wiped when the last holder lets go.
std::shared_ptr<std::string> secretCopy(const QString& password) {
    QByteArray utf8 = password.toUtf8();
    auto secret = std::shared_ptr<std::string>(
        new std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())), [](std::string* s) {
            if (!s->empty()) OPENSSL_cleanse(s->data(), s->size());
            delete s;
        });
    if (!utf8.isEmpty()) OPENSSL_cleanse(utf8.data(), static_cast<std::size_t>(utf8.size()));
    return secret;
}

} // namespace

void AppModel::setDataCheck(std::optional<DataCheckReport> report) {
    dataCheck_ = std::move(report);
    announce();
}

void AppModel::checkData(const VaultPtr& vault, const QString& password, Done done) {
    auto secret = secretCopy(password);
    auto result = std::make_shared<vaultkit::DiskImage::DataCheck>();
    work().run(
        vault, kx("work.checking"),
        [vault, secret, result] {
            *result = vault->checkData(*secret);
            logger().info(
                "data check of " + vault->name() + ": " +
                (result->whole() ? std::string("whole") : std::to_string(result->damagedCount) + " damaged"));
        },
        [this, vault, secret, result, done = std::move(done)](bool ok) mutable {
            secret.reset();
            if (ok) {
                QStringList damaged;
                for (const auto& p : result->damaged)
                    damaged << QString::fromStdString(p);
                DataCheckReport report(QString::fromStdString(vault->config().name), damaged,
                                       static_cast<int>(result->damagedCount));
                for (const auto& p : result->conflictCopies)
                    report.conflictCopies << QString::fromStdString(p);
                for (const auto& p : result->syncTemporaries)
                    report.syncTemporaries << QString::fromStdString(p);
                setDataCheck(std::move(report));
            }
            if (done) done(ok);
        });
}
