#include "platform/linux/FileSecretStore.h"

#include "platform/linux/FallbackSecretStore.h"
#include "tests/support/TemporaryDirectory.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

namespace zorvane {
namespace {

namespace fs = std::filesystem;

const std::string service = "dev.quillmoor.Zorvane.test";
const std::string account = "local-event-channel-token";

std::optional<std::string> secretOf(const SecretReadResult& result) {
    if (const auto* text = std::get_if<std::string>(&result)) {
        return *text;
    }
    return std::nullopt;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(FileSecretStoreTest, SecretsRoundTripInFilesOnlyTheUserCanRead) {
    TemporaryDirectory temporary;
    FileSecretStore store(temporary / "config" / "zorvane");
    EXPECT_EQ(store.read(service, account), SecretReadResult(SecretStoreError::notFound));

    const std::string secret("binary\0secret\xFF", 14);
    ASSERT_FALSE(store.write(service, account, secret));
    EXPECT_EQ(secretOf(store.read(service, account)), secret);
    EXPECT_EQ(modeOf(store.fileFor(service, account)), 0600u);
    EXPECT_EQ(modeOf(temporary / "config" / "zorvane"), 0700u);

    ASSERT_FALSE(store.write(service, account, "replaced"));
    EXPECT_EQ(secretOf(FileSecretStore(temporary / "config" / "zorvane").read(service, account)),
              "replaced");
    EXPECT_EQ(modeOf(store.fileFor(service, account)), 0600u);
    // Only the item's own file is left: no temporary files behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(temporary / "config" / "zorvane"),
                            fs::directory_iterator()),
              1);
}

TEST(FileSecretStoreTest, ItemsAreKeptApartWhateverTheirNames) {
    TemporaryDirectory temporary;
    FileSecretStore store(temporary.path());
    const std::vector<std::pair<std::string, std::string>> names = {
        {"a+b", "c"}, {"a", "b+c"}, {"a/../b", "c"}, {"a%2Bb", "c"}, {"", ""}};
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_FALSE(store.write(names[i].first, names[i].second, std::to_string(i)));
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(secretOf(store.read(names[i].first, names[i].second)), std::to_string(i));
        EXPECT_EQ(store.fileFor(names[i].first, names[i].second).parent_path(), temporary.path());
    }
}

TEST(FileSecretStoreTest, FileThatOthersCouldReadCountsAsMissing) {
    TemporaryDirectory temporary;
    FileSecretStore store(temporary.path());
    ASSERT_FALSE(store.write(service, account, "secret"));
    ASSERT_EQ(::chmod(store.fileFor(service, account).c_str(), 0644), 0);
    EXPECT_EQ(store.read(service, account), SecretReadResult(SecretStoreError::notFound));
    // Writing again puts a private file in its place.
    ASSERT_FALSE(store.write(service, account, "fresh"));
    EXPECT_EQ(modeOf(store.fileFor(service, account)), 0600u);
    EXPECT_EQ(secretOf(store.read(service, account)), "fresh");

    // A symbolic link is not followed.
    fs::remove(store.fileFor(service, account));
    std::ofstream(temporary / "elsewhere") << "planted";
    ::chmod((temporary / "elsewhere").c_str(), 0600);
    fs::create_symlink(temporary / "elsewhere", store.fileFor(service, account));
    EXPECT_FALSE(secretOf(store.read(service, account)));
}

TEST(FileSecretStoreTest, DirectoryThatCannotBeMadeIsUnavailable) {
    TemporaryDirectory temporary;
    std::ofstream(temporary / "file") << "in the way";
    FileSecretStore store(temporary / "file" / "zorvane");
    EXPECT_EQ(store.write(service, account, "secret"), SecretStoreError::unavailable);
    EXPECT_EQ(store.read(service, account), SecretReadResult(SecretStoreError::notFound));
}

