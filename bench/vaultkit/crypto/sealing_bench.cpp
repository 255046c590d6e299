// Seal and open for both recipient kinds, and phrase parsing. Opening with a
// P-256 key includes the software key agreement that a hardware-held key
// would do elsewhere.
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/crypto/P256KeyPair.h"
#include "vaultkit/crypto/Sealing.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const std::string kPassword = "correct horse battery staple 42";

vaultkit::X25519PrivateKey recoveryKey() {
    return vaultkit::Mnemonic("legal winner thank year wave sausage worth useful legal winner thank yellow")
        .recoveryKey();
}

void BM_SealX25519(benchmark::State& state) {
    const auto pub = recoveryKey().publicKey();
    for (auto _ : state)
        benchmark::DoNotOptimize(vaultkit::Sealing::seal(kPassword, pub));
}
BENCHMARK(BM_SealX25519);

void BM_OpenX25519(benchmark::State& state) {
    const auto key = recoveryKey();
    const auto sealed = vaultkit::Sealing::seal(kPassword, key.publicKey());
    for (auto _ : state)
        benchmark::DoNotOptimize(vaultkit::Sealing::open(sealed, key));
}
BENCHMARK(BM_OpenX25519);

void BM_SealP256(benchmark::State& state) {
    const auto pair = vaultkit::P256KeyPair::generate();
    for (auto _ : state)
        benchmark::DoNotOptimize(vaultkit::Sealing::seal(kPassword, pair.publicKey()));
}
BENCHMARK(BM_SealP256);

void BM_OpenP256(benchmark::State& state) {
    const auto pair = vaultkit::P256KeyPair::generate();
    const auto sealed = vaultkit::Sealing::seal(kPassword, pair.publicKey());
    const vaultkit::Sealing::Agree agree = [&](const vaultkit::P256PublicKey& eph) {
        return pair.agree(eph);
    };
    for (auto _ : state)
        benchmark::DoNotOptimize(vaultkit::Sealing::open(sealed, agree, pair.publicKey()));
}
BENCHMARK(BM_OpenP256);

void BM_ParsePhrase(benchmark::State& state) {
    const std::string typed = "Legal, winner thank year\nwave saus worth useful lega winner thank yellow";
    for (auto _ : state)
        benchmark::DoNotOptimize(vaultkit::Mnemonic(typed));
}
BENCHMARK(BM_ParsePhrase);

void BM_RecoveryKey(benchmark::State& state) {
    const vaultkit::Mnemonic m = vaultkit::Mnemonic::generate();
    for (auto _ : state)
        benchmark::DoNotOptimize(m.recoveryKey().publicKey());
}
BENCHMARK(BM_RecoveryKey);

} // namespace

BENCHMARK_MAIN();
