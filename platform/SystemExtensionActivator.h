#pragma once

#include "platform/SystemError.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zorvane {

// One request to activate or deactivate the system extension with the given bundle identifier.
// The number tells the requests of one process apart.
struct SystemExtensionRequest {
    enum class Kind { activation, deactivation };

    Kind kind = Kind::activation;
    std::string identifier;
    std::uint64_t number = 0;

    friend bool operator==(const SystemExtensionRequest&, const SystemExtensionRequest&) = default;
};

// What the system knows of an installed or an offered extension.
struct SystemExtensionProperties {
    std::string bundleIdentifier;
    std::string bundleShortVersion;
    std::string bundleVersion;
    std::string path;
};

enum class SystemExtensionRequestResult { completed, willCompleteAfterReboot, unknown };

enum class SystemExtensionReplacementAction { cancel, replace };

// The four answers a request gets. They arrive on any thread; the delegate hops to its own.
class SystemExtensionRequestDelegate {
public:
    virtual ~SystemExtensionRequestDelegate() = default;

    // Another version of the extension is installed: replace it, or cancel the request. Answered
    // at once, on the calling thread.
    virtual SystemExtensionReplacementAction
    actionForReplacingExtension(const SystemExtensionRequest& request,
                                const SystemExtensionProperties& existing,
                                const SystemExtensionProperties& replacement) = 0;
    // The user has to allow the extension first; the request stays open.
    virtual void requestNeedsUserApproval(const SystemExtensionRequest& request) = 0;
    virtual void requestDidFinish(const SystemExtensionRequest& request,
                                  SystemExtensionRequestResult result) = 0;
    virtual void requestDidFail(const SystemExtensionRequest& request,
                                const SystemError& error) = 0;
};

// The system's manager of system extensions. Each submitted request ends in exactly one of
// requestDidFinish and requestDidFail, possibly after requestNeedsUserApproval. The activator
// keeps the delegate until then.
class SystemExtensionActivator {
public:
    virtual ~SystemExtensionActivator() = default;

    virtual void submit(const SystemExtensionRequest& request,
                        std::shared_ptr<SystemExtensionRequestDelegate> delegate) = 0;
};

} // namespace zorvane
