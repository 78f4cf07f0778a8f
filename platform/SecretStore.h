#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace zorvane {

enum class SecretStoreError {
    notFound,    // the store answered: there is no such item
    unavailable, // no store answered (no service, no bus, no writable directory)
    timedOut,    // the store did not answer within the store's time limit
    failed,      // the store answered with an error (access denied, locked, I/O error)
};

// The secret, or why there is none.
using SecretReadResult = std::variant<std::string, SecretStoreError>;

// Generic-password items of the user's keychain, addressed by service and account; the value is
// raw bytes. Every operation returns within a bounded time, so that a store that hangs or fails
// can never hold up the application's start: failures are values, never exceptions.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    virtual SecretReadResult read(const std::string& service, const std::string& account) = 0;

    // Creates the item or replaces its value. Nothing on success.
    virtual std::optional<SecretStoreError>
    write(const std::string& service, const std::string& account, const std::string& secret) = 0;

    // This platform's keychain. On Linux it needs a Qt application object and is called from a
    // thread that may run a local Qt event loop (see KeychainSecretStore).
    static std::unique_ptr<SecretStore> standard();
};

} // namespace zorvane
