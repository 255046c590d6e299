#include "vaultkit/diskimage/HdiutilDiskImage.h"

#include "vaultkit/error/VaultError.h"
#include "support/ExpectVaultError.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using vaultkit::Bytes;
using vaultkit::DiskImage;
using vaultkit::HdiutilDiskImage;
using vaultkit::VaultError;
using Entity = HdiutilDiskImage::Entity;
using Attachment = DiskImage::Attachment;

namespace {

using vaulttest::expectVaultError;

// ---------------------------------------------------------------------------
// Helpers

Bytes bytesOf(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& p, std::string_view content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// A property list built with libplist, printed as XML or binary.
class Plist {
public:
    explicit Plist(plist_t node)
        : node_(node) {}
    Plist(const Plist&) = delete;
    Plist& operator=(const Plist&) = delete;
    ~Plist() { plist_free(node_); }
    Bytes xml() const {
        char* data = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(node_, &data, &length);
        Bytes out(data, data + length);
        plist_to_xml_free(data);
        return out;
    }
    Bytes binary() const {
        char* data = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(node_, &data, &length);
        Bytes out(data, data + length);
        plist_to_bin_free(data);
        return out;
    }

private:
    plist_t node_;
};

plist_t entityNode(std::optional<std::string> dev, std::optional<std::string> hint = std::nullopt,
                   std::optional<std::string> mountPoint = std::nullopt) {
    plist_t d = plist_new_dict();
    if (dev) plist_dict_set_item(d, "dev-entry", plist_new_string(dev->c_str()));
    if (hint) plist_dict_set_item(d, "content-hint", plist_new_string(hint->c_str()));
    if (mountPoint) plist_dict_set_item(d, "mount-point", plist_new_string(mountPoint->c_str()));
    return d;
}

// The entities of a typical attachment: partition scheme, EFI slice, APFS
// container and its mounted volume.
plist_t fourEntities(const std::string& mountPoint = "/x") {
    plist_t a = plist_new_array();
    plist_array_append_item(a, entityNode("/dev/disk5", "GUID_partition_scheme"));
    plist_array_append_item(a, entityNode("/dev/disk5s1", "EFI"));
    plist_array_append_item(a, entityNode("/dev/disk6", "EF57347C-0000-11AA-AA11-00306543ECAC"));
    plist_array_append_item(a,
                            entityNode("/dev/disk6s1", "41504653-0000-11AA-AA11-00306543ECAC", mountPoint));
    return a;
}

// What `attach -plist` prints.
plist_t attachOutput(plist_t entities) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "system-entities", entities);
    return root;
}

