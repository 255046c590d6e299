#pragma once

#include <dbus/dbus.h>

namespace vaultkit {

// The D-Bus library, loaded the first time the key service is called rather
// than when the program starts: it brings the systemd library and its
// compressors and ciphers along, a handful of shared objects that most runs
// of the command line (lock, status, …) would map and link for nothing.
//
// Each member is the library's function of the same name, resolved from the
// loaded library; the types come from the library's own header, so a call
// through a member is checked as a direct call would be. A program that links
// the library itself (the key service) gets the same, already loaded copy.
struct LibdbusApi {
#define HC_LIBDBUS_FUNCTIONS(X)                                                                              \
    X(dbus_threads_init_default)                                                                             \
    X(dbus_error_init)                                                                                       \
    X(dbus_error_free)                                                                                       \
    X(dbus_connection_open_private)                                                                          \
    X(dbus_connection_set_exit_on_disconnect)                                                                \
    X(dbus_connection_close)                                                                                 \
    X(dbus_connection_unref)                                                                                 \
    X(dbus_connection_send_with_reply_and_block)                                                             \
    X(dbus_bus_register)                                                                                     \
    X(dbus_message_new_method_call)                                                                          \
    X(dbus_message_unref)                                                                                    \
    X(dbus_message_get_type)                                                                                 \
    X(dbus_message_get_path)                                                                                 \
    X(dbus_message_get_interface)                                                                            \
    X(dbus_message_get_member)                                                                               \
    X(dbus_message_get_signature)                                                                            \
    X(dbus_message_get_args)                                                                                 \
    X(dbus_message_iter_init)                                                                                \
    X(dbus_message_iter_init_append)                                                                         \
    X(dbus_message_iter_next)                                                                                \
    X(dbus_message_iter_recurse)                                                                             \
    X(dbus_message_iter_get_arg_type)                                                                        \
    X(dbus_message_iter_get_element_type)                                                                    \
    X(dbus_message_iter_get_basic)                                                                           \
    X(dbus_message_iter_get_fixed_array)                                                                     \
    X(dbus_message_iter_append_basic)                                                                        \
    X(dbus_message_iter_append_fixed_array)                                                                  \
    X(dbus_message_iter_open_container)                                                                      \
    X(dbus_message_iter_close_container)
#define HC_LIBDBUS_MEMBER(name) decltype(&::name) name = nullptr;
    HC_LIBDBUS_FUNCTIONS(HC_LIBDBUS_MEMBER)
#undef HC_LIBDBUS_MEMBER

    // The library, loaded once for the whole process (thread-safe). Throws
    // std::runtime_error naming what is missing when it cannot be loaded or
    // lacks one of the functions; a failed load is tried again on the next
    // call.
    static const LibdbusApi& get();

    // The name the library is loaded by.
    static constexpr const char* soname = "libdbus-1.so.3";
};

} // namespace vaultkit
