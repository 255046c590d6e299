#include "vaultkit/quickunlock/LibdbusApi.h"

#include "vaultkit/process/SharedLibrary.h"

#include <string>

namespace vaultkit {

namespace {

LibdbusApi load() {
    void* handle = SharedLibrary::open(LibdbusApi::soname);
    LibdbusApi found;
    std::string missing;
#define HC_LIBDBUS_RESOLVE(name)                                                                             \
    found.name = reinterpret_cast<decltype(&::name)>(SharedLibrary::symbol(handle, #name, missing));
    HC_LIBDBUS_FUNCTIONS(HC_LIBDBUS_RESOLVE)
#undef HC_LIBDBUS_RESOLVE
    SharedLibrary::requireAll(LibdbusApi::soname, missing);
    return found;
}

} // namespace

const LibdbusApi& LibdbusApi::get() { return SharedLibrary::once(&load); }

} // namespace vaultkit
