#include "vaultkit/record/VaultConfig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

using namespace vaultkit;
using nlohmann::json;

namespace {

VaultConfig sampleConfig() {
    VaultConfig c;
    c.id = *Uuid::parse("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0FF");
    c.name = "Photos / 照片";
    c.createdAt = ConfigCoding::parseDate("2026-01-02T03:04:05Z").value();
    c.recoveryPublicKey = std::vector<std::uint8_t>(32, 0xFB); // Base64 with "+" and "/"
    c.recoveryBlobs = {SealedSecret{{1, 2, 3}, {4, 5, 6, 7}}, SealedSecret{{0xFF}, {0xFE, 0xFD}}};
    c.autoLock = VaultConfig::AutoLock{false, true, 15};
    return c;
}

std::string withTouchID(const VaultConfig& base) {
    VaultConfig c = base;
    c.touchID =
        VaultConfig::QuickUnlockConfig{{9, 8, 7}, std::vector<std::uint8_t>(65, 4), {SealedSecret{{1}, {2}}}};
    return ConfigCoding::encode(c);
}

} // namespace

TEST(VaultConfigCoding, EncodesSortedPrettyKeysAndRoundTrips) {
    const VaultConfig c = sampleConfig();
    const std::string text = ConfigCoding::encode(c);
    // Top-level keys in sorted order, nested keys sorted too, pretty printed.
    std::size_t last = 0;
    for (const char* key : {"\"autoLock\"", "\"idleMinutes\"", "\"onScreenLock\"", "\"onSleep\"",
                            "\"createdAt\"", "\"format\"", "\"id\"", "\"name\"", "\"recoveryBlobs\"",
                            "\"box\"", "\"ephemeralPublicKey\"", "\"recoveryPublicKey\""}) {
        auto pos = text.find(key, last);
        ASSERT_NE(pos, std::string::npos) << key << " in\n" << text;
        last = pos;
    }
    EXPECT_NE(text.find('\n'), std::string::npos);
    EXPECT_NE(text.find("\"2026-01-02T03:04:05Z\""), std::string::npos);
    EXPECT_NE(text.find("\"0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0FF\""), std::string::npos);
    EXPECT_NE(text.find("\"AQID\""), std::string::npos); // {1,2,3}
    EXPECT_NE(text.find("\"BAUGBw==\""), std::string::npos);
    EXPECT_EQ(text.find("touchID"), std::string::npos) << "an absent touchID writes no key";
    EXPECT_EQ(ConfigCoding::decode(text), c);

    const std::string t = withTouchID(c);
    auto decoded = ConfigCoding::decode(t);
    ASSERT_TRUE(decoded.touchID.has_value());
    EXPECT_EQ(decoded.touchID->handle, (std::vector<std::uint8_t>{9, 8, 7}));
    EXPECT_LT(t.find("\"blobs\""), t.find("\"handle\""));
    EXPECT_LT(t.find("\"handle\""), t.find("\"publicKey\""));
}

TEST(VaultConfigCoding, AcceptsAnyWhitespaceEscapedSlashesAndNullTouchID) {
    json j = json::parse(ConfigCoding::encode(sampleConfig()));
    std::string compact = j.dump();
    // Escape every slash the way other encoders do, and spread white space.
    std::string escaped;
    for (char ch : compact) {
        if (ch == '/')
            escaped += "\\/";
        else if (ch == ',')
            escaped += " ,\r\n\t";
        else
            escaped += ch;
    }
    EXPECT_EQ(ConfigCoding::decode(escaped), sampleConfig());
    j["touchID"] = nullptr;
    EXPECT_EQ(ConfigCoding::decode(j.dump()), sampleConfig());
    // Lower-case UUID text and unknown keys are read.
    j["id"] = "0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0ff";
    j["future"] = 1;
    EXPECT_EQ(ConfigCoding::decode(j.dump()), sampleConfig());
}

