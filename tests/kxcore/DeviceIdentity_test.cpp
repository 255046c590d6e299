#include "kxcore/AppPaths.h"
#include "kxcore/DeviceIdentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

using namespace kxcore;

namespace {

QString idInFile(const AppPaths& paths) {
    QFile f(paths.deviceFile());
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object().value(QLatin1String("id")).toString();
}

void write(const QString& file, const QByteArray& bytes) {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

TEST(DeviceIdentity, AValidFileKeepsItsIdAcrossCallsAndRuns) {
    QTemporaryDir dir;
    AppPaths paths(QStringLiteral("app.hushcoffer.Hushcoffer"), QStringLiteral("Hushcoffer"), dir.path());
    QString first = DeviceIdentity::anonymousID(paths);
    EXPECT_FALSE(QUuid(first).isNull()) << first.toStdString();
    EXPECT_EQ(first, first.toLower());
    EXPECT_EQ(idInFile(paths), first);
    EXPECT_EQ(DeviceIdentity::anonymousID(paths), first);
    // Another run (new AppPaths over the same folder) reads the same file.
    AppPaths again(QStringLiteral("app.hushcoffer.Hushcoffer"), QStringLiteral("Hushcoffer"), dir.path());
    EXPECT_EQ(DeviceIdentity::anonymousID(again), first);
    // An id written by another version of the program is kept as it is.
    write(paths.deviceFile(), R"({"id":"custom-id","other":1})");
    EXPECT_EQ(DeviceIdentity::anonymousID(paths), "custom-id");
}

TEST(DeviceIdentity, AMissingOrBrokenFileIsReplacedByANewKeptId) {
    QTemporaryDir dir;
    AppPaths paths(QStringLiteral("app.hushcoffer.Hushcoffer"), QStringLiteral("Hushcoffer"), dir.path());
    QString original = DeviceIdentity::anonymousID(paths);

    ASSERT_TRUE(QFile::remove(paths.deviceFile()));
    QString afterDelete = DeviceIdentity::anonymousID(paths);
    EXPECT_NE(afterDelete, original);
    EXPECT_EQ(idInFile(paths), afterDelete);

    QString previous = afterDelete;
    for (QByteArray broken : {QByteArray("not json"), QByteArray(R"({"id": 5})"), QByteArray(R"({"id": ""})"),
                              QByteArray("[]"), QByteArray(""), QByteArray(R"({"uuid": "x"})")}) {
        write(paths.deviceFile(), broken);
        QString id = DeviceIdentity::anonymousID(paths);
        EXPECT_NE(id, previous) << broken.toStdString();
        EXPECT_FALSE(QUuid(id).isNull()) << broken.toStdString();
        EXPECT_EQ(idInFile(paths), id) << broken.toStdString();
        EXPECT_EQ(DeviceIdentity::anonymousID(paths), id) << "kept after being re-made";
        previous = id;
    }
}

TEST(DeviceIdentity, AnIdThatCannotBeSavedStaysTheIdOfThisRun) {
    QTemporaryDir dir;
    AppPaths paths(QStringLiteral("app.hushcoffer.Hushcoffer"), QStringLiteral("Hushcoffer"), dir.path());
    // A folder where the file should be: it can be neither read nor replaced
    // (as root too).
    ASSERT_TRUE(QDir().mkpath(paths.deviceFile()));
    const QString first = DeviceIdentity::anonymousID(paths);
    EXPECT_FALSE(QUuid(first).isNull()) << first.toStdString();
    EXPECT_EQ(DeviceIdentity::anonymousID(paths), first) << "a new id on every call";
    EXPECT_TRUE(QFileInfo(paths.deviceFile()).isDir());
}

} // namespace
