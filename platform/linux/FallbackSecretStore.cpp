#include "FallbackSecretStore.h"

namespace zorvane {

FallbackSecretStore::FallbackSecretStore(std::unique_ptr<SecretStore> primary,
                                         std::unique_ptr<SecretStore> fallback)
    : primary_(std::move(primary)), fallback_(std::move(fallback)) {}

SecretReadResult FallbackSecretStore::read(const std::string& service, const std::string& account) {
    SecretReadResult primary = primary_->read(service, account);
    if (std::holds_alternative<std::string>(primary)) {
        return primary;
    }
    SecretReadResult fallback = fallback_->read(service, account);
    if (std::holds_alternative<std::string>(fallback)) {
        return fallback;
    }
    // "Not found" from the keychain is the more useful answer than the file's.
    return std::get<SecretStoreError>(primary) == SecretStoreError::notFound ? primary : fallback;
}

std::optional<SecretStoreError> FallbackSecretStore::write(const std::string& service,
                                                           const std::string& account,
                                                           const std::string& secret) {
    if (!primary_->write(service, account, secret)) {
        return std::nullopt;
    }
    return fallback_->write(service, account, secret);
}

} // namespace zorvane