// What `info -plist` prints: images with their paths and entities.
plist_t infoOutput(const std::vector<std::pair<std::string, plist_t>>& images) {
    plist_t list = plist_new_array();
    for (const auto& [path, entities] : images) {
        plist_t image = plist_new_dict();
        plist_dict_set_item(image, "image-path", plist_new_string(path.c_str()));
        if (entities) plist_dict_set_item(image, "system-entities", entities);
        plist_array_append_item(list, image);
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "framework", plist_new_string("691.0"));
    plist_dict_set_item(root, "images", list);
    return root;
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "hc-hdiutil-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// ---------------------------------------------------------------------------
// Pure parts

TEST(HdiutilDiskImageConstants, ValuesAndReadme) {
    EXPECT_EQ(HdiutilDiskImage::maxSize, "8t");
    EXPECT_EQ(HdiutilDiskImage::bandSectors, 2048);
    EXPECT_EQ(HdiutilDiskImage::bandBytes, 1048576);
    HdiutilDiskImage driver;
    EXPECT_EQ(driver.imageName(), "data.sparsebundle");
    const std::vector<std::string> expected = {
        "  双击 data.sparsebundle，输入主密码，即可在 Finder 中看到全部文件。",
        "  Double-click data.sparsebundle and enter your master password.",
        "或在终端 / or in Terminal:",
        "  hdiutil attach data.sparsebundle",
    };
    EXPECT_EQ(driver.readmeHowToOpen(), expected);
}

struct EntitiesCase {
    const char* name;
    std::vector<Entity> entities;
    std::optional<Attachment> expected;
};

TEST(HdiutilParseEntities, Table) {
    const EntitiesCase cases[] = {
        {"partition-scheme hint names the whole disk",
         {{"/dev/disk5", "GUID_partition_scheme", {}},
          {"/dev/disk5s1", {}, {}},
          {"/dev/disk6", {}, {}},
          {"/dev/disk6s1", {}, "/x"}},
         Attachment{"/dev/disk5", {"/x"}}},
        {"without the hint the smallest disk number wins; slices never qualify",
         {{"/dev/disk5s1", {}, {}},
          {"/dev/disk6", {}, {}},
          {"/dev/disk5", {}, {}},
          {"/dev/disk6s1", {}, "/x"}},
         Attachment{"/dev/disk5", {"/x"}}},
        {"numbers compare as numbers, not text",
         {{"/dev/disk10", {}, {}}, {"/dev/disk9", {}, {}}},
         Attachment{"/dev/disk9", {}}},
        {"the hint wins over a smaller number",
         {{"/dev/disk2", {}, {}}, {"/dev/disk7", "GUID_partition_scheme", {}}},
         Attachment{"/dev/disk7", {}}},
        {"the first hinted entity wins",
         {{"/dev/disk8", "GUID_partition_scheme", {}}, {"/dev/disk3", "GUID_partition_scheme", {}}},
         Attachment{"/dev/disk8", {}}},
        {"a hinted entity without a dev-entry falls back to the disk numbers",
         {{{}, "GUID_partition_scheme", {}}, {"/dev/disk4", {}, {}}},
         Attachment{"/dev/disk4", {}}},
        {"the hint is compared exactly",
         {{"/dev/disk9", "guid_partition_scheme", {}}, {"/dev/disk3", {}, {}}},
         Attachment{"/dev/disk3", {}}},
        {"equal numbers: the earlier entry wins",
         {{"/dev/disk07", {}, {}}, {"/dev/disk7", {}, {}}},
         Attachment{"/dev/disk07", {}}},
        {"a number too large to read counts as 0",
         {{"/dev/disk3", {}, {}}, {"/dev/disk99999999999999999999999", {}, {}}},
         Attachment{"/dev/disk99999999999999999999999", {}}},
        {"no whole disk and no hint: none",
         {{"/dev/disk5s1", {}, "/a"},
          {"/dev/disk", {}, {}},
          {"/dev/disk5 ", {}, {}},
          {"/dev/rdisk5", {}, {}},
          {"x/dev/disk5", {}, {}},
          {"/dev/disk-5", {}, {}}},
         std::nullopt},
        {"no entities: none", {}, std::nullopt},
        {"mount points of all entities, in order",
         {{"/dev/disk4", {}, "/m1"}, {{}, {}, "/m2"}, {"/dev/disk4s2", {}, "/m3"}},
         Attachment{"/dev/disk4", {"/m1", "/m2", "/m3"}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HdiutilDiskImage::parseEntities(c.entities), c.expected) << c.name;
}

TEST(HdiutilAttachPlist, EntitiesFromXmlAndBinary) {
    Plist root(attachOutput(fourEntities()));
    for (const Bytes& data : {root.xml(), root.binary()}) {
        const auto entities = HdiutilDiskImage::entitiesOfAttachPlist(data);
        ASSERT_EQ(entities.size(), 4u);
        EXPECT_EQ(entities[0].devEntry, "/dev/disk5");
        EXPECT_EQ(entities[0].contentHint, "GUID_partition_scheme");
        EXPECT_EQ(entities[3].mountPoint, "/x");
        EXPECT_EQ(entities[1].mountPoint, std::nullopt);
        EXPECT_EQ(HdiutilDiskImage::parseEntities(entities), (Attachment{"/dev/disk5", {"/x"}}));
    }
}

TEST(HdiutilAttachPlist, UnreadableInputGivesNoEntities) {
    // A list holding one element that is not a dictionary is unreadable as a whole.
    plist_t mixed = fourEntities();
    plist_array_append_item(mixed, plist_new_string("/dev/disk9"));
    Plist mixedRoot(attachOutput(mixed));
    Plist notAList(attachOutput(plist_new_string("x")));
    Plist missing(plist_new_dict());
    Plist topLevelArray(fourEntities());
    const Bytes binary = mixedRoot.binary();
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"non-dictionary element", mixedRoot.xml()},
        {"system-entities not a list", notAList.xml()},
        {"no system-entities", missing.binary()},
        {"top level is not a dictionary", topLevelArray.xml()},
        {"empty output", {}},
        {"not a property list", bytesOf("hdiutil: attach failed\n")},
        {"truncated XML", bytesOf("<?xml version=\"1.0\"?><plist><dict><key>system-entities</key><array>")},
        {"truncated binary", Bytes(binary.begin(), binary.begin() + 20)},
    };
    for (const auto& [name, data] : cases)
        EXPECT_TRUE(HdiutilDiskImage::entitiesOfAttachPlist(data).empty()) << name;
}

TEST(HdiutilAttachPlist, NonTextValuesAreIgnored) {
    plist_t entities = plist_new_array();
    plist_t a = plist_new_dict();
    plist_dict_set_item(a, "dev-entry", plist_new_uint(5));
    plist_dict_set_item(a, "content-hint", plist_new_string("GUID_partition_scheme"));
    plist_dict_set_item(a, "mount-point", plist_new_bool(1));
    plist_array_append_item(entities, a);
    plist_array_append_item(entities, entityNode("/dev/disk8", std::nullopt, "/v"));
    Plist root(attachOutput(entities));
    const auto parsed = HdiutilDiskImage::entitiesOfAttachPlist(root.xml());
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].devEntry, std::nullopt);
    EXPECT_EQ(parsed[0].mountPoint, std::nullopt);
    EXPECT_EQ(HdiutilDiskImage::parseEntities(parsed), (Attachment{"/dev/disk8", {"/v"}}));
}

