#include "keyd/TpmDevice.h"

#include "vaultkit/quickunlock/TpmKeyPolicy.h"

#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tcti_device.h>
#include <tss2/tss2_tcti_swtpm.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace vaultkit {

namespace {

// The parameter encryption of the sessions that carry a secret.
TPMT_SYM_DEF aes128Cfb() {
    TPMT_SYM_DEF symmetric{};
    symmetric.algorithm = TPM2_ALG_AES;
    symmetric.keyBits.aes = 128;
    symmetric.mode.aes = TPM2_ALG_CFB;
    return symmetric;
}

std::string describe(const char* what, TSS2_RC rc) {
    return std::string(what) + ": " + Tss2_RC_Decode(rc);
}

// Whether `rc` is the TPM's own answer to a command (as opposed to a failure
// to reach it, or of the software stack around it).
bool fromTpm(TSS2_RC rc) {
    return (rc & TSS2_RC_LAYER_MASK) == TSS2_TPM_RC_LAYER;
}

// Whether the TPM refused the command for what it was given (as opposed to a
// passing condition: out of memory, retry, still testing).
bool refusedByTpm(TSS2_RC rc) {
    if (!fromTpm(rc)) return false;
    const bool formatOne = (rc & TPM2_RC_FMT1) != 0;
    const bool warning = !formatOne && (rc & TPM2_RC_WARN) == TPM2_RC_WARN;
    return !warning;
}

// The stack's finalize macro casts in the C way.
void finalizeTransport(TSS2_TCTI_CONTEXT* tcti) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
    Tss2_Tcti_Finalize(tcti);
#pragma GCC diagnostic pop
    std::free(tcti);
}

// Esys_Free for the stack's output structures.
struct EsysFree {
    void operator()(void* p) const { Esys_Free(p); }
};
template <class T> using EsysPtr = std::unique_ptr<T, EsysFree>;

