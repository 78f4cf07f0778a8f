#include "StateChange.h"

#include "StateNotificationNames.h"

namespace zorvane {

void StateChange::post(Preferences& preferences, StateNotifications& notifications,
                       std::string_view source) {
    preferences.synchronize();
    notifications.post(source == "agent" ? StateNotificationNames::agentStateDidChange
                                         : StateNotificationNames::mainStateDidChange);
}

void StateChange::requestOpenMainWindow(StateNotifications& notifications) {
    notifications.post(StateNotificationNames::openMainWindow);
}

} // namespace zorvane