TEST(HdiutilInfoPlist, MatchesTheImageByCanonicalPath) {
    TempDir tmp;
    const fs::path image = tmp.path() / "vault dir" / "data.sparsebundle";
    fs::create_directories(image);
    fs::create_directory_symlink(tmp.path() / "vault dir", tmp.path() / "link");
    const std::string viaLink = (tmp.path() / "link" / "." / "data.sparsebundle").string();

    plist_t other = plist_new_array();
    plist_array_append_item(other, entityNode("/dev/disk2", "GUID_partition_scheme", "/elsewhere"));
    Plist info(infoOutput({{"/other/data.sparsebundle", other}, {viaLink, fourEntities("/mnt/v")}}));
    for (const Bytes& data : {info.xml(), info.binary()}) {
        EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(data, image.string()),
                  (Attachment{"/dev/disk5", {"/mnt/v"}}));
        // The asked-for path is canonicalised as well.
        EXPECT_EQ(
            HdiutilDiskImage::attachmentFromInfoPlist(data, (tmp.path() / "link/../link/data.sparsebundle")),
            (Attachment{"/dev/disk5", {"/mnt/v"}}));
        EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(data, "/other/./x/../data.sparsebundle"),
                  (Attachment{"/dev/disk2", {"/elsewhere"}}));
        EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(data, "/not/attached"), std::nullopt);
    }
}

TEST(HdiutilInfoPlist, EdgeCases) {
    // The first matching image decides, even when it yields no whole disk.
    plist_t slicesOnly = plist_new_array();
    plist_array_append_item(slicesOnly, entityNode("/dev/disk3s1", std::nullopt, "/m"));
    Plist firstWins(infoOutput({{"/i/a", slicesOnly}, {"/i/a", fourEntities()}}));
    EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(firstWins.xml(), "/i/a"), std::nullopt);

    // A match without system-entities: an empty list, so none.
    Plist noEntities(infoOutput({{"/i/a", nullptr}}));
    EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(noEntities.xml(), "/i/a"), std::nullopt);

    // An image whose path is not text is skipped.
    plist_t images = plist_new_array();
    plist_t bad = plist_new_dict();
    plist_dict_set_item(bad, "image-path", plist_new_uint(1));
    plist_dict_set_item(bad, "system-entities", fourEntities());
    plist_array_append_item(images, bad);
    plist_t good = plist_new_dict();
    plist_dict_set_item(good, "image-path", plist_new_string("/i/a"));
    plist_t e = plist_new_array();
    plist_array_append_item(e, entityNode("/dev/disk11"));
    plist_dict_set_item(good, "system-entities", e);
    plist_array_append_item(images, good);
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "images", images);
    Plist skip(root);
    EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(skip.xml(), "/i/a"), (Attachment{"/dev/disk11", {}}));

    // No "images", images not a list of dictionaries, garbage: none.
    Plist noImages(plist_new_dict());
    plist_t mixed = plist_new_array();
    plist_array_append_item(mixed, plist_new_string("/i/a"));
    plist_t mixedRoot = plist_new_dict();
    plist_dict_set_item(mixedRoot, "images", mixed);
    Plist mixedImages(mixedRoot);
    EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(noImages.xml(), "/i/a"), std::nullopt);
    EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(mixedImages.xml(), "/i/a"), std::nullopt);
    EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist(bytesOf("garbage"), "/i/a"), std::nullopt);
    EXPECT_EQ(HdiutilDiskImage::attachmentFromInfoPlist({}, "/i/a"), std::nullopt);
}

TEST(HdiutilLsof, CommandNames) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"p123\ncFinder\np456\ncFinder\ncbash\n", {"Finder", "bash"}},
        {"p123\ncFinder\np456\ncFinder\ncbash", {"Finder", "bash"}},
        {"", {}},
        {"\n\np1\n\ncvim\n\n", {"vim"}},
        {"c\np2\nc\n", {""}},                     // an empty name is still a name
        {"p1\ncmy tool\nf4\nn/x\n", {"my tool"}}, // other fields ignored
        {"p1\nc进程\np2\ncbash\np3\nc进程\n", {"进程", "bash"}},
        {"p1\nCfinder\ncfinder\n", {"finder"}}, // only a lower-case c is the command field
    };
    for (const auto& [output, expected] : cases)
        EXPECT_EQ(HdiutilDiskImage::parseLsofCommands(output), expected) << output;
}

TEST(HdiutilCanonical, RealPathOrStandardised) {
    TempDir tmp;
    const fs::path real = fs::canonical(tmp.path());
    fs::create_directory(real / "d");
    fs::create_directory_symlink(real / "d", real / "l");
    const std::string cwd = fs::current_path().string();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {(real / "l").string(), (real / "d").string()},
        {(real / "l" / ".." / "d" / ".").string(), (real / "d").string()},
        {(real / "d" / "").string(), (real / "d").string()},
        {"/no-such-dir-hc/a/../b//c/.", "/no-such-dir-hc/b/c"},
        {"/no-such-dir-hc/", "/no-such-dir-hc"},
        {"//no-such-dir-hc///x", "/no-such-dir-hc/x"},
        {"/../no-such-dir-hc", "/no-such-dir-hc"},
        // No symbolic links are followed when the path does not resolve.
        {(real / "l" / "missing" / ".." / "x").string(), (real / "l" / "x").string()},
        {"no-such-dir-hc/x", cwd == "/" ? "/no-such-dir-hc/x" : cwd + "/no-such-dir-hc/x"},
        {"/", "/"},
    };
    HdiutilDiskImage driver;
    for (const auto& [in, expected] : cases)
        EXPECT_EQ(driver.canonical(in), expected) << in;
}

