#include "agent/enforcement/AppMonitor.h"

#include <algorithm>

#include "platform/JsonText.h"

namespace tessary {

AppMonitor::AppMonitor(std::shared_ptr<Workspace> workspace, std::shared_ptr<Clock> clock,
                       std::shared_ptr<LogSink> logSink)
    : workspace_(std::move(workspace)),
      clock_(std::move(clock)),
      logger_(std::move(logSink), "app.brenmoor.tessary", "app")
{
}

void AppMonitor::start()
{
    workspace_->addObserver(weak_from_this());
    logger_.info("App monitor started");
}

void AppMonitor::stop()
{
    workspace_->removeObserver(this);
}

void AppMonitor::appDidLaunch(const std::shared_ptr<RunningApplication>& application)
{
    if (!application)
        return;
    const auto bundleId = application->bundleIdentifier();
    if (!bundleId)
        return;
    const auto appName = application->localizedName();
    if (!appName)
        return;
    if (appBlocker) {
        appBlocker->checkAndBlock(*application);
        // Asked again: rules applied since the check decide whether the launch is reported.
        if (appBlocker->blockedIdentifier(*application)) {
            stopped_.push_back(application);
            return;
        }
    }
    ActivityEvent event;
    event.type = "app_launch";
    event.appName = appName;
    event.bundleId = bundleId;
    event.ts = clock_->secondsSinceEpoch();
    sendEvent(event);
    logger_.debug("App launched: %s", {*appName});
}

void AppMonitor::judgeRunningApplications()
{
    if (!appBlocker)
        return;
    std::erase_if(stopped_, [](const auto& application) { return application.expired(); });
    for (const auto& application : workspace_->runningApplications()) {
        // Stopped already, its end not yet delivered: not stopped and reported twice.
        const bool stopped = std::any_of(stopped_.begin(), stopped_.end(),
                                         [&](const auto& held) { return held.lock() == application; });
        if (stopped || !appBlocker->blockedIdentifier(*application))
            continue;
        appBlocker->checkAndBlock(*application);
        stopped_.push_back(application);
    }
}

void AppMonitor::appDidTerminate(const std::shared_ptr<RunningApplication>& application)
{
    if (!application)
        return;
    const auto bundleId = application->bundleIdentifier();
    if (!bundleId)
        return;
    ActivityEvent event;
    event.type = "app_terminate";
    event.bundleId = bundleId;
    event.ts = clock_->secondsSinceEpoch();
    sendEvent(event);
    logger_.debug("App terminated: %s", {*bundleId});
}

void AppMonitor::sendEvent(const ActivityEvent& event)
{
    // Round trip through the encoded text: text that cannot be encoded drops the event.
    const auto bytes = JsonText::dump(event.toJson());
    if (!bytes)
        return;
    auto object = JsonText::parse(bytes.value());
    if (!object || !object.value().is_object())
        return;
    auto channel = webSocketClient.lock();
    if (!channel)
        return;
    channel->sendActivity({std::move(object).value()});
}

}  // namespace tessary
