// Built twice: once run where no Secret Service answers (ZORVANE_EXPECT_SECRET_SERVICE=0), once
// inside a private session bus with a headless gnome-keyring (=1).
#include "platform/linux/KeychainSecretStore.h"

#include "app/store/LocalFilterEventReceiver.h"
#include "platform/linux/FileSecretStore.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/TemporaryDirectory.h"

#include <QProcess>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace zorvane {
namespace {

using namespace std::chrono_literals;

namespace fs = std::filesystem;

const std::string service = "dev.quillmoor.Zorvane.test";

std::optional<std::string> secretOf(const SecretReadResult& result) {
    if (const auto* text = std::get_if<std::string>(&result)) {
        return *text;
    }
    return std::nullopt;
}

class KeychainSecretStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("ZORVANE_SECRETS_DIR", secretsDirectory.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("ZORVANE_SECRETS_DIR"); }

    // The standard store as a start-up makes it: a receiver's token, stable across "runs".
    std::string tokenOfOneRun() {
        auto secrets = SecretStore::standard();
        LocalFilterEventReceiver receiver(std::make_shared<testing::MemoryPreferences>(), *secrets);
        return receiver.authenticationToken();
    }

    fs::path tokenFile() const {
        return FileSecretStore(secretsDirectory.path())
            .fileFor(LocalFilterEventReceiver::keychainServiceName,
                     LocalFilterEventReceiver::tokenAccount);
    }

    TemporaryDirectory secretsDirectory;
};

#if ZORVANE_EXPECT_SECRET_SERVICE

using KeychainWithSecretServiceTest = KeychainSecretStoreTest;

TEST_F(KeychainWithSecretServiceTest, SecretServiceKeepsItems) {
    KeychainSecretStore store;
    EXPECT_EQ(store.read(service, "missing"), SecretReadResult(SecretStoreError::notFound));
    const std::string secret("raw\0bytes\xFE", 10);
    ASSERT_EQ(store.write(service, "item", secret), std::nullopt);
    EXPECT_EQ(secretOf(store.read(service, "item")), secret);
    ASSERT_EQ(store.write(service, "item", "replaced"), std::nullopt);
    EXPECT_EQ(secretOf(KeychainSecretStore().read(service, "item")), "replaced");
}

TEST_F(KeychainWithSecretServiceTest, TokenLivesInTheKeychainAndStaysTheSame) {
    const std::string first = tokenOfOneRun();
    EXPECT_EQ(first.size(), 72u);
    EXPECT_EQ(tokenOfOneRun(), first);
    EXPECT_EQ(secretOf(KeychainSecretStore().read(LocalFilterEventReceiver::keychainServiceName,
                                                  LocalFilterEventReceiver::tokenAccount)),
              first);
    // The file keeps a copy, for a start on which the keychain does not answer.
    std::ifstream file(tokenFile(), std::ios::binary);
    std::string copy((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(copy, first);
}

// Each start its own process, as each start of the application is: with the keychain, without
// it (no session bus at all), with it again. Every one reads the same token.
TEST_F(KeychainWithSecretServiceTest, TheTokenIsTheSameWhetherTheKeychainAnswersOrNot) {
    const auto run = [&](bool withKeychain) {
        QProcess process;
        auto environment = QProcessEnvironment::systemEnvironment();
        if (!withKeychain) {
            environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zorvane-bus");
        }
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(TOKEN_OF_ONE_RUN), {});
        EXPECT_TRUE(process.waitForFinished(30000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        return process.readAllStandardOutput().trimmed().toStdString();
    };
    const std::string first = run(true);
    ASSERT_EQ(first.size(), 72u);
    EXPECT_EQ(run(false), first);
    EXPECT_EQ(run(true), first);
    EXPECT_EQ(secretOf(KeychainSecretStore().read(LocalFilterEventReceiver::keychainServiceName,
                                                  LocalFilterEventReceiver::tokenAccount)),
              first);
}

#else

using KeychainWithoutSecretServiceTest = KeychainSecretStoreTest;

TEST_F(KeychainWithoutSecretServiceTest, WithoutASecretServiceEveryCallFailsWithinItsTimeLimit) {
    KeychainSecretStore store(2s);
    const auto started = std::chrono::steady_clock::now();
    const auto read = store.read(service, "item");
    const auto written = store.write(service, "item", "secret");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(secretOf(read));
    EXPECT_NE(std::get<SecretStoreError>(read), SecretStoreError::notFound);
    EXPECT_TRUE(written);
}

TEST_F(KeychainWithoutSecretServiceTest, WithoutASecretServiceTheTokenLivesInAPrivateFile) {
    const std::string first = tokenOfOneRun();
    EXPECT_EQ(first.size(), 72u);
    EXPECT_EQ(tokenOfOneRun(), first);
    struct stat status {};
    ASSERT_EQ(::stat(tokenFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

#endif

} // namespace
} // namespace zorvane