TEST(HdiutilIsMountPoint, MountTableLookup) {
    const std::string table =
        "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
        "\n"
        "garbage line\n"
        "87 29 0:52 / /home/a/My\\040Vault\\011tab\\134x\\012nl rw shared:44 - fuse.gocryptfs /c rw\n"
        "88 29 0:53 / /home/a/\\999\\04 rw - fuse x rw\n"
        "89 29 0:54 / /home/a/\xe6\x96\x87\xe4\xbb\xb6 rw - fuse x rw";
    EXPECT_EQ(HdiutilDiskImage::mountPointInTable(table, 22), "/proc");
    EXPECT_EQ(HdiutilDiskImage::mountPointInTable(table, 87), "/home/a/My Vault\ttab\\x\nnl");
    EXPECT_EQ(HdiutilDiskImage::mountPointInTable(table, 88), "/home/a/\\999\\04"); // not escapes
    EXPECT_EQ(HdiutilDiskImage::mountPointInTable(table, 89), "/home/a/文件");
    EXPECT_EQ(HdiutilDiskImage::mountPointInTable(table, 2), std::nullopt);
    EXPECT_EQ(HdiutilDiskImage::mountPointInTable("", 22), std::nullopt);
}

TEST(HdiutilIsMountPoint, FromTheMountRecord) {
    TempDir tmp;
    fs::create_directory(tmp.path() / "plain");
    fs::create_directory_symlink("/proc", tmp.path() / "to-proc");
    fs::create_directory_symlink("/", tmp.path() / "to-root");
    HdiutilDiskImage driver;
    EXPECT_TRUE(driver.isMountPoint("/"));
    EXPECT_TRUE(driver.isMountPoint("/proc"));
    EXPECT_TRUE(driver.isMountPoint("/proc/"));
    EXPECT_TRUE(driver.isMountPoint("/proc/../proc"));
    EXPECT_TRUE(driver.isMountPoint(tmp.path() / "to-proc")); // a link to a mount point counts
    EXPECT_TRUE(driver.isMountPoint(tmp.path() / "to-root"));
    EXPECT_FALSE(driver.isMountPoint("/proc/self"));
    EXPECT_FALSE(driver.isMountPoint(tmp.path() / "plain")); // lies on some volume, is not one
    EXPECT_FALSE(driver.isMountPoint(tmp.path() / "missing"));
}

// ---------------------------------------------------------------------------
// Invocations against stand-in tools

// Stand-ins for hdiutil, diskutil and lsof: one shell script installed under
// three names. Each run records its tool name, its arguments (NUL-separated),
// what its standard input is and the bytes read from it, then answers with
// the prepared output, error text and status for "<tool>.<first argument>"
// ("<tool>.help" when the last argument is --help).
class StandIn {
public:
    struct Call {
        std::string tool;
        std::vector<std::string> args;
        std::string input;       // bytes read from standard input
        std::string inputSource; // what standard input was ("/dev/null", "pipe:[...]")
    };

    StandIn() {
        fs::create_directories(dir() / "bin");
        fs::create_directories(dir() / "calls");
        fs::create_directories(dir() / "resp");
        const std::string script = "#!/bin/sh\n"
                                   "D='" +
                                   dir().string() +
                                   "'\n"
                                   "tool=$(basename \"$0\")\n"
                                   "call=\"$D/calls/$(date +%s%N)-$$\"\n"
                                   "mkdir \"$call\"\n"
                                   "printf '%s' \"$tool\" > \"$call/tool\"\n"
                                   "printf '%s\\0' \"$@\" > \"$call/args\"\n"
                                   "readlink /proc/self/fd/0 > \"$call/source\"\n"
                                   "cat > \"$call/input\"\n"
                                   "key=\"$tool.$1\"\n"
                                   "last=\n"
                                   "for a in \"$@\"; do last=$a; done\n"
                                   "[ \"$last\" = --help ] && key=\"$tool.help\"\n"
                                   "r=\"$D/resp/$key\"\n"
                                   "[ -f \"$r.delay\" ] && sleep \"$(cat \"$r.delay\")\"\n"
                                   "[ -f \"$r.out\" ] && cat \"$r.out\"\n"
                                   "[ -f \"$r.err\" ] && cat \"$r.err\" >&2\n"
                                   "[ -f \"$r.sleep\" ] && exec sleep \"$(cat \"$r.sleep\")\"\n"
                                   "status=0\n"
                                   "[ -f \"$r.status\" ] && status=$(cat \"$r.status\")\n"
                                   "exit \"$status\"\n";
        for (const char* name : {"hdiutil", "diskutil", "lsof"}) {
            writeFile(dir() / "bin" / name, script);
            fs::permissions(dir() / "bin" / name, fs::perms::owner_all);
        }
        // Unless a test says otherwise, diskutil has no image command.
        respond("diskutil.help", 1, "", "Usage: diskutil image ...: unknown verb\n");
    }

    const fs::path& dir() const { return tmp_.path(); }

