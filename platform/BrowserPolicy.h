#pragma once

namespace tessary {

// The browsers' managed policy that keeps the extension installed and closes the user-level back
// doors. Only the computer's administrator can put it in place (the package does).
class BrowserPolicy {
public:
    virtual ~BrowserPolicy() = default;
    virtual bool isInstalledSystemWide() = 0;
};

}  // namespace tessary
