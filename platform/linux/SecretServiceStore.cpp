#include "platform/linux/SecretServiceStore.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/linux/BusMessage.h"
#include "platform/linux/PrivateSessionBus.h"
#include "platform/linux/StopSignal.h"

namespace tessary {

namespace {

constexpr auto kBusName = "org.freedesktop.secrets";
constexpr auto kServicePath = "/org/freedesktop/secrets";
// Where a keyring without a default collection may still take a new item.
constexpr auto kDefaultAliasPath = "/org/freedesktop/secrets/aliases/default";
constexpr auto kServiceInterface = "org.freedesktop.Secret.Service";
constexpr auto kCollectionInterface = "org.freedesktop.Secret.Collection";
constexpr auto kItemInterface = "org.freedesktop.Secret.Item";
constexpr auto kPromptInterface = "org.freedesktop.Secret.Prompt";
constexpr auto kSessionInterface = "org.freedesktop.Secret.Session";
constexpr auto kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr auto kIsLocked = "org.freedesktop.Secret.Error.IsLocked";
// The path the Secret Service answers for "no prompt", "no collection".
constexpr auto kNone = "/";
constexpr std::chrono::milliseconds kCallLimit(5000);

constexpr auto kLocked = "the keyring is locked";
constexpr auto kCannotAsk = "the request cannot be made";

using Attributes = std::map<std::string, std::string>;
using Paths = std::vector<std::string>;

// Errors the bus gives when nobody owns the name and none could be started for it.
bool meansAbsent(const std::string& errorName)
{
    static const char* const kAbsent[] = {
        DBUS_ERROR_SERVICE_UNKNOWN,         DBUS_ERROR_NAME_HAS_NO_OWNER,
        DBUS_ERROR_SPAWN_EXEC_FAILED,       DBUS_ERROR_SPAWN_CHILD_EXITED,
        DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND, DBUS_ERROR_SPAWN_SERVICE_INVALID,
        DBUS_ERROR_SPAWN_FILE_INVALID,
    };
    return std::any_of(std::begin(kAbsent), std::end(kAbsent), [&](const char* name) { return errorName == name; });
}

Error failure(const std::string& what, const Error& why)
{
    return Error{why.description.empty() ? what : what + ": " + why.description};
}

// libdbus aborts the process on a text that is not UTF-8, so none reaches it.
bool isSendableText(const std::string& text)
{
    return text.find('\0') == std::string::npos && dbus_validate_utf8(text.c_str(), nullptr) == TRUE;
}

// The append functions return false only when memory ran out (texts are checked beforehand).
bool appendBasic(DBusMessageIter* to, int type, const std::string& value)
{
    const char* text = value.c_str();
    return dbus_message_iter_append_basic(to, type, &text) == TRUE;
}

bool appendPaths(DBusMessageIter* to, const Paths& paths)
{
    DBusMessageIter array;
    if (dbus_message_iter_open_container(to, DBUS_TYPE_ARRAY, DBUS_TYPE_OBJECT_PATH_AS_STRING, &array) == FALSE)
        return false;
    for (const auto& path : paths)
        if (!appendBasic(&array, DBUS_TYPE_OBJECT_PATH, path))
            return false;
    return dbus_message_iter_close_container(to, &array) == TRUE;
}

bool appendAttributes(DBusMessageIter* to, const Attributes& attributes)
{
    DBusMessageIter array;
    if (dbus_message_iter_open_container(to, DBUS_TYPE_ARRAY, "{ss}", &array) == FALSE)
        return false;
    for (const auto& [name, value] : attributes) {
        DBusMessageIter entry;
        if (dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) == FALSE ||
            !appendBasic(&entry, DBUS_TYPE_STRING, name) || !appendBasic(&entry, DBUS_TYPE_STRING, value) ||
            dbus_message_iter_close_container(&array, &entry) == FALSE)
            return false;
    }
    return dbus_message_iter_close_container(to, &array) == TRUE;
}

bool appendBytes(DBusMessageIter* to, const std::string& bytes)
{
    DBusMessageIter array;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    return dbus_message_iter_open_container(to, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, &array) == TRUE &&
           dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, static_cast<int>(bytes.size())) ==
               TRUE &&
           dbus_message_iter_close_container(to, &array) == TRUE;
}