TEST(VaultConfigCoding, RejectsMissingKeysWrongTypesDatesAndBase64) {
    const json good = json::parse(withTouchID(sampleConfig()));
    struct Case {
        const char* what;
        std::function<void(json&)> damage;
    };
    const Case cases[] = {
        {"no autoLock", [](json& j) { j.erase("autoLock"); }},
        {"no createdAt", [](json& j) { j.erase("createdAt"); }},
        {"no format", [](json& j) { j.erase("format"); }},
        {"no id", [](json& j) { j.erase("id"); }},
        {"no name", [](json& j) { j.erase("name"); }},
        {"no recoveryBlobs", [](json& j) { j.erase("recoveryBlobs"); }},
        {"no recoveryPublicKey", [](json& j) { j.erase("recoveryPublicKey"); }},
        {"no autoLock.onSleep", [](json& j) { j["autoLock"].erase("onSleep"); }},
        {"no autoLock.idleMinutes", [](json& j) { j["autoLock"].erase("idleMinutes"); }},
        {"no touchID.handle", [](json& j) { j["touchID"].erase("handle"); }},
        {"no blob box", [](json& j) { j["recoveryBlobs"][0].erase("box"); }},
        {"format as string", [](json& j) { j["format"] = "1"; }},
        {"format as fraction", [](json& j) { j["format"] = 1.5; }},
        {"onSleep as number", [](json& j) { j["autoLock"]["onSleep"] = 1; }},
        {"idleMinutes as string", [](json& j) { j["autoLock"]["idleMinutes"] = "5"; }},
        {"idleMinutes too large", [](json& j) { j["autoLock"]["idleMinutes"] = 18446744073709551615ull; }},
        {"name as number", [](json& j) { j["name"] = 5; }},
        {"blobs as object", [](json& j) { j["recoveryBlobs"] = json::object(); }},
        {"blob as string", [](json& j) { j["recoveryBlobs"][0] = "AQID"; }},
        {"touchID as array", [](json& j) { j["touchID"] = json::array(); }},
        {"id not a UUID", [](json& j) { j["id"] = "{0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0FF}"; }},
        {"fractional seconds", [](json& j) { j["createdAt"] = "2026-01-02T03:04:05.250Z"; }},
        {"offset", [](json& j) { j["createdAt"] = "2026-01-02T04:04:05+01:00"; }},
        {"no zone", [](json& j) { j["createdAt"] = "2026-01-02T03:04:05"; }},
        {"date only", [](json& j) { j["createdAt"] = "2026-01-02"; }},
        {"impossible date", [](json& j) { j["createdAt"] = "2026-02-30T03:04:05Z"; }},
        {"hour 24", [](json& j) { j["createdAt"] = "2026-01-02T24:00:00Z"; }},
        {"space separator", [](json& j) { j["createdAt"] = "2026-01-02 03:04:05Z"; }},
        {"unpadded Base64", [](json& j) { j["recoveryBlobs"][0]["box"] = "BAUGBw"; }},
        {"URL-safe Base64", [](json& j) { j["recoveryPublicKey"] = "-_-_"; }},
        {"Base64 with space", [](json& j) { j["recoveryPublicKey"] = "AQ ID"; }},
        {"Base64 with line feed", [](json& j) { j["recoveryPublicKey"] = "AQID\n"; }},
        {"Base64 padding inside", [](json& j) { j["recoveryPublicKey"] = "AQ==AQID"; }},
        {"Base64 non-zero tail bits", [](json& j) { j["recoveryPublicKey"] = "AR=="; }},
        {"Base64 in touchID", [](json& j) { j["touchID"]["publicKey"] = "***"; }},
    };
    for (const auto& c : cases) {
        json j = good;
        c.damage(j);
        EXPECT_THROW(ConfigCoding::decode(j.dump()), ConfigCodingError) << c.what;
    }
    for (const char* text : {"", "[]", "null", "{", "{\"autoLock\":", "\xff"})
        EXPECT_THROW(ConfigCoding::decode(text), ConfigCodingError) << text;
}

TEST(VaultConfigCoding, DatesAndBase64Edges) {
    using namespace std::chrono;
    EXPECT_EQ(ConfigCoding::formatDate(sys_seconds{}), "1970-01-01T00:00:00Z");
    const auto leap = ConfigCoding::parseDate("2024-02-29T23:59:59Z");
    ASSERT_TRUE(leap);
    EXPECT_EQ(ConfigCoding::formatDate(*leap), "2024-02-29T23:59:59Z");
    EXPECT_FALSE(ConfigCoding::parseDate("2023-02-29T00:00:00Z"));
    EXPECT_EQ(ConfigCoding::formatDate(sys_days{year{1} / 1 / 1} + seconds{0}), "0001-01-01T00:00:00Z");

    for (std::size_t n = 0; n < 7; ++n) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i)
            bytes[i] = static_cast<std::uint8_t>(0xF0 + i);
        auto text = ConfigCoding::base64Encode(bytes);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(ConfigCoding::base64Decode(text), bytes) << text;
    }
}

TEST(VaultConfigCoding, RefusesToEncodeNamesThatAreNotUtf8) {
    VaultConfig c = sampleConfig();
    c.name = "bad\xC3";
    EXPECT_THROW(ConfigCoding::encode(c), ConfigCodingError);
}

TEST(Uuid, TextFormAndParsing) {
    auto u = Uuid::random();
    const std::string t = u.text();
    ASSERT_EQ(t.size(), 36u);
    EXPECT_EQ(t[14], '4');
    EXPECT_NE(std::string("89AB").find(t[19]), std::string::npos);
    for (char ch : t)
        EXPECT_TRUE(ch == '-' || (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'));
    EXPECT_EQ(Uuid::parse(t), u);
    EXPECT_NE(Uuid::random(), u);
    for (const char* bad : {"", "0F1E2D3C4B5A49788695A4B3C2D1E0FF", "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F",
                            "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0FG", "0F1E2D3C+4B5A-4978-8695-A4B3C2D1E0FF"})
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
}
