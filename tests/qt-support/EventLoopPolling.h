#pragma once

#include "tests/support/Eventually.h"

#include <QCoreApplication>
#include <QThread>

namespace zorvane::testing {

// Runs the calling thread's event loop until the condition holds, so that queued results reach
// the objects under test; false when the limit passed first.
template <typename Condition>
bool eventuallyOnEventLoop(Condition condition,
                           std::chrono::milliseconds limit = std::chrono::milliseconds(15'000)) {
    return eventually(condition, limit, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    });
}

} // namespace zorvane::testing
