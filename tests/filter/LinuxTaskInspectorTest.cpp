#include "platform/linux/LinuxTaskInspector.h"

#include "filter/FilterDataProvider.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxProcFiles.h"
#include "shared/Base64.h"
#include "shared/CodeIdentity.h"
#include "shared/OwnIdentifier.h"
#include "tests/support/BundleBuilder.h"
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

TEST(LinuxTaskInspector, AnElfProcessIsNamedByTheCanonicalPathOfItsExecutable) {
    const auto token = LinuxAuditTokens::tokenForPid(getpid());
    ASSERT_TRUE(token);
    EXPECT_EQ(token->pid(), getpid());
    EXPECT_EQ(token->words[1], geteuid());
    EXPECT_EQ(token->words[2], getegid());
    EXPECT_EQ(token->words[3], getuid());
    EXPECT_EQ(token->words[4], getgid());
    EXPECT_EQ(token->generation(),
              static_cast<std::uint32_t>(*LinuxProcFiles::startTime("/proc", getpid())));

    const auto path = std::filesystem::canonical("/proc/self/exe").string();
    LinuxTaskInspector inspector;
    const auto task = inspector.createTask(*token);
    ASSERT_TRUE(task);
    EXPECT_EQ(task->signingIdentifier(), path);
    EXPECT_FALSE(task->entitlementValue("com.apple.developer.team-identifier"));
    EXPECT_EQ(inspector.processPath(getpid()), path);

    // No team; listed by the key of its path, and blocked by it.
    const std::string key = "." + Base64::encode(path);
    FilterDataProvider provider({.taskInspector = std::make_shared<LinuxTaskInspector>()});
    provider.setVendorConfiguration(std::make_shared<const PlistDictionary>(
        PlistDictionary{{"blockedCodeIdentities", PlistArray{key}}}));
    const auto identity = provider.resolveProcessIdentity(bytesOf(*token));
    ASSERT_TRUE(identity);
    EXPECT_EQ(*identity, (ProcessIdentity{path, std::nullopt, path}));
    EXPECT_EQ(CodeIdentity::make(identity->signingIdentifier, identity->teamIdentifier).key(), key);
    FilterFlow flow;
    flow.direction = FilterFlow::Direction::outbound;
    flow.sourceProcessAuditToken = bytesOf(*token);
    EXPECT_EQ(provider.handleNewFlow(flow), FilterVerdict::drop);
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

TEST(LinuxTaskInspector, AFlatpakProcessIsItsApplicationOnlyWhenRootWroteItsSandboxInfo) {
    const auto self = std::filesystem::canonical("/proc/self/exe");
    TemporaryDirectory sandbox;
    std::ofstream(sandbox / ".flatpak-info")
        << "[Application]\nname=org.example.Maps\nruntime=runtime/org.example.Platform/x86_64/1\n";
    FakeProcTree proc(4243, 99, self);
    std::filesystem::create_symlink(sandbox.path(), proc.root() / "4243" / "root");
    const auto token = LinuxAuditTokens::tokenForPid(4243, proc.root());
    ASSERT_TRUE(token);
    auto inspector = std::make_shared<LinuxTaskInspector>(proc.root());

    if (geteuid() == 0) {
        // As the desktop portal reads it: the file at the process's root, written by root.
        ASSERT_EQ(inspector->createTask(*token)->signingIdentifier(), "org.example.Maps");
        FilterDataProvider provider({.taskInspector = inspector});
        provider.setVendorConfiguration(std::make_shared<const PlistDictionary>(PlistDictionary{
            {"blockedCodeIdentities", PlistArray{"." + Base64::encode("org.example.Maps")}}}));
        FilterFlow flow;
        flow.direction = FilterFlow::Direction::outbound;
        flow.sourceProcessAuditToken = bytesOf(*token);
        EXPECT_EQ(provider.handleNewFlow(flow), FilterVerdict::drop);
        // A file someone else could have written names nothing: the program is itself.
        ASSERT_EQ(::chown((sandbox / ".flatpak-info").c_str(), 1000, 1000), 0);
    }
    EXPECT_EQ(inspector->createTask(*token)->signingIdentifier(), self.string());
}

// A copy of this test's own ELF file at another path is another program; inside our own bundle
// (the filter extension nested in the application included) it is ours.
TEST(LinuxTaskInspector, ElfFilesOfOurOwnBundleCarryItsIdentifier) {
    TemporaryDirectory files;
    const auto application = files / "Zorvane.app";
    BundleBuilder::application(application, "dev.quillmoor.Zorvane", std::vector<std::uint8_t>{0});
    const auto extension = application / "Contents" / "Library" / "SystemExtensions" /
                           "dev.quillmoor.Zorvane.FilterExtension.systemextension";
    const auto filter = extension / "Contents" / "MacOS" / "ZorvaneFilter";
    const auto helper = application / "Contents" / "MacOS" / "helper";
    const auto elsewhere = files / "bin" / "probe";
    for (const auto& copy : {filter, helper, elsewhere}) {
        std::filesystem::create_directories(copy.parent_path());
        std::filesystem::copy_file("/proc/self/exe", copy);
    }

    const auto own = LinuxTaskInspector::ownBundleOf(filter);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->directory, application);
    EXPECT_EQ(own->identifier, "dev.quillmoor.Zorvane");
    EXPECT_FALSE(LinuxTaskInspector::ownBundleOf(elsewhere));

    const OwnIdentifier ownIdentifier(std::nullopt);
    std::int32_t pid = 5000;
    for (const auto& [executable, isOwn] :
         {std::pair{filter, true}, std::pair{helper, true}, std::pair{elsewhere, false}}) {
        FakeProcTree proc(++pid, 77, executable);
        LinuxTaskInspector inspector(proc.root(), own);
        const auto task = inspector.createTask(*LinuxAuditTokens::tokenForPid(pid, proc.root()));
        ASSERT_TRUE(task);
        const auto identifier = task->signingIdentifier();
        ASSERT_TRUE(identifier);
        EXPECT_EQ(ownIdentifier.isOwnIdentifier(*identifier), isOwn) << executable;
        if (!isOwn) {
            EXPECT_EQ(*identifier, executable.string());
        }
    }
}

} // namespace
} // namespace zorvane
