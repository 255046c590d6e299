#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace vaultkit {

// A library loaded when first needed instead of at start, for the few whose
// load would cost every command that never uses them (the keyring's GLib
// stack, libdbus and the systemd library it brings). A table type lists the
// functions; see LibsecretApi and LibdbusApi.
class SharedLibrary {
public:
    // dlopen(RTLD_NOW | RTLD_LOCAL), kept for the rest of the process (GLib's
    // types, for one, cannot be unloaded). Throws std::runtime_error
    // "cannot load <soname>: <why>".
    static void* open(const char* soname);

    // The function `name` of the library, or nullptr after adding its name to
    // `missing` (comma separated), so one error can name all that is absent.
    static void* symbol(void* handle, const char* name, std::string& missing);

    // Throws std::runtime_error "<soname> lacks <missing>" unless missing is empty.
    static void requireAll(const char* soname, const std::string& missing);

    // The table built by load(), built once for the whole process
    // (thread-safe). When load() throws, nothing is kept and the next call
    // tries again.
    template <class Table>
    static const Table& once(Table (*load)());
};

template <class Table>
const Table& SharedLibrary::once(Table (*load)()) {
    static std::mutex mutex;
    static Table table;
    static std::atomic<bool> loaded{false};
    if (loaded.load(std::memory_order_acquire)) return table;
    const std::lock_guard lock(mutex);
    if (loaded.load(std::memory_order_relaxed)) return table;
    table = load();
    loaded.store(true, std::memory_order_release);
    return table;
}

} // namespace vaultkit
