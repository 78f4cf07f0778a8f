#include "platform/linux/LinuxTaskInspector.h"

#include "filter/FilterDataProvider.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxProcFiles.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane {
namespace {

std::vector<std::uint8_t> bytesOf(const AuditToken& token) {
    const auto bytes = token.bytes();
    return {bytes.begin(), bytes.end()};
}

TEST(LinuxTaskInspector, OwnProcessIsFoundButItsElfCarriesNoSignature) {
    const auto token = LinuxAuditTokens::tokenForPid(getpid());
    ASSERT_TRUE(token);
    EXPECT_EQ(token->pid(), getpid());
    EXPECT_EQ(token->words[1], geteuid());
    EXPECT_EQ(token->words[2], getegid());
    EXPECT_EQ(token->words[3], getuid());
    EXPECT_EQ(token->words[4], getgid());
    EXPECT_EQ(token->generation(),
              static_cast<std::uint32_t>(*LinuxProcFiles::startTime("/proc", getpid())));

    LinuxTaskInspector inspector;
    const auto task = inspector.createTask(*token);
    ASSERT_TRUE(task);
    EXPECT_FALSE(task->signingIdentifier());
    EXPECT_FALSE(task->entitlementValue("com.apple.developer.team-identifier"));
    EXPECT_EQ(inspector.processPath(getpid()),
              std::filesystem::read_symlink("/proc/self/exe").string());

    // Unsigned code has no identity, so its flows are allowed.
    FilterDataProvider provider({.taskInspector = std::make_shared<LinuxTaskInspector>()});
    provider.setVendorConfiguration(std::make_shared<const PlistDictionary>(
        PlistDictionary{{"blockedApplicationPaths", PlistArray{"/"}}}));
    EXPECT_FALSE(provider.resolveProcessIdentity(bytesOf(*token)));
}

TEST(LinuxTaskInspector, TokenOfAnotherGenerationOrAGoneProcessHasNoTask) {
    auto token = *LinuxAuditTokens::tokenForPid(getpid());
    token.words[AuditToken::generationWord] += 1;
    LinuxTaskInspector inspector;
    EXPECT_FALSE(inspector.createTask(token));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_FALSE(LinuxAuditTokens::tokenForPid(child));
    AuditToken gone;
    gone.words[AuditToken::pidWord] = static_cast<std::uint32_t>(child);
    EXPECT_FALSE(inspector.createTask(gone));
    EXPECT_FALSE(inspector.processPath(child));
    EXPECT_FALSE(inspector.processPath(0));
}

// A procfs-shaped tree whose process runs a signed Mach-O file.
class FakeProcTree {
public:
    FakeProcTree(std::int32_t pid, std::uint64_t startTime, const std::filesystem::path& exe) {
        const auto dir = root_ / std::to_string(pid);
        std::filesystem::create_directories(dir);
        std::filesystem::create_symlink(exe, dir / "exe");
        std::ofstream stat(dir / "stat");
        // The command name may hold spaces and parentheses; only the last ")" ends it.
        stat << pid << " (odd) name (x)) S";
        for (int field = 4; field <= 21; ++field) {
            stat << " " << field;
        }
        stat << " " << startTime << " 1000 2000\n";
        std::ofstream status(dir / "status");
        status << "Name:\todd\nUid:\t501\t502\t502\t502\nGid:\t20\t21\t21\t21\n";
    }
    const std::filesystem::path& root() const { return root_.path(); }

private:
    TemporaryDirectory root_;
};

TEST(LinuxTaskInspector, SignedExecutableGivesIdentifierAndEntitlements) {
    TemporaryDirectory files;
    auto slice = MachOBuilder::signedExecutable("com.example.chat", "TEAMFROMCD");
    slice.signature->entitlements = PlistValue(
        PlistDictionary{{"com.apple.application-identifier", "ABCDE12345.com.example.chat"}});
    const auto executable = files / "Chat.app" / "Contents" / "MacOS" / "Chat";
    std::filesystem::create_directories(executable.parent_path());
    MachOBuilder::write(executable, MachOBuilder::thin(slice));

    const std::uint64_t startTime = 0x1'0000'0123; // wider than the token's word
    FakeProcTree proc(4242, startTime, executable);
    const auto token = LinuxAuditTokens::tokenForPid(4242, proc.root());
    ASSERT_TRUE(token);
    EXPECT_EQ(token->generation(), 0x123u);
    EXPECT_EQ(token->words[1], 502u);
    EXPECT_EQ(token->words[3], 501u);
    EXPECT_EQ(token->words[2], 21u);
    EXPECT_EQ(token->words[4], 20u);

    auto inspector = std::make_shared<LinuxTaskInspector>(proc.root());
    const auto task = inspector->createTask(*token);
    ASSERT_TRUE(task);
    EXPECT_EQ(task->signingIdentifier(), "com.example.chat");

    FilterDataProvider provider({.taskInspector = inspector});
    const auto identity = provider.resolveProcessIdentity(bytesOf(*token));
    ASSERT_TRUE(identity);
    // The team comes from the entitlements, as the system's task interface gives it.
    EXPECT_EQ(*identity, (ProcessIdentity{"com.example.chat", std::string("ABCDE12345"),
                                          executable.string()}));
}

} // namespace
} // namespace zorvane