// One property of a{sv}: its name, then its value in a variant of the given signature.
template <typename AppendValue>
bool appendProperty(DBusMessageIter* array, const std::string& name, const char* signature, AppendValue appendValue)
{
    DBusMessageIter entry;
    DBusMessageIter variant;
    return dbus_message_iter_open_container(array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) == TRUE &&
           appendBasic(&entry, DBUS_TYPE_STRING, name) &&
           dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant) == TRUE &&
           appendValue(&variant) && dbus_message_iter_close_container(&entry, &variant) == TRUE &&
           dbus_message_iter_close_container(array, &entry) == TRUE;
}

// An appender at the end of the request's arguments; false when there is no request (its path
// was not valid, or memory ran out).
bool startArguments(const BusMessage& request, DBusMessageIter* arguments)
{
    if (!request)
        return false;
    dbus_message_iter_init_append(request.get(), arguments);
    return true;
}

// The readers below run only where the signature has been checked first.
std::string readText(DBusMessageIter* at)
{
    const char* text = nullptr;
    dbus_message_iter_get_basic(at, &text);
    return text != nullptr ? std::string(text) : std::string();
}

Paths readPaths(DBusMessageIter* array)
{
    Paths paths;
    DBusMessageIter element;
    dbus_message_iter_recurse(array, &element);
    for (; dbus_message_iter_get_arg_type(&element) == DBUS_TYPE_OBJECT_PATH; dbus_message_iter_next(&element))
        paths.push_back(readText(&element));
    return paths;
}

Attributes readAttributes(DBusMessageIter* array)
{
    Attributes attributes;
    DBusMessageIter entry;
    dbus_message_iter_recurse(array, &entry);
    for (; dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&entry)) {
        DBusMessageIter field;
        dbus_message_iter_recurse(&entry, &field);
        std::string name = readText(&field);
        dbus_message_iter_next(&field);
        attributes[std::move(name)] = readText(&field);
    }
    return attributes;
}

std::string readBytes(DBusMessageIter* array)
{
    DBusMessageIter element;
    dbus_message_iter_recurse(array, &element);
    const unsigned char* data = nullptr;
    int length = 0;
    dbus_message_iter_get_fixed_array(&element, &data, &length);
    if (data == nullptr || length <= 0)
        return {};
    return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
}

// The signature of what a variant holds (the iterator is at the variant).
std::string heldSignature(DBusMessageIter* variant, DBusMessageIter* held)
{
    dbus_message_iter_recurse(variant, held);
    char* signature = dbus_message_iter_get_signature(held);
    std::string result = signature != nullptr ? signature : "";
    dbus_free(signature);
    return result;
}

// Overwrites a secret before its buffer is given back.
void wipe(std::string& secret)
{
    std::fill(secret.begin(), secret.end(), '\0');
}

// One item's facts for choosing among duplicates.
struct ItemFacts {
    std::optional<std::string> account;
    std::uint64_t modified = 0;
};

// One connection and one "plain" session for one call of the store. Unencrypted transfer is no
// loss here: the secrets cross only the user's local session bus, whose every process may ask the
// unlocked keyring for them anyway.
class Keyring {
public:
    static Expected<std::unique_ptr<Keyring>> open(const StopSignal& stop)
    {
        auto bus = PrivateSessionBus::connect(stop, kCallLimit);
        if (!bus)
            return bus.error();
        std::unique_ptr<Keyring> keyring(new Keyring(std::move(bus).value()));
        auto request = keyring->serviceCall("OpenSession");
        DBusMessageIter arguments;
        DBusMessageIter variant;
        if (!startArguments(request, &arguments) || !appendBasic(&arguments, DBUS_TYPE_STRING, "plain") ||
            dbus_message_iter_open_container(&arguments, DBUS_TYPE_VARIANT, DBUS_TYPE_STRING_AS_STRING, &variant) ==
                FALSE ||
            !appendBasic(&variant, DBUS_TYPE_STRING, "") ||
            dbus_message_iter_close_container(&arguments, &variant) == FALSE)
            return Error{kCannotAsk};
        auto reply = keyring->call(request, "vo");
        if (!reply)
            return reply.error();
        DBusMessageIter field;
        dbus_message_iter_init(reply.value().get(), &field);
        dbus_message_iter_next(&field);
        keyring->session_ = readText(&field);
        return keyring;
    }

