#include "vaultkit/record/VaultConfig.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <limits>

namespace vaultkit {

using nlohmann::json;

namespace ConfigCoding {

namespace {

bool isBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// --- decoding helpers: each throws ConfigCodingError naming the key ---

[[noreturn]] void fail(const std::string& what) {
    throw ConfigCodingError(what);
}

const json& member(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) fail(std::string("missing key ") + key);
    return *it;
}

const json& objectAt(const json& object, const char* key) {
    const json& v = member(object, key);
    if (!v.is_object()) fail(std::string("not an object: ") + key);
    return v;
}

std::string stringAt(const json& object, const char* key) {
    const json& v = member(object, key);
    if (!v.is_string()) fail(std::string("not a string: ") + key);
    return v.get<std::string>();
}

bool boolAt(const json& object, const char* key) {
    const json& v = member(object, key);
    if (!v.is_boolean()) fail(std::string("not a boolean: ") + key);
    return v.get<bool>();
}

std::int64_t intAt(const json& object, const char* key) {
    const json& v = member(object, key);
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            fail(std::string("integer out of range: ") + key);
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    fail(std::string("not an integer: ") + key);
}

std::vector<std::uint8_t> bytesAt(const json& object, const char* key) {
    auto decoded = base64Decode(stringAt(object, key));
    if (!decoded) fail(std::string("bad Base64: ") + key);
    return std::move(*decoded);
}

SealedSecret sealedFrom(const json& v) {
    if (!v.is_object()) fail("sealed secret is not an object");
    return SealedSecret{bytesAt(v, "ephemeralPublicKey"), bytesAt(v, "box")};
}

std::vector<SealedSecret> sealedListAt(const json& object, const char* key) {
    const json& v = member(object, key);
    if (!v.is_array()) fail(std::string("not an array: ") + key);
    std::vector<SealedSecret> out;
    out.reserve(v.size());
    for (const json& item : v)
        out.push_back(sealedFrom(item));
    return out;
}

// --- encoding helpers ---

json sealedJson(const SealedSecret& s) {
    json o = json::object();
    o["box"] = base64Encode(s.box);
    o["ephemeralPublicKey"] = base64Encode(s.ephemeralPublicKey);
    return o;
}

json sealedListJson(const std::vector<SealedSecret>& list) {
    json a = json::array();
    for (const auto& s : list)
        a.push_back(sealedJson(s));
    return a;
}

} // namespace

std::string base64Encode(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) return {};
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.empty()) return std::vector<std::uint8_t>{};
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (text.back() == '=') ++padding;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
    if (padding == 1 && text.back() != '=') return std::nullopt;
    for (std::size_t i = 0; i < text.size() - padding; ++i)
        if (!isBase64Char(text[i])) return std::nullopt;
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) != out.size()) return std::nullopt;
    out.resize(out.size() - padding);
    // Reject non-zero bits in the last character's unused part ("QR==").
    if (base64Encode(out) != text) return std::nullopt;
    return out;
}

std::string formatDate(VaultConfig::Date date) {
    using namespace std::chrono;
    const auto day = floor<days>(date);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> tod{date - day};
    const int y = static_cast<int>(ymd.year());
    if (y < 0 || y > 9999) throw ConfigCodingError("date outside the years 0000-9999");
    auto two = [](long v) {
        return std::string{static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
    };
    std::string year = std::to_string(y);
    year.insert(0, 4 - year.size(), '0');
    return year + "-" + two(static_cast<unsigned>(ymd.month())) + "-" +
           two(static_cast<unsigned>(ymd.day())) + "T" + two(tod.hours().count()) + ":" +
           two(tod.minutes().count()) + ":" + two(static_cast<long>(tod.seconds().count())) + "Z";
}

std::optional<VaultConfig::Date> parseDate(std::string_view t) {
    using namespace std::chrono;
    // Exactly YYYY-MM-DDTHH:MM:SSZ.
    static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (t.size() != shape.size()) return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd') {
            if (t[i] < '0' || t[i] > '9') return std::nullopt;
        } else if (t[i] != shape[i]) {
            return std::nullopt;
        }
    }
    auto num = [&](std::size_t pos, std::size_t len) {
        int v = 0;
        for (std::size_t i = pos; i < pos + len; ++i)
            v = v * 10 + (t[i] - '0');
        return v;
    };
    const int y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), s = num(17, 2);
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
    return sys_days{ymd} + hours{h} + minutes{mi} + seconds{s};
}

std::string encode(const VaultConfig& c) {
    json autoLock = json::object();
    autoLock["idleMinutes"] = c.autoLock.idleMinutes;
    autoLock["onScreenLock"] = c.autoLock.onScreenLock;
    autoLock["onSleep"] = c.autoLock.onSleep;

    json root = json::object(); // std::map underneath: keys come out sorted
    root["autoLock"] = std::move(autoLock);
    root["createdAt"] = formatDate(c.createdAt);
    root["format"] = c.format;
    root["id"] = c.id.text();
    root["name"] = c.name;
    root["recoveryBlobs"] = sealedListJson(c.recoveryBlobs);
    root["recoveryPublicKey"] = base64Encode(c.recoveryPublicKey);
    if (c.touchID) {
        json t = json::object();
        t["blobs"] = sealedListJson(c.touchID->blobs);
        t["handle"] = base64Encode(c.touchID->handle);
        t["publicKey"] = base64Encode(c.touchID->publicKey);
        root["touchID"] = std::move(t);
    }
    try {
        return root.dump(2, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception& e) {
        throw ConfigCodingError(std::string("cannot encode the record: ") + e.what());
    }
}

VaultConfig decode(std::string_view text) {
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        throw ConfigCodingError(std::string("not JSON: ") + e.what());
    }
    if (!root.is_object()) fail("the record is not a JSON object");

    VaultConfig c;
    const json& autoLock = objectAt(root, "autoLock");
    c.autoLock.idleMinutes = intAt(autoLock, "idleMinutes");
    c.autoLock.onScreenLock = boolAt(autoLock, "onScreenLock");
    c.autoLock.onSleep = boolAt(autoLock, "onSleep");

    auto date = parseDate(stringAt(root, "createdAt"));
    if (!date) fail("createdAt is not a date of the form YYYY-MM-DDTHH:MM:SSZ");
    c.createdAt = *date;
    c.format = intAt(root, "format");
    auto id = Uuid::parse(stringAt(root, "id"));
    if (!id) fail("id is not a UUID");
    c.id = *id;
    c.name = stringAt(root, "name");
    c.recoveryBlobs = sealedListAt(root, "recoveryBlobs");
    c.recoveryPublicKey = bytesAt(root, "recoveryPublicKey");

    auto t = root.find("touchID");
    if (t != root.end() && !t->is_null()) {
        if (!t->is_object()) fail("not an object: touchID");
        VaultConfig::QuickUnlockConfig tc;
        tc.blobs = sealedListAt(*t, "blobs");
        tc.handle = bytesAt(*t, "handle");
        tc.publicKey = bytesAt(*t, "publicKey");
        c.touchID = std::move(tc);
    }
    return c;
}

} // namespace ConfigCoding

} // namespace vaultkit
