#include "platform/linux/ExtensionStateFile.h"

#include "platform/linux/AtomicFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/SystemDirectory.h"
#include "shared/PlistCodec.h"

namespace zorvane {
namespace {

constexpr const char* extensionsKey = "extensions";
constexpr const char* stateKey = "state";
constexpr const char* shortVersionKey = "bundleShortVersion";
constexpr const char* versionKey = "bundleVersion";
constexpr const char* pathKey = "path";
constexpr const char* hostKey = "hostProcessIdentifier";

std::optional<SystemExtensionRecord::State> parseState(const std::string& name) {
    using State = SystemExtensionRecord::State;
    for (const State state : {State::awaitingApproval, State::activated, State::deactivated}) {
        if (name == ExtensionStateFile::stateName(state)) {
            return state;
        }
    }
    return std::nullopt;
}

std::optional<SystemExtensionRecord> recordFrom(const PlistValue& value) {
    const PlistValue* state = value.find(stateKey);
    const PlistValue* shortVersion = value.find(shortVersionKey);
    const PlistValue* version = value.find(versionKey);
    const PlistValue* path = value.find(pathKey);
    const PlistValue* host = value.find(hostKey);
    if (!state || !state->string() || !shortVersion || !shortVersion->string() || !version ||
        !version->string() || !path || !path->string() || (host && !host->integer())) {
        return std::nullopt;
    }
    const auto parsed = parseState(*state->string());
    if (!parsed) {
        return std::nullopt;
    }
    SystemExtensionRecord record;
    record.state = *parsed;
    record.bundleShortVersion = *shortVersion->string();
    record.bundleVersion = *version->string();
    record.path = *path->string();
    if (host) {
        record.hostProcessIdentifier = *host->integer();
    }
    return record;
}

PlistValue toPlist(const ExtensionStateFile::Records& records) {
    PlistDictionary extensions;
    for (const auto& [identifier, record] : records) {
        PlistDictionary entry{
            {stateKey, ExtensionStateFile::stateName(record.state)},
            {shortVersionKey, record.bundleShortVersion},
            {versionKey, record.bundleVersion},
            {pathKey, record.path},
        };
        if (record.hostProcessIdentifier) {
            entry.emplace(hostKey, *record.hostProcessIdentifier);
        }
        extensions.emplace(identifier, std::move(entry));
    }
    return PlistDictionary{{extensionsKey, std::move(extensions)}};
}

} // namespace

ExtensionStateFile::ExtensionStateFile(std::filesystem::path systemDirectory)
    : directory_(std::move(systemDirectory)), path_(directory_ / fileName) {}

ExtensionStateFile::Records ExtensionStateFile::read() const {
    Records records;
    const auto root = PlistCodec::readFile(path_, 1024 * 1024);
    const PlistValue* extensions = root ? root->find(extensionsKey) : nullptr;
    if (!extensions || !extensions->dictionary()) {
        return records;
    }
    for (const auto& [identifier, value] : *extensions->dictionary()) {
        if (auto record = recordFrom(value)) {
            records.emplace(identifier, std::move(*record));
        }
    }
    return records;
}

bool ExtensionStateFile::update(const std::function<bool(Records&)>& change) const {
    if (!SystemDirectory::ensureExists(directory_)) {
        return false;
    }
    auto lockPath = path_;
    lockPath += ".lock";
    const auto lock = FileLock::acquire(lockPath, FileLock::Wait::block);
    if (!lock) {
        return false;
    }
    Records records = read();
    if (!change(records)) {
        return true;
    }
    return !AtomicFile::replace(path_, PlistCodec::toXml(toPlist(records)));
}

const char* ExtensionStateFile::stateName(SystemExtensionRecord::State state) {
    switch (state) {
    case SystemExtensionRecord::State::awaitingApproval:
        return "awaitingApproval";
    case SystemExtensionRecord::State::activated:
        return "activated";
    case SystemExtensionRecord::State::deactivated:
        return "deactivated";
    }
    return "unknown";
}

} // namespace zorvane