    ~Keyring()
    {
        if (session_.empty())
            return;
        const auto close = BusMessage::methodCall(kBusName, session_, kSessionInterface, "Close");
        if (close)
            bus_->send(close, kCallLimit);
    }

    Keyring(const Keyring&) = delete;
    Keyring& operator=(const Keyring&) = delete;

    // The unlocked items, then the locked ones.
    Expected<std::pair<Paths, Paths>> search(const Attributes& attributes)
    {
        auto request = serviceCall("SearchItems");
        DBusMessageIter arguments;
        if (!startArguments(request, &arguments) || !appendAttributes(&arguments, attributes))
            return Error{kCannotAsk};
        auto reply = call(request, "aoao");
        if (!reply)
            return reply.error();
        DBusMessageIter field;
        dbus_message_iter_init(reply.value().get(), &field);
        Paths unlocked = readPaths(&field);
        dbus_message_iter_next(&field);
        return std::pair{std::move(unlocked), readPaths(&field)};
    }

    // Asks the service (and through it the desktop, which may prompt the user) to unlock the
    // objects, items or collections as the interface says; the ones still locked afterwards.
    Expected<Paths> unlock(const Paths& objects, const char* interface)
    {
        auto request = serviceCall("Unlock");
        DBusMessageIter arguments;
        if (!startArguments(request, &arguments) || !appendPaths(&arguments, objects))
            return Error{kCannotAsk};
        auto reply = call(request, "aoo");
        if (!reply)
            return reply.error();
        DBusMessageIter field;
        dbus_message_iter_init(reply.value().get(), &field);
        Paths unlocked = readPaths(&field);
        dbus_message_iter_next(&field);
        const std::string prompt = readText(&field);
        if (prompt != kNone) {
            auto completed = runPrompt(prompt);
            if (!completed)
                return completed.error();
            if (!completed.value().dismissed)
                for (auto& path : completed.value().objects)
                    unlocked.push_back(std::move(path));
        }
        Paths still;
        for (const auto& object : objects) {
            if (std::find(unlocked.begin(), unlocked.end(), object) != unlocked.end())
                continue;
            // A service may name what it unlocked differently (a collection by its alias): ask.
            auto locked = isLocked(object, interface);
            if (!locked)
                return locked.error();
            if (locked.value())
                still.push_back(object);
        }
        return still;
    }

    Expected<bool> isLocked(const std::string& object, const char* interface)
    {
        auto request = BusMessage::methodCall(kBusName, object, kPropertiesInterface, "Get");
        DBusMessageIter arguments;
        if (!startArguments(request, &arguments) || !appendBasic(&arguments, DBUS_TYPE_STRING, interface) ||
            !appendBasic(&arguments, DBUS_TYPE_STRING, "Locked"))
            return Error{kCannotAsk};
        auto reply = call(request, "v");
        if (!reply)
            return reply.error();
        DBusMessageIter field;
        DBusMessageIter value;
        dbus_message_iter_init(reply.value().get(), &field);
        const auto signature = heldSignature(&field, &value);
        if (signature != "b")
            return Error{"the Locked property holds \"" + signature + "\", not a boolean"};
        dbus_bool_t locked = FALSE;
        dbus_message_iter_get_basic(&value, &locked);
        return locked == TRUE;
    }

