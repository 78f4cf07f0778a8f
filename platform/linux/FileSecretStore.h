#pragma once

#include "platform/SecretStore.h"

#include <filesystem>

namespace zorvane {

// Secrets kept as files that only the user can read, for machines where no Secret Service
// answers: without it the event channel's token would change on every start.
//
// One file per item, "secret-<service>+<account>" with both names percent-encoded, written with
// mode 0600 into a temporary file and renamed over the old one. A file that anyone else could
// read, or that is not a regular file owned by the user, reads as missing: its secret may have
// leaked, so the caller makes a new one and the write replaces the file.
class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(std::filesystem::path directory);

    SecretReadResult read(const std::string& service, const std::string& account) override;
    std::optional<SecretStoreError> write(const std::string& service, const std::string& account,
                                          const std::string& secret) override;

    std::filesystem::path fileFor(const std::string& service, const std::string& account) const;

    // $ZORVANE_SECRETS_DIR, else $XDG_CONFIG_HOME/zorvane (XDG_CONFIG_HOME defaulting to
    // ~/.config), beside the preferences.
    static std::filesystem::path defaultDirectory();

    // Items are small; anything larger is not one of ours.
    static constexpr std::size_t maximumSecretSize = 64 * 1024;

private:
    std::filesystem::path directory_;
};

} // namespace zorvane
