// The block store on the real Linux stand-ins: dropping a signed bundle inspects it, turns
// protection on and, once the extension is approved, the filter host started from the built
// bundle drops that application's flows; removing it lets them through again.
#include "StoreFakes.h"
#include "app/store/AppBlockStore.h"
#include "app/store/ApplicationInspector.h"
#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

template <typename Condition> bool eventually(Condition condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 15'000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}

class BlockStoreEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        auto sliceSpec = MachOBuilder::signedExecutable("com.example.blocked", "TEAM123456");
        sliceSpec.signature->entitlements =
            PlistDictionary{{"com.apple.developer.team-identifier", "TEAM123456"}};
        BundleBuilder::application(blockedBundle, "com.example.blocked",
                                   MachOBuilder::thin(sliceSpec).bytes());
    }

    void TearDown() override {
        const auto records = ExtensionStateFile(system).read();
        for (const auto& [identifier, record] : records) {
            if (record.hostProcessIdentifier) {
                ::kill(static_cast<pid_t>(*record.hostProcessIdentifier), SIGTERM);
            }
        }
        EXPECT_TRUE(eventually([&] { return !FileLock::isHeld(system / "filter-host.lock"); }));
    }

    QString verdict() {
        QProcess process;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ZORVANE_SYSTEM_DIR", QString::fromStdString(system.string()));
        process.setProcessEnvironment(environment);
        process.start(ZORVANE_SYSTEM_EXECUTABLE,
                      {"flow", "--app", QString::fromStdString(blockedExecutable.string()),
                       "--host", "example.com", "--port", "443"});
        EXPECT_TRUE(process.waitForFinished(15'000));
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    TemporaryDirectory directory;
    std::filesystem::path system = directory / "system";
    std::filesystem::path blockedBundle = directory / "Blocked.app";
    std::filesystem::path blockedExecutable = blockedBundle / "Contents/MacOS/Blocked";
};

TEST_F(BlockStoreEndToEnd, DroppedApplicationIsBlockedUntilRemoved) {
    const std::filesystem::path bundlePath = ZORVANE_APP_BUNDLE;
    auto mainBundle = std::make_shared<LinuxMainBundle>(bundlePath, bundlePath.parent_path());
    auto preferences = std::make_shared<testing::MemoryPreferences>();

    AppBlockStore::Dependencies dependencies;
    dependencies.preferences = preferences;
    dependencies.notifications = std::make_shared<testing::FakeNotifications>();
    dependencies.workspace = std::make_shared<testing::FakeWorkspace>();
    dependencies.filterController = new FilterController(FilterController::Dependencies{
        std::make_shared<LinuxFilterManager>(system),
        std::make_shared<LinuxSystemExtensionActivator>(
            LinuxSystemExtensionActivator::Options{system, mainBundle, true}),
        mainBundle, [] {
            return EventChannel{9, std::string(64, 'k')};
        }});
    dependencies.inspect = [inspector = ApplicationInspector()](const std::filesystem::path& bundle,
                                                                const Uuid& id) {
        return inspector.inspect(bundle, id);
    };
    dependencies.activityLog =
        std::make_shared<ActivityLog>(directory.path() / "container", Clock::system());
    dependencies.ownIdentifier = OwnIdentifier(mainBundle->identifier());
    AppBlockStore store(std::move(dependencies));
    ASSERT_TRUE(eventually([&] { return store.hasLoadedApplications(); }));
    // No wish stored and an inactive filter with an empty list: protection off.
    ASSERT_TRUE(eventually([&] { return preferences->value("protectionRequested").has_value(); }));
    EXPECT_FALSE(store.isProtectionRequested());

    store.addApplication(blockedBundle);
    ASSERT_TRUE(eventually([&] { return store.applications().size() == 1; }))
        << store.alertMessageText().toStdString();
    EXPECT_EQ(store.applications()[0].signingIdentifier, "com.example.blocked");
    EXPECT_TRUE(store.isProtectionRequested());
    ASSERT_TRUE(eventually([&] { return store.filterStatus() == FilterStatus::enabled(); }))
        << store.filterStatus().message().toStdString();
    ASSERT_TRUE(eventually([&] { return verdict() == "drop"; }));

    store.removeApplication(store.applications()[0].id);
    ASSERT_TRUE(eventually([&] { return verdict() == "allow"; }));
    EXPECT_TRUE(store.isProtectionRequested());
    EXPECT_EQ(store.filterStatus(), FilterStatus::enabled());
}

} // namespace
} // namespace zorvane
