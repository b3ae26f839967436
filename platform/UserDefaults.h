#pragma once

#include <string>

namespace tessary {

// The agent's own persisted settings. A missing or unreadable value reads as false.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual bool boolForKey(const std::string& key) = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
};

}  // namespace tessary
