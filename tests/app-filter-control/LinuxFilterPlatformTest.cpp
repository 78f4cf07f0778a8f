// The Linux stand-ins behind the filter controller: the filter preferences file, the main
// bundle and the system-extension activator with its approval through zorvane-system.
#include "FilterControlFakes.h"
#include "app/filter-control/FilterController.h"
#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "platform/linux/SystemDirectory.h"
#include "shared/CodeIdentity.h"
#include "shared/PlistCodec.h"
#include "tests/qt-support/EventLoopPolling.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/TemporaryDirectory.h"
#include "tools/ApproveCommand.h"
#include "tools/StatusCommand.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane {
namespace {

using namespace testing;

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

FilterManager::LoadResult loadThroughWorker(LinuxFilterManager& manager) {
    std::optional<FilterManager::LoadResult> result;
    std::mutex mutex;
    manager.load([&](FilterManager::LoadResult loaded) {
        std::lock_guard lock(mutex);
        result = std::move(loaded);
    });
    EXPECT_TRUE(eventuallyOnEventLoop([&] {
        std::lock_guard lock(mutex);
        return result.has_value();
    }));
    std::lock_guard lock(mutex);
    return result.value_or(FilterManager::LoadResult{});
}

FilterConfiguration sample() {
    FilterConfiguration configuration;
    configuration.enabled = true;
    configuration.localizedDescription = "Zorvane";
    configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
        true, "dev.quillmoor.Zorvane.FilterExtension",
        PlistDictionary{{"blockedCodeIdentities", PlistArray{"a.b"}}}};
    return configuration;
}

TEST(LinuxFilterManagerTest, MissingIsNothingStoredAndSavesRoundTrip) {
    TemporaryDirectory directory;
    LinuxFilterManager manager(directory / "system");
    auto loaded = loadThroughWorker(manager);
    EXPECT_FALSE(loaded.error);
    EXPECT_FALSE(loaded.configuration);

    EXPECT_FALSE(manager.saveNow(sample()));
    loaded = loadThroughWorker(manager);
    EXPECT_FALSE(loaded.error);
    EXPECT_EQ(loaded.configuration, sample());

    LinuxFilterManager nowhere(std::nullopt);
    EXPECT_TRUE(nowhere.loadNow().error);
    EXPECT_TRUE(nowhere.saveNow(sample()));
}

// An approval that arrives while the application runs: the next save goes where the filter
// reads, in the approved user's directory, and a user nobody approved hears why.
TEST(LinuxFilterManagerTest, AnApprovalWhileRunningMovesTheNextSave) {
    TemporaryDirectory directory;
    const auto system = directory / "system";
    std::filesystem::create_directories(system);
    LinuxFilterManager manager(system);
    std::filesystem::create_directory(system / SystemDirectory::approvedUserDirectoryName);
    EXPECT_FALSE(manager.saveNow(sample()));
    EXPECT_TRUE(std::filesystem::exists(system / SystemDirectory::approvedUserDirectoryName /
                                        SystemDirectory::configurationFileName));
    EXPECT_FALSE(std::filesystem::exists(system / SystemDirectory::configurationFileName));
    EXPECT_EQ(manager.loadNow().configuration, sample());

    if (::geteuid() != 0) {
        return; // the rest needs a second user
    }
    ASSERT_EQ(::chown(system.c_str(), 65534, 65534), 0);
    std::filesystem::remove_all(system / SystemDirectory::approvedUserDirectoryName);
    ::chmod(directory.path().c_str(), 0755);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65533) != 0 || ::setuid(65533) != 0) {
            ::_exit(2);
        }
        const auto error = LinuxFilterManager(system).saveNow(sample());
        ::_exit(error && error->code == SystemError::filterConfigurationPermissionDenied &&
                        error->localizedDescription.find("zorvane-system approve") !=
                            std::string::npos
                    ? 0
                    : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the refusal is not a "
                                                                  "permission error";
}

