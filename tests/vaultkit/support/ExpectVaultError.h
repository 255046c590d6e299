#pragma once

// Checking the VaultError an action throws.

#include "vaultkit/error/VaultError.h"

#include <gtest/gtest.h>

#include <exception>
#include <optional>
#include <string>

namespace vaulttest {

// Runs f and returns the VaultError it throws; fails the test when it throws
// something else or nothing.
template <class F> std::optional<vaultkit::VaultError> vaultErrorOf(F&& f) {
    try {
        f();
    } catch (const vaultkit::VaultError& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "threw a non-VaultError: " << e.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "did not throw";
    return std::nullopt;
}

// Expects f to throw exactly `expected` (payloads included); `what` names
// the case in the failure message.
template <class F>
void expectVaultError(F&& f, const vaultkit::VaultError& expected, const std::string& what = {}) {
    const auto error = vaultErrorOf(std::forward<F>(f));
    if (error)
        EXPECT_EQ(*error, expected) << "got " << error->what() << ", expected " << expected.what() << " "
                                    << what;
    else
        ADD_FAILURE() << "expected " << expected.what() << " " << what;
}

} // namespace vaulttest
