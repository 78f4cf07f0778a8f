// The administrator's approval on an installed system: the approved user, and nobody else,
// writes the filter configuration. Needs root (it hands directories to other users).
#include "tools/SystemApproval.h"

#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/SystemDirectory.h"
#include "tests/support/TemporaryDirectory.h"

#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane {
namespace {

constexpr uid_t approvedUser = 65534;
constexpr uid_t anotherUser = 65533;

FilterConfiguration someConfiguration() {
    FilterConfiguration configuration;
    configuration.enabled = true;
    configuration.localizedDescription = "Zorvane";
    return configuration;
}

// Whether the user can save a filter configuration for the system directory, as that user's
// Zorvane does.
bool canWriteAs(uid_t user, const std::filesystem::path& system) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0) {
            ::_exit(2);
        }
        ::_exit(FilterConfigurationFile::inDirectory(system).write(someConfiguration()) ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

mode_t modeOf(const std::filesystem::path& path, uid_t* owner = nullptr) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    if (owner) {
        *owner = status.st_uid;
    }
    return status.st_mode & 07777;
}

class SystemApprovalTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "hands directories to other users, which needs root";
        }
        // Other users must reach the system directory through the test's own.
        ::chmod(directory.path().c_str(), 0755);
        std::ofstream(extension / "Contents" / "Info.plist")
            << "<plist><dict><key>CFBundleShortVersionString</key><string>1.0</string>"
               "<key>CFBundleVersion</key><string>7</string></dict></plist>";
    }

    std::optional<std::string> grant(uid_t user) {
        return SystemApproval::grant(system, identifier, extension, {user, user});
    }

    TemporaryDirectory directory;
    std::filesystem::path system = directory / "system";
    const std::string identifier = "dev.quillmoor.Zorvane.FilterExtension";
    std::filesystem::path extension = [this] {
        auto path = directory / "Filter.systemextension";
        std::filesystem::create_directories(path / "Contents");
        return path;
    }();
};

TEST_F(SystemApprovalTest, OnlyTheApprovedUserWritesTheConfigurationAndEveryoneSeesTheApproval) {
    EXPECT_FALSE(canWriteAs(approvedUser, system)) << "before any approval";
    ASSERT_EQ(grant(approvedUser), std::nullopt);

    uid_t owner = 0;
    EXPECT_EQ(modeOf(system, &owner), 0755u);
    EXPECT_EQ(owner, 0u);
    EXPECT_EQ(modeOf(system / SystemDirectory::approvedUserDirectoryName, &owner), 0700u);
    EXPECT_EQ(owner, approvedUser);
    EXPECT_EQ(modeOf(ExtensionStateFile(system).path()), 0644u);
    const auto record = ExtensionStateFile(system).read().at(identifier);
    EXPECT_EQ(record.state, SystemExtensionRecord::State::activated);
    EXPECT_EQ(record.bundleVersion, "7");

    EXPECT_TRUE(canWriteAs(approvedUser, system));
    EXPECT_FALSE(canWriteAs(anotherUser, system));
    EXPECT_EQ(FilterConfigurationFile::inDirectory(system).path().parent_path(),
              system / SystemDirectory::approvedUserDirectoryName);
    EXPECT_TRUE(FilterConfigurationFile::inDirectory(system).read());

    // Approved for another user: the directory changes hands, the first user's rules go.
    ASSERT_EQ(grant(anotherUser), std::nullopt);
    EXPECT_FALSE(FilterConfigurationFile::inDirectory(system).read());
    EXPECT_TRUE(canWriteAs(anotherUser, system));
    EXPECT_FALSE(canWriteAs(approvedUser, system));
}

TEST_F(SystemApprovalTest, ALinkPlantedAtTheUsersDirectoryIsNotFollowed) {
    std::filesystem::create_directories(system);
    const auto elsewhere = directory / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::create_directory_symlink(elsewhere,
                                              system / SystemDirectory::approvedUserDirectoryName);
    EXPECT_NE(grant(approvedUser), std::nullopt);
    uid_t owner = approvedUser;
    modeOf(elsewhere, &owner);
    EXPECT_EQ(owner, 0u);
}

} // namespace
} // namespace zorvane
