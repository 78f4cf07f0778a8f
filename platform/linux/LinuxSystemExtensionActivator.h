#pragma once

#include "platform/MainBundle.h"
#include "platform/SystemExtensionActivator.h"
#include "platform/linux/ExtensionStateFile.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <filesystem>
#include <memory>
#include <vector>

namespace zorvane {

// The Linux stand-in for the system-extension manager. What macOS keeps about approved
// extensions lives in extension.plist in the system directory (ExtensionStateFile), and the
// user's approval is `zorvane-system approve`, or ZORVANE_AUTO_APPROVE=1 for unattended runs.
//
// An activation request looks for <bundle>/Contents/Library/SystemExtensions/<identifier>
// .systemextension in the main bundle. When the extension has been approved the request
// finishes at once; otherwise it is recorded as awaiting approval, the delegate hears that, and
// the activator watches extension.plist until the approval arrives. Finishing means the
// extension runs: the filter host executable of the extension is started with --keep-alive, so
// that a crashed or killed host is started again, detached so that it outlives the application,
// with its output appended to filter-host.log in the system directory, unless a keeper or a host
// already holds its lock in that directory. Deactivation stops the keeper, and with it the host.
//
// A system directory of another user (an installed system's, root's) is the system's: there an
// administrator's `zorvane-system approve` records the approval, the filter runs as a system
// service, and the activator neither writes the state nor starts or stops a host.
//
// Lives on the thread that creates it (its watcher and its callbacks run there); submit() is
// called on that thread and the delegate's answers always arrive after it returned.
class LinuxSystemExtensionActivator final : public QObject, public SystemExtensionActivator {
public:
    struct Options {
        std::filesystem::path systemDirectory;
        std::shared_ptr<const MainBundle> mainBundle;
        // Approve every request at once, as if the user had.
        bool autoApprove = false;
    };

    explicit LinuxSystemExtensionActivator(Options options, QObject* parent = nullptr);
    ~LinuxSystemExtensionActivator() override;

    // The activator for SystemDirectory::path() (empty when there is none), the running
    // executable's bundle and ZORVANE_AUTO_APPROVE.
    static std::unique_ptr<LinuxSystemExtensionActivator> standard(QObject* parent = nullptr);

    void submit(const SystemExtensionRequest& request,
                std::shared_ptr<SystemExtensionRequestDelegate> delegate) override;

    // Where an extension with this identifier lies inside an application bundle.
    static std::filesystem::path extensionBundlePath(const std::filesystem::path& applicationBundle,
                                                     const std::string& identifier);
    // The executable of an extension bundle (its CFBundleExecutable, else "ZorvaneFilter").
    static std::filesystem::path extensionExecutable(const std::filesystem::path& extensionBundle);

private:
    struct Pending {
        SystemExtensionRequest request;
        std::shared_ptr<SystemExtensionRequestDelegate> delegate;
    };

    void activate(const Pending& pending);
    void deactivate(const Pending& pending);
    void finishActivation(const Pending& pending);
    void checkPending();
    void watch();
    std::optional<SystemError> ensureHostRunning(const std::string& identifier);
    void stopHost(const SystemExtensionRecord& record);
    void fail(const Pending& pending, std::int64_t code, std::string description);
    void finish(const Pending& pending);

    const Options options_;
    const ExtensionStateFile stateFile_;
    std::vector<Pending> awaitingApproval_;
    QFileSystemWatcher watcher_;
};

} // namespace zorvane