TEST(LinuxFilterManagerTest, GarbageIsALoadErrorThatTheStatusShows) {
    TemporaryDirectory directory;
    const auto system = directory / "system";
    std::filesystem::create_directories(system);
    std::ofstream(system / "filter-configuration.plist") << "this is no property list";
    auto manager = std::make_shared<LinuxFilterManager>(system);
    const auto loaded = manager->loadNow();
    ASSERT_TRUE(loaded.error);
    EXPECT_EQ(loaded.error->domain, "NEFilterErrorDomain");
    EXPECT_NE(loaded.error->localizedDescription.find("is not a valid filter configuration"),
              std::string::npos);
    EXPECT_FALSE(FilterController::isAwaitingApprovalError(*loaded.error));

    FilterController::Dependencies dependencies;
    dependencies.filterManager = manager;
    dependencies.activator = std::make_shared<testing::FakeActivator>();
    dependencies.mainBundle = std::make_shared<testing::FakeMainBundle>();
    FilterController controller(std::move(dependencies));
    controller.refreshStatus();
    ASSERT_TRUE(eventuallyOnEventLoop(
        [&] { return controller.status().kind() == FilterStatus::Kind::failed; }));
    EXPECT_EQ(controller.status().message().toStdString(), loaded.error->localizedDescription);

    // A directory in the file's place cannot be read either, and is no "permission" error.
    std::filesystem::remove(system / "filter-configuration.plist");
    std::filesystem::create_directory(system / "filter-configuration.plist");
    const auto unreadable = manager->loadNow();
    ASSERT_TRUE(unreadable.error);
    EXPECT_NE(unreadable.error->localizedDescription.find("cannot be read"), std::string::npos);
    EXPECT_FALSE(FilterController::isFilterPermissionError(*unreadable.error));
}

TEST(LinuxFilterManagerTest, AFailedSaveLeavesThePreviousFileIntact) {
    TemporaryDirectory directory;
    const auto system = directory / "system";
    LinuxFilterManager manager(system);
    ASSERT_FALSE(manager.saveNow(sample()));
    const std::string before = contents(system / "filter-configuration.plist");

    // The lock cannot be taken: nothing is written.
    std::filesystem::remove(system / "filter-configuration.plist.lock");
    std::filesystem::create_directory(system / "filter-configuration.plist.lock");
    auto changed = sample();
    changed.enabled = false;
    const auto error = manager.saveNow(changed);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "NEFilterErrorDomain");
    EXPECT_NE(error->localizedDescription.find("cannot be saved"), std::string::npos);
    EXPECT_EQ(contents(system / "filter-configuration.plist"), before);
    EXPECT_EQ(manager.loadNow().configuration, sample());
}

// The controller never stores what the filter would take for no configuration at all, and no
// stored file, however it came about, keeps it from saving a good one again.
TEST(LinuxFilterManagerTest, NoConfigurationLocksThePersonOut) {
    TemporaryDirectory directory;
    const auto system = directory / "system";
    const auto file = FilterConfigurationFile::inDirectory(system);
    FilterController::Dependencies dependencies;
    dependencies.filterManager = std::make_shared<LinuxFilterManager>(system);
    dependencies.activator = std::make_shared<testing::FakeActivator>();
    dependencies.mainBundle = std::make_shared<testing::FakeMainBundle>();
    FilterController controller(std::move(dependencies));
    const auto saved = [&](const FilterRules& rules) {
        controller.applyRules(rules);
        return eventuallyOnEventLoop([&] {
            const auto stored = file.read();
            return stored && stored->vendorConfiguration() &&
                   stored->vendorConfiguration()->at("blockedCodeIdentities") ==
                       PlistValue(PlistArray(rules.blockedCodeIdentityKeys.begin(),
                                             rules.blockedCodeIdentityKeys.end()));
        });
    };

    FilterRules good;
    good.blockedCodeIdentityKeys = {CodeIdentity::make("com.example.good", "TEAM123456").key()};
    ASSERT_TRUE(saved(good));
    const std::string before = contents(file.path());

    // A key that alone is larger than the reader takes: refused, and the person is told.
    FilterRules huge = good;
    huge.blockedCodeIdentityKeys.push_back(
        CodeIdentity::make(std::string(4'500'000, 's'), "TEAM123456").key());
    controller.applyRules(huge);
    ASSERT_TRUE(eventuallyOnEventLoop(
        [&] { return controller.status().kind() == FilterStatus::Kind::failed; }));
    EXPECT_TRUE(controller.status().message().contains("too large"))
        << controller.status().message().toStdString();
    EXPECT_EQ(contents(file.path()), before);

    // Removing it saves again.
    FilterRules other;
    other.blockedCodeIdentityKeys = {CodeIdentity::make("com.example.other", "TEAM123456").key()};
    ASSERT_TRUE(saved(other));
    EXPECT_TRUE(eventuallyOnEventLoop(
        [&] { return controller.status().kind() != FilterStatus::Kind::failed; }));

    // Files the reader refuses, put there by someone else: the next save replaces them.
    std::ofstream(file.path(), std::ios::trunc)
        << "<plist><dict><key>k</key><string>" << std::string(4'300'000, 'x')
        << "</string></dict></plist>";
    ASSERT_FALSE(file.read());
    ASSERT_TRUE(saved(good));
    std::ofstream(file.path(), std::ios::trunc) << "garbage";
    ASSERT_TRUE(saved(other));
}

