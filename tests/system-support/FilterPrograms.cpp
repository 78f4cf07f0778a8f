#include "FilterPrograms.h"

#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/SystemDirectory.h"
#include "tests/support/Eventually.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zorvane::testing {

FilterPrograms::FilterPrograms(Executables executables, std::filesystem::path systemDirectory,
                               std::filesystem::path logDirectory)
    : executables_(std::move(executables)), systemDirectory_(std::move(systemDirectory)),
      logDirectory_(std::move(logDirectory)) {
    std::filesystem::create_directories(logDirectory_);
}

std::filesystem::path FilterPrograms::flowSocket() const {
    return systemDirectory_ / SystemDirectory::flowSocketName;
}

std::vector<std::string> FilterPrograms::environment() const {
    return ChildProcess::environmentWith({"ZORVANE_SYSTEM_DIR=" + systemDirectory_.string()});
}

std::unique_ptr<ChildProcess> FilterPrograms::launch(const std::filesystem::path& executable,
                                                     const std::vector<std::string>& arguments,
                                                     const std::string& name) {
    return std::make_unique<ChildProcess>(executable, arguments, environment(),
                                          logDirectory_ / (name + std::to_string(++runs_)));
}

std::unique_ptr<ChildProcess> FilterPrograms::startHost(const std::vector<std::string>& arguments) {
    auto host = launch(executables_.filter, arguments, "host");
    EXPECT_TRUE(host->started());
    EXPECT_TRUE(eventually([&] { return serves() || !host->running(); }) && host->running())
        << host->standardError();
    return host;
}

std::unique_ptr<ChildProcess> FilterPrograms::runTool(const std::vector<std::string>& arguments) {
    auto tool = launch(executables_.tool, arguments, "tool");
    EXPECT_TRUE(tool->waitForExit().has_value()) << ::testing::PrintToString(arguments);
    return tool;
}

std::optional<int> FilterPrograms::run(const std::filesystem::path& executable,
                                       const std::vector<std::string>& arguments,
                                       std::chrono::milliseconds limit) {
    auto program = launch(executable, arguments, executable.filename().string());
    if (!program->started()) {
        return std::nullopt;
    }
    return program->waitForExit(limit);
}

bool FilterPrograms::serves() const {
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, flowSocket().c_str(), sizeof address.sun_path - 1);
    const bool connected =
        descriptor >= 0 &&
        ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (descriptor >= 0) {
        ::close(descriptor);
    }
    return connected;
}

bool FilterPrograms::writeConfiguration(bool enabled, PlistArray blockedIdentities,
                                        PlistDictionary vendorConfiguration) const {
    FilterConfiguration configuration;
    configuration.enabled = enabled;
    configuration.localizedDescription = "Zorvane";
    vendorConfiguration["blockedCodeIdentities"] = std::move(blockedIdentities);
    configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
        true, "dev.quillmoor.Zorvane.FilterExtension", std::move(vendorConfiguration)};
    std::filesystem::create_directories(systemDirectory_);
    return !FilterConfigurationFile::inDirectory(systemDirectory_).write(configuration);
}

} // namespace zorvane::testing
