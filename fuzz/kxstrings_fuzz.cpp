// Fuzzes the text tables: a table file is parsed, and every text in it is
// formatted with arguments of both kinds, in the numbers a caller may pass
// (none, fewer or more than the text asks for), as a broken translation would
// be. Nothing may crash; scanning a text and formatting it must agree that a
// text without placeholders comes out unchanged.
#include "kxstrings/KXFormat.h"
#include "kxstrings/KXResourceBundle.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> formats{std::string(text)};
    if (auto table = KXResourceBundle::parseTable(text))
        for (const auto& [key, value] : *table)
            formats.push_back(value);
    const std::vector<KXFormat::Arg> args{KXFormat::Arg("Photos"), KXFormat::Arg(-42), KXFormat::Arg(""),
                                          KXFormat::Arg(std::string_view("%@%d%1$@"))};
    for (const auto& f : formats) {
        const KXFormat::Scan scan = KXFormat::scan(f);
        for (std::size_t n = 0; n <= args.size(); ++n) {
            const std::string out = KXFormat::format(f, std::span<const KXFormat::Arg>(args.data(), n));
            if (scan.placeholders.empty() && scan.problems.empty() && f.find('%') == std::string::npos &&
                out != f)
                std::abort();
        }
    }
    return 0;
}