// A store whose answers the test decides.
class ScriptedStore final : public SecretStore {
public:
    explicit ScriptedStore(std::optional<SecretStoreError> failure) : failure_(failure) {}
    SecretReadResult read(const std::string&, const std::string& key) override {
        if (failure_ && failure_ != SecretStoreError::notFound) {
            return *failure_;
        }
        auto it = items.find(key);
        return it == items.end() ? SecretReadResult(SecretStoreError::notFound) : it->second;
    }
    std::optional<SecretStoreError> write(const std::string&, const std::string& key,
                                          const std::string& secret) override {
        if (failure_) {
            return failure_;
        }
        items[key] = secret;
        return std::nullopt;
    }
    void setFailure(std::optional<SecretStoreError> failure) { failure_ = failure; }
    std::map<std::string, std::string> items;

private:
    std::optional<SecretStoreError> failure_;
};

TEST(FallbackSecretStoreTest, KeychainFirstFallbackWhereItHasNothingOrFails) {
    {
        auto primary = std::make_unique<ScriptedStore>(std::nullopt);
        auto fallback = std::make_unique<ScriptedStore>(std::nullopt);
        auto* primaryItems = &primary->items;
        auto* fallbackItems = &fallback->items;
        FallbackSecretStore store(std::move(primary), std::move(fallback));
        EXPECT_EQ(store.read(service, account), SecretReadResult(SecretStoreError::notFound));
        (*fallbackItems)[account] = "from an earlier run without a keychain";
        EXPECT_EQ(secretOf(store.read(service, account)), "from an earlier run without a keychain");
        ASSERT_FALSE(store.write(service, account, "new"));
        EXPECT_EQ(primaryItems->at(account), "new");
        EXPECT_EQ(fallbackItems->at(account), "new");
        EXPECT_EQ(secretOf(store.read(service, account)), "new");
    }
    for (const auto failure :
         {SecretStoreError::unavailable, SecretStoreError::timedOut, SecretStoreError::failed}) {
        auto fallback = std::make_unique<ScriptedStore>(std::nullopt);
        auto* fallbackItems = &fallback->items;
        FallbackSecretStore store(std::make_unique<ScriptedStore>(failure), std::move(fallback));
        EXPECT_EQ(store.read(service, account), SecretReadResult(SecretStoreError::notFound));
        ASSERT_FALSE(store.write(service, account, "kept in the file"));
        EXPECT_EQ(fallbackItems->at(account), "kept in the file");
        EXPECT_EQ(secretOf(store.read(service, account)), "kept in the file");
    }
    FallbackSecretStore broken(std::make_unique<ScriptedStore>(SecretStoreError::unavailable),
                               std::make_unique<ScriptedStore>(SecretStoreError::failed));
    EXPECT_EQ(broken.write(service, account, "x"), SecretStoreError::failed);
}

// Whichever store answers, the same secret comes back, and the other is brought in line.
TEST(FallbackSecretStoreTest, BothStoresHoldTheSameSecret) {
    auto primary = std::make_unique<ScriptedStore>(std::nullopt);
    auto fallback = std::make_unique<ScriptedStore>(std::nullopt);
    ScriptedStore* keychain = primary.get();
    ScriptedStore* file = fallback.get();
    FallbackSecretStore store(std::move(primary), std::move(fallback));

    ASSERT_FALSE(store.write(service, account, "first"));
    keychain->setFailure(SecretStoreError::unavailable);
    EXPECT_EQ(secretOf(store.read(service, account)), "first");
    keychain->setFailure(std::nullopt);
    EXPECT_EQ(secretOf(store.read(service, account)), "first");

    // Written while the keychain was away: the keychain is given the secret once it answers.
    keychain->items.clear();
    file->items[account] = "second";
    EXPECT_EQ(secretOf(store.read(service, account)), "second");
    EXPECT_EQ(keychain->items.at(account), "second");
    // Two different values, left by an earlier version: the keychain's wins and the file follows.
    keychain->items[account] = "keychain";
    EXPECT_EQ(secretOf(store.read(service, account)), "keychain");
    EXPECT_EQ(file->items.at(account), "keychain");
    keychain->setFailure(SecretStoreError::timedOut);
    EXPECT_EQ(secretOf(store.read(service, account)), "keychain");
}

} // namespace
} // namespace zorvane
