#pragma once

#include "platform/StateNotifications.h"

#include <functional>
#include <memory>
#include <string>

namespace zorvane {

// Watches one state notification for as long as it exists and runs its handler on the main
// thread, always later from the event loop, never on the notifying thread. Create and destroy
// it on the main thread; a delivery still queued when it is destroyed is dropped, so the handler
// never runs after its owner let go.
class DarwinStateObserver {
public:
    DarwinStateObserver(StateNotifications& notifications, std::string name,
                        std::function<void()> handler);
    ~DarwinStateObserver();

    DarwinStateObserver(const DarwinStateObserver&) = delete;
    DarwinStateObserver& operator=(const DarwinStateObserver&) = delete;

    const std::string& name() const { return name_; }

private:
    const std::string name_;
    // Owned here only; queued deliveries hold it weakly.
    std::shared_ptr<std::function<void()>> handler_;
    std::unique_ptr<StateNotifications::Registration> registration_;
};

} // namespace zorvane
