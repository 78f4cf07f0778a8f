#pragma once

#include "app/agent/StatusItem.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zorvane::testing {

// A status item that only remembers what it was told; the test opens the menu and chooses
// items through the handlers the controller set.
class FakeStatusItem final : public StatusItem {
public:
    struct State {
        bool visible = false;
        int shows = 0;
        std::string symbolName;
        std::string toolTip;
        std::string accessibilityDescription;
        StatusMenuModel menu;
        std::function<void()> aboutToOpen;
        ActionHandler actionHandler;
    };

    explicit FakeStatusItem(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void show() override {
        state_->visible = true;
        ++state_->shows;
    }
    void hide() override { state_->visible = false; }
    void setSymbol(const std::string& name) override { state_->symbolName = name; }
    void setToolTip(const std::string& text) override { state_->toolTip = text; }
    void setAccessibilityDescription(const std::string& text) override {
        state_->accessibilityDescription = text;
    }
    void setMenu(StatusMenuModel menu) override { state_->menu = std::move(menu); }
    void setMenuAboutToOpenHandler(std::function<void()> handler) override {
        state_->aboutToOpen = std::move(handler);
    }
    void setActionHandler(ActionHandler handler) override {
        state_->actionHandler = std::move(handler);
    }

private:
    std::shared_ptr<State> state_;
};

// The item with this title at the top level of a menu, or in the submenu of the one named.
inline const StatusMenuItem* findItem(const StatusMenuModel& menu, const std::string& title,
                                      const std::optional<std::string>& parent = std::nullopt) {
    for (const auto& item : menu) {
        if (parent) {
            if (item.title == *parent) {
                return findItem(item.submenu, title);
            }
        } else if (!item.isSeparator && item.title == title) {
            return &item;
        }
    }
    return nullptr;
}

} // namespace zorvane::testing