    Expected<ItemFacts> facts(const std::string& item)
    {
        auto request = BusMessage::methodCall(kBusName, item, kPropertiesInterface, "GetAll");
        DBusMessageIter arguments;
        if (!startArguments(request, &arguments) || !appendBasic(&arguments, DBUS_TYPE_STRING, kItemInterface))
            return Error{kCannotAsk};
        auto reply = call(request, "a{sv}");
        if (!reply)
            return reply.error();
        ItemFacts facts;
        DBusMessageIter array;
        DBusMessageIter entry;
        dbus_message_iter_init(reply.value().get(), &array);
        dbus_message_iter_recurse(&array, &entry);
        for (; dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&entry)) {
            DBusMessageIter field;
            DBusMessageIter value;
            dbus_message_iter_recurse(&entry, &field);
            const std::string name = readText(&field);
            dbus_message_iter_next(&field);
            const std::string signature = heldSignature(&field, &value);
            if (name == "Attributes") {
                if (signature != "a{ss}")
                    return Error{"the item's attributes are \"" + signature + "\", not a{ss}"};
                auto attributes = readAttributes(&value);
                if (const auto account = attributes.find("account"); account != attributes.end())
                    facts.account = account->second;
            } else if (name == "Modified") {
                if (signature != "t")
                    return Error{"the item's modification time is \"" + signature + "\", not t"};
                dbus_uint64_t modified = 0;
                dbus_message_iter_get_basic(&value, &modified);
                facts.modified = modified;
            }
        }
        return facts;
    }

    // Item → secret value, for the items given.
    Expected<std::map<std::string, std::string>> secrets(const Paths& items)
    {
        auto request = serviceCall("GetSecrets");
        DBusMessageIter arguments;
        if (!startArguments(request, &arguments) || !appendPaths(&arguments, items) || !appendBasic(&arguments, DBUS_TYPE_OBJECT_PATH, session_))
            return Error{kCannotAsk};
        auto reply = call(request, "a{o(oayays)}");
        if (!reply)
            return reply.error();
        std::map<std::string, std::string> secrets;
        DBusMessageIter array;
        DBusMessageIter entry;
        dbus_message_iter_init(reply.value().get(), &array);
        dbus_message_iter_recurse(&array, &entry);
        for (; dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&entry)) {
            DBusMessageIter field;
            DBusMessageIter secret;
            dbus_message_iter_recurse(&entry, &field);
            std::string item = readText(&field);
            dbus_message_iter_next(&field);
            // (session, parameters, value, content type): the value is the third.
            dbus_message_iter_recurse(&field, &secret);
            dbus_message_iter_next(&secret);
            dbus_message_iter_next(&secret);
            secrets[std::move(item)] = readBytes(&secret);
        }
        return secrets;
    }

    // The default collection, or "/" when there is none.
    Expected<std::string> defaultCollection()
    {
        auto request = serviceCall("ReadAlias");
        DBusMessageIter arguments;
        if (!startArguments(request, &arguments) || !appendBasic(&arguments, DBUS_TYPE_STRING, "default"))
            return Error{kCannotAsk};
        auto reply = call(request, "o");
        if (!reply)
            return reply.error();
        DBusMessageIter field;
        dbus_message_iter_init(reply.value().get(), &field);
        return readText(&field);
    }

    std::optional<Error> remove(const std::string& item)
    {
        auto reply = call(BusMessage::methodCall(kBusName, item, kItemInterface, "Delete"), "o");
        if (!reply)
            return reply.error();
        DBusMessageIter field;
        dbus_message_iter_init(reply.value().get(), &field);
        return completePrompt(readText(&field));
    }

    std::optional<Error> create(const std::string& collection, const std::string& label,
                                const Attributes& attributes, const std::string& bytes)
    {
        auto request = BusMessage::methodCall(kBusName, collection, kCollectionInterface, "CreateItem");
        DBusMessageIter arguments;
        DBusMessageIter properties;
        DBusMessageIter secret;
        const dbus_bool_t replace = TRUE;
        const bool built =
            startArguments(request, &arguments) &&
            dbus_message_iter_open_container(&arguments, DBUS_TYPE_ARRAY, "{sv}", &properties) == TRUE &&
            appendProperty(&properties, std::string(kItemInterface) + ".Label", DBUS_TYPE_STRING_AS_STRING,
                           [&](DBusMessageIter* to) { return appendBasic(to, DBUS_TYPE_STRING, label); }) &&
            appendProperty(&properties, std::string(kItemInterface) + ".Attributes", "a{ss}",
                           [&](DBusMessageIter* to) { return appendAttributes(to, attributes); }) &&
            dbus_message_iter_close_container(&arguments, &properties) == TRUE &&
            dbus_message_iter_open_container(&arguments, DBUS_TYPE_STRUCT, nullptr, &secret) == TRUE &&
            appendBasic(&secret, DBUS_TYPE_OBJECT_PATH, session_) && appendBytes(&secret, std::string()) &&
            appendBytes(&secret, bytes) && appendBasic(&secret, DBUS_TYPE_STRING, "text/plain") &&
            dbus_message_iter_close_container(&arguments, &secret) == TRUE &&
            dbus_message_iter_append_basic(&arguments, DBUS_TYPE_BOOLEAN, &replace) == TRUE;
        if (!built)
            return Error{kCannotAsk};
        auto reply = call(request, "oo");
        if (!reply)
            return reply.error();
        DBusMessageIter field;
        dbus_message_iter_init(reply.value().get(), &field);
        dbus_message_iter_next(&field);
        return completePrompt(readText(&field));
    }

    // The D-Bus error name of the last call that failed with one (to tell IsLocked apart).
    const std::string& lastErrorName() const { return lastErrorName_; }

