// zorvane-headless-app BUNDLE: the window process without its window, for the load run and the
// whole-system tests while the application's own window mode is not there: the block store on
// this platform's real services (preferences, state notifications, workspace, filter controller
// with the system-extension stand-in, the event receiver and its keychain, the activity files),
// with BUNDLE as the main bundle. Runs until SIGTERM or SIGINT, then lets the store finish its
// writes. No update checks: they would leave the machine.
#include "app/filter-control/FilterController.h"
#include "app/store/AppBlockStore.h"
#include "app/store/ApplicationIconRenderer.h"
#include "app/store/ApplicationInspector.h"
#include "app/store/LocalFilterEventReceiver.h"
#include "platform/SecretStore.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/SystemDirectory.h"

#include <QCoreApplication>
#include <QMetaEnum>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace zorvane;

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

struct Receiver {
    explicit Receiver(std::shared_ptr<Preferences> preferences)
        : secrets(SecretStore::standard()), receiver(std::move(preferences), *secrets) {}
    std::unique_ptr<SecretStore> secrets;
    LocalFilterEventReceiver receiver;
};

std::unique_ptr<AppBlockStore> makeStore(const std::filesystem::path& bundle) {
    auto preferences = Preferences::standard();
    auto mainBundle = std::make_shared<LinuxMainBundle>(bundle);
    auto receiver = std::make_shared<Receiver>(preferences);

    AppBlockStore::EventReceiverHooks hooks;
    hooks.start = [receiver](std::function<void()> onReady,
                             std::function<void(FilterEventEnvelope)> onEnvelope) {
        const auto port = receiver->receiver.preferredPort();
        receiver->receiver.start(port, port.has_value(), std::move(onReady), std::move(onEnvelope));
    };
    hooks.channel = [receiver] { return receiver->receiver.channel(); };

    LinuxSystemExtensionActivator::Options activator;
    activator.systemDirectory = SystemDirectory::path().value_or(std::filesystem::path());
    activator.mainBundle = mainBundle;
    const char* autoApprove = std::getenv("ZORVANE_AUTO_APPROVE");
    activator.autoApprove = autoApprove && std::strcmp(autoApprove, "1") == 0;

    AppBlockStore::Dependencies dependencies;
    dependencies.preferences = preferences;
    dependencies.notifications = std::make_shared<DBusStateNotifications>();
    dependencies.workspace = std::make_shared<LinuxWorkspace>(&ApplicationIconRenderer::render);
    dependencies.filterController = new FilterController(FilterController::Dependencies{
        LinuxFilterManager::standard(),
        std::make_shared<LinuxSystemExtensionActivator>(std::move(activator)), mainBundle,
        hooks.channel});
    dependencies.eventReceiver = std::move(hooks);
    dependencies.inspect = [inspector = ApplicationInspector(&ApplicationIconRenderer::render)](
                               const std::filesystem::path& path, const Uuid& id) {
        return inspector.inspect(path, id);
    };
    dependencies.activityLog = std::make_shared<ActivityLog>(ActivityLog::standard());
    dependencies.ownIdentifier = OwnIdentifier(mainBundle->identifier());
    return std::make_unique<AppBlockStore>(std::move(dependencies));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: zorvane-headless-app BUNDLE\n");
        return 2;
    }
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
        return 1;
    }
    QSocketNotifier stopRequest(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopRequest, &QSocketNotifier::activated, &application,
                     &QCoreApplication::quit);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    auto store = makeStore(argv[1]);
    QObject::connect(store.get(), &AppBlockStore::filterStateChanged, [&store] {
        const auto& status = store->filterStatus();
        const char* kind =
            QMetaEnum::fromType<FilterStatus::Kind>().valueToKey(static_cast<int>(status.kind()));
        std::fprintf(stderr, "zorvane-headless-app: filter %s %s\n", kind ? kind : "?",
                     status.message().toUtf8().constData());
    });
    const int status = QCoreApplication::exec();
    store.reset();
    return status;
}
