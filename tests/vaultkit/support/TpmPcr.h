#pragma once

#include <string>

namespace vaulttest {

// Extends PCR `pcr` (SHA-256 bank) of the TPM at `transport` with a fixed
// measurement, as firmware does when it measures the boot state.
void extendPcr(const std::string& transport, int pcr);

} // namespace vaulttest
