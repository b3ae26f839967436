#pragma once

#include <QObject>

#include "platform/MainQueue.h"

namespace tessary {

// The main queue on the Qt event loop of the GUI thread.
class QtMainQueue final : public MainQueue {
public:
    explicit QtMainQueue(QObject* context);

    void post(Task task) override;
    std::shared_ptr<ScheduledWork> postAfter(std::chrono::milliseconds delay, Task task) override;
    std::shared_ptr<ScheduledWork> repeatEvery(std::chrono::milliseconds interval, Task task) override;

private:
    std::shared_ptr<ScheduledWork> schedule(std::chrono::milliseconds delay, bool repeating, Task task);

    QObject* context_;
};

}  // namespace tessary
