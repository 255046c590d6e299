#include "vaultkit/keyring/SecretServiceKeyring.h"

#include "vaultkit/keyring/LibsecretApi.h"

#include <memory>

namespace vaultkit {

namespace {

// Only called once the library is in use: every object handed to these
// helpers came from it.
const LibsecretApi& api() {
    return LibsecretApi::get();
}

// Items are found by their two attributes alone, whatever schema name they
// carry (a copy moved or restored by another tool may have lost it).
const SecretSchema& schema() {
    static const SecretSchema s = {SecretServiceKeyring::schemaName.data(),
                                   SECRET_SCHEMA_DONT_MATCH_NAME,
                                   {
                                       {"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"vault", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                   },
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return s;
}

struct ObjectUnref {
    void operator()(gpointer object) const {
        if (object) api().g_object_unref(object);
    }
};
template <typename T> using Ref = std::unique_ptr<T, ObjectUnref>;

struct ErrorFree {
    void operator()(GError* e) const {
        if (e) api().g_error_free(e);
    }
};
using Error = std::unique_ptr<GError, ErrorFree>;

struct TableUnref {
    void operator()(GHashTable* t) const {
        if (t) api().g_hash_table_unref(t);
    }
};
using Attributes = std::unique_ptr<GHashTable, TableUnref>;

struct ValueUnref {
    void operator()(SecretValue* v) const {
        if (v) api().secret_value_unref(v);
    }
};
using Value = std::unique_ptr<SecretValue, ValueUnref>;

struct ItemListFree {
    void operator()(GList* list) const { api().g_list_free_full(list, api().g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListFree>;

[[noreturn]] void fail(KeyringError::Kind kind, const std::string& what, const Error& error) {
    if (error && api().g_error_matches(error.get(), api().g_io_error_quark(), G_IO_ERROR_CANCELLED))
        throw KeyringError(KeyringError::Kind::cancelled, what + ": withdrawn");
    throw KeyringError(kind, what + (error ? std::string(": ") + error->message : std::string()));
}

GCancellable* cancellableOf(void* p) {
    return static_cast<GCancellable*>(p);
}

Attributes attributesOf(const std::string& vaultId) {
    return Attributes(api().secret_attributes_build(&schema(), "application",
                                              SecretServiceKeyring::application.data(), "vault",
                                              vaultId.c_str(), nullptr));
}

// A new connection to the service, with a transfer session opened. Any
// failure here means there is no service to talk to (no session bus, or
// nothing owns org.freedesktop.secrets).
Ref<SecretService> connect(GCancellable* cancellable) {
    GError* raw = nullptr;
    Ref<SecretService> service(api().secret_service_open_sync(api().secret_service_get_type(), nullptr,
                                                        SECRET_SERVICE_OPEN_SESSION, cancellable, &raw));
    Error error(raw);
    if (!service || error) fail(KeyringError::Kind::noService, "no keyring service", error);
    return service;
}

// Unlocks the default collection when it is locked (the service's prompt).
void openDefault(SecretService* service, GCancellable* cancellable) {
    GError* raw = nullptr;
    Ref<SecretCollection> collection(api().secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, &raw));
    Error error(raw);
    if (error) fail(KeyringError::Kind::failed, "cannot find the default keyring", error);
    // No default collection yet: storing makes one, nothing to unlock.
    if (!collection || !api().secret_collection_get_locked(collection.get())) return;

    GList* objects = api().g_list_append(nullptr, collection.get());
    GList* unlocked = nullptr;
    api().secret_service_unlock_sync(service, objects, cancellable, &unlocked, &raw);
    api().g_list_free(objects);
    const bool opened = unlocked != nullptr;
    api().g_list_free_full(unlocked, api().g_object_unref);
    error.reset(raw);
    if (error) fail(KeyringError::Kind::locked, "the keyring was not unlocked", error);
    if (api().g_cancellable_is_cancelled(cancellable))
        throw KeyringError(KeyringError::Kind::cancelled, "the keyring was not unlocked: withdrawn");
    if (!opened) throw KeyringError(KeyringError::Kind::locked, "the keyring was not unlocked");
}

} // namespace

SecretServiceKeyring::SecretServiceKeyring() = default;

void* SecretServiceKeyring::cancellable() {
    const LibsecretApi& library = LibsecretApi::get();
    const std::lock_guard lock(cancelMutex_);
    if (!cancellable_) {
        cancellable_ = std::shared_ptr<void>(library.g_cancellable_new(), [](void* p) { api().g_object_unref(p); });
        if (cancelled_) library.g_cancellable_cancel(cancellableOf(cancellable_.get()));
    }
    return cancellable_.get();
}

void SecretServiceKeyring::cancel() {
    const std::lock_guard lock(cancelMutex_);
    cancelled_ = true;
    // Nothing to withdraw before the first call made the cancellable: it is
    // made cancelled then.
    if (cancellable_) api().g_cancellable_cancel(cancellableOf(cancellable_.get()));
}

void SecretServiceKeyring::open() {
    const std::lock_guard lock(mutex_);
    GCancellable* withdraw = cancellableOf(cancellable());
    auto service = connect(withdraw);
    openDefault(service.get(), withdraw);
}

std::optional<std::string> SecretServiceKeyring::password(const std::string& vaultId) {
    const std::lock_guard lock(mutex_);
    GCancellable* withdraw = cancellableOf(cancellable());
    auto service = connect(withdraw);
    auto attributes = attributesOf(vaultId);
    GError* raw = nullptr;
    // Every matching item of every collection, unlocked on the way (the
    // service prompts when the item's collection is locked).
    ItemList items(api().secret_service_search_sync(
        service.get(), &schema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
        withdraw, &raw));
    Error error(raw);
    if (error) fail(KeyringError::Kind::failed, "cannot search the keyring", error);
    if (!items) return std::nullopt;
    for (GList* l = items.get(); l; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        if (api().secret_item_get_locked(item)) continue;
        Value value(api().secret_item_get_secret(item));
        if (!value) continue;
        gsize length = 0;
        const gchar* bytes = api().secret_value_get(value.get(), &length);
        return std::string(bytes, length);
    }
    // Items exist, but none could be opened: their keyring stayed locked.
    throw KeyringError(KeyringError::Kind::locked, "the keyring was not unlocked");
}

void SecretServiceKeyring::store(const std::string& vaultId, const std::string& label,
                                 const std::string& password) {
    const std::lock_guard lock(mutex_);
    GCancellable* withdraw = cancellableOf(cancellable());
    auto service = connect(withdraw);
    openDefault(service.get(), withdraw);
    auto attributes = attributesOf(vaultId);
    // One item per vault: a copy the user moved to another keyring goes
    // too, so no older password can be found first later.
    GError* raw = nullptr;
    api().secret_service_clear_sync(service.get(), &schema(), attributes.get(), withdraw,
                              &raw);
    Error cleared(raw);
    if (cleared) fail(KeyringError::Kind::failed, "cannot replace the password in the keyring", cleared);
    // The value copies the bytes into the library's own memory, which it
    // wipes when it frees it.
    Value value(api().secret_value_new(password.data(), static_cast<gssize>(password.size()), "text/plain"));
    raw = nullptr;
    const gboolean stored =
        api().secret_service_store_sync(service.get(), &schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                  label.c_str(), value.get(), withdraw, &raw);
    Error error(raw);
    if (!stored || error) fail(KeyringError::Kind::failed, "cannot store the password in the keyring", error);
}

bool SecretServiceKeyring::remove(const std::string& vaultId) {
    const std::lock_guard lock(mutex_);
    GCancellable* withdraw = cancellableOf(cancellable());
    auto service = connect(withdraw);
    auto attributes = attributesOf(vaultId);
    GError* raw = nullptr;
    const gboolean removed = api().secret_service_clear_sync(service.get(), &schema(), attributes.get(),
                                                       withdraw, &raw);
    Error error(raw);
    if (error) fail(KeyringError::Kind::failed, "cannot delete the password from the keyring", error);
    return removed != FALSE;
}

} // namespace vaultkit
