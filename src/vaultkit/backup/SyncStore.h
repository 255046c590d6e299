#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// Where the backup engine keeps its objects: a flat space of keys such as
// "bands/3f/3fa9…" or "snapshots/2026-12-11T072203.123Z-1a2b3c4d.json",
// each holding an immutable run of bytes. Keys are relative paths of ASCII
// letters, digits and "-._", separated by "/"; no part is empty, "." or "..".
//
// Failures of the storage itself (a full disk, an unreachable remote) throw
// VaultError::io naming the key and the cause. Nothing is cached: every call
// asks the storage.
class SyncStore {
public:
    virtual ~SyncStore() = default;

    // Stores bytes under key, replacing what was there. On return the object
    // is durable, and a crash at any moment leaves either no object or the
    // whole one under the key, never a part of it.
    virtual void put(const std::string& key, std::string_view bytes) = 0;
    // The bytes under key; nothing when there is no such object.
    virtual std::optional<std::string> get(const std::string& key) = 0;
    // Every key below the folder `prefix` ("bands/"), at any depth, in no
    // particular order. Objects being written (not yet under their key) are
    // not listed.
    virtual std::vector<std::string> list(const std::string& prefix) = 0;
    // Removes the object; a key that is not there is no error.
    virtual void remove(const std::string& key) = 0;
    virtual bool exists(const std::string& key) = 0;
    // The store as the user named it, for messages.
    virtual std::string describe() const = 0;

    // Whether key has the form described above.
    static bool isValidKey(std::string_view key);
};

} // namespace vaultkit