    HdiutilDiskImage::Options options() const {
        HdiutilDiskImage::Options o;
        o.hdiutil = (dir() / "bin" / "hdiutil").string();
        o.diskutil = (dir() / "bin" / "diskutil").string();
        o.lsof = (dir() / "bin" / "lsof").string();
        return o;
    }

    void respond(const std::string& key, int status, std::string_view out = "", std::string_view err = "") {
        writeFile(dir() / "resp" / (key + ".status"), std::to_string(status));
        writeFile(dir() / "resp" / (key + ".out"), out);
        writeFile(dir() / "resp" / (key + ".err"), err);
    }
    void respond(const std::string& key, int status, const Bytes& out) {
        respond(key, status, std::string_view(reinterpret_cast<const char*>(out.data()), out.size()));
    }
    // The tool sleeps this long before it answers.
    void delay(const std::string& key, double seconds) {
        writeFile(dir() / "resp" / (key + ".delay"), std::to_string(seconds));
    }
    // The tool never answers on its own (it sleeps until it is stopped).
    void hang(const std::string& key) { writeFile(dir() / "resp" / (key + ".sleep"), "60"); }

    std::vector<Call> calls() const {
        std::vector<fs::path> entries;
        for (const auto& e : fs::directory_iterator(dir() / "calls"))
            entries.push_back(e.path());
        std::sort(entries.begin(), entries.end());
        std::vector<Call> out;
        for (const auto& p : entries) {
            Call c;
            c.tool = readFile(p / "tool");
            const std::string args = readFile(p / "args");
            std::size_t pos = 0;
            while (pos < args.size()) {
                const std::size_t end = args.find('\0', pos);
                c.args.push_back(args.substr(pos, end - pos));
                pos = end + 1;
            }
            c.input = readFile(p / "input");
            c.inputSource = readFile(p / "source");
            if (!c.inputSource.empty() && c.inputSource.back() == '\n') c.inputSource.pop_back();
            out.push_back(std::move(c));
        }
        return out;
    }

    // The calls of one tool, without the diskutil probe.
    std::vector<Call> callsOf(const std::string& tool) const {
        std::vector<Call> out;
        for (auto& c : calls())
            if (c.tool == tool && !(c.args.size() == 3 && c.args[2] == "--help")) out.push_back(c);
        return out;
    }

private:
    TempDir tmp_;
};

using Args = std::vector<std::string>;

// Expects `fn` to throw hdiutil(verb, <some non-empty message>) and returns the message.
template <typename F> std::string expectToolError(F&& fn, const std::string& verb) {
    try {
        fn();
        ADD_FAILURE() << "no error thrown; expected hdiutil(" << verb << ", ...)";
    } catch (const VaultError& e) {
        EXPECT_EQ(e.kind(), VaultError::Case::hdiutil) << e.what();
        if (e.payload().size() == 2) {
            EXPECT_EQ(e.payload()[0], verb);
            return e.payload()[1];
        }
        ADD_FAILURE() << e.what();
    }
    return {};
}

const std::string kPassword = "pässwörd 密码 🔑";
const std::string kPasswordPass = kPassword + std::string(1, '\0');

TEST(HdiutilInvocations, Create) {
    StandIn tools;
    HdiutilDiskImage driver(tools.options());
    driver.create("/vaults/.My Vault.hushcoffer/data.sparsebundle", kPassword, "My Vault 文件");
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].tool, "hdiutil");
    EXPECT_EQ(calls[0].args,
              (Args{"create", "-size", "8t", "-type", "SPARSEBUNDLE", "-fs", "APFS", "-encryption", "AES-256",
                    "-stdinpass", "-imagekey", "sparse-band-size=2048", "-volname", "My Vault 文件",
                    "/vaults/.My Vault.hushcoffer/data.sparsebundle"}));
    EXPECT_EQ(calls[0].input, kPasswordPass); // UTF-8 and exactly one NUL

    tools.respond("hdiutil.create", 1, "",
                  "hdiutil: create: WARNING: odd\nhdiutil: create failed - No space\n\n");
    expectVaultError([&] { driver.create("/v/data.sparsebundle", "pw", "v"); },
                     VaultError::hdiutil("create", "hdiutil: create failed - No space"));
}

TEST(HdiutilInvocations, AttachWithTheDiskImageTool) {
    StandIn tools;
    HdiutilDiskImage driver(tools.options());
    driver.attach("/p/.v.hushcoffer/data.sparsebundle", kPassword, "/p/v w");
    driver.attach("/p/.v.hushcoffer/data.sparsebundle", "second", "/p/v w");
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 3u);
    // The probe runs once, first, with no input.
    EXPECT_EQ(calls[0].tool, "diskutil");
    EXPECT_EQ(calls[0].args, (Args{"image", "attach", "--help"}));
    EXPECT_EQ(calls[0].inputSource, "/dev/null");
    const Args expectedArgs{"attach", "-stdinpass",  "-mountpoint",
                            "/p/v w", "-nobrowse",   "-owners",
                            "on",     "-noautoopen", "/p/.v.hushcoffer/data.sparsebundle"};
    EXPECT_EQ(calls[1].tool, "hdiutil");
    EXPECT_EQ(calls[1].args, expectedArgs);
    EXPECT_EQ(calls[1].input, kPasswordPass);
    EXPECT_EQ(calls[2].args, expectedArgs);
    EXPECT_EQ(calls[2].input, std::string("second") + '\0');
}