TEST(LinuxMainBundleTest, ReadsTheInfoPlistAndTellsTheApplicationsFolder) {
    TemporaryDirectory directory;
    const auto applications = directory / "Applications";
    const auto bundle = applications / "Zorvane.app";
    BundleBuilder(bundle)
        .info(PlistDictionary{{"CFBundleIdentifier", "dev.quillmoor.Zorvane"},
                              {"CFBundleShortVersionString", "1.2"},
                              {"CFBundleVersion", "34"}})
        .file("Contents/MacOS/Zorvane", std::string_view("x"), true);
    EXPECT_EQ(LinuxMainBundle::bundleForExecutable(bundle / "Contents/MacOS/Zorvane"), bundle);
    EXPECT_EQ(LinuxMainBundle::bundleForExecutable(directory / "bin/tool"), directory / "bin");

    const LinuxMainBundle main(bundle, applications);
    EXPECT_EQ(main.identifier(), "dev.quillmoor.Zorvane");
    EXPECT_EQ(main.shortVersion(), "1.2");
    EXPECT_EQ(main.buildVersion(), "34");
    EXPECT_EQ(main.url(), bundle);
    EXPECT_TRUE(main.isInApplicationsFolder());

    // Outside, next to it with a longer name, or inside only by "..": not installed.
    std::filesystem::create_directories(directory / "Applications Old" / "Zorvane.app");
    EXPECT_FALSE(LinuxMainBundle(directory / "Applications Old/Zorvane.app", applications)
                     .isInApplicationsFolder());
    EXPECT_FALSE(LinuxMainBundle(applications / "../Elsewhere/Zorvane.app", applications)
                     .isInApplicationsFolder());
    EXPECT_FALSE(LinuxMainBundle(bundle, directory / "Other").isInApplicationsFolder());
    // A link to an installed copy is installed; a link from inside to elsewhere is not.
    std::filesystem::create_directory_symlink(bundle, directory / "Linked.app");
    EXPECT_TRUE(LinuxMainBundle(directory / "Linked.app", applications).isInApplicationsFolder());
    std::filesystem::create_directory_symlink(directory / "Applications Old" / "Zorvane.app",
                                              applications / "Elsewhere.app");
    EXPECT_FALSE(
        LinuxMainBundle(applications / "Elsewhere.app", applications).isInApplicationsFolder());

    const LinuxMainBundle bare(directory / "Applications Old");
    EXPECT_FALSE(bare.identifier());
    EXPECT_FALSE(bare.shortVersion());
}

// Records the activator's answers.
class RecordingDelegate final : public SystemExtensionRequestDelegate {
public:
    SystemExtensionReplacementAction replacement = SystemExtensionReplacementAction::replace;
    int replacementsAsked = 0;
    int approvalsNeeded = 0;
    std::optional<SystemExtensionRequestResult> finished;
    std::optional<SystemError> failed;

    SystemExtensionReplacementAction
    actionForReplacingExtension(const SystemExtensionRequest&, const SystemExtensionProperties& old,
                                const SystemExtensionProperties& offered) override {
        ++replacementsAsked;
        existingVersion = old.bundleShortVersion;
        offeredVersion = offered.bundleShortVersion;
        return replacement;
    }
    void requestNeedsUserApproval(const SystemExtensionRequest&) override { ++approvalsNeeded; }
    void requestDidFinish(const SystemExtensionRequest&,
                          SystemExtensionRequestResult result) override {
        finished = result;
    }
    void requestDidFail(const SystemExtensionRequest&, const SystemError& error) override {
        failed = error;
    }
    bool answered() const { return finished || failed; }

    std::string existingVersion;
    std::string offeredVersion;
};

class LinuxActivatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        BundleBuilder(bundle).info(
            PlistDictionary{{"CFBundleIdentifier", "dev.quillmoor.Zorvane"}});
        // A stand-in host that leaves a mark and ends at once.
        BundleBuilder(extension)
            .info(PlistDictionary{{"CFBundleIdentifier", identifier},
                                  {"CFBundleExecutable", "ZorvaneFilter"},
                                  {"CFBundleShortVersionString", "1.0"},
                                  {"CFBundleVersion", "7"}})
            .file("Contents/MacOS/ZorvaneFilter",
                  std::string_view("#!/bin/sh\necho \"started in $PWD\" >> \"$ZORVANE_SYSTEM_DIR/"
                                   "marker\"\necho host output\n"),
                  true);
    }

    std::unique_ptr<LinuxSystemExtensionActivator> makeActivator(bool autoApprove = false,
                                                                 bool installed = true) {
        LinuxSystemExtensionActivator::Options options;
        options.systemDirectory = system;
        options.mainBundle = std::make_shared<LinuxMainBundle>(
            bundle, installed ? directory / "Applications" : directory / "Other");
        options.autoApprove = autoApprove;
        return std::make_unique<LinuxSystemExtensionActivator>(std::move(options));
    }

    std::shared_ptr<RecordingDelegate>
    submit(LinuxSystemExtensionActivator& activator,
           SystemExtensionRequest::Kind kind = SystemExtensionRequest::Kind::activation) {
        auto delegate = std::make_shared<RecordingDelegate>();
        activator.submit({kind, identifier, ++requests}, delegate);
        return delegate;
    }

    int markCount() const {
        const std::string marks = contents(system / "marker");
        return static_cast<int>(std::count(marks.begin(), marks.end(), '\n'));
    }

    std::string run(int (*command)(const std::vector<std::string>&, const std::filesystem::path&,
                                   std::FILE*, std::FILE*),
                    std::vector<std::string> arguments, int expectedStatus = 0) {
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&buffer, &size);
        EXPECT_EQ(command(arguments, system, out, stderr), expectedStatus);
        std::fclose(out);
        std::string text(buffer, size);
        std::free(buffer);
        return text;
    }

    TemporaryDirectory directory;
    std::filesystem::path system = directory / "system";
    std::filesystem::path bundle = directory / "Applications" / "Zorvane.app";
    const std::string identifier = "dev.quillmoor.Zorvane.FilterExtension";
    std::filesystem::path extension =
        bundle / "Contents/Library/SystemExtensions" / (identifier + ".systemextension");
    std::uint64_t requests = 0;
};

TEST_F(LinuxActivatorTest, ApprovalThroughTheCommandFinishesTheWaitingRequest) {
    auto activator = makeActivator();
    auto delegate = submit(*activator);
    EXPECT_EQ(delegate->approvalsNeeded, 0); // never inside submit
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return delegate->approvalsNeeded == 1; }));
    EXPECT_FALSE(delegate->answered());
    auto record = ExtensionStateFile(system).read().at(identifier);
    EXPECT_EQ(record.state, SystemExtensionRecord::State::awaitingApproval);
    EXPECT_EQ(record.bundleShortVersion, "1.0");
    EXPECT_EQ(record.bundleVersion, "7");
    EXPECT_NE(
        run(&StatusCommand::run, {}).find("System extension " + identifier + ": awaiting approval"),
        std::string::npos);

    EXPECT_EQ(run(&ApproveCommand::run, {}), "Approved " + identifier + "\n");
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return delegate->answered(); }));
    EXPECT_EQ(delegate->finished, SystemExtensionRequestResult::completed);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return markCount() == 1; }));
    EXPECT_EQ(contents(system / "marker"), "started in /\n");
    EXPECT_NE(contents(system / "filter-host.log").find("host output"), std::string::npos);
    record = ExtensionStateFile(system).read().at(identifier);
    EXPECT_EQ(record.state, SystemExtensionRecord::State::activated);
    EXPECT_TRUE(record.hostProcessIdentifier);
    EXPECT_EQ(run(&ApproveCommand::run, {}), "Already approved: " + identifier + "\n");
    run(&ApproveCommand::run, {"com.example.unknown"}, 1);
    run(&ApproveCommand::run, {"a", "b"}, 2);

    // Approved once, the next request finishes at once; a running host is not started twice.
    auto hostLock = FileLock::acquire(system / "filter-host.lock", FileLock::Wait::failIfHeld);
    ASSERT_TRUE(hostLock);
    auto again = submit(*activator);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return again->answered(); }));
    EXPECT_EQ(again->approvalsNeeded, 0);
    EXPECT_EQ(again->finished, SystemExtensionRequestResult::completed);
    EXPECT_EQ(markCount(), 1);
}

