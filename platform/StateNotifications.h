#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zorvane {

// System-wide notifications without payload between processes of one user: a name is posted,
// and every process observing that name learns that it was. Nothing is queued for a process
// that is not observing. Posting never fails from the caller's point of view.
class StateNotifications {
public:
    // Observation lasts as long as its registration.
    class Registration {
    public:
        virtual ~Registration() = default;
    };

    virtual ~StateNotifications() = default;

    virtual void post(const std::string& name) = 0;
    // The handler runs on the thread that observed, from its event loop, never inside post().
    // The registration must be destroyed on that thread.
    [[nodiscard]] virtual std::unique_ptr<Registration> observe(const std::string& name,
                                                                std::function<void()> handler) = 0;
};

} // namespace zorvane
