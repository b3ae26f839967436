#include "agent/ui/QtMainQueue.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>

namespace tessary {

namespace {

class QtScheduledWork final : public ScheduledWork {
public:
    explicit QtScheduledWork(QTimer* timer) : timer_(timer) {}
    ~QtScheduledWork() override = default;

    void cancel() override
    {
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
            timer_ = nullptr;
        }
    }

private:
    QPointer<QTimer> timer_;
};

}  // namespace

QtMainQueue::QtMainQueue(QObject* context) : context_(context) {}

void QtMainQueue::post(Task task)
{
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

std::shared_ptr<ScheduledWork> QtMainQueue::postAfter(std::chrono::milliseconds delay, Task task)
{
    return schedule(delay, false, std::move(task));
}

std::shared_ptr<ScheduledWork> QtMainQueue::repeatEvery(std::chrono::milliseconds interval, Task task)
{
    return schedule(interval, true, std::move(task));
}

std::shared_ptr<ScheduledWork> QtMainQueue::schedule(std::chrono::milliseconds delay, bool repeating, Task task)
{
    auto* timer = new QTimer(context_);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeating);
    timer->setInterval(delay);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, repeating, task = std::move(task)] {
        if (!repeating)
            timer->deleteLater();
        task();
    });
    timer->start();
    return std::make_shared<QtScheduledWork>(timer);
}

}  // namespace tessary
