// The autostart entry of the login agent, made from the property list of the built bundle.
#include "platform/linux/LinuxLoginAgentService.h"

#include "shared/PlistCodec.h"
#include "tests/support/TemporaryDirectory.h"
#include "zorvane/BuildInfo.h"

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
        return LinuxLoginAgentService(bundle, build_info::agentPlistName, autostart);
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
    LinuxLoginAgentService escaping(builtBundle, "../Info.plist", autostart);
    EXPECT_EQ(escaping.status(), Status::notFound);
}

} // namespace
} // namespace zorvane
