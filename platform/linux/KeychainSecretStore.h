#pragma once

#include "platform/SecretStore.h"

#include <chrono>

namespace zorvane {

// Generic-password items through QtKeychain, which on Linux talks to the Secret Service
// (gnome-keyring, KeePassXC, ...) over the session bus.
//
// QtKeychain's jobs are asynchronous and finish on the calling thread's Qt event loop, so each
// call runs a local event loop until its job finishes or the time limit passes; a job that
// outlives its call is left to delete itself. Needs a QCoreApplication; without one every call
// reports unavailable at once.
class KeychainSecretStore final : public SecretStore {
public:
    explicit KeychainSecretStore(std::chrono::milliseconds timeLimit = defaultTimeLimit);

    SecretReadResult read(const std::string& service, const std::string& account) override;
    std::optional<SecretStoreError> write(const std::string& service, const std::string& account,
                                          const std::string& secret) override;

    // A locked keyring may wait for a password prompt that nobody answers; the application's
    // start must not wait with it.
    static constexpr std::chrono::milliseconds defaultTimeLimit{3000};

private:
    std::chrono::milliseconds timeLimit_;
};

} // namespace zorvane
