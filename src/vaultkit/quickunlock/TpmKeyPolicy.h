#pragma once

#include <tss2/tss2_tpm2_types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace vaultkit {

// What a quick-unlock key of the TPM is, as the key service makes it and as
// anyone can read it from a handle without a TPM: its attributes and its
// policy (PolicyPCR over the boot state where the firmware measures one,
// PolicyAuthValue, PolicyCommandCode ECDH_ZGen), computed the way the TPM
// extends a policy digest. The service (TpmDevice) makes and loads the keys;
// a client only reads what a handle says.
class TpmKeyPolicy {
public:
    TpmKeyPolicy() = delete;

    // The digest cannot be computed (the hash failed).
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // The boot state a key can be bound to: PCR 7 of the SHA-256 bank, where
    // the firmware measures the Secure Boot state (its keys and whether it is
    // on).
    static constexpr std::uint32_t bootStatePcr = 7;
    using PcrValue = std::array<std::uint8_t, 32>;
    static TPML_PCR_SELECTION bootStateSelection();

    // The attributes of a vault key: bound to this TPM and its parent, made
    // inside the TPM, no lockout for wrong values (the value is not a user's
    // guessable password), and both the user and the admin role only through
    // the policy.
    static constexpr TPMA_OBJECT attributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                              TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_ADMINWITHPOLICY |
                                              TPMA_OBJECT_NODA | TPMA_OBJECT_DECRYPT;

    // The key's policy digest, bound to `bootState` when one is given.
    // Throws Error.
    static TPM2B_DIGEST digest(const std::optional<PcrValue>& bootState = std::nullopt);
    static bool same(const TPM2B_DIGEST& a, const TPM2B_DIGEST& b);

    // Whether a public area read from a handle is a key of this kind: the
    // attributes exactly and a policy of 32 bytes (a key usable without the
    // policy, such as one with the user role open to its plain value, is not
    // one). Which policy it is, is told when the key is used.
    static bool isVaultKey(const TPMT_PUBLIC& area);

    // Whether the key of `handle` (the TPM's blobs, TPM2B_PUBLIC first) is
    // bound to the boot state; false for bytes that are not such a key.
    static bool boundToBootState(const std::vector<std::uint8_t>& handle);
};

} // namespace vaultkit
