#pragma once

#include <filesystem>

#include "platform/UserDefaults.h"

namespace tessary {

// settings.json in the agent's configuration folder; other keys in the file are preserved.
class JsonFileUserDefaults final : public UserDefaults {
public:
    explicit JsonFileUserDefaults(std::filesystem::path file);

    bool boolForKey(const std::string& key) override;
    void setBool(const std::string& key, bool value) override;

private:
    std::filesystem::path file_;
};

}  // namespace tessary
