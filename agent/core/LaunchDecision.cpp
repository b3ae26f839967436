#include "agent/core/LaunchDecision.h"

#include "platform/KeepAliveAgent.h"

namespace tessary {

void LaunchDecision::answer(bool found)
{
    switch (stage_) {
    case Stage::firstTry:
        if (found) {
            if (origin_ == LaunchOrigin::keepAliveAgent)
                return settle(Action::run);
            stage_ = Stage::askingInstalled;
            request_ = Request::keepAliveInstalled;
        } else if (origin_ == LaunchOrigin::keepAliveAgent) {
            stage_ = Stage::waitingForLock;
            triesLeft_ = kLockTries;
            request_ = Request::pause;
        } else {
            leaveAsLoser();
        }
        return;
    case Stage::waitingForLock:
        if (request_ == Request::pause) {
            request_ = Request::tryLock;
        } else if (found) {
            settle(Action::run);
        } else if (--triesLeft_ == 0) {
            settle(Action::leave, KeepAliveAgent::kDuplicateExitStatus);
        } else {
            request_ = Request::pause;
        }
        return;
    case Stage::askingInstalled:
        if (!found)
            return settle(Action::run);
        stage_ = Stage::askingReady;
        request_ = Request::managerReady;
        return;
    case Stage::askingReady:
        if (!found)
            return settle(Action::run);
        stage_ = Stage::releasing;
        request_ = Request::releaseLock;
        return;
    case Stage::releasing:
        stage_ = Stage::starting;
        request_ = Request::startKeepAliveAgent;
        return;
    case Stage::starting:
        if (found) {
            stage_ = Stage::confirming;
            triesLeft_ = kHandOverTries;
            request_ = Request::pause;
        } else {
            settlement_.handOverRefused = true;
            stage_ = Stage::retryAfterRefusal;
            request_ = Request::tryLock;
        }
        return;
    case Stage::retryAfterRefusal:
        return found ? settle(Action::run) : leaveAsLoser();
    case Stage::confirming:
        stage_ = Stage::probing;
        request_ = Request::tryLock;
        return;
    case Stage::probing:
        if (!found)
            return settle(Action::handOver);
        if (--triesLeft_ == 0) {
            // The start reached the manager while its earlier copy was still ending, or its copy
            // never came: keep the lock just taken and run here.
            settlement_.handOverUnconfirmed = true;
            return settle(Action::run);
        }
        // Held only for the probe; a copy of the keep-alive agent that tried meanwhile tries again.
        stage_ = Stage::releasingProbe;
        request_ = Request::releaseLock;
        return;
    case Stage::releasingProbe:
        stage_ = Stage::confirming;
        request_ = Request::pause;
        return;
    }
}

void LaunchDecision::settle(Action action, int exitStatus)
{
    settlement_.action = action;
    settlement_.exitStatus = exitStatus;
    request_ = Request::none;
}

void LaunchDecision::leaveAsLoser()
{
    // Only a person asked for the agent; a start at login never opens the panel.
    settlement_.showRunningInstance = origin_ == LaunchOrigin::person;
    settle(Action::leave);
}

}  // namespace tessary
