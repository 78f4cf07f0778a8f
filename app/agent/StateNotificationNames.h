#pragma once

namespace zorvane {

// The notifications by which the window process and the status agent keep each other informed.
struct StateNotificationNames {
    // Posted by the window process after it wrote shared state; observed by the agent.
    static constexpr const char* mainStateDidChange = "dev.quillmoor.Zorvane.mainStateDidChange";
    // Posted by the agent after it wrote shared state; observed by the window process's store.
    static constexpr const char* agentStateDidChange = "dev.quillmoor.Zorvane.agentStateDidChange";
    // Posted by the agent to bring a running window process's main window forward.
    static constexpr const char* openMainWindow = "dev.quillmoor.Zorvane.openMainWindow";
};

} // namespace zorvane
