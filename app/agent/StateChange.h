#pragma once

#include "platform/Preferences.h"
#include "platform/StateNotifications.h"

#include <string_view>

namespace zorvane {

// Announcing writes of shared state to the other process.
class StateChange {
public:
    // Writes pending preferences first, so the other process reads the new values when it
    // reacts, then posts the agent's name when source is exactly "agent" and the window
    // process's name for any other source.
    static void post(Preferences& preferences, StateNotifications& notifications,
                     std::string_view source);

    // Asks a running window process to bring its main window forward.
    static void requestOpenMainWindow(StateNotifications& notifications);
};

// The posting operation under the name its callers know.
inline void postStateChange(Preferences& preferences, StateNotifications& notifications,
                            std::string_view source) {
    StateChange::post(preferences, notifications, source);
}

} // namespace zorvane
