#pragma once

#include "app/agent/StateNotificationNames.h"
#include "platform/StateNotifications.h"
#include "platform/Workspace.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zorvane::testing {

// Running applications that the test starts and ends.
class FakeWorkspace final : public Workspace {
public:
    std::vector<RunningApplication> running;
    TerminationHandler handler;
    std::vector<RunningApplication> activated;
    std::vector<std::filesystem::path> launched;

    // Applications that run only as far as the workspace knows them listed, as Linux programs
    // do: by bundle identifier.
    std::vector<std::string> runsOnceListed;
    std::vector<BlockedApplication> listed;

    std::vector<RunningApplication> runningApplications() const override {
        auto all = running;
        for (const auto& application : listed) {
            if (std::find(runsOnceListed.begin(), runsOnceListed.end(),
                          application.bundleIdentifier) != runsOnceListed.end()) {
                RunningApplication app;
                app.bundleIdentifier = application.bundleIdentifier;
                all.push_back(app);
            }
        }
        return all;
    }
    void setListedApplications(const std::vector<BlockedApplication>& applications) override {
        listed = applications;
    }
    void setTerminationHandler(TerminationHandler h) override { handler = std::move(h); }
    bool openURL(const std::string&) override { return false; }
    std::optional<std::vector<std::uint8_t>>
    iconForFile(const std::filesystem::path&) const override {
        return std::nullopt;
    }
    bool activate(const RunningApplication& application) override {
        activated.push_back(application);
        return true;
    }
    bool launchNewInstance(const std::filesystem::path& bundle) override {
        launched.push_back(bundle);
        return true;
    }

    void run(const std::string& bundleIdentifier) {
        RunningApplication app;
        app.bundleIdentifier = bundleIdentifier;
        running.push_back(app);
    }
    void terminate(const std::string& bundleIdentifier) {
        std::erase_if(running, [&](const RunningApplication& a) {
            return a.bundleIdentifier == bundleIdentifier;
        });
        RunningApplication app;
        app.bundleIdentifier = bundleIdentifier;
        handler(app);
    }
};

// Notifications that stay in the process: posts are recorded, observers called by the test.
class FakeNotifications final : public StateNotifications {
public:
    std::vector<std::string> posted;
    std::map<std::string, std::function<void()>> observers;

    void post(const std::string& name) override { posted.push_back(name); }
    std::unique_ptr<Registration> observe(const std::string& name,
                                          std::function<void()> handler) override {
        observers[name] = std::move(handler);
        return std::make_unique<Registration>();
    }
    long mainPosts() const {
        return std::count(posted.begin(), posted.end(),
                          std::string(StateNotificationNames::mainStateDidChange));
    }
};

} // namespace zorvane::testing