private:
    // How a prompt ended, with the objects it names when it hands back a list (Unlock's do).
    struct Completion {
        bool dismissed = true;
        Paths objects;
    };

    explicit Keyring(std::unique_ptr<PrivateSessionBus> bus) : bus_(std::move(bus)) {}

    static BusMessage serviceCall(const char* member)
    {
        return BusMessage::methodCall(kBusName, kServicePath, kServiceInterface, member);
    }

    // The reply when it is a method return of the signature; otherwise an Error saying why not.
    Expected<BusMessage> call(const BusMessage& request, const char* signature)
    {
        lastErrorName_.clear();
        if (!request)
            return Error{"the request cannot be made"};
        auto reply = bus_->call(request, kCallLimit);
        if (!reply)
            return reply.error();
        if (reply.value().isError()) {
            lastErrorName_ = reply.value().errorName();
            return Error{reply.value().errorText()};
        }
        if (dbus_message_has_signature(reply.value().get(), signature) == FALSE)
            return Error{"the Secret Service answered \"" + reply.value().signature() + "\" where \"" + signature +
                         "\" was due"};
        return std::move(reply).value();
    }

    // Shows the prompt and waits for its end, as long as the user takes.
    Expected<Completion> runPrompt(const std::string& prompt)
    {
        // Subscribed before the prompt starts, so its end cannot be missed.
        auto match = BusMessage::methodCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "AddMatch");
        DBusMessageIter arguments;
        const std::string rule = std::string("type='signal',sender='") + kBusName + "',interface='" +
                                 kPromptInterface + "',member='Completed',path='" + prompt + "'";
        if (!startArguments(match, &arguments) || !appendBasic(&arguments, DBUS_TYPE_STRING, rule))
            return Error{kCannotAsk};
        auto subscribed = bus_->call(match, kCallLimit);
        if (!subscribed)
            return subscribed.error();
        if (subscribed.value().isError())
            return Error{subscribed.value().errorText()};

        auto request = BusMessage::methodCall(kBusName, prompt, kPromptInterface, "Prompt");
        DBusMessageIter window;
        if (!startArguments(request, &window) || !appendBasic(&window, DBUS_TYPE_STRING, ""))
            return Error{kCannotAsk};
        if (auto shown = call(request, ""); !shown)
            return shown.error();

        auto completed = bus_->waitForSignal([&](const BusMessage& signal) {
            return signal.isSignal(kPromptInterface, "Completed") && signal.path() == prompt;
        });
        if (!completed)
            return completed.error();
        if (dbus_message_has_signature(completed.value().get(), "bv") == FALSE)
            return Error{"the prompt ended with \"" + completed.value().signature() + "\" where \"bv\" was due"};
        Completion completion;
        DBusMessageIter field;
        DBusMessageIter result;
        dbus_bool_t dismissed = TRUE;
        dbus_message_iter_init(completed.value().get(), &field);
        dbus_message_iter_get_basic(&field, &dismissed);
        dbus_message_iter_next(&field);
        completion.dismissed = dismissed == TRUE;
        if (heldSignature(&field, &result) == "ao")
            completion.objects = readPaths(&result);
        return completion;
    }

    std::optional<Error> completePrompt(const std::string& prompt)
    {
        if (prompt == kNone)
            return std::nullopt;
        auto completed = runPrompt(prompt);
        if (!completed)
            return completed.error();
        if (completed.value().dismissed)
            return Error{"the prompt was dismissed"};
        return std::nullopt;
    }

    std::unique_ptr<PrivateSessionBus> bus_;
    std::string session_;
    std::string lastErrorName_;
};

