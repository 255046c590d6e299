#include "kxcore/KXLinks.h"
#include "kxcore/ProductInfo.h"
#include "kxcore/UpdateChecker.h"
#include "kxcore/WebService.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace kxcore;
using Kind = ProductInfo::LoadError::Kind;

namespace {

const QString sourceBundle = QStringLiteral(HC_SOURCE_DIR "/resources/Hushcoffer_Hushcoffer.bundle");

QJsonObject shippedJson() {
    QFile f(sourceBundle + "/product.json");
    f.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(f.readAll()).object();
}

Kind failureOf(const QByteArray& json) {
    try {
        ProductInfo::decode(json);
    } catch (const ProductInfo::LoadError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "decoded: " << json.toStdString();
    return Kind::missing;
}

TEST(ProductInfo, TheShippedDescriptionLoadsBesideTheProgramAndMatchesTheBuild) {
    unsetenv("HC_RESOURCES_DIR");
    ProductInfo p = ProductInfo::loadShipped();
    EXPECT_EQ(p, ProductInfo::load(sourceBundle));
    EXPECT_EQ(p.bundleID, "app.hushcoffer.Hushcoffer");
    EXPECT_EQ(p.displayName, "Hushcoffer");
    EXPECT_EQ(p.version, QStringLiteral(HC_VERSION));
    EXPECT_FALSE(UpdateChecker::isNewer(p.version, p.version));
    EXPECT_TRUE(UpdateChecker::isNewer(p.version + ".1", p.version)) << "the version is dotted decimal";
    EXPECT_TRUE(p.homepage.scheme() == "https");
    EXPECT_TRUE(p.supportEmail.contains('@'));
    // The shipped build names no web service: nothing leaves the computer
    // unless a packager configures one.
    unsetenv(WebService::environmentVariable);
    EXPECT_FALSE(WebService::isAvailable(p));
}

TEST(ProductInfo, EveryFieldButNeedsIsRequiredWithItsType) {
    QJsonObject good = shippedJson();
    ASSERT_FALSE(good.isEmpty());
    EXPECT_NO_THROW(ProductInfo::decode(QJsonDocument(good).toJson()));
    for (const QString& key : good.keys()) {
        if (key == "needs" || key == "website" || key == "service") {
            QJsonObject without = good;
            without.remove(key);
            EXPECT_NO_THROW(ProductInfo::decode(QJsonDocument(without).toJson())) << key.toStdString();
            continue;
        }
        QJsonObject without = good;
        without.remove(key);
        EXPECT_EQ(failureOf(QJsonDocument(without).toJson()), Kind::invalid) << key.toStdString();
        QJsonObject wrongType = good;
        wrongType[key] = key == "needsAdmin" ? QJsonValue("no") : QJsonValue(7);
        EXPECT_EQ(failureOf(QJsonDocument(wrongType).toJson()), Kind::invalid) << key.toStdString();
    }
    QJsonObject badNeeds = good;
    badNeeds["needs"] = QJsonArray{"a", 1};
    EXPECT_EQ(failureOf(QJsonDocument(badNeeds).toJson()), Kind::invalid);
    QJsonObject badHome = good;
    badHome["homepage"] = "not a web address";
    EXPECT_EQ(failureOf(QJsonDocument(badHome).toJson()), Kind::invalid);
    EXPECT_EQ(failureOf("{"), Kind::invalid);
    EXPECT_EQ(failureOf("[]"), Kind::invalid);

    QJsonObject noWebsite = good;
    noWebsite.remove("website");
    noWebsite["homepage"] = "https://example.org/products/hc/?x=1";
    EXPECT_EQ(ProductInfo::decode(QJsonDocument(noWebsite).toJson()).website, QUrl("https://example.org"));
}

TEST(ProductInfo, AMissingFileIsMissing) {
    QTemporaryDir dir;
    try {
        ProductInfo::load(dir.path());
        FAIL() << "loaded";
    } catch (const ProductInfo::LoadError& e) {
        EXPECT_EQ(e.kind(), Kind::missing);
    }
    setenv("HC_RESOURCES_DIR", dir.path().toUtf8().constData(), 1);
    try {
        ProductInfo::loadShipped();
        FAIL() << "loaded";
    } catch (const ProductInfo::LoadError& e) {
        EXPECT_EQ(e.kind(), Kind::missing);
        EXPECT_STREQ(e.what(), "unable to find bundle named Hushcoffer_Hushcoffer");
    }
    unsetenv("HC_RESOURCES_DIR");
}

TEST(WebService, OnlyHttpsOrLoopbackHttpBasesAreUsed) {
    struct Case {
        const char* base;
        bool usable;
    };
    for (Case c :
         {Case{"https://api.example.org", true}, Case{"https://api.example.org/v1/", true},
          Case{"http://127.0.0.1:8080", true}, Case{"http://localhost:1", true},
          Case{"http://[::1]:80", true}, Case{"http://127.0.0.2", true}, Case{"http://example.org", false},
          Case{"http://10.0.0.1", false}, Case{"ftp://127.0.0.1", false}, Case{"https://", false},
          Case{"https://user:pw@example.org", false}, Case{"https://example.org/?q=1", false},
          Case{"file:///tmp", false}, Case{"", false}}) {
        EXPECT_EQ(WebService::isUsableBase(QUrl(QString::fromUtf8(c.base), QUrl::StrictMode)), c.usable)
            << c.base;
    }
}

TEST(WebService, TheEnvironmentOverridesTheDescriptionAndPathsAreJoined) {
    ProductInfo p;
    p.service = QStringLiteral("https://svc.example.org/base/");
    unsetenv(WebService::environmentVariable);
    EXPECT_EQ(WebService::endpoint(p, "/api/feedback"), QUrl("https://svc.example.org/base/api/feedback"));
    EXPECT_EQ(UpdateChecker::productsBase(p), QUrl("https://svc.example.org/base/api/products"));
    setenv(WebService::environmentVariable, "http://127.0.0.1:9", 1);
    EXPECT_EQ(WebService::endpoint(p, "/api/app_logs"), QUrl("http://127.0.0.1:9/api/app_logs"));
    setenv(WebService::environmentVariable, "", 1); // set but empty: no service
    EXPECT_TRUE(WebService::endpoint(p, "/api/app_logs").isEmpty());
    setenv(WebService::environmentVariable, "http://example.org", 1); // plain http off this computer
    EXPECT_TRUE(WebService::endpoint(p, "/api/app_logs").isEmpty());
    unsetenv(WebService::environmentVariable);
    p.service.clear();
    EXPECT_TRUE(WebService::endpoint(p, "/api/feedback").isEmpty());
}

TEST(KXLinks, CampaignLinksCarrySourceAndCampaignInOrder) {
    ProductInfo p;
    p.id = QStringLiteral("hushcoffer");
    p.homepage = QUrl("https://hushcoffer.example/app/?lang=de");
    p.website = QUrl("https://maker.example");
    QUrl home = KXLinks::homepage(p, "about_name");
    EXPECT_EQ(home.toString(),
              "https://hushcoffer.example/app/?lang=de&utm_source=hushcoffer&utm_campaign=about_name");
    QUrl privacy = KXLinks::page(p, KXLinks::privacyPage, "settings_privacy");
    EXPECT_EQ(privacy.toString(),
              "https://maker.example/privacy.html?utm_source=hushcoffer&utm_campaign=settings_privacy");
    EXPECT_EQ(KXLinks::page(p, KXLinks::termsPage, "about").path(), "/terms.html");
    // Texts that need it are percent-encoded.
    p.id = QStringLiteral("a&b");
    QUrlQuery q(KXLinks::homepage(p, "x y"));
    EXPECT_EQ(q.queryItemValue("utm_source", QUrl::FullyDecoded), "a&b");
    EXPECT_EQ(q.queryItemValue("utm_campaign", QUrl::FullyDecoded), "x y");
}

} // namespace
