#pragma once

#include "platform/Preferences.h"

#include <functional>
#include <mutex>
#include <utility>

namespace zorvane::testing {

// Preferences held in memory, for unit tests of their users.
class MemoryPreferences final : public Preferences {
public:
    std::optional<PlistValue> value(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        return it == values_.end() ? std::nullopt : std::optional<PlistValue>(it->second);
    }
    void setValue(const std::string& key, PlistValue value) override {
        std::lock_guard lock(mutex_);
        values_.insert_or_assign(key, std::move(value));
    }
    void removeValue(const std::string& key) override {
        std::lock_guard lock(mutex_);
        values_.erase(key);
    }
    bool synchronize() override {
        std::function<void()> observer;
        {
            std::lock_guard lock(mutex_);
            ++synchronizeCount;
            observer = onSynchronize;
        }
        if (observer) {
            observer();
        }
        return true;
    }

    bool takeSaveFailure() override {
        std::lock_guard lock(mutex_);
        return std::exchange(saveFailure, false);
    }

    PlistDictionary snapshot() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

    int synchronizeCount = 0;
    // Told by the next takeSaveFailure().
    bool saveFailure = false;
    std::function<void()> onSynchronize;

private:
    mutable std::mutex mutex_;
    PlistDictionary values_;
};

} // namespace zorvane::testing