// Deletes every item with the attributes, unlocking them first when they are locked.
std::optional<Error> removeAll(Keyring& keyring, const Attributes& attributes)
{
    auto found = keyring.search(attributes);
    if (!found)
        return found.error();
    auto [items, locked] = std::move(found).value();
    if (!locked.empty()) {
        auto still = keyring.unlock(locked, kItemInterface);
        if (!still)
            return still.error();
        if (!still.value().empty())
            return Error{kLocked};
        items.insert(items.end(), locked.begin(), locked.end());
    }
    for (const auto& item : items)
        if (auto failure = keyring.remove(item))
            return failure;
    return std::nullopt;
}

}  // namespace

// The stop signal outlives the calls: every call opens its own connection and session (calls are
// few), so a keyring or bus restarted since the last one, as at a login, is met afresh.
struct SecretServiceStore::Session {
    StopSignal stop;
};

SecretServiceStore::SecretServiceStore() : session_(std::make_unique<Session>()) {}

SecretServiceStore::~SecretServiceStore() = default;

void SecretServiceStore::stop()
{
    session_->stop.raise();
}

CredentialBackend::Reach SecretServiceStore::reach()
{
    auto bus = PrivateSessionBus::connect(session_->stop, kCallLimit);
    if (!bus)
        return session_->stop.raised() ? Reach::noAnswer : Reach::absent;
    const auto ping = BusMessage::methodCall(kBusName, kServicePath, DBUS_INTERFACE_PEER, "Ping");
    if (!ping)
        return Reach::noAnswer;
    const auto reply = bus.value()->call(ping, kCallLimit);
    if (!reply)
        return Reach::noAnswer;
    if (reply.value().isError())
        return meansAbsent(reply.value().errorName()) ? Reach::absent : Reach::noAnswer;
    return Reach::answers;
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
    if (!isSendableText(service))
        return Error{"the keyring cannot be searched: the service name is not UTF-8 text"};
    auto keyring = Keyring::open(session_->stop);
    if (!keyring)
        return failure("the Secret Service cannot be opened", keyring.error());

    auto found = keyring.value()->search({{"service", service}});
    if (!found)
        return failure("the keyring cannot be searched", found.error());
    auto [items, locked] = std::move(found).value();
    if (!locked.empty()) {
        auto still = keyring.value()->unlock(locked, kItemInterface);
        if (!still)
            return failure("the keyring cannot be unlocked", still.error());
        if (!still.value().empty())
            return Error{kLocked};
        items.insert(items.end(), locked.begin(), locked.end());
    }

    std::vector<std::pair<std::string, ItemFacts>> accounts;
    for (const auto& item : items) {
        auto facts = keyring.value()->facts(item);
        if (!facts)
            return failure("a secret in the keyring cannot be read", facts.error());
        if (facts.value().account)
            accounts.emplace_back(item, std::move(facts).value());
    }
    CredentialItems result;
    if (!accounts.empty()) {
        Paths paths;
        for (const auto& [item, facts] : accounts)
            paths.push_back(item);
        auto secrets = keyring.value()->secrets(paths);
        if (!secrets)
            return failure("a secret in the keyring cannot be read", secrets.error());
        std::map<std::string, std::uint64_t> modified;
        for (const auto& [item, facts] : accounts) {
            const auto secret = secrets.value().find(item);
            if (secret == secrets.value().end())
                return Error{"a secret in the keyring cannot be read"};
            // Of stale duplicates another tool may have left, the newest counts.
            const auto& account = *facts.account;
            if (!result.contains(account) || facts.modified >= modified[account]) {
                result[account] = secret->second;
                modified[account] = facts.modified;
            }
        }
        for (auto& [item, secret] : secrets.value())
            wipe(secret);
    }
    if (!result.empty())
        return result;

    // A keyring that hides what it holds while locked must not read as empty.
    auto collection = keyring.value()->defaultCollection();
    if (!collection)
        return failure("the default keyring cannot be reached", collection.error());
    if (collection.value() == kNone)
        return result;
    auto isLocked = keyring.value()->isLocked(collection.value(), kCollectionInterface);
    if (!isLocked)
        return failure("the default keyring cannot be reached", isLocked.error());
    if (!isLocked.value())
        return result;
    auto still = keyring.value()->unlock({collection.value()}, kCollectionInterface);
    if (!still)
        return failure("the keyring cannot be unlocked", still.error());
    if (!still.value().empty())
        return Error{kLocked};
    return result;
}

