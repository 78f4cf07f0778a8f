#include "filter/host/ConfigurationWatcher.h"

#include "filter/host/ProviderSupervisor.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace zorvane {
namespace {

using testing::eventually;
// Records what the host does to it; completes start and stop at once, as the provider does.
class RecordingProvider final : public HostedProvider {
public:
    struct Record {
        std::vector<std::string> calls;
        std::shared_ptr<const PlistDictionary> vendor;
    };

    void setVendorConfiguration(std::shared_ptr<const PlistDictionary> configuration) override {
        std::lock_guard lock(mutex_);
        record_.calls.push_back("set");
        record_.vendor = std::move(configuration);
    }
    void startFilter(std::function<void(std::optional<std::string>)> completion) override {
        {
            std::lock_guard lock(mutex_);
            record_.calls.push_back("start");
        }
        completion(startError);
    }
    void stopFilter(std::function<void()> completion) override {
        {
            std::lock_guard lock(mutex_);
            record_.calls.push_back("stop");
        }
        completion();
    }
    FilterVerdict handleNewFlow(const FilterFlow&) override { return FilterVerdict::drop; }

    Record record() const {
        std::lock_guard lock(mutex_);
        return record_;
    }

    std::optional<std::string> startError;

private:
    mutable std::mutex mutex_;
    Record record_;
};

FilterConfiguration configuration(bool enabled, PlistDictionary vendor) {
    FilterConfiguration result;
    result.enabled = enabled;
    result.providerConfiguration = FilterConfiguration::ProviderConfiguration{
        true, "dev.quillmoor.Zorvane.FilterExtension", std::move(vendor)};
    return result;
}

class ConfigurationWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto owned = std::make_unique<RecordingProvider>();
        provider = owned.get();
        supervisor = std::make_unique<ProviderSupervisor>(io, std::move(owned));
        watcher = std::make_unique<ConfigurationWatcher>(
            io, file, [this](const auto& configuration) { supervisor->apply(configuration); });
    }

    void startWatching() {
        ASSERT_FALSE(watcher->start().has_value());
        thread = std::thread([this] { io.run(); });
    }

    // Runs on the host's thread and waits for the result.
    template <typename Function> auto onHost(Function function) {
        std::packaged_task<decltype(function())()> task(std::move(function));
        auto result = task.get_future();
        asio::post(io, [&task] { task(); });
        return result.get();
    }

    void TearDown() override {
        if (thread.joinable()) {
            onHost([this] { watcher->stop(); });
            work.reset();
            io.stop();
            thread.join();
        }
    }

    ProviderSupervisor::State state() {
        return onHost([this] { return supervisor->state(); });
    }
    std::vector<std::string> calls() const { return provider->record().calls; }

    TemporaryDirectory directory;
    FilterConfigurationFile file = FilterConfigurationFile::inDirectory(directory.path());
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{
        asio::make_work_guard(io)};
    RecordingProvider* provider = nullptr;
    std::unique_ptr<ProviderSupervisor> supervisor;
    std::unique_ptr<ConfigurationWatcher> watcher;
    std::thread thread;
};

TEST_F(ConfigurationWatcherTest, FollowsTheFileThroughEnableChangeDisableAndRemoval) {
    startWatching();
    EXPECT_EQ(state(), ProviderSupervisor::State::stopped);
    EXPECT_TRUE(calls().empty());

    const PlistDictionary first{{"blockedCodeIdentities", PlistArray{"a.b"}}};
    ASSERT_FALSE(file.write(configuration(true, first)).has_value());
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::running; }));
    EXPECT_EQ(calls(), (std::vector<std::string>{"set", "start"}));
    EXPECT_EQ(*provider->record().vendor, first);
    EXPECT_EQ(onHost([&] { return supervisor->decide(FilterFlow{}); }), FilterVerdict::drop);

    // A change replaces the dictionary without restarting the provider.
    const PlistDictionary second{{"blockedApplicationPaths", PlistArray{"/A.app"}}};
    ASSERT_FALSE(file.write(configuration(true, second)).has_value());
    ASSERT_TRUE(eventually([&] {
        auto vendor = provider->record().vendor;
        return vendor && *vendor == second;
    }));
    EXPECT_EQ(calls(), (std::vector<std::string>{"set", "start", "set"}));

    // Disabled: stopped (its flush runs inside stop), and every flow is allowed.
    ASSERT_FALSE(file.write(configuration(false, second)).has_value());
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::stopped; }));
    EXPECT_EQ(calls().back(), "stop");
    EXPECT_EQ(onHost([&] { return supervisor->decide(FilterFlow{}); }), FilterVerdict::allow);

    // Enabled again, then removed: started again, then stopped.
    ASSERT_FALSE(file.write(configuration(true, first)).has_value());
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::running; }));
    ASSERT_FALSE(file.remove().has_value());
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::stopped; }));
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"set", "start", "set", "stop", "set", "start", "stop"}));
}

TEST_F(ConfigurationWatcherTest, SeesAFileWrittenInPlaceOnceItIsClosedAndGarbageStopsTheFilter) {
    ASSERT_FALSE(file.write(configuration(true, {})).has_value());
    startWatching(); // the configuration that is already there counts
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::running; }));

    std::ofstream(file.path(), std::ios::trunc) << "garbage";
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::stopped; }));

    // Other files in the directory are not the configuration.
    const auto before = calls();
    std::ofstream(directory / "unrelated.plist") << "x";
    ASSERT_FALSE(file.write(configuration(true, {{"k", true}})).has_value());
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::running; }));
    EXPECT_EQ(calls().size(), before.size() + 2); // set, start
}

TEST_F(ConfigurationWatcherTest, AFailedStartAllowsEveryFlowUntilTheNextConfiguration) {
    provider->startError = "settings refused";
    startWatching();
    ASSERT_FALSE(file.write(configuration(true, {})).has_value());
    ASSERT_TRUE(
        eventually([&] { return onHost([&] { return supervisor->startError().has_value(); }); }));
    EXPECT_EQ(state(), ProviderSupervisor::State::stopped);
    EXPECT_EQ(onHost([&] { return supervisor->decide(FilterFlow{}); }), FilterVerdict::allow);
    EXPECT_EQ(calls(), (std::vector<std::string>{"set", "start"})); // no retry loop

    onHost([&] { provider->startError.reset(); });
    ASSERT_FALSE(file.write(configuration(true, {{"k", true}})).has_value());
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::running; }));
}

TEST_F(ConfigurationWatcherTest, ShutdownStopsARunningProviderThenReportsDone) {
    ASSERT_FALSE(file.write(configuration(true, {})).has_value());
    startWatching();
    ASSERT_TRUE(eventually([&] { return state() == ProviderSupervisor::State::running; }));

    std::promise<void> done;
    onHost([&] { supervisor->shutdown([&] { done.set_value(); }); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(calls().back(), "stop");
    // Later configurations no longer start it.
    onHost([&] { supervisor->apply(configuration(true, {})); });
    EXPECT_EQ(state(), ProviderSupervisor::State::stopped);
}

} // namespace
} // namespace zorvane
