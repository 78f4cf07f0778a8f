#pragma once

#include "platform/SecretStore.h"

#include <memory>

namespace zorvane {

// The keychain first, a second store where the keychain does not answer. Both hold the same
// value: a secret is written to both, and a read that finds it in one store only, or different
// values in the two, writes the one it returns to the other. So whichever of the two answers from
// one run to the next, the same secret is read; the keychain's value wins where they differ.
//
// The one secret kept here, the event channel's token, also stands in the filter configuration,
// which the user can read; a copy in a file only the user can read costs nothing on top.
class FallbackSecretStore final : public SecretStore {
public:
    FallbackSecretStore(std::unique_ptr<SecretStore> primary,
                        std::unique_ptr<SecretStore> fallback);

    SecretReadResult read(const std::string& service, const std::string& account) override;
    // Succeeds when either store took the secret.
    std::optional<SecretStoreError> write(const std::string& service, const std::string& account,
                                          const std::string& secret) override;

private:
    std::unique_ptr<SecretStore> primary_;
    std::unique_ptr<SecretStore> fallback_;
};

} // namespace zorvane
