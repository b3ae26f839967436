#pragma once

namespace tessary {

// The user's service manager, as far as the keep-alive agent needs it at run time. Each call
// waits for the manager's answer at most briefly and never for the agent it starts.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;

    // True when the manager answers, runs the graphical session and would start the installed
    // keep-alive agent now.
    virtual bool canStartKeepAliveAgent() = 0;
    // Asks the manager to start the keep-alive agent; true when it accepted the request.
    virtual bool startKeepAliveAgent() = 0;
    // Has the manager read the definitions again after one was replaced.
    virtual void reloadDefinitions() = 0;
};

}  // namespace tessary
