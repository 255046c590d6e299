#pragma once

#include <concepts>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// printf-style formatting of localised texts, without a locale: numbers are
// plain ASCII digits with a leading "-" and no grouping, whatever the user's
// locale says.
//
// Conversions: "%@" a text, "%d" / "%i" / "%ld" / "%lld" / "%u" an integer,
// "%%" a percent sign. Every conversion may name its argument by position
// ("%1$@", "%2$d") so that a translation can reorder the arguments; without a
// position a conversion takes the argument after the previous one.
// A conversion without an argument, or anything else after "%", is copied
// unchanged, so a broken translation shows its gap instead of crashing. A
// text given to "%d" is written as it is; a number given to "%@" is written
// in decimal.
class KXFormat {
public:
    // One formatting argument: a text (UTF-8) or an integer.
    class Arg {
    public:
        Arg(std::string text)
            : isText_(true)
            , text_(std::move(text)) {}
        Arg(std::string_view text)
            : isText_(true)
            , text_(text) {}
        Arg(const char* text)
            : isText_(true)
            , text_(text ? text : "") {}
        template <std::integral T>
        Arg(T number)
            : isText_(false)
            , number_(static_cast<long long>(number)) {}
        // Anything that can give itself as UTF-8 (a QString, for example).
        template <class T>
        requires requires(const T& t) {
            { t.toStdString() } -> std::convertible_to<std::string>;
        }
        Arg(const T& text)
            : isText_(true)
            , text_(text.toStdString()) {}

        bool isText() const noexcept { return isText_; }
        // The argument as "%@" writes it.
        std::string asText() const;

    private:
        bool isText_;
        std::string text_;
        long long number_ = 0;
    };

    // The kind of one placeholder: '@' for a text, 'd' for an integer.
    struct Placeholder {
        int position; // 1-based argument number
        char kind;
        bool operator==(const Placeholder&) const = default;
    };

    // Result of reading a format's placeholders.
    struct Scan {
        std::vector<Placeholder> placeholders; // in order of appearance
        std::vector<std::string> problems;     // "%" sequences that are not conversions, mixed forms
    };

    static std::string format(std::string_view format, std::span<const Arg> args);
    static Scan scan(std::string_view format);
};