TEST(HdiutilInvocations, AttachWithTheDiskUtility) {
    StandIn tools;
    tools.respond("diskutil.help", 0, "Usage: diskutil image attach [options] image\n");
    HdiutilDiskImage driver(tools.options());
    driver.attach("/p/.v.hushcoffer/data.sparsebundle", kPassword, "/p/v");
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, (Args{"image", "attach", "--help"}));
    EXPECT_EQ(calls[1].tool, "diskutil");
    EXPECT_EQ(calls[1].args, (Args{"image", "attach", "--stdinpass", "--nobrowse", "--mountOptions", "owners",
                                   "--mountPoint", "/p/v", "/p/.v.hushcoffer/data.sparsebundle"}));
    EXPECT_EQ(calls[1].input, kPassword); // no terminator on this branch
    EXPECT_TRUE(tools.callsOf("hdiutil").empty());

    // Another driver with other stand-ins probes for itself.
    StandIn plain;
    HdiutilDiskImage other(plain.options());
    other.attach("/i", "pw", "/m");
    EXPECT_EQ(plain.callsOf("hdiutil").size(), 1u);
    EXPECT_TRUE(driver.hasDiskutilImage());
    EXPECT_FALSE(other.hasDiskutilImage());
}

TEST(HdiutilInvocations, ConcurrentFirstAttachesShareOneProbe) {
    StandIn tools;
    tools.respond("diskutil.help", 0);
    tools.delay("diskutil.help", 0.5);
    HdiutilDiskImage driver(tools.options());
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { driver.attach("/i", "pw", "/m"); });
    for (auto& t : threads)
        t.join();
    int probes = 0;
    for (const auto& c : tools.calls())
        probes += c.args == Args{"image", "attach", "--help"} ? 1 : 0;
    EXPECT_EQ(probes, 1);
    EXPECT_EQ(tools.callsOf("diskutil").size(), 4u); // every attach took the disk-utility branch
}

TEST(HdiutilInvocations, AttachWrongPasswordIsRecognisedByText) {
    struct Case {
        const char* name;
        std::string out, err;
    };
    const Case cases[] = {
        {"stderr", "", "hdiutil: attach failed - Authentication error\n"},
        {"stdout", "hdiutil: attach failed - authentication error\n", ""},
        {"stderr directly followed by stdout", "CATION\n", "hdiutil: AUTHENTI"},
        {"Chinese", "", "hdiutil: attach 失败 - 认证错误\n"},
    };
    for (const auto& c : cases) {
        StandIn tools;
        tools.respond("hdiutil.attach", 1, c.out, c.err);
        HdiutilDiskImage driver(tools.options());
        expectVaultError([&] { driver.attach("/i", "pw", "/m"); }, VaultError::wrongPassword(), c.name);
        // A wrong password attaches nothing: the table is not consulted.
        EXPECT_EQ(tools.callsOf("hdiutil").size(), 1u) << c.name;
    }
}

TEST(HdiutilInvocations, AttachFailureDetachesTheHalfDoneAttachment) {
    StandIn tools;
    const fs::path image = tools.dir() / "vault" / "data.sparsebundle";
    fs::create_directories(image);
    tools.respond("hdiutil.attach", 1, "",
                  "hdiutil: WARNING: x\nhdiutil: attach failed - no mountable file systems\n");
    Plist info(
        infoOutput({{(tools.dir() / "vault" / "." / "data.sparsebundle").string(), fourEntities("/m")}}));
    tools.respond("hdiutil.info", 0, info.binary());
    HdiutilDiskImage driver(tools.options());
    expectVaultError([&] { driver.attach(image, "pw", "/m"); },
                     VaultError::hdiutil("attach", "hdiutil: attach failed - no mountable file systems"));
    const auto calls = tools.callsOf("hdiutil");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].args, (Args{"info", "-plist"}));
    EXPECT_EQ(calls[1].inputSource, "/dev/null");
    EXPECT_EQ(calls[2].args, (Args{"detach", "/dev/disk5", "-force"}));

    // The forced detach failing changes nothing for the caller.
    tools.respond("hdiutil.detach", 1, "", "hdiutil: detach failed - No such file or directory\n");
    expectVaultError([&] { driver.attach(image, "pw", "/m"); },
                     VaultError::hdiutil("attach", "hdiutil: attach failed - no mountable file systems"));
}

TEST(HdiutilInvocations, AttachFailureWithNothingAttached) {
    StandIn tools;
    tools.respond("hdiutil.attach", 2, "out text\n", "err text ");
    Plist info(infoOutput({{"/some/other.sparsebundle", fourEntities()}}));
    tools.respond("hdiutil.info", 0, info.xml());
    HdiutilDiskImage driver(tools.options());
    // The message is stderr directly followed by stdout, cleaned.
    expectVaultError([&] { driver.attach("/i/data.sparsebundle", "pw", "/m"); },
                     VaultError::hdiutil("attach", "err text out text"));
    const auto calls = tools.callsOf("hdiutil");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].args, (Args{"info", "-plist"}));

    // info failing: no detach either.
    tools.respond("hdiutil.info", 1, info.xml());
    expectVaultError([&] { driver.attach("/some/other.sparsebundle", "pw", "/m"); },
                     VaultError::hdiutil("attach", "err text out text"));
    EXPECT_EQ(tools.callsOf("hdiutil").size(), 4u);
}

