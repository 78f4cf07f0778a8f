// The autostart entry of the login agent, made from the property list of the built bundle.
#include "platform/linux/LinuxLoginAgentService.h"

#include "platform/linux/InstanceLock.h"
#include "shared/PlistCodec.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"
#include "zorvane/BuildInfo.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace zorvane {
namespace {

using Status = LoginAgentService::Status;
using Strings = std::vector<std::string>;

const std::filesystem::path builtBundle = ZORVANE_APP_BUNDLE;
const std::filesystem::path agentListFolder = "Contents/Library/LaunchAgents";

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string execValue(const std::filesystem::path& entry) {
    std::istringstream lines(readFile(entry));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Exec=")) {
            return line.substr(5);
        }
    }
    return {};
}

// Splits an Exec value the way a desktop does: the string escapes first, then the quoting.
// Strict: a reserved character where the rules forbid it makes the whole line invalid.
Strings execArguments(const std::string& value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            text += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
            text += value[i];
        }
    }
    Strings arguments;
    std::string current;
    bool started = false;
    bool inQuotes = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c == '%' && next == '%') {
            current += '%';
            ++i;
        } else if (inQuotes && c == '\\' &&
                   std::string_view("\"`$\\").find(next) != std::string_view::npos) {
            current += next;
            ++i;
        } else if ((inQuotes && (c == '`' || c == '$' || c == '\\')) ||
                   (!inQuotes &&
                    std::string_view("\t\n'\\><~|&;$*?#()`").find(c) != std::string_view::npos)) {
            // Reserved: the line is invalid, and desktops refuse to run it.
            return {"<invalid Exec line>"};
        } else if (c == '"') {
            inQuotes = !inQuotes;
            started = true;
        } else if (c == ' ' && !inQuotes) {
            if (started) {
                arguments.push_back(current);
            }
            current.clear();
            started = false;
        } else {
            current += c;
            started = true;
        }
    }
    if (started) {
        arguments.push_back(current);
    }
    return arguments;
}

// A bundle at an awkward path that carries the built bundle's two property lists.
std::filesystem::path copyOfBuiltBundle(const std::filesystem::path& bundle) {
    std::filesystem::create_directories(bundle / agentListFolder);
    std::filesystem::copy_file(builtBundle / "Contents/Info.plist", bundle / "Contents/Info.plist");
    std::filesystem::copy_file(builtBundle / agentListFolder / build_info::agentPlistName,
                               bundle / agentListFolder / build_info::agentPlistName);
    return bundle;
}

class LoginAgentEntry : public ::testing::Test {
protected:
    LinuxLoginAgentService serviceFor(const std::filesystem::path& bundle) {
        // The entry alone: the built executable must not start as an agent of this machine.
        return LinuxLoginAgentService(bundle, build_info::agentPlistName,
                                      {.autostartDirectory = autostart, .startsAgent = false});
    }

    TemporaryDirectory directory;
    std::filesystem::path autostart = directory / "config/autostart";
    std::filesystem::path entry = autostart / "dev.quillmoor.Zorvane.agent.desktop";
};

