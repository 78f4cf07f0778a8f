#include "filter/host/HostTaskInspector.h"

#include "codesign/MachOSignatureReader.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

// Stands for the live-process inspector: knows one real pid.
class RealProcesses final : public TaskInspector {
public:
    class RealTask final : public Task {
    public:
        std::optional<std::string> signingIdentifier() const override { return "real.process"; }
        std::optional<PlistValue> entitlementValue(const std::string&) const override {
            return std::nullopt;
        }
    };
    std::unique_ptr<Task> createTask(const AuditToken& token) override {
        asked.push_back(token.pid());
        return token.pid() == 42 ? std::make_unique<RealTask>() : nullptr;
    }
    std::optional<std::string> processPath(std::int32_t pid) override {
        return pid == 42 ? std::optional<std::string>("/usr/bin/real") : std::nullopt;
    }
    std::vector<std::int32_t> asked;
};

TEST(HostTaskInspector, AnswersSimulatedProcessesFromTheirExecutablesSignature) {
    TemporaryDirectory directory;
    auto sliceSpec = MachOBuilder::signedExecutable("com.example.blocked", "TEAM123456");
    sliceSpec.signature->entitlements =
        PlistDictionary{{"com.apple.developer.team-identifier", "TEAM123456"}};
    MachOBuilder::write(directory / "signed", MachOBuilder::thin(sliceSpec));
    MachOBuilder::write(directory / "unsigned", MachOBuilder::thin(MachOSliceSpec{}));

    auto table = std::make_shared<SimulatedProcessTable>();
    auto real = std::make_shared<RealProcesses>();
    HostTaskInspector inspector(
        table, [](const std::string& path) { return MachOSignatureReader::readFile(path); }, real);

    const auto signedToken = *table->tokenFor((directory / "signed").string());
    const auto task = inspector.createTask(signedToken);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->signingIdentifier(), "com.example.blocked");
    EXPECT_EQ(task->entitlementValue("com.apple.developer.team-identifier"),
              PlistValue("TEAM123456"));
    EXPECT_FALSE(task->entitlementValue("com.apple.application-identifier").has_value());
    EXPECT_EQ(inspector.processPath(signedToken.pid()), (directory / "signed").string());

    // Unsigned code, a file that is gone, and a simulated pid nobody was given: no task, and
    // the real inspector is never asked about the simulated range.
    EXPECT_EQ(inspector.createTask(*table->tokenFor((directory / "unsigned").string())), nullptr);
    EXPECT_EQ(inspector.createTask(*table->tokenFor((directory / "missing").string())), nullptr);
    AuditToken stranger = signedToken;
    stranger.words[AuditToken::pidWord] = SimulatedProcessTable::firstPid + 1000;
    EXPECT_EQ(inspector.createTask(stranger), nullptr);
    EXPECT_FALSE(inspector.processPath(stranger.pid()).has_value());
    EXPECT_TRUE(real->asked.empty());

    // Everything else goes to the real inspector.
    AuditToken live;
    live.words[AuditToken::pidWord] = 42;
    ASSERT_NE(inspector.createTask(live), nullptr);
    EXPECT_EQ(inspector.createTask(live)->signingIdentifier(), "real.process");
    EXPECT_EQ(inspector.processPath(42), "/usr/bin/real");
    EXPECT_EQ(real->asked, (std::vector<std::int32_t>{42, 42}));
}

} // namespace
} // namespace zorvane