TEST(HdiutilInvocations, Detach) {
    struct Case {
        const char* name;
        bool force;
        int status;
        std::string err;
        std::optional<VaultError> expected;
        Args args;
    };
    const Case cases[] = {
        {"plain", false, 0, "", std::nullopt, {"detach", "/dev/disk5"}},
        {"forced: -force comes last", true, 0, "", std::nullopt, {"detach", "/dev/disk5", "-force"}},
        {"busy",
         false,
         16,
         "hdiutil: couldn't unmount \"disk5\" - Resource busy\n",
         VaultError::busy({}),
         {"detach", "/dev/disk5"}},
        {"other failure",
         true,
         1,
         "hdiutil: detach: WARNING: x\nhdiutil: detach failed - No such file\n",
         VaultError::hdiutil("detach", "hdiutil: detach failed - No such file"),
         {"detach", "/dev/disk5", "-force"}},
        {"wrong-password text means nothing here",
         false,
         1,
         "Authentication error",
         VaultError::hdiutil("detach", "Authentication error"),
         {"detach", "/dev/disk5"}},
    };
    for (const auto& c : cases) {
        StandIn tools;
        tools.respond("hdiutil.detach", c.status, "", c.err);
        HdiutilDiskImage driver(tools.options());
        if (c.expected)
            expectVaultError([&] { driver.detach("/dev/disk5", c.force); }, *c.expected, c.name);
        else
            EXPECT_NO_THROW(driver.detach("/dev/disk5", c.force)) << c.name;
        const auto calls = tools.calls();
        ASSERT_EQ(calls.size(), 1u) << c.name; // no probe: that is for attaching only
        EXPECT_EQ(calls[0].args, c.args) << c.name;
        EXPECT_EQ(calls[0].inputSource, "/dev/null") << c.name;
    }
}

TEST(HdiutilInvocations, CheckPasswordRightDetachesWithoutForce) {
    StandIn tools;
    Plist out(attachOutput(fourEntities()));
    tools.respond("hdiutil.attach", 0, out.xml());
    HdiutilDiskImage driver(tools.options());
    EXPECT_TRUE(driver.checkPassword("/p/.v.hushcoffer/data.sparsebundle", kPassword));
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 2u); // no diskutil probe
    EXPECT_EQ(calls[0].args, (Args{"attach", "-nomount", "-stdinpass", "-noautoopen", "-plist",
                                   "/p/.v.hushcoffer/data.sparsebundle"}));
    EXPECT_EQ(calls[0].input, kPasswordPass);
    EXPECT_EQ(calls[1].args, (Args{"detach", "/dev/disk5"}));

    // A failing detach or unreadable output still means the password is right.
    tools.respond("hdiutil.detach", 16);
    EXPECT_TRUE(driver.checkPassword("/i", "pw"));
    tools.respond("hdiutil.attach", 0, "not a property list");
    EXPECT_TRUE(driver.checkPassword("/i", "pw"));
    EXPECT_EQ(tools.calls().size(), 5u); // nothing to detach the last time
}

TEST(HdiutilInvocations, CheckPasswordFailures) {
    StandIn tools;
    HdiutilDiskImage driver(tools.options());
    tools.respond("hdiutil.attach", 1, "", "hdiutil: attach failed - Authentication error\n");
    EXPECT_FALSE(driver.checkPassword("/i", "pw"));
    tools.respond("hdiutil.attach", 1, "", "hdiutil: attach failed - 密碼不正確\n");
    EXPECT_FALSE(driver.checkPassword("/i", "pw"));
    // Only the error text is examined here.
    tools.respond("hdiutil.attach", 1, "Authentication error",
                  "hdiutil: attach failed - image not recognized\n");
    expectVaultError([&] { driver.checkPassword("/i", "pw"); },
                     VaultError::hdiutil("verify", "hdiutil: attach failed - image not recognized"));
    for (const auto& c : tools.calls())
        EXPECT_NE(c.args[0], "detach");
}

TEST(HdiutilInvocations, ChangePassword) {
    StandIn tools;
    HdiutilDiskImage driver(tools.options());
    driver.changePassword("/p/data.sparsebundle", kPassword, "新しい pass");
    auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (Args{"chpass", "-oldstdinpass", "-newstdinpass", "/p/data.sparsebundle"}));
    EXPECT_EQ(calls[0].input, kPasswordPass + "新しい pass" + std::string(1, '\0'));

    tools.respond("hdiutil.chpass", 1, "", "hdiutil: chpass failed - Authentication error\n");
    expectVaultError([&] { driver.changePassword("/i", "a", "b"); }, VaultError::wrongPassword());
    tools.respond("hdiutil.chpass", 1, "", "hdiutil: chpass failed - Resource busy\n");
    expectVaultError([&] { driver.changePassword("/i", "a", "b"); },
                     VaultError::hdiutil("chpass", "hdiutil: chpass failed - Resource busy"));
}

