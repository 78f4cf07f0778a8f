#include "tools/StatusCommand.h"

#include "filter/FilterRuleSet.h"
#include "filter/host/netfilter/NetfilterFlowSource.h"
#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/SystemDirectory.h"
#include "shared/OwnIdentifier.h"
#include "tools/FlowSocketClient.h"
#include "zorvane/BuildInfo.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace zorvane {
namespace {

const char* yesNo(bool value) {
    return value ? "yes" : "no";
}

// How many entries a list or dictionary of the vendor dictionary has, or why the filter ignores it.
std::string entryCount(const PlistDictionary& vendor, std::string_view key, bool isDictionary) {
    auto found = vendor.find(std::string(key));
    if (found == vendor.end()) {
        return "0";
    }
    if (isDictionary ? !found->second.isDictionary() : !found->second.isArray()) {
        return "malformed (ignored by the filter)";
    }
    const std::size_t written =
        isDictionary ? found->second.dictionary()->size() : found->second.array()->size();
    return std::to_string(written);
}

// What the filter holds for the application: blocked attempts it could not deliver yet (the
// application not listening, say) stay with it until a send succeeds.
void printReports(const std::filesystem::path& directory, std::FILE* out) {
    const auto answer =
        FlowSocketClient(directory / SystemDirectory::flowSocketName, std::chrono::seconds(2))
            .exchange(R"({"report":"activity"})");
    const auto report = nlohmann::json::parse(answer.reply, nullptr, false);
    if (answer.outcome != FlowSocketClient::Outcome::replied || !report.is_object() ||
        !report.contains("pendingBlockedAttempts")) {
        return;
    }
    std::fprintf(out,
                 "  Reports for the application: %lld blocked attempts waiting in %lld "
                 "aggregates; %lld sends so far, %lld failed\n",
                 report.value("pendingBlockedAttempts", 0LL),
                 report.value("pendingAggregates", 0LL), report.value("activitySends", 0LL),
                 report.value("failedActivitySends", 0LL));
}

// On an installed system the host's files are root's: a person cannot tell whether it runs,
// and saying "not running" would be wrong.
bool hiddenFromThisUser(const std::filesystem::path& directory) {
    const auto lock = directory / SystemDirectory::hostLockName;
    std::error_code error;
    return SystemDirectory::belongsToAnotherUser(directory) &&
           std::filesystem::exists(lock, error) && ::access(lock.c_str(), R_OK) != 0;
}

void printHost(const std::filesystem::path& directory, std::FILE* out) {
    if (hiddenFromThisUser(directory)) {
        std::fprintf(out, "Filter host: the system's service; only an administrator sees whether "
                          "it runs and what it counted (sudo zorvane-system status)\n");
        return;
    }
    const bool locked = FileLock::isHeld(directory / SystemDirectory::hostLockName);
    // An inbound flow is never examined, so asking about one changes nothing in the filter.
    const auto answer =
        FlowSocketClient(directory / SystemDirectory::flowSocketName, std::chrono::seconds(2))
            .exchange(R"({"direction":"inbound"})");
    const bool answers = answer.outcome == FlowSocketClient::Outcome::replied;
    if (locked && answers) {
        std::fprintf(out, "Filter host: running (filter.sock answers)\n");
        printReports(directory, out);
    } else if (locked) {
        std::fprintf(out, "Filter host: running, but filter.sock does not answer\n");
    } else if (answers) {
        std::fprintf(out, "Filter host: filter.sock answers, but no host holds the lock\n");
    } else if (FileLock::isHeld(directory / SystemDirectory::keeperLockName)) {
        std::fprintf(out, "Filter host: starting again after it ended (every flow is allowed "
                          "meanwhile)\n");
    } else {
        std::fprintf(out, "Filter host: not running (every flow is allowed)\n");
    }
}

// Whether the running host decides the machine's real connections, with what it counted (the
// host rewrites the file every few seconds and removes it when it stops).
void printEnforcement(const std::filesystem::path& directory, std::FILE* out) {
    if (hiddenFromThisUser(directory)) {
        return;
    }
    if (FileLock::isHeld(directory / SystemDirectory::hostLockName)) {
        std::ifstream file(directory / NetfilterFlowSource::statusFileName);
        const auto counts = nlohmann::json::parse(file, nullptr, false);
        if (file.is_open() && counts.is_object()) {
            std::fprintf(out,
                         "enforcement: netfilter (queues %s; queued %llu, allowed %llu, dropped "
                         "%llu, failed open %llu, unattributed %llu)\n",
                         counts.value("queues", std::string("?")).c_str(),
                         counts.value("queued", 0ULL), counts.value("allowed", 0ULL),
                         counts.value("dropped", 0ULL), counts.value("failedOpen", 0ULL),
                         counts.value("unattributed", 0ULL));
            return;
        }
    }
    std::fprintf(out, "enforcement: simulated\n");
}

void printExtensions(const std::filesystem::path& directory, std::FILE* out) {
    const auto records = ExtensionStateFile(directory).read();
    if (records.empty()) {
        std::fprintf(out, "System extension: never requested\n");
        return;
    }
    for (const auto& [identifier, record] : records) {
        std::string state;
        switch (record.state) {
        case SystemExtensionRecord::State::awaitingApproval:
            state = "awaiting approval (zorvane-system approve allows it)";
            break;
        case SystemExtensionRecord::State::activated:
            state = "activated";
            break;
        case SystemExtensionRecord::State::deactivated:
            state = "deactivated";
            break;
        }
        std::fprintf(out, "System extension %s: %s, version %s (%s)\n", identifier.c_str(),
                     state.c_str(), record.bundleShortVersion.c_str(),
                     record.bundleVersion.c_str());
        if (record.hostProcessIdentifier) {
            std::fprintf(out, "  Host kept running by process %lld\n",
                         static_cast<long long>(*record.hostProcessIdentifier));
        }
    }
}

void printConfiguration(const std::filesystem::path& directory, std::FILE* out) {
    const auto file = FilterConfigurationFile::inDirectory(directory);
    std::error_code error;
    if (!std::filesystem::exists(file.path(), error)) {
        std::fprintf(out, "Configuration: absent\n");
        return;
    }
    const auto configuration = file.read();
    if (!configuration) {
        std::fprintf(
            out, "Configuration: unreadable or malformed (%s); the filter treats it as absent\n",
            file.path().c_str());
        return;
    }
    std::fprintf(out, "Configuration: present\n");
    std::fprintf(out, "  Enabled: %s\n", yesNo(configuration->enabled));
    std::fprintf(out, "  Description: %s\n", configuration->localizedDescription.c_str());
    const auto& provider = configuration->providerConfiguration;
    if (!provider) {
        std::fprintf(out, "  Provider configuration: absent\n");
        return;
    }
    std::fprintf(out, "  Provider: %s (filter sockets: %s)\n",
                 provider->filterDataProviderBundleIdentifier.c_str(),
                 yesNo(provider->filterSockets));
    const PlistDictionary* vendor = configuration->vendorConfiguration();
    if (!vendor) {
        std::fprintf(out, "  Vendor configuration: absent (every flow is allowed)\n");
        return;
    }

    // The counts of what the filter applies, read by the filter's own rules.
    const OwnIdentifier ownIdentifier(std::string(build_info::filterBundleIdentifier));
    const auto rules = FilterRuleSet::derive(std::make_shared<const PlistDictionary>(*vendor),
                                             ownIdentifier, directory.string());
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    auto inForce = [now](const auto& expiries) {
        std::size_t count = 0;
        for (const auto& [key, end] : expiries) {
            count += now < end ? 1 : 0;
        }
        return count;
    };
    std::fprintf(out, "  Blocked code identities: %zu (entries written: %s)\n",
                 rules->blockedIdentityKeys().size(),
                 entryCount(*vendor, FilterRuleSet::codeIdentitiesKey, false).c_str());
    std::fprintf(out, "  Blocked application paths: %zu (entries written: %s)\n",
                 rules->blockedBundlePaths().size(),
                 entryCount(*vendor, FilterRuleSet::applicationPathsKey, false).c_str());
    std::fprintf(out,
                 "  Temporary allowances: %zu code identities, %zu application paths "
                 "(%zu in force now)\n",
                 rules->temporaryIdentityExpiries().size(),
                 rules->temporaryBundlePathExpiries().size(),
                 inForce(rules->temporaryIdentityExpiries()) +
                     inForce(rules->temporaryBundlePathExpiries()));
    if (auto port = rules->eventChannelPort()) {
        std::fprintf(out, "  Event channel port: %u\n", static_cast<unsigned>(*port));
    } else {
        std::fprintf(out, "  Event channel port: not set (the filter reports nothing)\n");
    }
    std::fprintf(out, "  Event channel token: %s\n",
                 rules->eventChannelToken() ? "set" : "not set (the filter reports nothing)");
}

} // namespace

const char* const StatusCommand::usage =
    "usage: zorvane-system status\n"
    "\n"
    "Prints the system directory, the activation state of the system extension, whether a filter\n"
    "host runs for the directory, and a summary of the saved filter configuration as the filter\n"
    "reads it.\n";

int StatusCommand::run(const std::vector<std::string>& arguments,
                       const std::filesystem::path& systemDirectory, std::FILE* out,
                       std::FILE* err) {
    if (!arguments.empty()) {
        if (arguments.front() == "--help" || arguments.front() == "-h") {
            std::fputs(usage, out);
            return 0;
        }
        std::fprintf(err, "zorvane-system status: unexpected argument: %s\n%s",
                     arguments.front().c_str(), usage);
        return 2;
    }
    std::fprintf(out, "System directory: %s\n", systemDirectory.c_str());
    printExtensions(systemDirectory, out);
    printHost(systemDirectory, out);
    printEnforcement(systemDirectory, out);
    printConfiguration(systemDirectory, out);
    return 0;
}

} // namespace zorvane
