#include "agent/core/DeviceConfig.h"

#include "platform/Utf8.h"

namespace tessary {

DeviceConfig::DeviceConfig(std::shared_ptr<SecureStore> store, std::string serviceName)
    : store_(std::move(store)), serviceName_(std::move(serviceName))
{
}

void DeviceConfig::open(SecureStore::OpenCompletion completion)
{
    store_->open(serviceName_, std::move(completion));
}

void DeviceConfig::save(const std::string& value, const std::string& key)
{
    remove(key);
    store_->save(serviceName_, key, value);
}

std::optional<std::string> DeviceConfig::load(const std::string& key) const
{
    auto bytes = store_->load(serviceName_, key);
    if (!bytes || !Utf8::isValid(*bytes))
        return std::nullopt;
    return bytes;
}

void DeviceConfig::remove(const std::string& key)
{
    store_->remove(serviceName_, key);
}

}  // namespace tessary
