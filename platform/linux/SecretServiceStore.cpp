#include "platform/linux/SecretServiceStore.h"

#include <libsecret/secret.h>

namespace tessary {

namespace {

constexpr auto kBusName = "org.freedesktop.secrets";
constexpr auto kObjectPath = "/org/freedesktop/secrets";
constexpr int kPingTimeoutMilliseconds = 5000;

// Matches items by attributes alone, whatever schema name another tool filed them under.
const SecretSchema* schema()
{
    static const SecretSchema kSchema = [] {
        SecretSchema s{};
        s.name = "org.freedesktop.Secret.Generic";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &kSchema;
}

// The table borrows the strings: it must not outlive them.
class Attributes {
public:
    explicit Attributes(const std::string& service, const std::string* account = nullptr)
        : table_(g_hash_table_new(g_str_hash, g_str_equal))
    {
        g_hash_table_insert(table_, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
        if (account != nullptr)
            g_hash_table_insert(table_, const_cast<char*>("account"), const_cast<char*>(account->c_str()));
    }
    ~Attributes() { g_hash_table_unref(table_); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    GHashTable* get() const { return table_; }

private:
    GHashTable* table_;
};

// Owns the error it is given.
class ErrorText {
public:
    ErrorText() = default;
    ~ErrorText() { clear(); }
    ErrorText(const ErrorText&) = delete;
    ErrorText& operator=(const ErrorText&) = delete;

    GError** out() { return &error_; }
    bool failed() const { return error_ != nullptr; }
    const GError* get() const { return error_; }
    Error describe(const std::string& what) const
    {
        if (error_ == nullptr || error_->message == nullptr)
            return Error{what};
        return Error{what + ": " + error_->message};
    }
    void clear()
    {
        if (error_ != nullptr)
            g_error_free(error_);
        error_ = nullptr;
    }

private:
    GError* error_ = nullptr;
};

class ItemList {
public:
    explicit ItemList(GList* items) : items_(items) {}
    ~ItemList() { g_list_free_full(items_, g_object_unref); }
    ItemList(const ItemList&) = delete;
    ItemList& operator=(const ItemList&) = delete;
    GList* get() const { return items_; }

private:
    GList* items_;
};

std::optional<std::string> accountOf(SecretItem* item)
{
    GHashTable* attributes = secret_item_get_attributes(item);
    if (attributes == nullptr)
        return std::nullopt;
    const auto* account = static_cast<const char*>(g_hash_table_lookup(attributes, "account"));
    std::optional<std::string> result;
    if (account != nullptr)
        result = account;
    g_hash_table_unref(attributes);
    return result;
}

}  // namespace

// The one cancellable of every call (stop() cancels it) and the connection of the call under way.
// Every call opens its own connection and session (calls are few): a keyring restarted since the
// last one, as a login unlocking it, is met afresh.
struct SecretServiceStore::Session {
    Session() : cancellable(g_cancellable_new()) {}
    ~Session()
    {
        dropService();
        g_object_unref(cancellable);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    SecretService* open(ErrorText& error)
    {
        dropService();
        service = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, cancellable,
                                           error.out());
        return service;
    }
    void dropService()
    {
        if (service != nullptr)
            g_object_unref(service);
        service = nullptr;
    }

    GCancellable* cancellable;
    SecretService* service = nullptr;
};

SecretServiceStore::SecretServiceStore() : session_(std::make_unique<Session>()) {}

SecretServiceStore::~SecretServiceStore() = default;

void SecretServiceStore::stop()
{
    g_cancellable_cancel(session_->cancellable);
}

CredentialBackend::Reach SecretServiceStore::reach()
{
    ErrorText error;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, session_->cancellable, error.out());
    if (bus == nullptr)
        return Reach::absent;
    // A session bus that goes away must not end the agent with it.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    GVariant* reply =
        g_dbus_connection_call_sync(bus, kBusName, kObjectPath, "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, kPingTimeoutMilliseconds, session_->cancellable,
                                    error.out());
    g_object_unref(bus);
    if (reply != nullptr) {
        g_variant_unref(reply);
        return Reach::answers;
    }
    const GError* failure = error.get();
    if (failure != nullptr && failure->domain == G_DBUS_ERROR) {
        switch (failure->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
            return Reach::absent;
        default:
            break;
        }
    }
    return Reach::noAnswer;
}

Expected<CredentialItems> SecretServiceStore::readAll(const std::string& service)
{
    switch (reach()) {
    case Reach::absent:
        return Error{"no Secret Service on the session bus"};
    case Reach::noAnswer:
        return Error{"the Secret Service does not answer"};
    case Reach::answers:
        break;
    }

    ErrorText error;
    SecretService* connection = session_->open(error);
    if (connection == nullptr)
        return error.describe("the Secret Service cannot be opened");

    const Attributes attributes(service);
    // Locked items are found too; the unlock flag asks the desktop to unlock their collection.
    const ItemList found(secret_service_search_sync(
        connection, schema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
        session_->cancellable, error.out()));
    if (error.failed())
        return error.describe("the keyring cannot be searched");

    CredentialItems items;
    std::map<std::string, guint64> modified;
    for (GList* entry = found.get(); entry != nullptr; entry = entry->next) {
        auto* item = static_cast<SecretItem*>(entry->data);
        if (secret_item_get_locked(item) == TRUE)
            return Error{"the keyring is locked"};
        const auto account = accountOf(item);
        if (!account)
            continue;
        SecretValue* value = secret_item_get_secret(item);
        if (value == nullptr)
            return Error{"a secret in the keyring cannot be read"};
        gsize length = 0;
        const gchar* data = secret_value_get(value, &length);
        std::string bytes = data != nullptr ? std::string(data, length) : std::string();
        secret_value_unref(value);
        // Of stale duplicates another tool may have left, the newest counts.
        const guint64 when = secret_item_get_modified(item);
        if (!items.contains(*account) || when >= modified[*account]) {
            items[*account] = std::move(bytes);
            modified[*account] = when;
        }
    }
    if (!items.empty())
        return items;

    // A keyring that hides what it holds while locked must not read as empty.
    SecretCollection* collection = secret_collection_for_alias_sync(
        connection, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, session_->cancellable, error.out());
    if (error.failed())
        return error.describe("the default keyring cannot be reached");
    if (collection == nullptr)
        return items;
    bool locked = secret_collection_get_locked(collection) == TRUE;
    if (locked) {
        GList objects{collection, nullptr, nullptr};
        locked = secret_service_unlock_sync(connection, &objects, session_->cancellable, nullptr, error.out()) < 1;
    }
    g_object_unref(collection);
    if (error.failed())
        return error.describe("the keyring cannot be unlocked");
    if (locked)
        return Error{"the keyring is locked"};
    return items;
}

std::optional<Error> SecretServiceStore::write(const std::string& service, const std::string& account,
                                               const std::string& bytes)
{
    ErrorText error;
    SecretService* connection = session_->open(error);
    if (connection == nullptr)
        return error.describe("the Secret Service cannot be opened");
    const Attributes attributes(service, &account);
    // Delete, then add: a save always leaves exactly one item holding the new value.
    secret_service_clear_sync(connection, schema(), attributes.get(), session_->cancellable, error.out());
    if (error.failed())
        return error.describe("the old item cannot be deleted");
    SecretValue* value = secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "text/plain");
    const std::string label = service + " (" + account + ")";
    const gboolean stored = secret_service_store_sync(connection, schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                                      label.c_str(), value, session_->cancellable, error.out());
    secret_value_unref(value);
    if (stored != TRUE)
        return error.describe("the item cannot be stored");
    return std::nullopt;
}

std::optional<Error> SecretServiceStore::erase(const std::string& service, const std::string& account)
{
    ErrorText error;
    SecretService* connection = session_->open(error);
    if (connection == nullptr)
        return error.describe("the Secret Service cannot be opened");
    const Attributes attributes(service, &account);
    secret_service_clear_sync(connection, schema(), attributes.get(), session_->cancellable, error.out());
    if (error.failed())
        return error.describe("the item cannot be deleted");
    return std::nullopt;
}

}  // namespace tessary