std::optional<Error> SecretServiceStore::write(const std::string& service, const std::string& account,
                                               const std::string& bytes)
{
    const std::string label = service + " (" + account + ")";
    if (!isSendableText(label))
        return Error{"the item cannot be stored: the service or account is not UTF-8 text"};
    auto keyring = Keyring::open(session_->stop);
    if (!keyring)
        return failure("the Secret Service cannot be opened", keyring.error());
    // Delete, then add: a save always leaves exactly one item holding the new value.
    if (auto failed = removeAll(*keyring.value(), {{"service", service}, {"account", account}}))
        return failure("the old item cannot be deleted", *failed);

    auto collection = keyring.value()->defaultCollection();
    if (!collection)
        return failure("the item cannot be stored", collection.error());
    const std::string target = collection.value() != kNone ? collection.value() : kDefaultAliasPath;
    // xdg:schema as libsecret files it, so secret-tool and earlier agents see the same items.
    const Attributes attributes{
        {"service", service}, {"account", account}, {"xdg:schema", "org.freedesktop.Secret.Generic"}};
    auto stored = keyring.value()->create(target, label, attributes, bytes);
    if (stored && keyring.value()->lastErrorName() == kIsLocked) {
        auto still = keyring.value()->unlock({target}, kCollectionInterface);
        if (!still)
            return failure("the item cannot be stored", still.error());
        if (!still.value().empty())
            return failure("the item cannot be stored", Error{kLocked});
        stored = keyring.value()->create(target, label, attributes, bytes);
    }
    if (stored)
        return failure("the item cannot be stored", *stored);
    return std::nullopt;
}

std::optional<Error> SecretServiceStore::erase(const std::string& service, const std::string& account)
{
    if (!isSendableText(service) || !isSendableText(account))
        return Error{"the item cannot be deleted: the service or account is not UTF-8 text"};
    auto keyring = Keyring::open(session_->stop);
    if (!keyring)
        return failure("the Secret Service cannot be opened", keyring.error());
    if (auto failed = removeAll(*keyring.value(), {{"service", service}, {"account", account}}))
        return failure("the item cannot be deleted", *failed);
    return std::nullopt;
}

}  // namespace tessary
