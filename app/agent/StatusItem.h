#pragma once

#include "app/agent/StatusMenuItem.h"

#include <functional>
#include <optional>
#include <string>

namespace zorvane {

// The agent's icon in the desktop's status area (the menu bar, the system tray) and its menu.
// Main thread only.
class StatusItem {
public:
    using ActionHandler = std::function<void(StatusMenuAction, const std::optional<Uuid>&)>;

    virtual ~StatusItem() = default;

    // Puts the item into the status area, or takes it out again.
    virtual void show() = 0;
    virtual void hide() = 0;

    virtual void setSymbol(const std::string& symbolName) = 0;
    virtual void setToolTip(const std::string& text) = 0;
    virtual void setAccessibilityDescription(const std::string& text) = 0;
    virtual void setMenu(StatusMenuModel menu) = 0;

    // Runs right before the menu opens, so that its owner can set the menu it should show.
    virtual void setMenuAboutToOpenHandler(std::function<void()> handler) = 0;
    // Runs when the user chooses an item that has an action.
    virtual void setActionHandler(ActionHandler handler) = 0;
};

} // namespace zorvane
