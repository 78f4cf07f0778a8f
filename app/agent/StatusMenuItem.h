#pragma once

#include "shared/Uuid.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// What choosing a menu item of the status item asks for.
enum class StatusMenuAction {
    openZorvane,
    toggleProtection,
    pauseAllForFiveMinutes,
    pauseAllForOneHour,
    resumeAllBlocking,
    allowApplicationForFiveMinutes,
    allowApplicationForOneHour,
    allowApplicationUntilQuit,
    blockApplicationNow,
    hideStatusItem,
};

// One entry of the status item's menu, as plain data: whoever draws the menu turns it into
// native items, and whoever tests it reads it as it is.
struct StatusMenuItem {
    bool isSeparator = false;
    std::string title;
    // A symbol name ("shield.fill"), drawn by the status item.
    std::optional<std::string> symbolName;
    // The application's icon (PNG), drawn at 16 x 16; nothing when it has none.
    std::optional<std::vector<std::uint8_t>> iconData;
    bool isEnabled = true;
    bool isChecked = false;
    // Nothing: the item only shows something and cannot be chosen.
    std::optional<StatusMenuAction> action;
    // The application an item of an application's submenu acts on.
    std::optional<Uuid> applicationID;
    std::vector<StatusMenuItem> submenu;

    static StatusMenuItem separator() {
        StatusMenuItem item;
        item.isSeparator = true;
        return item;
    }

    friend bool operator==(const StatusMenuItem&, const StatusMenuItem&) = default;
};

using StatusMenuModel = std::vector<StatusMenuItem>;

} // namespace zorvane
