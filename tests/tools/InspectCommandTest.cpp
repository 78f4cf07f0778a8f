// zorvane-system inspect, run as a person would: a separate process, its output parsed back.
#include "shared/PlatformWording.h"
#include "shared/RecordJson.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

namespace zorvane {
namespace {
namespace fs = std::filesystem;

struct Run {
    int status = -1;
    std::string output;
};

Run inspect(const std::string& arguments) {
    const std::string command =
        std::string(ZORVANE_SYSTEM_EXECUTABLE) + " inspect " + arguments + " 2>&1";
    Run run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return run;
    }
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
        run.output.append(buffer.data(), n);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

TEST(InspectCommand, PrintsTheEntryOfASyntheticBundle) {
    TemporaryDirectory dir;
    auto bundle = BundleBuilder::application(
        dir.path() / "Sample Mail.app", "com.example.mail",
        MachOBuilder::thin(MachOBuilder::signedExecutable("com.example.mail", "TEAM123456"))
            .bytes());
    bundle.file(
        "Contents/Helpers/fetcher",
        MachOBuilder::thin(MachOBuilder::signedExecutable("com.example.mail.fetcher", "TEAM123456"))
            .bytes(),
        true);

    const auto run = inspect(quoted(bundle.path()));
    ASSERT_EQ(run.status, 0) << run.output;
    const auto json = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << run.output;
    EXPECT_FALSE(json.contains("iconData"));
    const auto entry = RecordJson::decodeBlockedApplications("[" + run.output + "]");
    ASSERT_TRUE(entry.has_value()) << run.output;
    ASSERT_EQ(entry->size(), 1u);
    const auto& application = entry->front();
    EXPECT_EQ(application.name, "Sample Mail");
    EXPECT_EQ(application.bundleIdentifier, "com.example.mail");
    EXPECT_EQ(application.signingIdentifier, "com.example.mail");
    EXPECT_EQ(application.teamIdentifier, "TEAM123456");
    EXPECT_EQ(application.path, bundle.path().string());
    EXPECT_EQ(application.inspectionVersion, 5);
    const std::vector<CodeIdentity> helpers = {
        CodeIdentity::make("com.example.mail.fetcher", "TEAM123456")};
    EXPECT_EQ(application.auxiliaryCodeIdentities, helpers);
}

TEST(InspectCommand, ReportsInspectionErrorsAndUsage) {
    TemporaryDirectory dir;
    fs::create_directories(dir.path() / "Folder.apps");
    auto run = inspect(quoted(dir.path() / "Folder.apps"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, std::string(PlatformWording::text("inspection.notAnApplication")) + "\n");

    auto unsignedApp = BundleBuilder::application(dir.path() / "Plain.app", "com.example.plain",
                                                  MachOBuilder::thin(MachOSliceSpec{}).bytes());
    run = inspect(quoted(unsignedApp.path()));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "This application does not have an identifiable code signature.\n");

    EXPECT_EQ(inspect("").status, 2);
    EXPECT_EQ(inspect("--frobnicate " + quoted(unsignedApp.path())).status, 2);
}

// A bundle around an executable that Apple's tools signed (from the npm artifact cache).
TEST(InspectCommand, ReadsARealSignatureInsideABundle) {
    const char* cache = std::getenv("ZORVANE_NPM_ARTIFACTS");
    const fs::path executable =
        cache ? fs::path(cache) / "sentry-cli-darwin-3.8.0/package/bin/sentry-cli" : fs::path();
    std::error_code error;
    if (executable.empty() || !fs::is_regular_file(executable, error)) {
        GTEST_SKIP() << "sentry-cli is not in the npm artifact cache (registry unreachable?)";
    }
    TemporaryDirectory dir;
    BundleBuilder bundle(dir.path() / "Sentry.app");
    bundle.info({{"CFBundleIdentifier", "io.sentry.cli"}, {"CFBundleExecutable", "sentry-cli"}},
                PlistFormat::Binary);
    fs::create_directories(bundle.path() / "Contents/MacOS");
    fs::copy_file(executable, bundle.path() / "Contents/MacOS/sentry-cli");

    const auto run = inspect(quoted(bundle.path()));
    ASSERT_EQ(run.status, 0) << run.output;
    const auto json = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_TRUE(json.is_object()) << run.output;
    // The arm64 slice is the one a current Mac runs; its CodeDirectory names this identifier.
    EXPECT_EQ(json.value("signingIdentifier", ""), "sentry_cli-ed605fe0983d3ac0");
    EXPECT_EQ(json.value("teamIdentifier", ""), "97JCY7859U");
    EXPECT_EQ(json.value("name", ""), "Sentry");
}

} // namespace
} // namespace zorvane
