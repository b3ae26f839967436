#include "agent/core/LaunchDecision.h"

#include "platform/KeepAliveAgent.h"

namespace tessary {

LaunchDecision::Step LaunchDecision::decide(const Facts& facts)
{
    if (!facts.lockWon) {
        if (facts.origin == LaunchOrigin::keepAliveAgent)
            return {Action::leave, false, KeepAliveAgent::kDuplicateExitStatus};
        // Only a person asked for the agent; a start at login never opens the panel.
        return {Action::leave, facts.origin == LaunchOrigin::person, 0};
    }
    if (facts.origin != LaunchOrigin::keepAliveAgent && facts.keepAliveInstalled && facts.managerReady)
        return {Action::handOver, false, 0};
    return {Action::run, false, 0};
}

LaunchDecision::Settlement LaunchDecision::settle(LaunchOrigin origin, const World& world)
{
    Facts facts{origin, world.tryAcquireLock()};
    if (facts.lockWon && origin != LaunchOrigin::keepAliveAgent) {
        facts.keepAliveInstalled = world.keepAliveInstalled();
        facts.managerReady = facts.keepAliveInstalled && world.managerReady();
    }
    auto step = decide(facts);
    bool refused = false;
    if (step.action == Action::handOver) {
        world.releaseLock();
        if (world.startKeepAliveAgent())
            return {Action::handOver, false, 0, false};
        refused = true;
        step = decide({origin, world.tryAcquireLock(), false, false});
    }
    return {step.action, step.showRunningInstance, step.exitStatus, refused};
}

}  // namespace tessary
