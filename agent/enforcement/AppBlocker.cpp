#include "agent/enforcement/AppBlocker.h"

#include <algorithm>

namespace tessary {

AppBlocker::AppBlocker(std::shared_ptr<LogSink> logSink, TamperingDetected tamperingDetected)
    : logger_(std::move(logSink), "app.brenmoor.tessary", "app"), tamperingDetected_(std::move(tamperingDetected))
{
}

void AppBlocker::updateBlockedApps(const std::vector<std::string>& bundleIds)
{
    {
        std::set<std::string> replacement(bundleIds.begin(), bundleIds.end());
        const std::lock_guard section(queue_);
        blockedBundleIds_.swap(replacement);
    }
    logger_.info("AppBlocker updated: %ld blocked apps", {bundleIds.size()});
}

void AppBlocker::updateApprovedApps(const std::vector<std::string>& bundleIds)
{
    {
        std::set<std::string> replacement(bundleIds.begin(), bundleIds.end());
        const std::lock_guard section(queue_);
        approvedBundleIds_.swap(replacement);
    }
    logger_.info("AppBlocker updated: %ld approved apps", {bundleIds.size()});
}

bool AppBlocker::shouldBlock(const std::string& bundleId)
{
    const std::lock_guard section(queue_);
    return decide(bundleId);
}

bool AppBlocker::decide(const std::string& bundleId) const
{
    if (mode == "deny")
        return !approvedBundleIds_.contains(bundleId);
    return blockedBundleIds_.contains(bundleId);
}

std::optional<std::string> AppBlocker::blockedIdentifier(const RunningApplication& application)
{
    const auto bundleId = application.bundleIdentifier();
    if (!bundleId)
        return std::nullopt;
    auto identifiers = application.otherIdentifiers();
    identifiers.insert(identifiers.begin(), *bundleId);
    const std::lock_guard section(queue_);
    for (const auto& identifier : identifiers)
        if (decide(identifier))
            return identifier;
    return std::nullopt;
}

void AppBlocker::checkAndBlock(RunningApplication& application)
{
    const auto bundleId = application.bundleIdentifier();
    const auto blocked = blockedIdentifier(application);
    if (!bundleId || !blocked)
        return;
    // The display name belongs to the identifier it was launched under.
    const std::string appName = *blocked == *bundleId ? application.localizedName().value_or(*bundleId) : *blocked;
    logger_.info("Blocking app: %s (%s)", {appName, *blocked});
    // Which identifier it was launched under depends on when the watcher first saw the process.
    const auto others = application.otherIdentifiers();
    const auto disguise = *blocked == *bundleId ? std::find_if(others.begin(), others.end(),
                                                               [&](const auto& other) { return other != *blocked; })
                                                : others.end();
    if (*blocked != *bundleId)
        tamperingDetected_(*blocked + " ran under the identity of " + *bundleId);
    else if (disguise != others.end())
        tamperingDetected_(*blocked + " ran under the identity of " + *disguise);
    application.forceTerminate();
    if (auto channel = webSocketClient.lock())
        channel->sendBlockedAppLaunch(*blocked, appName);
}

}  // namespace tessary
