#include "agent/enforcement/AppBlocker.h"

namespace tessary {

AppBlocker::AppBlocker(std::shared_ptr<LogSink> logSink) : logger_(std::move(logSink), "app.brenmoor.tessary", "app")
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

void AppBlocker::checkAndBlock(RunningApplication& application)
{
    const auto bundleId = application.bundleIdentifier();
    if (!bundleId || !shouldBlock(*bundleId))
        return;
    const std::string appName = application.localizedName().value_or(*bundleId);
    logger_.info("Blocking app: %s (%s)", {appName, *bundleId});
    application.forceTerminate();
    if (auto channel = webSocketClient.lock())
        channel->sendBlockedAppLaunch(*bundleId, appName);
}

}  // namespace tessary
