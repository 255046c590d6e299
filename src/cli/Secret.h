#pragma once

#include <openssl/crypto.h>

#include <string>
#include <utility>

namespace cli {

// A password held by the command-line tool: overwritten when it goes away.
// Its storage is reserved up front so that growing it never leaves a copy
// behind in freed memory.
class Secret {
public:
    static constexpr std::size_t capacity = 4096;

    Secret() { value_.reserve(capacity); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept
        : value_(std::move(other.value_)) {
        other.value_.clear();
    }
    ~Secret() { wipe(); }

    const std::string& str() const { return value_; }
    // Appends one byte; false when the secret is full.
    bool push(char c) {
        if (value_.size() + 1 >= capacity) return false;
        value_.push_back(c);
        return true;
    }
    void wipe() {
        if (!value_.empty()) OPENSSL_cleanse(value_.data(), value_.size());
        value_.clear();
    }
    bool operator==(const Secret& other) const {
        return value_.size() == other.value_.size() &&
               CRYPTO_memcmp(value_.data(), other.value_.data(), value_.size()) == 0;
    }

private:
    std::string value_;
};

} // namespace cli
