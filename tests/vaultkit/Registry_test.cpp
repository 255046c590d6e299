#include "vaultkit/Registry.h"

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

TEST(Registry, StandardizedPaths) {
    EXPECT_EQ(Registry::standardized("/a/b/../c/./.v.hushcoffer/"), "/a/c/.v.hushcoffer");
    EXPECT_EQ(Registry::standardized("/"), "/");
    EXPECT_EQ(Registry::standardized("rel"), (fs::current_path() / "rel").string());
}
