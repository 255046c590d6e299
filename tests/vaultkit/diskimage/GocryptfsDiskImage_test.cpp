// The gocryptfs driver's parts that run no tool: fsname coding, matching
// mounts of an image in a mount table, canonical paths that never look at a
// mount point, password checks and message cleaning.
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/error/VaultError.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using vaultkit::GocryptfsDiskImage;
using vaultkit::MountEntry;
using vaultkit::VaultError;
namespace fs = std::filesystem;

namespace {

MountEntry gocryptfsMount(std::string mountPoint, std::string source) {
    MountEntry e;
    e.mountPoint = std::move(mountPoint);
    e.source = std::move(source);
    e.fsType = "fuse.gocryptfs";
    return e;
}

TEST(GocryptfsDiskImagePure, FsnameRoundTripsAnyPath) {
    const std::string paths[] = {
        "/home/a/.v.hushcoffer/data.gocryptfs",
        "/tmp/with space/and,comma/back\\slash/per%cent/eq=ual",
        "/tmp/tab\there/nl\nthere",
        "/tmp/中文/Müller/ελληνικά",
        std::string("/tmp/bytes\x01\x7f\xff"),
    };
    for (const auto& p : paths) {
        const std::string name = GocryptfsDiskImage::fsnameFor(p);
        EXPECT_EQ(name.rfind("hushcoffer:", 0), 0u);
        // Nothing FUSE's option syntax or the mount table would alter.
        for (const char c : std::string_view(name))
            EXPECT_TRUE(c != ',' && c != '\\' && c != ' ' && c != '\t' && c != '\n' && c != '=') << name;
        EXPECT_EQ(GocryptfsDiskImage::imageFromFsname(name), p);
    }
    EXPECT_EQ(GocryptfsDiskImage::fsnameFor("/a b,c"), "hushcoffer:/a%20b%2Cc");
}

TEST(GocryptfsDiskImagePure, ForeignOrBrokenFsnamesAreNotOurs) {
    for (const char* source : {"/tmp/a", "hushcoffer", "hushcoffer:", "hushcoffer:relative",
                               "hushcoffer:/a%2", "hushcoffer:/a%zz", "hushcoffer:/a%+1", "other:/a"})
        EXPECT_FALSE(GocryptfsDiskImage::imageFromFsname(source).has_value()) << source;
}

TEST(GocryptfsDiskImagePure, HandMadeSourceIsWhatTheMountTableShows) {
    EXPECT_EQ(GocryptfsDiskImage::handMadeSource("/t/c a,b\\x é"), "/t/c a_bx é");
    EXPECT_EQ(GocryptfsDiskImage::handMadeSource("/plain"), "/plain");
}

TEST(GocryptfsDiskImagePure, MountsOfAnImageInATable) {
    vaulttest::TempDir tmp;
    const fs::path image = tmp / "v a,b\\c é" / "data.gocryptfs";
    fs::create_directories(image);
    fs::create_symlink(tmp / "v a,b\\c é", tmp / "link");
    const std::string img = image.string();
    const std::vector<MountEntry> table = {
        gocryptfsMount("/m/ours", GocryptfsDiskImage::fsnameFor(img)),
        gocryptfsMount("/m/other-image", GocryptfsDiskImage::fsnameFor(img + "2")),
        gocryptfsMount("/m/by-hand", GocryptfsDiskImage::handMadeSource(img)),
        gocryptfsMount("/m/by-hand-through-link",
                       GocryptfsDiskImage::handMadeSource((tmp / "link" / "data.gocryptfs").string())),
        [&] {
            auto e = gocryptfsMount("/m/not-gocryptfs", GocryptfsDiskImage::fsnameFor(img));
            e.fsType = "fuse.sshfs";
            return e;
        }(),
        gocryptfsMount("/m/unrelated", "/somewhere/else"),
    };
    std::vector<std::string> found;
    for (const auto& e : GocryptfsDiskImage::mountsOf(image, table))
        found.push_back(e.mountPoint);
    EXPECT_EQ(found, (std::vector<std::string>{"/m/ours", "/m/by-hand", "/m/by-hand-through-link"}));
    // The image named through the link finds the same mounts.
    EXPECT_EQ(GocryptfsDiskImage::mountsOf(tmp / "link" / "data.gocryptfs", table).size(), 3u);
    EXPECT_TRUE(GocryptfsDiskImage::mountsOf(tmp / "nothing", table).empty());
}

TEST(GocryptfsDiskImagePure, CanonicalNeverLooksAtAMountPoint) {
    vaulttest::TempDir tmp;
    // "mp" does not exist on disk: only the table knows it. Resolving a link to
    // it must not need to look at it (lstat on a stopped FUSE mount hangs).
    fs::create_symlink("mp", tmp / "link");
    fs::create_directory(tmp / "dir");
    fs::create_symlink(tmp / "dir", tmp / "abs-link");
    const std::vector<MountEntry> table = {gocryptfsMount((tmp / "mp").string(), "x")};
    const std::string t = tmp.path().string();
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {t + "/link", t + "/mp"},
        {t + "/link/", t + "/mp"},
        {t + "/dir/../link", t + "/mp"},
        {t + "/./mp", t + "/mp"},
        {t + "/abs-link", t + "/dir"},
        {t + "/abs-link/..", t},
        {t + "/missing/../x", t + "/x"}, // does not resolve: standardised
        {t + "/dir/missing", t + "/dir/missing"},
        {"/", "/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GocryptfsDiskImage::canonicalIn(c.in, table), c.out) << c.in;
    // A link loop does not resolve.
    fs::create_symlink("loop", tmp / "loop");
    EXPECT_EQ(GocryptfsDiskImage::canonicalIn(t + "/loop", {}), t + "/loop");
    // Relative paths are taken from the working directory.
    const auto cwd = fs::current_path();
    fs::current_path(tmp.path());
    EXPECT_EQ(GocryptfsDiskImage::canonicalIn("link", table), t + "/mp");
    fs::current_path(cwd);
}

TEST(GocryptfsDiskImagePure, PasswordsGocryptfsCannotTakeAreRefused) {
    struct Case {
        std::string password;
        bool ok;
    };
    const Case cases[] = {
        {"simple", true},
        {"密码 mit Umlaut ä", true},
        {std::string(2048, 'a'), true},
        {std::string(2049, 'a'), false},
        {"line\nbreak", false},
        {std::string("nul\0byte", 8), false},
        {"carriage\rreturn", true}, // gocryptfs keeps "\r" as part of the password
    };
    for (const auto& c : cases) {
        if (c.ok) {
            EXPECT_NO_THROW(GocryptfsDiskImage::checkPasswordShape(c.password, "attach"));
        } else {
            try {
                GocryptfsDiskImage::checkPasswordShape(c.password, "attach");
                ADD_FAILURE() << "accepted a password gocryptfs cannot take";
            } catch (const VaultError& e) {
                EXPECT_EQ(e.kind(), VaultError::Case::hdiutil);
                EXPECT_EQ(e.payload().at(0), "attach");
                EXPECT_NE(e.payload().at(1).find("gocryptfs"), std::string::npos);
            }
        }
    }
}

TEST(GocryptfsDiskImagePure, ToolTextLosesSyslogNoise) {
    EXPECT_EQ(GocryptfsDiskImage::cleanToolText("SwitchToSyslog: Unix syslog delivery error\n"
                                                "fusermount: bad mount point\n"
                                                "SwitchLoggerToSyslog: Unix syslog delivery error\n"),
              "fusermount: bad mount point");
    EXPECT_EQ(GocryptfsDiskImage::cleanToolText("SwitchToSyslog: x\n"), "");
}

TEST(GocryptfsDiskImagePure, OptionsAndNames) {
    GocryptfsDiskImage d;
    EXPECT_EQ(d.imageName(), "data.gocryptfs");
    EXPECT_EQ(d.options().gocryptfs, "/usr/bin/gocryptfs");
    EXPECT_EQ(d.options().attachTimeout, 180);
    const auto lines = d.readmeHowToOpen();
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& l : lines)
        EXPECT_EQ(l.find('\n'), std::string::npos);
    EXPECT_NE(lines[0].find("gocryptfs data.gocryptfs"), std::string::npos);
    EXPECT_NE(lines[1].find("gocryptfs data.gocryptfs"), std::string::npos);
    EXPECT_NE(lines[3].find("fusermount3 -u"), std::string::npos);
    for (int bad : {-1, 1, 9, 29}) {
        GocryptfsDiskImage::Options o;
        o.scryptN = bad;
        EXPECT_THROW(GocryptfsDiskImage{o}, std::invalid_argument) << bad;
    }
    // Mount options are options: anything else would be taken as a folder
    // (or end the options before the image).
    for (const char* bad : {"", "-", "--", "kernel_cache", "/tmp"}) {
        GocryptfsDiskImage::Options o;
        o.mountOptions = {"-sharedstorage", bad};
        EXPECT_THROW(GocryptfsDiskImage{o}, std::invalid_argument) << bad;
    }
    GocryptfsDiskImage::Options o;
    o.mountOptions = {"-kernel_cache", "-ko=noatime"};
    EXPECT_NO_THROW(GocryptfsDiskImage{o});
}

} // namespace
