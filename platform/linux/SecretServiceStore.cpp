#include "platform/linux/SecretServiceStore.h"

#include <libsecret/secret.h>

namespace tessary {

namespace {

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

class Attributes {
public:
    Attributes(const std::string& service, const std::string& account)
        : table_(g_hash_table_new(g_str_hash, g_str_equal))
    {
        g_hash_table_insert(table_, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
        g_hash_table_insert(table_, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
    }
    ~Attributes() { g_hash_table_unref(table_); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    GHashTable* get() const { return table_; }

private:
    GHashTable* table_;
};

}  // namespace

bool SecretServiceStore::isAvailable()
{
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    if (error != nullptr)
        g_error_free(error);
    if (service == nullptr)
        return false;
    g_object_unref(service);
    return true;
}

void SecretServiceStore::save(const std::string& service, const std::string& account, const std::string& bytes)
{
    remove(service, account);
    const Attributes attributes(service, account);
    SecretValue* value = secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "text/plain");
    const std::string label = service + " (" + account + ")";
    GError* error = nullptr;
    secret_password_storev_binary_sync(schema(), attributes.get(), SECRET_COLLECTION_DEFAULT, label.c_str(), value,
                                       nullptr, &error);
    if (error != nullptr)
        g_error_free(error);
    secret_value_unref(value);
}

std::optional<std::string> SecretServiceStore::load(const std::string& service, const std::string& account)
{
    const Attributes attributes(service, account);
    GError* error = nullptr;
    SecretValue* value = secret_password_lookupv_binary_sync(schema(), attributes.get(), nullptr, &error);
    if (error != nullptr)
        g_error_free(error);
    if (value == nullptr)
        return std::nullopt;
    gsize length = 0;
    const gchar* data = secret_value_get(value, &length);
    std::optional<std::string> bytes;
    if (data != nullptr)
        bytes = std::string(data, length);
    secret_value_unref(value);
    return bytes;
}

void SecretServiceStore::remove(const std::string& service, const std::string& account)
{
    const Attributes attributes(service, account);
    GError* error = nullptr;
    // Deletes one matching item per call; repeat so no stale duplicate survives.
    while (secret_password_clearv_sync(schema(), attributes.get(), nullptr, &error) == TRUE) {
    }
    if (error != nullptr)
        g_error_free(error);
}

}  // namespace tessary
