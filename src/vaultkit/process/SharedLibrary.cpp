#include "vaultkit/process/SharedLibrary.h"

#include <dlfcn.h>

#include <stdexcept>

namespace vaultkit {

void* SharedLibrary::open(const char* soname) {
    void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw std::runtime_error(std::string("cannot load ") + soname + ": " + (why ? why : "unknown error"));
    }
    return handle;
}

void* SharedLibrary::symbol(void* handle, const char* name, std::string& missing) {
    void* found = ::dlsym(handle, name);
    if (!found) missing += std::string(missing.empty() ? "" : ", ") + name;
    return found;
}

void SharedLibrary::requireAll(const char* soname, const std::string& missing) {
    if (!missing.empty()) throw std::runtime_error(std::string(soname) + " lacks " + missing);
}

} // namespace vaultkit
