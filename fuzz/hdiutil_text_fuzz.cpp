// Fuzzes what the other platform's driver reads from its tools: the property
// lists of attach and info (XML or binary), lsof's field output, a mount table
// looked up by id, and the shared tool-text helpers. None may crash; results
// are checked for the shape the driver relies on.
//
// Input: byte 0 selects the reader (modulo 5); the rest is the tool's output.
#include "vaultkit/diskimage/HdiutilDiskImage.h"
#include "vaultkit/diskimage/ToolText.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using vaultkit::HdiutilDiskImage;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0] % 5;
    const std::uint8_t* rest = data + 1;
    const std::size_t n = size - 1;
    const std::string_view text(reinterpret_cast<const char*>(rest), n);
    switch (mode) {
    case 0: {
        const vaultkit::Bytes plist(rest, rest + n);
        const auto entities = HdiutilDiskImage::entitiesOfAttachPlist(plist);
        if (auto a = HdiutilDiskImage::parseEntities(entities); a && a->detachTarget.empty()) std::abort();
        break;
    }
    case 1: {
        const vaultkit::Bytes plist(rest, rest + n);
        if (auto a =
                HdiutilDiskImage::attachmentFromInfoPlist(plist, "/tmp/v/.a.hushcoffer/data.sparsebundle");
            a && a->detachTarget.empty())
            std::abort();
        break;
    }
    case 2: {
        const auto names = HdiutilDiskImage::parseLsofCommands(text);
        for (std::size_t i = 0; i < names.size(); ++i)
            for (std::size_t j = i + 1; j < names.size(); ++j)
                if (names[i] == names[j]) std::abort();
        break;
    }
    case 3:
        for (std::uint64_t id : {0ULL, 1ULL, 22ULL, 4294967296ULL})
            (void)HdiutilDiskImage::mountPointInTable(text, id);
        break;
    default: {
        const std::string cleaned = vaultkit::ToolText::cleanErr(text);
        if (cleaned.size() > text.size()) std::abort();
        (void)vaultkit::ToolText::isAuthError(text);
        break;
    }
    }
    return 0;
}
