#include "app/agent/BackgroundStatusAgentRegistration.h"

#include "MemoryPreferences.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zorvane {
namespace {

class FakeBundle final : public MainBundle {
public:
    std::optional<std::string> build = "42";
    bool inApplications = true;

    std::optional<std::string> identifier() const override { return "dev.quillmoor.Zorvane"; }
    std::optional<std::string> shortVersion() const override { return "1.0"; }
    std::optional<std::string> buildVersion() const override { return build; }
    std::filesystem::path url() const override { return "/Applications/Zorvane.app"; }
    bool isInApplicationsFolder() const override { return inApplications; }
};

// Records the calls in order; a successful call changes the status as the system would.
class FakeLoginAgent final : public LoginAgentService {
public:
    Status current = Status::notRegistered;
    std::optional<Error> registerFailure;
    std::optional<Error> unregisterFailure;
    std::vector<std::string> calls;

    Status status() const override { return current; }
    std::optional<Error> registerAgent() override {
        calls.push_back("register");
        if (!registerFailure) {
            current = Status::enabled;
        }
        return registerFailure;
    }
    std::optional<Error> unregisterAgent() override {
        calls.push_back("unregister");
        if (!unregisterFailure) {
            current = Status::notRegistered;
        }
        return unregisterFailure;
    }
};

using Calls = std::vector<std::string>;
constexpr const char* key = BackgroundStatusAgentRegistration::registeredBuildKey;

class AgentRegistration : public ::testing::Test {
protected:
    std::optional<std::string> storedBuild() const {
        auto value = preferences.value(key);
        if (!value) {
            return std::nullopt;
        }
        return value->string() ? *value->string() : std::string("<not a string>");
    }
    void run() { registerBackgroundStatusAgent(bundle, preferences, agent); }

    FakeBundle bundle;
    testing::MemoryPreferences preferences;
    FakeLoginAgent agent;
};

TEST_F(AgentRegistration, RegistersOncePerBuild) {
    run();
    EXPECT_EQ(agent.calls, Calls{"register"});
    EXPECT_EQ(storedBuild(), "42");
    EXPECT_GE(preferences.synchronizeCount, 1) << "the stored build must reach the disk";

    // The same build again: already registered, nothing to do.
    agent.calls.clear();
    run();
    EXPECT_TRUE(agent.calls.empty());

    // A new build replaces the registration: the old one goes first.
    bundle.build = "43";
    run();
    EXPECT_EQ(agent.calls, (Calls{"unregister", "register"}));
    EXPECT_EQ(storedBuild(), "43");
}

TEST_F(AgentRegistration, OnlyAnEnabledAgentIsUnregisteredFirst) {
    for (const auto status :
         {LoginAgentService::Status::notRegistered, LoginAgentService::Status::requiresApproval,
          LoginAgentService::Status::notFound}) {
        agent.calls.clear();
        agent.current = status;
        // The stored build matches, but the agent is not running for it.
        preferences.setValue(key, "42");
        run();
        EXPECT_EQ(agent.calls, Calls{"register"}) << static_cast<int>(status);
    }

    // Enabled, but nothing (or something unreadable) was recorded: registered again.
    for (const std::optional<PlistValue>& stored :
         {std::optional<PlistValue>(), std::optional<PlistValue>(PlistValue(42))}) {
        agent.calls.clear();
        agent.current = LoginAgentService::Status::enabled;
        if (stored) {
            preferences.setValue(key, *stored);
        } else {
            preferences.removeValue(key);
        }
        run();
        EXPECT_EQ(agent.calls, (Calls{"unregister", "register"}));
        EXPECT_EQ(storedBuild(), "42");
    }
}

TEST_F(AgentRegistration, FailuresLeaveTheStoredBuildForTheNextStart) {
    // Unregistering fails: registering is not attempted.
    preferences.setValue(key, "41");
    agent.current = LoginAgentService::Status::enabled;
    agent.unregisterFailure = LoginAgentService::Error::removeFailed;
    run();
    EXPECT_EQ(agent.calls, Calls{"unregister"});
    EXPECT_EQ(storedBuild(), "41");

    // Registering fails: nothing stored.
    agent.calls.clear();
    preferences.removeValue(key);
    agent.current = LoginAgentService::Status::notRegistered;
    agent.registerFailure = LoginAgentService::Error::writeFailed;
    run();
    EXPECT_EQ(agent.calls, Calls{"register"});
    EXPECT_EQ(storedBuild(), std::nullopt);

    // The next start tries again and succeeds.
    agent.calls.clear();
    agent.registerFailure.reset();
    run();
    EXPECT_EQ(agent.calls, Calls{"register"});
    EXPECT_EQ(storedBuild(), "42");
}

TEST_F(AgentRegistration, CopyOutsideTheApplicationsFolderNeverRegisters) {
    bundle.inApplications = false;
    for (const auto status :
         {LoginAgentService::Status::notRegistered, LoginAgentService::Status::enabled}) {
        agent.current = status;
        run();
    }
    EXPECT_TRUE(agent.calls.empty());
    EXPECT_EQ(storedBuild(), std::nullopt);
    EXPECT_EQ(preferences.synchronizeCount, 0);
}

TEST_F(AgentRegistration, BundleWithoutBuildRegistersAsUnknown) {
    bundle.build.reset();
    run();
    EXPECT_EQ(agent.calls, Calls{"register"});
    EXPECT_EQ(storedBuild(), "unknown");

    agent.calls.clear();
    run();
    EXPECT_TRUE(agent.calls.empty());
}

} // namespace
} // namespace zorvane
