#pragma once

#include <chrono>

#include "platform/LaunchOrigin.h"

namespace tessary {

// Settles, as a copy of the agent starts, which copy runs. Where the keep-alive agent can run
// the agent it is the only runner, so that one supervised agent runs and a killed one comes back:
// a copy started by the session or by a person that finds no agent running hands the running over
// to it and leaves; a copy the keep-alive agent started that finds one running leaves with the
// status after which the service manager does not start it again. Anywhere else the first copy
// runs.
//
// At login both start together, and the manager counts its copy active until that process has
// ended: a start asked for then does nothing. So a hand-over is confirmed (another copy takes the
// lock) before this copy leaves, and otherwise it runs itself; and a copy of the keep-alive agent
// that loses the lock waits a while for it, since the copy holding it may be about to hand over.
//
// Decides only: it names each request in turn and is told what the request found; the caller does
// the input and output and the pauses, so every interleaving can be run in virtual time.
class LaunchDecision {
public:
    enum class Action {
        run,       // go on as the agent
        handOver,  // another copy took the running over from this one: leave
        leave,     // another copy runs: leave
    };

    enum class Request {
        tryLock,              // found: this copy now holds the instance lock
        keepAliveInstalled,   // found: the keep-alive agent is installed
        managerReady,         // found: the manager runs the graphical session
        releaseLock,          // nothing to find
        startKeepAliveAgent,  // found: the manager accepted the start
        pause,                // wait kPause, nothing to find
        none,                 // settled: see settlement()
    };

    static constexpr std::chrono::milliseconds kPause{100};
    // Pauses a losing copy of the keep-alive agent waits for the lock: the autostart copy holds it
    // while it asks the manager, which at a busy login can take seconds.
    static constexpr int kLockTries = 100;
    // Pauses a copy that handed over waits for another copy to take the lock (the manager's
    // copy starting up takes most of them).
    static constexpr int kHandOverTries = 100;

    struct Settlement {
        Action action = Action::run;
        // Leaving: whether to ask the running agent to show its panel, and the exit status.
        bool showRunningInstance = false;
        int exitStatus = 0;
        // The manager refused to start the keep-alive agent; the copy then ran or left as decided anew.
        bool handOverRefused = false;
        // The start was accepted but no copy took the lock; this copy runs.
        bool handOverUnconfirmed = false;
    };

    explicit LaunchDecision(LaunchOrigin origin) : origin_(origin) {}

    Request request() const { return request_; }
    // What the current request found; ignored for releaseLock and pause.
    void answer(bool found);
    const Settlement& settlement() const { return settlement_; }

private:
    enum class Stage { firstTry, waitingForLock, askingInstalled, askingReady, releasing, starting, retryAfterRefusal,
                       confirming, probing, releasingProbe };

    void settle(Action action, int exitStatus = 0);
    void leaveAsLoser();

    LaunchOrigin origin_;
    Stage stage_ = Stage::firstTry;
    Request request_ = Request::tryLock;
    int triesLeft_ = 0;
    Settlement settlement_;
};

}  // namespace tessary
