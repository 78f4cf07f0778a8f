#include "FallbackSecretStore.h"

namespace zorvane {

FallbackSecretStore::FallbackSecretStore(std::unique_ptr<SecretStore> primary,
                                         std::unique_ptr<SecretStore> fallback)
    : primary_(std::move(primary)), fallback_(std::move(fallback)) {}

SecretReadResult FallbackSecretStore::read(const std::string& service, const std::string& account) {
    SecretReadResult primary = primary_->read(service, account);
    SecretReadResult fallback = fallback_->read(service, account);
    if (const auto* secret = std::get_if<std::string>(&primary)) {
        if (fallback != primary) {
            (void)fallback_->write(service, account, *secret);
        }
        return primary;
    }
    if (const auto* secret = std::get_if<std::string>(&fallback)) {
        // Only a keychain that answered can take the copy; one that did not is asked next run.
        if (std::get<SecretStoreError>(primary) == SecretStoreError::notFound) {
            (void)primary_->write(service, account, *secret);
        }
        return fallback;
    }
    // "Not found" from the keychain is the more useful answer than the file's.
    return std::get<SecretStoreError>(primary) == SecretStoreError::notFound ? primary : fallback;
}

std::optional<SecretStoreError> FallbackSecretStore::write(const std::string& service,
                                                           const std::string& account,
                                                           const std::string& secret) {
    const auto primary = primary_->write(service, account, secret);
    const auto fallback = fallback_->write(service, account, secret);
    if (!primary || !fallback) {
        return std::nullopt;
    }
    return fallback;
}

} // namespace zorvane
