// The keyring client against a real Secret Service (gnome-keyring-daemon on a
// private bus): what is stored is what the desktop's own tool sees, items of
// different vaults stay apart, and a missing or locked keyring is reported as
// such, never as "no password stored".
#include "support/TestKeyring.h"
#include "vaultkit/keyring/SecretServiceKeyring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

using vaultkit::KeyringError;
using vaultkit::SecretServiceKeyring;
using vaulttest::TestKeyring;

namespace {

const std::string kVaultA = "5A0F4C1E-0000-4000-8000-00000000000A";
const std::string kVaultB = "5A0F4C1E-0000-4000-8000-00000000000B";

// The kind of KeyringError `call` throws; fails the test when it throws none.
std::optional<KeyringError::Kind> keyringErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const KeyringError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no KeyringError";
    return std::nullopt;
}

TEST(SecretServiceKeyring, StoresReplacesAndDeletesOneItemPerVault) {
    TestKeyring service;
    SecretServiceKeyring keyring;
    keyring.open();
    EXPECT_EQ(keyring.password(kVaultA), std::nullopt);

    // Passwords are bytes: spaces, a carriage return, non-ASCII text and a
    // long one come back exactly.
    const std::string passwords[] = {"correct horse 1", " spaced  out\r", "pässwörd ключ 鍵 🔑",
                                     std::string(2000, 'x') + "end"};
    for (const std::string& password : passwords) {
        SCOPED_TRACE(password.substr(0, 20));
        keyring.store(kVaultA, "Work Files", password);
        EXPECT_EQ(keyring.password(kVaultA), password);
        // one item, replaced in place, labelled with the vault's name
        const auto items = service.items(kVaultA);
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].label, "Work Files");
        EXPECT_EQ(items[0].secret, password);
    }

    // a copy the user moved to another keyring is replaced too: never two
    // passwords for one vault
    service.storeInSessionKeyring(kVaultA, "moved older password");
    ASSERT_EQ(service.items(kVaultA).size(), 2u);
    keyring.store(kVaultA, "Work Files", "newest password");
    ASSERT_EQ(service.items(kVaultA).size(), 1u);
    EXPECT_EQ(keyring.password(kVaultA), "newest password");

    keyring.store(kVaultB, "Other", "other password");
    EXPECT_TRUE(keyring.remove(kVaultA));
    EXPECT_EQ(keyring.password(kVaultA), std::nullopt);
    EXPECT_TRUE(service.items(kVaultA).empty());
    EXPECT_FALSE(keyring.remove(kVaultA)); // nothing left to delete
    // the other vault's item is untouched
    EXPECT_EQ(keyring.password(kVaultB), "other password");
    EXPECT_EQ(service.items(kVaultB).at(0).secret, "other password");
}

TEST(SecretServiceKeyring, ItemsSurviveARestartOfTheService) {
    TestKeyring service;
    SecretServiceKeyring keyring;
    keyring.store(kVaultA, "Docs", "kept on disk");
    service.stop();
    service.start();
    EXPECT_EQ(keyring.password(kVaultA), "kept on disk");
}

TEST(SecretServiceKeyring, NoServiceIsReportedByEveryCall) {
    TestKeyring service(false);
    SecretServiceKeyring keyring;
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"open", [&] { keyring.open(); }},
        {"password", [&] { (void)keyring.password(kVaultA); }},
        {"store", [&] { keyring.store(kVaultA, "Docs", "secret 123"); }},
        {"remove", [&] { (void)keyring.remove(kVaultA); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_EQ(keyringErrorOf(call), KeyringError::Kind::noService);
    }
    // the same object works once a service runs
    service.start();
    keyring.store(kVaultA, "Docs", "secret 123");
    EXPECT_EQ(keyring.password(kVaultA), "secret 123");
}

TEST(SecretServiceKeyring, ALockedKeyringThatStaysLockedIsNeverTakenForAMissingItem) {
    TestKeyring service;
    SecretServiceKeyring keyring;
    keyring.store(kVaultA, "Docs", "secret 123");
    service.lock();
    const int before = service.promptsAsked();

    // the service is asked to prompt once; the prompt cannot be shown here,
    // which is what a dismissed prompt looks like
    EXPECT_EQ(keyringErrorOf([&] { keyring.open(); }), KeyringError::Kind::locked);
    EXPECT_EQ(service.promptsAsked(), before + 1);
    // the item exists but cannot be read: locked, not "none"
    EXPECT_EQ(keyringErrorOf([&] { (void)keyring.password(kVaultA); }), KeyringError::Kind::locked);
    EXPECT_EQ(keyringErrorOf([&] { keyring.store(kVaultA, "Docs", "new secret"); }),
              KeyringError::Kind::locked);
}

TEST(SecretServiceKeyring, CancelWithdrawsACallTheServiceDoesNotAnswer) {
    TestKeyring service;
    SecretServiceKeyring keyring;
    keyring.store(kVaultA, "Docs", "secret 123");
    // The service stops answering, as a hung one (or an unanswered prompt).
    ASSERT_EQ(::kill(service.daemonPid(), SIGSTOP), 0);
    std::optional<KeyringError::Kind> kind;
    std::thread call([&] { kind = keyringErrorOf([&] { (void)keyring.password(kVaultA); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // most likely waiting by now
    keyring.cancel();
    call.join();
    ::kill(service.daemonPid(), SIGCONT);
    // withdrawn, not a time-out of the bus call reported as a failure
    EXPECT_EQ(kind, KeyringError::Kind::cancelled);
    // for good: later calls are withdrawn at once
    EXPECT_EQ(keyringErrorOf([&] { keyring.open(); }), KeyringError::Kind::cancelled);
}

} // namespace
