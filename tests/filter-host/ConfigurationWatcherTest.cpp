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
        std::filesystem::create_directories(system);
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

    // The bytes of a configuration, written elsewhere, for the tests that put them in place
    // themselves.
    std::filesystem::path prepared(const std::string& name, const FilterConfiguration& saved) {
        const auto place = directory / ("prepared-" + name);
        std::filesystem::create_directories(place);
        EXPECT_FALSE(FilterConfigurationFile::inDirectory(place).write(saved).has_value());
        return FilterConfigurationFile::inDirectory(place).path();
    }

    bool runsWith(const PlistDictionary& vendor) {
        return eventually([&] {
            const auto current = provider->record().vendor;
            return state() == ProviderSupervisor::State::running && current && *current == vendor;
        });
    }
    bool stopped() {
        return eventually([&] { return state() == ProviderSupervisor::State::stopped; });
    }

    TemporaryDirectory directory;
    std::filesystem::path system = directory / "state" / "system";
    FilterConfigurationFile file = FilterConfigurationFile::inDirectory(system);
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
    std::ofstream(system / "unrelated.plist") << "x";
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

TEST_F(ConfigurationWatcherTest, SeesTheFileHoweverItIsReplaced) {
    const PlistDictionary first{{"blockedCodeIdentities", PlistArray{"a.b"}}};
    const PlistDictionary second{{"blockedApplicationPaths", PlistArray{"/B.app"}}};
    const auto firstBytes = prepared("first", configuration(true, first));
    const auto secondBytes = prepared("second", configuration(true, second));
    ASSERT_FALSE(file.write(configuration(true, first)).has_value());
    startWatching();
    ASSERT_TRUE(runsWith(first));

    namespace fs = std::filesystem;
    // Renamed over it from a temporary file of the same directory.
    fs::copy_file(secondBytes, system / "incoming.tmp");
    fs::rename(system / "incoming.tmp", file.path());
    EXPECT_TRUE(runsWith(second));
    // Copied over it: truncated, then written in place.
    fs::copy_file(firstBytes, file.path(), fs::copy_options::overwrite_existing);
    EXPECT_TRUE(runsWith(first));
    // An editor's save: the old file kept as a backup, the new one renamed into place.
    fs::rename(file.path(), system / (file.path().filename().string() + "~"));
    fs::copy_file(secondBytes, system / ".filter-configuration.plist.swp");
    fs::rename(system / ".filter-configuration.plist.swp", file.path());
    EXPECT_TRUE(runsWith(second));
    // Deleted, then made again.
    fs::remove(file.path());
    EXPECT_TRUE(stopped());
    fs::copy_file(firstBytes, file.path());
    EXPECT_TRUE(runsWith(first));
}

TEST_F(ConfigurationWatcherTest, KeepsWatchingWhenItsDirectoryIsRemovedOrMovedAndMadeAgain) {
    const PlistDictionary first{{"blockedCodeIdentities", PlistArray{"a.b"}}};
    const PlistDictionary second{{"blockedApplicationPaths", PlistArray{"/B.app"}}};
    ASSERT_FALSE(file.write(configuration(true, first)).has_value());
    startWatching();
    ASSERT_TRUE(runsWith(first));

    namespace fs = std::filesystem;
    // Removed: the configuration is absent; made again: followed as before.
    fs::remove_all(system);
    ASSERT_TRUE(stopped());
    fs::create_directories(system);
    ASSERT_FALSE(file.write(configuration(true, second)).has_value());
    ASSERT_TRUE(runsWith(second));

    // Moved away: absent, and what happens in the moved directory no longer counts.
    fs::rename(system, directory / "moved");
    ASSERT_TRUE(stopped());
    ASSERT_FALSE(FilterConfigurationFile::inDirectory(directory / "moved")
                     .write(configuration(true, first))
                     .has_value());
    // Back, two levels at once and with the file already in it.
    fs::remove_all(directory / "state");
    ASSERT_TRUE(stopped());
    fs::create_directories(directory / "staging" / "system");
    fs::copy_file(prepared("first", configuration(true, first)),
                  directory / "staging" / "system" / file.path().filename());
    fs::rename(directory / "staging", directory / "state");
    ASSERT_TRUE(runsWith(first));

    ASSERT_FALSE(file.write(configuration(true, second)).has_value());
    EXPECT_TRUE(runsWith(second));
}

} // namespace
} // namespace zorvane
