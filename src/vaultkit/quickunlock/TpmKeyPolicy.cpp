#include "vaultkit/quickunlock/TpmKeyPolicy.h"

#include <tss2/tss2_mu.h>

#include <openssl/evp.h>

#include <cstring>

namespace vaultkit {

namespace {

void appendCommandCode(std::vector<std::uint8_t>& out, TPM2_CC cc) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(cc >> shift));
}

// One step of a policy digest: SHA-256 of the digest so far and `data`.
TPM2B_DIGEST extend(const TPM2B_DIGEST& from, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> in(from.buffer, from.buffer + from.size);
    in.insert(in.end(), data.begin(), data.end());
    TPM2B_DIGEST to{};
    unsigned int size = 0;
    if (EVP_Digest(in.data(), in.size(), to.buffer, &size, EVP_sha256(), nullptr) != 1 || size != 32)
        throw TpmKeyPolicy::Error("cannot compute the key's policy");
    to.size = 32;
    return to;
}

} // namespace

TPML_PCR_SELECTION TpmKeyPolicy::bootStateSelection() {
    TPML_PCR_SELECTION pcrs{};
    pcrs.count = 1;
    pcrs.pcrSelections[0].hash = TPM2_ALG_SHA256;
    pcrs.pcrSelections[0].sizeofSelect = 3;
    pcrs.pcrSelections[0].pcrSelect[bootStatePcr / 8] = static_cast<BYTE>(1u << (bootStatePcr % 8));
    return pcrs;
}

TPM2B_DIGEST TpmKeyPolicy::digest(const std::optional<PcrValue>& bootState) {
    // The TPM starts a policy digest from zeros.
    TPM2B_DIGEST digest{};
    digest.size = 32;
    std::vector<std::uint8_t> step;
    if (bootState) {
        appendCommandCode(step, TPM2_CC_PolicyPCR);
        std::uint8_t selection[16];
        size_t offset = 0;
        const TPML_PCR_SELECTION pcrs = bootStateSelection();
        if (Tss2_MU_TPML_PCR_SELECTION_Marshal(&pcrs, selection, sizeof selection, &offset) !=
            TSS2_RC_SUCCESS)
            throw Error("cannot compute the key's policy");
        step.insert(step.end(), selection, selection + offset);
        unsigned char pcrDigest[32];
        unsigned int size = 0;
        if (EVP_Digest(bootState->data(), bootState->size(), pcrDigest, &size, EVP_sha256(), nullptr) != 1)
            throw Error("cannot compute the key's policy");
        step.insert(step.end(), pcrDigest, pcrDigest + 32);
        digest = extend(digest, step);
        step.clear();
    }
    appendCommandCode(step, TPM2_CC_PolicyAuthValue);
    digest = extend(digest, step);
    step.clear();
    appendCommandCode(step, TPM2_CC_PolicyCommandCode);
    appendCommandCode(step, TPM2_CC_ECDH_ZGen);
    return extend(digest, step);
}

bool TpmKeyPolicy::same(const TPM2B_DIGEST& a, const TPM2B_DIGEST& b) {
    return a.size == b.size && std::memcmp(a.buffer, b.buffer, a.size) == 0;
}

bool TpmKeyPolicy::isVaultKey(const TPMT_PUBLIC& area) {
    return area.type == TPM2_ALG_ECC && area.nameAlg == TPM2_ALG_SHA256 &&
           area.parameters.eccDetail.curveID == TPM2_ECC_NIST_P256 && area.objectAttributes == attributes &&
           area.authPolicy.size == 32 && area.unique.ecc.x.size <= 32 && area.unique.ecc.y.size <= 32;
}

bool TpmKeyPolicy::boundToBootState(const std::vector<std::uint8_t>& handle) {
    TPM2B_PUBLIC pub{};
    size_t offset = 0;
    if (Tss2_MU_TPM2B_PUBLIC_Unmarshal(handle.data(), handle.size(), &offset, &pub) != TSS2_RC_SUCCESS ||
        !isVaultKey(pub.publicArea))
        return false;
    return !same(pub.publicArea.authPolicy, digest());
}

} // namespace vaultkit