// An installed system's directory is root's while the person's application runs: the approval
// is the administrator's record, and the filter is the system's service, never the app's host.
TEST_F(LinuxActivatorTest, OnASystemOwnedDirectoryTheAppOnlyWaitsForTheAdministrator) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "gives the system directory to another user, which needs root";
    }
    std::filesystem::create_directories(system);
    ASSERT_EQ(::chown(system.c_str(), 65534, 65534), 0); // another user's, as root's is to a person
    auto activator = makeActivator();
    auto delegate = submit(*activator);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return delegate->approvalsNeeded == 1; }));
    EXPECT_FALSE(delegate->answered());
    EXPECT_FALSE(std::filesystem::exists(ExtensionStateFile(system).path()));

    ASSERT_TRUE(ExtensionStateFile(system).update([&](ExtensionStateFile::Records& records) {
        records[identifier].state = SystemExtensionRecord::State::activated;
        return true;
    }));
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return delegate->answered(); }));
    EXPECT_EQ(delegate->finished, SystemExtensionRequestResult::completed);
    EXPECT_FALSE(ExtensionStateFile(system).read().at(identifier).hostProcessIdentifier);

    auto deactivation = submit(*activator, SystemExtensionRequest::Kind::deactivation);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return deactivation->answered(); }));
    EXPECT_EQ(deactivation->finished, SystemExtensionRequestResult::completed);
    EXPECT_EQ(ExtensionStateFile(system).read().at(identifier).state,
              SystemExtensionRecord::State::activated);
}

TEST_F(LinuxActivatorTest, AutomaticApprovalAndDeactivation) {
    auto activator = makeActivator(true);
    auto delegate = submit(*activator);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return delegate->answered(); }));
    EXPECT_EQ(delegate->approvalsNeeded, 0);
    EXPECT_EQ(delegate->finished, SystemExtensionRequestResult::completed);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return markCount() == 1; }));

    auto deactivation = submit(*activator, SystemExtensionRequest::Kind::deactivation);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return deactivation->answered(); }));
    EXPECT_EQ(deactivation->finished, SystemExtensionRequestResult::completed);
    EXPECT_EQ(ExtensionStateFile(system).read().at(identifier).state,
              SystemExtensionRecord::State::deactivated);

    // Deactivated, the extension needs the user's approval again.
    auto manual = makeActivator(false);
    auto next = submit(*manual);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return next->approvalsNeeded == 1; }));
}

TEST_F(LinuxActivatorTest, RequestsThatCannotBeServedFail) {
    auto outside = makeActivator(true, false);
    auto delegate = submit(*outside);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return delegate->answered(); }));
    ASSERT_TRUE(delegate->failed);
    EXPECT_EQ(delegate->failed->domain, "OSSystemExtensionErrorDomain");
    EXPECT_EQ(delegate->failed->code, 3);
    EXPECT_NE(delegate->failed->localizedDescription.find("/Applications"), std::string::npos);

    std::filesystem::remove_all(extension);
    auto activator = makeActivator(true);
    auto missing = submit(*activator);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return missing->answered(); }));
    ASSERT_TRUE(missing->failed);
    EXPECT_EQ(missing->failed->code, 4);
    EXPECT_EQ(markCount(), 0);
}

TEST_F(LinuxActivatorTest, AnotherActiveVersionIsReplacedOnlyWhenTheDelegateSaysSo) {
    ASSERT_TRUE(ExtensionStateFile(system).update([&](ExtensionStateFile::Records& records) {
        records[identifier] = {SystemExtensionRecord::State::activated, "0.9", "3",
                               extension.string(), std::nullopt};
        return true;
    }));
    auto activator = makeActivator();
    auto cancelled = std::make_shared<RecordingDelegate>();
    cancelled->replacement = SystemExtensionReplacementAction::cancel;
    activator->submit({SystemExtensionRequest::Kind::activation, identifier, 1}, cancelled);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return cancelled->answered(); }));
    EXPECT_EQ(cancelled->replacementsAsked, 1);
    EXPECT_EQ(cancelled->existingVersion, "0.9");
    EXPECT_EQ(cancelled->offeredVersion, "1.0");
    ASSERT_TRUE(cancelled->failed);
    EXPECT_EQ(cancelled->failed->code, 11);
    EXPECT_EQ(ExtensionStateFile(system).read().at(identifier).bundleShortVersion, "0.9");

    auto replaced = submit(*activator);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return replaced->answered(); }));
    EXPECT_EQ(replaced->replacementsAsked, 1);
    EXPECT_EQ(replaced->finished, SystemExtensionRequestResult::completed);
    EXPECT_EQ(ExtensionStateFile(system).read().at(identifier).bundleShortVersion, "1.0");
}

} // namespace
} // namespace zorvane