TEST_F(LoginAgentEntry, StartsTheBuiltExecutableAsTheAgentUntilUnregistered) {
    auto service = serviceFor(builtBundle);
    EXPECT_EQ(service.status(), Status::notRegistered);

    ASSERT_EQ(service.registerAgent(), std::nullopt);
    ASSERT_TRUE(std::filesystem::exists(entry));
    EXPECT_EQ(service.status(), Status::enabled);
    const std::string contents = readFile(entry);
    EXPECT_TRUE(contents.starts_with("[Desktop Entry]\n")) << contents;
    EXPECT_NE(contents.find("\nType=Application\n"), std::string::npos) << contents;
    EXPECT_NE(contents.find("\nName=Zorvane\n"), std::string::npos) << contents;
    EXPECT_EQ(execArguments(execValue(entry)),
              (Strings{(builtBundle / "Contents/MacOS/Zorvane").lexically_normal().string(),
                       build_info::agentArgument}));

    // Registering again rewrites the same entry.
    ASSERT_EQ(service.registerAgent(), std::nullopt);
    EXPECT_EQ(readFile(entry), contents);

    EXPECT_EQ(service.unregisterAgent(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(service.status(), Status::notRegistered);
    EXPECT_EQ(service.unregisterAgent(), std::nullopt) << "nothing left to remove is no failure";
}

TEST_F(LoginAgentEntry, AwkwardBundlePathsSurviveTheExecLine) {
    for (const char* name :
         {"My Apps/Zorvane.app", "it's \"quoted\" $HOME `x` 100% \\.app", "tab\there;(x)|&.app"}) {
        const auto bundle = copyOfBuiltBundle(directory / name);
        auto service = serviceFor(bundle);
        ASSERT_EQ(service.registerAgent(), std::nullopt) << name;
        const std::string exec = execValue(entry);
        EXPECT_EQ(exec.find('\t'), std::string::npos) << "a raw tab ends nothing well: " << exec;
        EXPECT_EQ(execArguments(exec), (Strings{(bundle / "Contents/MacOS/Zorvane").string(),
                                                build_info::agentArgument}))
            << exec;
        EXPECT_EQ(service.command(), execArguments(exec));
    }
}

TEST_F(LoginAgentEntry, HiddenEntryIsTheUsersChoice) {
    auto service = serviceFor(builtBundle);
    ASSERT_EQ(service.registerAgent(), std::nullopt);
    const std::string registered = readFile(entry);

    writeFile(entry, registered + "Hidden=true\n");
    EXPECT_EQ(service.status(), Status::requiresApproval);
    EXPECT_EQ(service.registerAgent(), LoginAgentService::Error::disabledByUser);
    EXPECT_EQ(service.status(), Status::requiresApproval) << "registering must not overrule it";

    writeFile(entry, registered + "Hidden = false\n");
    EXPECT_EQ(service.status(), Status::enabled);
    // Only the main group counts.
    writeFile(entry, registered + "[Desktop Action x]\nHidden=true\n");
    EXPECT_EQ(service.status(), Status::enabled);

    writeFile(entry, registered + "Hidden=true\n");
    EXPECT_EQ(service.unregisterAgent(), std::nullopt);
    EXPECT_EQ(service.status(), Status::notRegistered);
}

TEST_F(LoginAgentEntry, BundleWithoutAUsableAgentListIsNotFound) {
    const auto bundle = copyOfBuiltBundle(directory / "Copy.app");
    const auto list = bundle / agentListFolder / build_info::agentPlistName;
    const std::pair<const char*, std::optional<PlistValue>> cases[] = {
        {"missing", std::nullopt},
        {"arguments not texts", PlistDictionary{{"ProgramArguments", PlistArray{PlistValue(1)}}}},
        {"no program", PlistDictionary{{"Label", "dev.quillmoor.Zorvane.agent"}}},
    };
    for (const auto& [what, contents] : cases) {
        std::filesystem::remove(list);
        if (contents) {
            writeFile(list, PlistCodec::toXml(*contents));
        }
        auto service = serviceFor(bundle);
        EXPECT_EQ(service.status(), Status::notFound) << what;
        EXPECT_EQ(service.registerAgent(), LoginAgentService::Error::notFound) << what;
        EXPECT_FALSE(std::filesystem::exists(entry)) << what;
    }
    // A name that reaches out of the bundle's folder is not found either.
    LinuxLoginAgentService escaping(builtBundle, "../Info.plist",
                                    {.autostartDirectory = autostart, .startsAgent = false});
    EXPECT_EQ(escaping.status(), Status::notFound);
}

// MARK: the running agent

// A bundle whose agent is the stand-in at `program`, holding `lock`.
std::filesystem::path standInBundle(const std::filesystem::path& bundle,
                                    const std::filesystem::path& program,
                                    const std::filesystem::path& lock) {
    writeFile(bundle / agentListFolder / build_info::agentPlistName,
              PlistCodec::toXml(
                  PlistDictionary{{"Label", "dev.quillmoor.Zorvane.agent"},
                                  {"ProgramArguments", PlistArray{PlistValue(program.string()),
                                                                  PlistValue(lock.string())}}}));
    return bundle;
}

class RunningAgent : public LoginAgentEntry {
protected:
    void TearDown() override {
        if (const auto holder = InstanceLock::holder(lock); holder && holder->processIdentifier) {
            ::kill(holder->processIdentifier, SIGTERM);
        }
    }

    LinuxLoginAgentService serviceFor(const std::filesystem::path& bundle) {
        return LinuxLoginAgentService(bundle, build_info::agentPlistName,
                                      {.autostartDirectory = autostart, .agentLockFile = lock});
    }

    // The agent that holds the lock once one does.
    std::optional<InstanceLock::Holder> runningAgent() {
        std::optional<InstanceLock::Holder> found;
        testing::eventually([&] {
            found = InstanceLock::holder(lock);
            return found && found->processIdentifier > 0;
        });
        return found;
    }

    // A copy of the stand-in program, so that the test may date it and place it where it likes.
    std::filesystem::path programAt(const std::filesystem::path& path) {
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::copy_file(ZORVANE_AGENT_STAND_IN, path,
                                   std::filesystem::copy_options::overwrite_existing);
        return path;
    }

    std::filesystem::path lock = directory / "container/status-agent.lock";
};

TEST_F(RunningAgent, RegisteringStartsTheAgentOnceAndReplacesAnotherBuilds) {
    const auto program = programAt(directory / "one/Zorvane.app/Contents/MacOS/agent");
    auto service = serviceFor(standInBundle(directory / "one/Zorvane.app", program, lock));
    ASSERT_EQ(service.registerAgent(), std::nullopt);
    const auto first = runningAgent();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->executable, std::filesystem::canonical(program));

    // The same build registered again: the running agent stays, and no second one starts.
    ASSERT_EQ(service.registerAgent(), std::nullopt);
    EXPECT_EQ(runningAgent(), first);

    // A new build installed over it: the old agent makes way for the new file.
    std::filesystem::last_write_time(program, std::filesystem::last_write_time(program) +
                                                  std::chrono::hours(1));
    ASSERT_EQ(service.registerAgent(), std::nullopt);
    std::optional<InstanceLock::Holder> second;
    ASSERT_TRUE(testing::eventually([&] {
        second = runningAgent();
        return second && second->processIdentifier != first->processIdentifier;
    }));
    EXPECT_EQ(second->executable, first->executable);
    EXPECT_GT(second->executableModified, first->executableModified);

    // A build elsewhere replaces it too.
    const auto other = programAt(directory / "two/Zorvane.app/Contents/MacOS/agent");
    auto moved = serviceFor(standInBundle(directory / "two/Zorvane.app", other, lock));
    ASSERT_EQ(moved.registerAgent(), std::nullopt);
    std::optional<InstanceLock::Holder> third;
    ASSERT_TRUE(testing::eventually([&] {
        third = runningAgent();
        return third && third->processIdentifier != second->processIdentifier;
    }));
    EXPECT_EQ(third->executable, std::filesystem::canonical(other));
}

} // namespace
} // namespace zorvane
