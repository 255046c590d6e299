#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vaultkit {

// A 128-bit identifier. Its text form is the canonical one: upper-case
// hexadecimal in the groups 8-4-4-4-12, joined by hyphens.
class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    Uuid() = default;
    explicit Uuid(const Bytes& bytes)
        : bytes_(bytes) {}

    // A new random (version 4) identifier from the system's cryptographic
    // random source; a failure of that source throws std::runtime_error.
    static Uuid random();
    // Parses the 8-4-4-4-12 form; hexadecimal digits of either case. Anything
    // else (braces, missing hyphens, other lengths) gives nothing.
    static std::optional<Uuid> parse(std::string_view text);

    const Bytes& bytes() const { return bytes_; }
    std::string text() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

} // namespace vaultkit
