#include "app/model/ErrorText.h"

#include "kxui/kx.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/keyring/Keyring.h"

#include <span>
#include <vector>

using vaultkit::KeyringError;
using vaultkit::VaultError;

QString describe(const std::exception& error) {
    if (const auto* ke = dynamic_cast<const vaultkit::KeyringError*>(&error)) return describeKeyring(*ke);
    if (const auto* ve = dynamic_cast<const VaultError*>(&error)) {
        const std::vector<std::string> args = ve->args();
        std::vector<KXFormat::Arg> formatArgs;
        formatArgs.reserve(args.size());
        for (const auto& a : args)
            formatArgs.emplace_back(a);
        if (formatArgs.empty()) return QString::fromStdString(KXStrings::text(ve->key()));
        return QString::fromStdString(
            KXStrings::text(ve->key(), std::span<const KXFormat::Arg>(formatArgs.data(), formatArgs.size())));
    }
    return QString::fromUtf8(error.what());
}

QString describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return describe(e);
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

std::string detailOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

QString describeKeyring(const KeyringError& error) {
    switch (error.kind()) {
    case KeyringError::Kind::noService:
        return kx("err.keyringNoService");
    case KeyringError::Kind::locked:
        return kx("err.keyringLocked");
    case KeyringError::Kind::failed:
    case KeyringError::Kind::cancelled:
        break;
    }
    return kx("err.keyringFailed", QString::fromUtf8(error.what()));
}
