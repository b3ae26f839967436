#include "agent/core/InstalledUpdateWatcher.h"

namespace tessary {

InstalledUpdateWatcher::InstalledUpdateWatcher(std::shared_ptr<InstalledProgram> program,
                                               std::shared_ptr<MainQueue> mainQueue, LaunchOrigin origin,
                                               std::function<void(int exitStatus)> terminate, Logger logger)
    : program_(std::move(program)), mainQueue_(std::move(mainQueue)), origin_(origin),
      terminate_(std::move(terminate)), logger_(std::move(logger))
{
}

InstalledUpdateWatcher::~InstalledUpdateWatcher()
{
    if (timer_)
        timer_->cancel();
}

void InstalledUpdateWatcher::start()
{
    if (timer_ || !program_)
        return;
    timer_ = mainQueue_->repeatEvery(kCheckInterval, [this] { check(); });
}

void InstalledUpdateWatcher::check()
{
    if (!program_->isReplaced()) {
        replacedAtLastCheck_ = false;
        return;
    }
    // The installer may still be putting the bundle's other files in place: the new program is
    // started only once its file has stood for a whole interval.
    if (!replacedAtLastCheck_) {
        replacedAtLastCheck_ = true;
        return;
    }
    timer_->cancel();
    timer_.reset();
    if (origin_ != LaunchOrigin::keepAliveAgent) {
        logger_.info("A new version was installed — it runs from the next start");
        return;
    }
    logger_.info("A new version was installed — restarting to run it");
    terminate_(0);
}

}  // namespace tessary
