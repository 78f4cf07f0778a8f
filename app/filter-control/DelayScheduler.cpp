#include "app/filter-control/DelayScheduler.h"

#include <QTimer>

namespace zorvane {
namespace {

class TimerScheduler final : public DelayScheduler {
public:
    void schedule(std::chrono::milliseconds delay, QObject* context,
                  std::function<void()> work) override {
        QTimer::singleShot(delay, context, std::move(work));
    }
};

} // namespace

std::shared_ptr<DelayScheduler> DelayScheduler::timers() {
    static const auto scheduler = std::make_shared<TimerScheduler>();
    return scheduler;
}

} // namespace zorvane
