#include "vaultkit/record/Registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace vaultkit;
namespace fs = std::filesystem;

using Paths = std::vector<std::string>;

TEST(Registry, ParsesEscapedAndPlainSlashesAndDropsBadEntries) {
    struct Case {
        const char* json;
        std::optional<Paths> expected;
    };
    const Case cases[] = {
        {R"(["\/home\/u\/.A.hushcoffer","/home/u/.B.hushcoffer"])",
         Paths{"/home/u/.A.hushcoffer", "/home/u/.B.hushcoffer"}},
        {" [ \"/a/.x y.hushcoffer\" ,\n\t\"/b/.\\u00e9.hushcoffer\" ] ",
         Paths{"/a/.x y.hushcoffer", "/b/.é.hushcoffer"}},
        {"[]", Paths{}},
        {R"(["/a/.x.hushcoffer", 5, null, "", {"p":"/x"}, ["/y"], "/b/.y.hushcoffer"])",
         Paths{"/a/.x.hushcoffer", "/b/.y.hushcoffer"}},
        {"", std::nullopt},
        {"not json", std::nullopt},
        {R"({"vaults":["/a"]})", std::nullopt},
        {R"("/a")", std::nullopt},
        {R"(["/a")", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Registry::parse(c.json), c.expected) << c.json;
}

TEST(Registry, WritesCompactJsonAtomicallyAndReadsItBack) {
    char pattern[] = "/tmp/hc-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    const fs::path file = root / "support" / "vaults.json";

    EXPECT_FALSE(Registry::read(file)) << "a missing file reads as nothing";
    const Paths paths{"/home/u/.A.hushcoffer", "/home/u/with \"quote\"/.B.hushcoffer",
                      "/home/u/.照片.hushcoffer"};
    Registry::write(file, paths);
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find('\n'), std::string::npos) << "compact";
    EXPECT_EQ(text.front(), '[');
    EXPECT_EQ(Registry::read(file), paths);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A path that is not UTF-8 cannot be JSON text; the others are kept.
    Registry::write(file, {"/a/.x.hushcoffer", "/b/\xff.hushcoffer"});
    EXPECT_EQ(Registry::read(file), Paths{"/a/.x.hushcoffer"});
    fs::remove_all(root);
}

// A list that is there but cannot be read is never overwritten: the next
// write keeps it, byte for byte, under a name of its own and starts anew.
TEST(Registry, AnUnreadableListIsKeptAsideNotOverwritten) {
    char pattern[] = "/tmp/hc-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    const fs::path file = root / "vaults.json";
    auto contents = [](const fs::path& f) {
        std::ifstream in(f, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    auto asideFiles = [&] {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(root))
            if (e.path().filename().string().starts_with("vaults.json.unreadable-")) found.push_back(e.path());
        return found;
    };

    // nothing there, and a good list: written over, nothing kept aside
    EXPECT_FALSE(Registry::isUnreadable(file));
    EXPECT_EQ(Registry::write(file, {"/a/.x.hushcoffer"}), std::nullopt);
    EXPECT_EQ(Registry::write(file, {"/b/.y.hushcoffer"}), std::nullopt);
    EXPECT_TRUE(asideFiles().empty());

    for (const std::string& damaged : {std::string("[\"/home/u/.A.hushcoffer\", \"/home/u/.B.hush"),
                                      std::string("{\"vaults\": 1}"), std::string("\0\xff\x01", 3)}) {
        SCOPED_TRACE(damaged);
        { std::ofstream(file, std::ios::binary) << damaged; }
        EXPECT_TRUE(Registry::isUnreadable(file));
        const auto before = asideFiles().size();
        const auto aside = Registry::write(file, {"/c/.z.hushcoffer"});
        ASSERT_TRUE(aside);
        EXPECT_EQ(contents(*aside), damaged);
        EXPECT_EQ(asideFiles().size(), before + 1) << "earlier ones are kept too";
        EXPECT_EQ(Registry::read(file), Paths{"/c/.z.hushcoffer"});
    }
    fs::remove_all(root);
}

TEST(Registry, StandardizedPaths) {
    EXPECT_EQ(Registry::standardized("/a/b/../c/./.v.hushcoffer/"), "/a/c/.v.hushcoffer");
    EXPECT_EQ(Registry::standardized("/"), "/");
    EXPECT_EQ(Registry::standardized("rel"), (fs::current_path() / "rel").string());
}
