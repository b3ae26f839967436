#pragma once

#include <functional>

#include "platform/LaunchOrigin.h"

namespace tessary {

// Settles, as a copy of the agent starts, which copy runs. Where the keep-alive agent can run
// the agent it is the only runner, so that one supervised agent runs and a killed one comes back:
// a copy started by the session or by a person that finds no agent running hands the running over
// to it and leaves; a copy the keep-alive agent started that finds one running leaves with the
// status after which the service manager does not start it again. Anywhere else the first copy
// runs. Decides only; the caller does the input and output.
class LaunchDecision {
public:
    struct Facts {
        LaunchOrigin origin = LaunchOrigin::person;
        bool lockWon = false;
        // Both matter only to a copy that won the lock and was not started by the keep-alive agent.
        bool keepAliveInstalled = false;
        bool managerReady = false;
    };

    enum class Action {
        run,       // go on as the agent
        handOver,  // release the lock, have the service manager start the keep-alive agent, leave
        leave,     // another copy runs: leave
    };

    struct Step {
        Action action = Action::run;
        // Leaving: whether to ask the running agent to show its panel, and the exit status.
        bool showRunningInstance = false;
        int exitStatus = 0;
    };

    static Step decide(const Facts& facts);

    // What settling asks of the world, each only when its answer matters.
    struct World {
        std::function<bool()> tryAcquireLock;
        std::function<void()> releaseLock;
        std::function<bool()> keepAliveInstalled;
        std::function<bool()> managerReady;
        std::function<bool()> startKeepAliveAgent;
    };

    struct Settlement {
        Action action = Action::run;  // handOver here means the manager accepted the start
        bool showRunningInstance = false;
        int exitStatus = 0;
        // The manager refused to start the keep-alive agent; the copy then ran or left as decided anew.
        bool handOverRefused = false;
    };

    // Decides and carries a hand-over out: after a refused start the lock is taken again and the
    // copy runs (or leaves, when another copy took the lock meanwhile) without the keep-alive agent.
    static Settlement settle(LaunchOrigin origin, const World& world);
};

}  // namespace tessary
