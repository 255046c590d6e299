#pragma once

#include <libsecret/secret.h>

#include <string>

namespace vaultkit {

// The Secret Service client library (libsecret and the GLib it is built on),
// loaded the first time a keyring is used rather than when the program
// starts: most runs of the command line and most starts of the application
// never touch the keyring, and the library with its GLib stack is a dozen
// shared objects to map and link.
//
// Each member is the library's function of the same name, resolved from the
// loaded library; the types come from the library's own header, so a call
// through a member is checked as a direct call would be.
struct LibsecretApi {
#define HC_LIBSECRET_FUNCTIONS(X)                                                                            \
    X(secret_attributes_build)                                                                               \
    X(secret_service_get_type)                                                                               \
    X(secret_service_open_sync)                                                                              \
    X(secret_service_unlock_sync)                                                                            \
    X(secret_service_search_sync)                                                                            \
    X(secret_service_clear_sync)                                                                             \
    X(secret_service_store_sync)                                                                             \
    X(secret_collection_for_alias_sync)                                                                      \
    X(secret_collection_get_locked)                                                                          \
    X(secret_item_get_locked)                                                                                \
    X(secret_item_get_secret)                                                                                \
    X(secret_value_new)                                                                                      \
    X(secret_value_get)                                                                                      \
    X(secret_value_unref)                                                                                    \
    X(g_object_unref)                                                                                        \
    X(g_error_free)                                                                                          \
    X(g_error_matches)                                                                                       \
    X(g_io_error_quark)                                                                                      \
    X(g_hash_table_unref)                                                                                    \
    X(g_list_append)                                                                                         \
    X(g_list_free)                                                                                           \
    X(g_list_free_full)                                                                                      \
    X(g_cancellable_new)                                                                                     \
    X(g_cancellable_cancel)                                                                                  \
    X(g_cancellable_is_cancelled)
#define HC_LIBSECRET_MEMBER(name) decltype(&::name) name = nullptr;
    HC_LIBSECRET_FUNCTIONS(HC_LIBSECRET_MEMBER)
#undef HC_LIBSECRET_MEMBER

    // The library, loaded once for the whole process (thread-safe). Throws
    // KeyringError(noService) naming what is missing when the library cannot
    // be loaded or lacks one of the functions: without it there is no
    // keyring to talk to. A failed load is tried again on the next call.
    static const LibsecretApi& get();

    // The name the library is loaded by.
    static constexpr const char* soname = "libsecret-1.so.0";
};

} // namespace vaultkit
