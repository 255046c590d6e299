#include "vaultkit/keyring/LibsecretApi.h"

#include "vaultkit/keyring/Keyring.h"
#include "vaultkit/process/SharedLibrary.h"

#include <stdexcept>

namespace vaultkit {

namespace {

LibsecretApi load() {
    void* handle = SharedLibrary::open(LibsecretApi::soname);
    LibsecretApi found;
    std::string missing;
#define HC_LIBSECRET_RESOLVE(name)                                                                           \
    found.name = reinterpret_cast<decltype(&::name)>(SharedLibrary::symbol(handle, #name, missing));
    HC_LIBSECRET_FUNCTIONS(HC_LIBSECRET_RESOLVE)
#undef HC_LIBSECRET_RESOLVE
    SharedLibrary::requireAll(LibsecretApi::soname, missing);
    return found;
}

} // namespace

const LibsecretApi& LibsecretApi::get() {
    try {
        return SharedLibrary::once(&load);
    } catch (const std::runtime_error& e) {
        // Without the library there is no keyring to talk to.
        throw KeyringError(KeyringError::Kind::noService, e.what());
    }
}

} // namespace vaultkit