TEST(HdiutilInvocations, PasswordsWithNulAreNeverSent) {
    // The tool reads up to the first NUL: "ab\0cd" would reach it as "ab".
    StandIn tools;
    tools.respond("diskutil.help", 0);
    HdiutilDiskImage driver(tools.options());
    const std::string withNul("ab\0cd", 5);
    expectToolError([&] { driver.create("/i", withNul, "v"); }, "create");
    expectVaultError([&] { driver.attach("/i", withNul, "/m"); }, VaultError::wrongPassword());
    EXPECT_FALSE(driver.checkPassword("/i", withNul));
    expectVaultError([&] { driver.changePassword("/i", withNul, "new"); }, VaultError::wrongPassword());
    expectToolError([&] { driver.changePassword("/i", "old", withNul); }, "chpass");
    EXPECT_TRUE(tools.calls().empty());
}

TEST(HdiutilInvocations, AttachmentOf) {
    StandIn tools;
    Plist info(infoOutput({{"/p/data.sparsebundle", fourEntities("/p/v")}}));
    tools.respond("hdiutil.info", 0, info.xml());
    HdiutilDiskImage driver(tools.options());
    EXPECT_EQ(driver.attachment("/p/./data.sparsebundle"), (Attachment{"/dev/disk5", {"/p/v"}}));
    EXPECT_EQ(driver.attachment("/q/data.sparsebundle"), std::nullopt);
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, (Args{"info", "-plist"}));
    tools.respond("hdiutil.info", 1, info.xml());
    EXPECT_EQ(driver.attachment("/p/data.sparsebundle"), std::nullopt);
}

TEST(HdiutilInvocations, BusyProcesses) {
    StandIn tools;
    tools.respond("lsof.-Fc", 1, "p123\ncFinder\np456\ncFinder\ncbash\n", "lsof: WARNING: can't stat()\n");
    HdiutilDiskImage driver(tools.options());
    EXPECT_EQ(driver.busyProcesses("/p/my vault"), (Args{"Finder", "bash"})); // status not examined
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].tool, "lsof");
    EXPECT_EQ(calls[0].args, (Args{"-Fc", "+D", "/p/my vault"}));
    EXPECT_EQ(calls[0].inputSource, "/dev/null");
}

TEST(HdiutilInvocations, ToolsThatCannotStart) {
    HdiutilDiskImage::Options o;
    o.hdiutil = "/nonexistent-hc/hdiutil";
    o.diskutil = "/nonexistent-hc/diskutil";
    o.lsof = "/nonexistent-hc/lsof";
    HdiutilDiskImage driver(o);
    EXPECT_FALSE(driver.hasDiskutilImage());
    EXPECT_FALSE(expectToolError([&] { driver.create("/i", "pw", "v"); }, "create").empty());
    EXPECT_FALSE(expectToolError([&] { driver.attach("/i", "pw", "/m"); }, "attach").empty());
    EXPECT_FALSE(expectToolError([&] { driver.detach("/dev/disk5", true); }, "detach").empty());
    EXPECT_FALSE(expectToolError([&] { driver.checkPassword("/i", "pw"); }, "verify").empty());
    EXPECT_FALSE(expectToolError([&] { driver.changePassword("/i", "a", "b"); }, "chpass").empty());
    EXPECT_EQ(driver.attachment("/i"), std::nullopt);
    EXPECT_TRUE(driver.busyProcesses("/m").empty());
}

TEST(HdiutilInvocations, ToolStoppedAtItsTimeLimitTakesTheGenericPath) {
    StandIn tools;
    auto o = tools.options();
    o.attachTimeout = o.checkPasswordTimeout = o.detachTimeout = o.changePasswordTimeout = o.createTimeout =
        o.infoTimeout = o.lsofTimeout = o.diskutilProbeTimeout = 1;
    for (const char* key : {"hdiutil.attach", "hdiutil.detach", "hdiutil.chpass", "hdiutil.create",
                            "hdiutil.info", "lsof.-Fc", "diskutil.help"})
        tools.hang(key);
    const auto image = tools.dir() / "data.sparsebundle";
    HdiutilDiskImage driver(o);
    const auto start = std::chrono::steady_clock::now();
    expectToolError([&] { driver.attach(image, "pw", "/m"); },
                    "attach"); // probe, attach and info all time out
    expectToolError([&] { driver.checkPassword(image, "pw"); }, "verify");
    expectToolError([&] { driver.detach("/dev/disk5", false); }, "detach"); // not busy: 16 is not a time-out
    expectToolError([&] { driver.changePassword(image, "a", "b"); }, "chpass");
    expectToolError([&] { driver.create(image, "pw", "v"); }, "create");
    EXPECT_EQ(driver.attachment(image), std::nullopt);
    EXPECT_TRUE(driver.busyProcesses("/m").empty());
    EXPECT_FALSE(driver.hasDiskutilImage());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 30.0); // ten runs of one second each, not of sixty
    // attach consulted the attachment table after its time-out.
    const auto calls = tools.callsOf("hdiutil");
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].args[0], "attach");
    EXPECT_EQ(calls[1].args, (Args{"info", "-plist"}));
}

} // namespace
