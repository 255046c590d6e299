#include "kxstrings/KXFormat.h"

#include <charconv>

namespace {

std::string decimal(long long n) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    return std::string(buf, res.ptr);
}

// One conversion starting at format[i] == '%'.
struct Conversion {
    std::size_t length = 0; // characters from the '%' to the end of the conversion
    int position = 0;       // 0 when none was given
    char kind = 0;          // '@', 'd', '%'; 0 when the sequence is not a conversion
};

Conversion readConversion(std::string_view f, std::size_t i) {
    Conversion s;
    std::size_t j = i + 1;
    if (j < f.size() && f[j] == '%') {
        s.length = 2;
        s.kind = '%';
        return s;
    }
    // Optional "n$".
    std::size_t k = j;
    int n = 0;
    while (k < f.size() && f[k] >= '0' && f[k] <= '9' && n < 1000) {
        n = n * 10 + (f[k] - '0');
        ++k;
    }
    if (k > j && k < f.size() && f[k] == '$' && n > 0) {
        s.position = n;
        j = k + 1;
    }
    // Optional length modifier.
    while (j < f.size() && (f[j] == 'l' || f[j] == 'h' || f[j] == 'q' || f[j] == 'z'))
        ++j;
    if (j < f.size()) {
        char c = f[j];
        if (c == '@' || c == 's')
            s.kind = '@';
        else if (c == 'd' || c == 'i' || c == 'u')
            s.kind = 'd';
    }
    s.length = s.kind ? j + 1 - i : 1;
    return s;
}

} // namespace

std::string KXFormat::Arg::asText() const {
    return isText_ ? text_ : decimal(number_);
}

std::string KXFormat::format(std::string_view f, std::span<const Arg> args) {
    std::string out;
    out.reserve(f.size() + 16);
    std::size_t next = 0; // index of the next sequential argument
    for (std::size_t i = 0; i < f.size();) {
        if (f[i] != '%') {
            std::size_t p = f.find('%', i);
            if (p == std::string_view::npos) p = f.size();
            out.append(f.substr(i, p - i));
            i = p;
            continue;
        }
        Conversion s = readConversion(f, i);
        if (s.kind == '%') {
            out.push_back('%');
        } else if (s.kind == 0) {
            out.push_back('%');
        } else {
            std::size_t index = s.position > 0 ? static_cast<std::size_t>(s.position - 1) : next++;
            if (index < args.size())
                out += args[index].asText();
            else
                out.append(f.substr(i, s.length));
        }
        i += s.length;
    }
    return out;
}

KXFormat::Scan KXFormat::scan(std::string_view f) {
    Scan result;
    int next = 1;
    bool sawPositional = false, sawSequential = false;
    for (std::size_t i = 0; i < f.size();) {
        if (f[i] != '%') {
            ++i;
            continue;
        }
        Conversion s = readConversion(f, i);
        if (s.kind == 0) {
            result.problems.push_back("stray \"%\" at offset " + std::to_string(i));
        } else if (s.kind != '%') {
            int position = s.position > 0 ? s.position : next++;
            (s.position > 0 ? sawPositional : sawSequential) = true;
            result.placeholders.push_back({position, s.kind});
        }
        i += s.length;
    }
    if (sawPositional && sawSequential)
        result.problems.push_back("positional and sequential placeholders mixed");
    return result;
}
