#pragma once

namespace tessary {

// Who started this copy of the agent.
enum class LaunchOrigin {
    keepAliveAgent,  // the per-user keep-alive agent
    session,         // the desktop session or its service manager, such as the login item
    person,          // someone, from the agent's command or its desktop entry
};

}  // namespace tessary