// The storage primary of each transport, saved as a context after it was
// first made: loading it back costs a fraction of making it again, and it is
// made again only when the TPM no longer takes the context (a TPM reset or
// restart, a cleared TPM).
class PrimaryCache {
public:
    static std::optional<TPMS_CONTEXT> get(const std::string& transport) {
        std::lock_guard lock(mutex());
        const auto it = map().find(transport);
        if (it == map().end()) return std::nullopt;
        return it->second;
    }
    static void put(const std::string& transport, const TPMS_CONTEXT& context) {
        std::lock_guard lock(mutex());
        map()[transport] = context;
    }
    static void drop(const std::string& transport) {
        std::lock_guard lock(mutex());
        map().erase(transport);
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::map<std::string, TPMS_CONTEXT>& map() {
        static std::map<std::string, TPMS_CONTEXT> m;
        return m;
    }
};

// One connection: the transport and the ESYS context over it.
class Connection {
public:
    explicit Connection(const std::string& transport)
        : transport_(transport) {
        using Init = TSS2_RC (*)(TSS2_TCTI_CONTEXT*, size_t*, const char*);
        Init init = nullptr;
        std::string conf;
        if (transport.rfind("device:", 0) == 0) {
            init = Tss2_Tcti_Device_Init;
            conf = transport.substr(7);
            // Looked at first: the stack would print an error line of its own
            // on standard error for a machine without a TPM, at every check.
            if (::access(conf.c_str(), R_OK | W_OK) != 0)
                throw TpmDevice::Error("cannot open the TPM: " + conf + ": " + std::strerror(errno));
        } else if (transport.rfind("swtpm:", 0) == 0) {
            init = Tss2_Tcti_Swtpm_Init;
            conf = transport.substr(6);
        } else {
            throw TpmDevice::Error("unknown TPM transport");
        }
        size_t size = 0;
        TSS2_RC rc = init(nullptr, &size, conf.c_str());
        if (rc != TSS2_RC_SUCCESS) throw TpmDevice::Error(describe("TPM transport", rc));
        tcti_ = static_cast<TSS2_TCTI_CONTEXT*>(std::calloc(1, size));
        if (!tcti_) throw TpmDevice::Error("out of memory");
        rc = init(tcti_, &size, conf.c_str());
        if (rc != TSS2_RC_SUCCESS) {
            std::free(tcti_);
            throw TpmDevice::Error(describe("cannot open the TPM", rc));
        }
        rc = Esys_Initialize(&esys_, tcti_, nullptr);
        if (rc != TSS2_RC_SUCCESS) {
            finalizeTransport(tcti_);
            throw TpmDevice::Error(describe("cannot talk to the TPM", rc));
        }
    }
    ~Connection() {
        // Transient objects are flushed by hand: a TPM without a resource
        // manager (a software TPM) keeps them after the connection closes.
        for (auto it = transients_.rbegin(); it != transients_.rend(); ++it)
            Esys_FlushContext(esys_, *it);
        Esys_Finalize(&esys_);
        finalizeTransport(tcti_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ESYS_CONTEXT* esys() const { return esys_; }
    void track(ESYS_TR handle) { transients_.push_back(handle); }
    void flush(ESYS_TR handle) {
        Esys_FlushContext(esys_, handle);
        forget(handle);
    }
    // `handle` is gone already (a session the TPM ended after its command).
    void forget(ESYS_TR handle) {
        transients_.erase(std::remove(transients_.begin(), transients_.end(), handle), transients_.end());
    }

    // The storage primary key, loaded from its saved context when the TPM
    // still takes it, else made afresh (and its context saved).
    ESYS_TR primary() {
        if (const auto saved = PrimaryCache::get(transport_)) {
            ESYS_TR loaded = ESYS_TR_NONE;
            if (Esys_ContextLoad(esys_, &*saved, &loaded) == TSS2_RC_SUCCESS) {
                track(loaded);
                return loaded;
            }
            PrimaryCache::drop(transport_);
        }
        const ESYS_TR made = createPrimary();
        TPMS_CONTEXT* context = nullptr;
        if (Esys_ContextSave(esys_, made, &context) == TSS2_RC_SUCCESS && context) {
            PrimaryCache::put(transport_, *context);
            Esys_Free(context);
        }
        return made;
    }

    // A session salted with the primary and encrypting the first parameter
    // of the command (AES-128-CFB), for commands that carry a key's
    // authorisation value: the value never crosses the TPM's bus in clear.
    ESYS_TR saltedSession(ESYS_TR primary) {
        TPMT_SYM_DEF symmetric = aes128Cfb();
        ESYS_TR session = ESYS_TR_NONE;
        TSS2_RC rc =
            Esys_StartAuthSession(esys_, primary, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                  nullptr, TPM2_SE_HMAC, &symmetric, TPM2_ALG_SHA256, &session);
        if (rc != TSS2_RC_SUCCESS) throw TpmDevice::Error(describe("cannot start a salted TPM session", rc));
        track(session);
        rc = Esys_TRSess_SetAttributes(esys_, session, TPMA_SESSION_DECRYPT | TPMA_SESSION_CONTINUESESSION,
                                       TPMA_SESSION_DECRYPT | TPMA_SESSION_ENCRYPT |
                                           TPMA_SESSION_CONTINUESESSION);
        if (rc != TSS2_RC_SUCCESS) throw TpmDevice::Error(describe("cannot set up a salted TPM session", rc));
        return session;
    }

    // The storage primary key of the owner hierarchy, from the fixed
    // template of an ECC P-256 storage key: the same key each time while the
    // owner seed stays the same.
    ESYS_TR createPrimary() {
        TPM2B_SENSITIVE_CREATE sensitive{};
        TPM2B_PUBLIC templ{};
        auto& area = templ.publicArea;
        area.type = TPM2_ALG_ECC;
        area.nameAlg = TPM2_ALG_SHA256;
        area.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                                TPMA_OBJECT_NODA | TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT;
        area.parameters.eccDetail.symmetric.algorithm = TPM2_ALG_AES;
        area.parameters.eccDetail.symmetric.keyBits.aes = 128;
        area.parameters.eccDetail.symmetric.mode.aes = TPM2_ALG_CFB;
        area.parameters.eccDetail.scheme.scheme = TPM2_ALG_NULL;
        area.parameters.eccDetail.curveID = TPM2_ECC_NIST_P256;
        area.parameters.eccDetail.kdf.scheme = TPM2_ALG_NULL;
        TPM2B_DATA outside{};
        TPML_PCR_SELECTION pcrs{};
        ESYS_TR primary = ESYS_TR_NONE;
        TPM2B_PUBLIC* outPublic = nullptr;
        TPM2B_CREATION_DATA* creationData = nullptr;
        TPM2B_DIGEST* creationHash = nullptr;
        TPMT_TK_CREATION* ticket = nullptr;
        const TSS2_RC rc = Esys_CreatePrimary(esys_, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                              ESYS_TR_NONE, &sensitive, &templ, &outside, &pcrs, &primary,
                                              &outPublic, &creationData, &creationHash, &ticket);
        Esys_Free(outPublic);
        Esys_Free(creationData);
        Esys_Free(creationHash);
        Esys_Free(ticket);
        if (rc != TSS2_RC_SUCCESS) throw TpmDevice::Error(describe("cannot make the storage key", rc));
        track(primary);
        return primary;
    }

private:
    std::string transport_;
    TSS2_TCTI_CONTEXT* tcti_ = nullptr;
    ESYS_CONTEXT* esys_ = nullptr;
    std::vector<ESYS_TR> transients_;
};

// Whether `rc` is the TPM's refusal of an authorisation (a wrong value, or a
// policy session that does not satisfy the key's policy).
bool authRefused(TSS2_RC rc) {
    if (!fromTpm(rc) || (rc & TPM2_RC_FMT1) == 0) return false;
    const TSS2_RC code = rc & (TPM2_RC_FMT1 | 0x3f);
    return code == TPM2_RC_AUTH_FAIL || code == TPM2_RC_POLICY_FAIL || code == TPM2_RC_BAD_AUTH;
}

using PcrValue = TpmKeyPolicy::PcrValue;

// The key's policy (TpmKeyPolicy), its failure as the TPM's.
TPM2B_DIGEST keyPolicy(const std::optional<PcrValue>& bootState = std::nullopt) {
    try {
        return TpmKeyPolicy::digest(bootState);
    } catch (const TpmKeyPolicy::Error& e) {
        throw TpmDevice::Error(e.what());
    }
}

bool samePolicy(const TPM2B_DIGEST& a, const TPM2B_DIGEST& b) {
    return TpmKeyPolicy::same(a, b);
}

TPML_PCR_SELECTION bootStateSelection() {
    return TpmKeyPolicy::bootStateSelection();
}

// The boot state as the firmware measured it; nothing where it measured
// nothing (PCR 7 all zeros: no measured boot, as in many virtual machines).
std::optional<PcrValue> measuredBootState(ESYS_CONTEXT* esys) {
    const TPML_PCR_SELECTION pcrs = bootStateSelection();
    UINT32 counter = 0;
    TPML_PCR_SELECTION* outSelection = nullptr;
    TPML_DIGEST* values = nullptr;
    const TSS2_RC rc = Esys_PCR_Read(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &pcrs, &counter,
                                     &outSelection, &values);
    EsysPtr<TPML_PCR_SELECTION> ownedSelection(outSelection);
    EsysPtr<TPML_DIGEST> ownedValues(values);
    if (rc != TSS2_RC_SUCCESS) throw TpmDevice::Error(describe("cannot read the boot state", rc));
    if (values->count != 1 || values->digests[0].size != 32) return std::nullopt;
    PcrValue value{};
    std::memcpy(value.data(), values->digests[0].buffer, 32);
    if (std::all_of(value.begin(), value.end(), [](std::uint8_t b) { return b == 0; })) return std::nullopt;
    return value;
}

// The template of a vault key: an unrestricted P-256 decryption key usable
// for key agreement.
TPM2B_PUBLIC keyTemplate() {
    TPM2B_PUBLIC templ{};
    auto& area = templ.publicArea;
    area.type = TPM2_ALG_ECC;
    area.nameAlg = TPM2_ALG_SHA256;
    area.objectAttributes = TpmKeyPolicy::attributes;
    area.authPolicy = keyPolicy();
    area.parameters.eccDetail.symmetric.algorithm = TPM2_ALG_NULL;
    area.parameters.eccDetail.scheme.scheme = TPM2_ALG_NULL;
    area.parameters.eccDetail.curveID = TPM2_ECC_NIST_P256;
    area.parameters.eccDetail.kdf.scheme = TPM2_ALG_NULL;
    return templ;
}

bool isVaultKey(const TPMT_PUBLIC& area) {
    return TpmKeyPolicy::isVaultKey(area);
}

// A coordinate as 32 big-endian bytes (the TPM may drop leading zeros).
void putCoordinate(const TPM2B_ECC_PARAMETER& from, std::uint8_t* to) {
    std::memset(to, 0, 32);
    const std::size_t n = std::min<std::size_t>(from.size, 32);
    std::memcpy(to + 32 - n, from.buffer + from.size - n, n);
}

P256PublicKey publicKeyOf(const TPMT_PUBLIC& area) {
    P256PublicKey key;
    key.x963[0] = 0x04;
    putCoordinate(area.unique.ecc.x, key.x963.data() + 1);
    putCoordinate(area.unique.ecc.y, key.x963.data() + 33);
    return key;
}

// A loaded key with its own connection; what a key agreement runs on.
struct LoadedKey {
    std::mutex mutex;
    std::unique_ptr<Connection> connection;
    ESYS_TR key = ESYS_TR_NONE;
    bool boundToBootState = false;

    // The key's value leaves the stack's memory with the key.
    ~LoadedKey() {
        if (connection && key != ESYS_TR_NONE) {
            TPM2B_AUTH empty{};
            Esys_TR_SetAuth(connection->esys(), key, &empty);
        }
    }

    // A policy session that satisfies the key's policy: PolicyAuthValue,
    // PolicyCommandCode(ECDH_ZGen). Neither salted nor bound, its HMAC and the
    // encryption of the response (the shared secret) are keyed with the
    // key's secret value alone, which never crosses the wire. Used once: the
    // TPM ends it after the command.
    ESYS_TR policySession() {
        ESYS_CONTEXT* esys = connection->esys();
        TPMT_SYM_DEF symmetric = aes128Cfb();
        ESYS_TR session = ESYS_TR_NONE;
        TSS2_RC rc =
            Esys_StartAuthSession(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                  nullptr, TPM2_SE_POLICY, &symmetric, TPM2_ALG_SHA256, &session);
        if (rc != TSS2_RC_SUCCESS) throw TpmDevice::Error(describe("cannot start a TPM session", rc));
        connection->track(session);
        rc = Esys_TRSess_SetAttributes(esys, session, TPMA_SESSION_ENCRYPT,
                                       TPMA_SESSION_ENCRYPT | TPMA_SESSION_CONTINUESESSION);
        if (rc == TSS2_RC_SUCCESS && boundToBootState) {
            // The TPM compares the boot state now with the one the key was
            // made under.
            const TPML_PCR_SELECTION pcrs = bootStateSelection();
            const TPM2B_DIGEST now{};
            rc = Esys_PolicyPCR(esys, session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &now, &pcrs);
        }
        if (rc == TSS2_RC_SUCCESS)
            rc = Esys_PolicyAuthValue(esys, session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE);
        if (rc == TSS2_RC_SUCCESS)
            rc = Esys_PolicyCommandCode(esys, session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                        TPM2_CC_ECDH_ZGen);
        if (rc != TSS2_RC_SUCCESS) {
            connection->flush(session);
            throw TpmDevice::Error(describe("cannot set up a TPM session", rc));
        }
        return session;
    }

    std::vector<std::uint8_t> agree(const P256PublicKey& peer) {
        std::lock_guard lock(mutex);
        const ESYS_TR session = policySession();
        TPM2B_ECC_POINT in{};
        in.point.x.size = 32;
        std::memcpy(in.point.x.buffer, peer.x963.data() + 1, 32);
        in.point.y.size = 32;
        std::memcpy(in.point.y.buffer, peer.x963.data() + 33, 32);
        TPM2B_ECC_POINT* out = nullptr;
        const TSS2_RC rc =
            Esys_ECDH_ZGen(connection->esys(), key, session, ESYS_TR_NONE, ESYS_TR_NONE, &in, &out);
        EsysPtr<TPM2B_ECC_POINT> owned(out);
        if (rc == TSS2_RC_SUCCESS) {
            // Ended by the TPM with the command.
            connection->forget(session);
        } else {
            connection->flush(session);
            if (authRefused(rc))
                throw TpmDevice::WrongAuth(describe("the TPM refused the key's authorisation", rc));
            if (refusedByTpm(rc)) throw CryptoError(describe("key agreement failed", rc));
            throw TpmDevice::Error(describe("lost the TPM", rc));
        }
        std::vector<std::uint8_t> shared(32);
        putCoordinate(out->point.x, shared.data());
        OPENSSL_cleanse(out, sizeof *out);
        return shared;
    }
};

} // namespace

TpmDevice::TpmDevice(std::string transport)
    : transport_(std::move(transport)) {}

bool TpmDevice::answers() const {
    try {
        Connection c(transport_);
        TPMI_YES_NO more = TPM2_NO;
        TPMS_CAPABILITY_DATA* data = nullptr;
        TSS2_RC rc = Esys_GetCapability(c.esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                        TPM2_CAP_TPM_PROPERTIES, TPM2_PT_FAMILY_INDICATOR, 1, &more, &data);
        EsysPtr<TPMS_CAPABILITY_DATA> props(data);
        // "2.0" as four bytes.
        if (rc != TSS2_RC_SUCCESS || props->data.tpmProperties.count < 1 ||
            props->data.tpmProperties.tpmProperty[0].property != TPM2_PT_FAMILY_INDICATOR ||
            props->data.tpmProperties.tpmProperty[0].value != 0x322e3000)
            return false;
        data = nullptr;
        rc = Esys_GetCapability(c.esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, TPM2_CAP_ECC_CURVES,
                                TPM2_ECC_NIST_P256, 1, &more, &data);
        EsysPtr<TPMS_CAPABILITY_DATA> curves(data);
        return rc == TSS2_RC_SUCCESS && curves->data.eccCurves.count >= 1 &&
               curves->data.eccCurves.eccCurves[0] == TPM2_ECC_NIST_P256;
    } catch (const Error&) {
        return false;
    }
}

TpmDevice::Key TpmDevice::createKey(const Auth& auth) const {
    Connection c(transport_);
    const ESYS_TR primary = c.primary();
    const ESYS_TR session = c.saltedSession(primary);
    TPM2B_SENSITIVE_CREATE sensitive{};
    sensitive.sensitive.userAuth.size = static_cast<UINT16>(auth.size());
    std::memcpy(sensitive.sensitive.userAuth.buffer, auth.data(), auth.size());
    struct Cleanse {
        TPM2B_SENSITIVE_CREATE& s;
        ~Cleanse() { OPENSSL_cleanse(&s, sizeof s); }
    } cleanse{sensitive};
    TPM2B_PUBLIC templ = keyTemplate();
    // Bound to the boot state where the firmware measures it.
    if (const auto bootState = measuredBootState(c.esys()))
        templ.publicArea.authPolicy = keyPolicy(bootState);
    TPM2B_DATA outside{};
    TPML_PCR_SELECTION pcrs{};
    TPM2B_PRIVATE* outPrivate = nullptr;
    TPM2B_PUBLIC* outPublic = nullptr;
    TPM2B_CREATION_DATA* creationData = nullptr;
    TPM2B_DIGEST* creationHash = nullptr;
    TPMT_TK_CREATION* ticket = nullptr;
    const TSS2_RC rc =
        Esys_Create(c.esys(), primary, session, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &templ, &outside,
                    &pcrs, &outPrivate, &outPublic, &creationData, &creationHash, &ticket);
    EsysPtr<TPM2B_PRIVATE> priv(outPrivate);
    EsysPtr<TPM2B_PUBLIC> pub(outPublic);
    Esys_Free(creationData);
    Esys_Free(creationHash);
    Esys_Free(ticket);
    if (rc != TSS2_RC_SUCCESS) throw Error(describe("cannot make a key in the TPM", rc));
    if (!isVaultKey(pub->publicArea)) throw Error("the TPM made a key of the wrong kind");

    Key key;
    key.handle.resize(sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE));
    size_t offset = 0;
    if (Tss2_MU_TPM2B_PUBLIC_Marshal(pub.get(), key.handle.data(), key.handle.size(), &offset) !=
            TSS2_RC_SUCCESS ||
        Tss2_MU_TPM2B_PRIVATE_Marshal(priv.get(), key.handle.data(), key.handle.size(), &offset) !=
            TSS2_RC_SUCCESS)
        throw Error("cannot encode the key");
    key.handle.resize(offset);
    key.publicKey = publicKeyOf(pub->publicArea);
    return key;
}

std::optional<Sealing::Agree> TpmDevice::loadKey(const std::vector<std::uint8_t>& handle,
                                                 const Auth& auth) const {
    // The handle must be exactly the two blobs, in the TPM's encoding.
    TPM2B_PUBLIC pub{};
    TPM2B_PRIVATE priv{};
    size_t offset = 0;
    if (Tss2_MU_TPM2B_PUBLIC_Unmarshal(handle.data(), handle.size(), &offset, &pub) != TSS2_RC_SUCCESS ||
        Tss2_MU_TPM2B_PRIVATE_Unmarshal(handle.data(), handle.size(), &offset, &priv) != TSS2_RC_SUCCESS ||
        offset != handle.size() || !isVaultKey(pub.publicArea))
        return std::nullopt;

    auto loaded = std::make_shared<LoadedKey>();
    loaded->connection = std::make_unique<Connection>(transport_);
    Connection& c = *loaded->connection;
    const ESYS_TR primary = c.primary();
    ESYS_TR key = ESYS_TR_NONE;
    const TSS2_RC rc =
        Esys_Load(c.esys(), primary, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &priv, &pub, &key);
    if (rc != TSS2_RC_SUCCESS) {
        // The TPM's refusal (integrity check failed, wrong parent, bad
        // blob) means the handle is not for this TPM; anything else is a
        // failure to reach it.
        if (refusedByTpm(rc)) return std::nullopt;
        throw Error(describe("cannot load the key", rc));
    }
    c.track(key);
    loaded->key = key;
    // A key bound to a boot state other than this one is gone for good
    // (quick unlock asks for the password then, as for any lost key).
    if (!samePolicy(pub.publicArea.authPolicy, keyPolicy())) {
        const auto bootState = measuredBootState(c.esys());
        if (!bootState || !samePolicy(pub.publicArea.authPolicy, keyPolicy(bootState))) return std::nullopt;
        loaded->boundToBootState = true;
    }
    TPM2B_AUTH value{};
    value.size = static_cast<UINT16>(auth.size());
    std::memcpy(value.buffer, auth.data(), auth.size());
    const TSS2_RC set = Esys_TR_SetAuth(c.esys(), key, &value);
    OPENSSL_cleanse(&value, sizeof value);
    if (set != TSS2_RC_SUCCESS) throw Error(describe("cannot use the key", set));
    // The parent is not needed any more; free its slot.
    c.flush(primary);
    return Sealing::Agree([loaded](const P256PublicKey& peer) { return loaded->agree(peer); });
}

} // namespace vaultkit
