#pragma once

#include "samples/SampleApplications.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/system-support/ChildProcess.h"
#include "tests/system-support/FlowPipeline.h"
#include "tests/system-support/SystemSandbox.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace zorvane::testing {

// The whole system on one machine: the sample applications, a sandbox of state, the receiving
// application (a child process) whose system-extension stand-in starts the real filter host,
// and zorvane-system for the flows a person would open.
class WholeSystem : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& sample : SampleApplications::all()) {
            SampleApplications::write(sample, samples);
        }
    }

    void TearDown() override {
        if (application) {
            application->signal(SIGTERM);
            EXPECT_EQ(application->waitForExit(), 0) << application->standardError();
        }
        EXPECT_TRUE(sandbox.stopFilter());
        EXPECT_TRUE(sandbox.stopStatusAgent());
    }

    // Seeds the list with these samples and protection on, as a person who dropped them left it.
    void seed(const std::vector<SampleApplications::Sample>& listed) {
        std::vector<BlockedApplication> applications;
        for (const auto& sample : listed) {
            auto inspected = SystemSandbox::inspect(sample.bundle(samples));
            ASSERT_TRUE(inspected) << sample.name;
            applications.push_back(std::move(*inspected));
        }
        sandbox.seedBlockList(applications, true);
    }

    std::vector<std::string> environment() const {
        SystemSandbox::EnvironmentOptions options;
        options.autoApprove = true;
        options.applicationsDirectory = std::filesystem::path(ZORVANE_APP_BUNDLE).parent_path();
        options.extra = {"QT_QPA_PLATFORM=offscreen",
                         "QT_LOGGING_RULES=dev.quillmoor.Zorvane.Store.debug=true",
                         "ZORVANE_WINDOW_SNAPSHOT=" + windowSnapshot().string()};
        return sandbox.environment(options);
    }

    // Zorvane in window mode, offscreen.
    void startApplication() {
        application = std::make_unique<ChildProcess>(
            std::filesystem::path(ZORVANE_APP_BUNDLE) / "Contents/MacOS/Zorvane",
            std::vector<std::string>{}, environment(),
            sandbox.logDirectory() / ("application-" + std::to_string(++applicationRuns)));
        ASSERT_TRUE(application->started());
    }

    void stopApplication() {
        application->signal(SIGTERM);
        ASSERT_EQ(application->waitForExit(), 0) << application->standardError();
        application.reset();
    }

    // zorvane-system with these arguments: its standard output.
    std::string tool(const std::vector<std::string>& arguments) {
        ChildProcess run(ZORVANE_SYSTEM_EXECUTABLE, arguments, environment(),
                         sandbox.logDirectory() / "tool");
        EXPECT_EQ(run.waitForExit(), 0) << run.standardError();
        return run.standardOutput();
    }

    struct Verdict {
        std::string verdict; // what zorvane-system printed: "allow" or "drop"
        std::string diagnostics;
    };
    // zorvane-system flow --app APP [--process PROCESS] --host HOST --port 443
    Verdict flow(const std::filesystem::path& app, const std::filesystem::path& process = {},
                 const std::string& host = "mail.example.com") {
        std::vector<std::string> arguments{"flow", "--app", app.string()};
        if (!process.empty()) {
            arguments.insert(arguments.end(), {"--process", process.string()});
        }
        arguments.insert(arguments.end(), {"--host", host, "--port", "443"});
        ChildProcess tool(ZORVANE_SYSTEM_EXECUTABLE, arguments, environment(),
                          sandbox.logDirectory() / "flow");
        const auto status = tool.waitForExit();
        std::string out = tool.standardOutput();
        while (!out.empty() && out.back() == '\n') {
            out.pop_back();
        }
        return {status == 0 ? out : "status " + (status ? std::to_string(*status) : "hung"),
                tool.standardError()};
    }

    // What the main window showed last (WindowSnapshot): the picture, and its texts next to it.
    std::filesystem::path windowSnapshot() const { return sandbox.root() / "window.png"; }
    std::string windowTexts() const {
        std::ifstream in(windowSnapshot().string() + ".txt");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::filesystem::path executable(const SampleApplications::Sample& sample,
                                     std::size_t index = 0) const {
        return samples / sample.executables.at(index).relativePath;
    }

    TemporaryDirectory directory;
    std::filesystem::path samples = directory / "samples";
    SystemSandbox sandbox{directory / "machine"};
    std::unique_ptr<ChildProcess> application;
    int applicationRuns = 0;
};

} // namespace zorvane::testing
