#pragma once

#include "platform/SecretStore.h"

#include <memory>

namespace zorvane {

// The keychain first, a second store where the keychain does not have the item or does not
// answer. Reading falls back whenever the primary has no value, so a secret that was written
// to the fallback while no Secret Service ran is still found once one runs (and the token stays
// the same). Writing goes to the fallback only when the primary fails.
class FallbackSecretStore final : public SecretStore {
public:
    FallbackSecretStore(std::unique_ptr<SecretStore> primary,
                        std::unique_ptr<SecretStore> fallback);

    SecretReadResult read(const std::string& service, const std::string& account) override;
    std::optional<SecretStoreError> write(const std::string& service, const std::string& account,
                                          const std::string& secret) override;

private:
    std::unique_ptr<SecretStore> primary_;
    std::unique_ptr<SecretStore> fallback_;
};

} // namespace zorvane
