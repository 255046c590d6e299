#include "support/TpmPcr.h"

#include <tss2/tss2_esys.h>
#include <tss2/tss2_tcti_swtpm.h>

#include <cstdlib>
#include <stdexcept>

namespace vaulttest {

void extendPcr(const std::string& transport, int pcr) {
    if (transport.rfind("swtpm:", 0) != 0) throw std::runtime_error("not a software TPM: " + transport);
    const std::string conf = transport.substr(6);
    size_t size = 0;
    if (Tss2_Tcti_Swtpm_Init(nullptr, &size, conf.c_str()) != TSS2_RC_SUCCESS)
        throw std::runtime_error("no TPM transport");
    auto* tcti = static_cast<TSS2_TCTI_CONTEXT*>(std::calloc(1, size));
    ESYS_CONTEXT* esys = nullptr;
    TSS2_RC rc = Tss2_Tcti_Swtpm_Init(tcti, &size, conf.c_str());
    if (rc == TSS2_RC_SUCCESS) rc = Esys_Initialize(&esys, tcti, nullptr);
    if (rc == TSS2_RC_SUCCESS) {
        TPML_DIGEST_VALUES digests{};
        digests.count = 1;
        digests.digests[0].hashAlg = TPM2_ALG_SHA256;
        for (int i = 0; i < 32; ++i)
            digests.digests[0].digest.sha256[i] = static_cast<BYTE>(0x40 + i);
        rc = Esys_PCR_Extend(esys, static_cast<ESYS_TR>(ESYS_TR_PCR0 + pcr), ESYS_TR_PASSWORD, ESYS_TR_NONE,
                             ESYS_TR_NONE, &digests);
        Esys_Finalize(&esys);
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
    Tss2_Tcti_Finalize(tcti);
#pragma GCC diagnostic pop
    std::free(tcti);
    if (rc != TSS2_RC_SUCCESS) throw std::runtime_error("cannot extend the PCR");
}

} // namespace vaulttest
