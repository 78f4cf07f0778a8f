#include "samples/SampleApplications.h"

#include "samples/BundleBuilder.h"
#include "samples/MachOBuilder.h"

namespace zorvane {
namespace fs = std::filesystem;

namespace {

const char* const teamEntitlement = "com.apple.developer.team-identifier";

SampleApplications::Sample makeMail() {
    return {"Sample Mail",
            "com.example.SampleMail",
            {
                {"Sample Mail.app/Contents/MacOS/Sample Mail", "com.example.SampleMail"},
                {"Sample Mail.app/Contents/Helpers/Sample Mail Fetcher",
                 "com.example.SampleMail.Fetcher"},
                {"Sample Mail Support/Sample Mail Updater", "com.example.SampleMail.Updater"},
            }};
}

SampleApplications::Sample makeChat() {
    return {"Sample Chat",
            "com.example.SampleChat",
            {
                {"Sample Chat.app/Contents/MacOS/Sample Chat", "com.example.SampleChat"},
                {"Sample Chat.app/Contents/XPCServices/SampleChatNetworking.xpc/Contents/MacOS/"
                 "SampleChatNetworking",
                 "com.example.SampleChat.Networking"},
            }};
}

PlistDictionary applicationInfo(const std::string& name, const std::string& identifier) {
    return {{"CFBundleIdentifier", identifier},
            {"CFBundleExecutable", name},
            {"CFBundleName", name},
            {"CFBundlePackageType", "APPL"},
            {"CFBundleShortVersionString", "1.0"},
            {"CFBundleVersion", "1"}};
}

// The directory of the nested bundle an executable lies in (".../X.xpc"), when it does.
std::optional<fs::path> nestedBundle(const fs::path& relative) {
    for (fs::path at = relative.parent_path(); !at.empty(); at = at.parent_path()) {
        const auto extension = at.extension();
        if (extension == ".xpc" || extension == ".appex") {
            return at;
        }
        if (extension == ".app") {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace

fs::path SampleApplications::Sample::bundle(const fs::path& directory) const {
    return directory / (name + ".app");
}

fs::path SampleApplications::Sample::mainExecutable(const fs::path& directory) const {
    return directory / executables.front().relativePath;
}

const SampleApplications::Sample& SampleApplications::mail() {
    static const Sample sample = makeMail();
    return sample;
}

const SampleApplications::Sample& SampleApplications::chat() {
    static const Sample sample = makeChat();
    return sample;
}

std::vector<SampleApplications::Sample> SampleApplications::all() {
    return {mail(), chat()};
}

std::vector<std::uint8_t> SampleApplications::signedExecutable(const std::string& identifier,
                                                               const std::string& team) {
    auto slice = MachOBuilder::signedExecutable(identifier, team);
    slice.signature->entitlements = PlistDictionary{{teamEntitlement, team}};
    return MachOBuilder::thin(slice).bytes();
}

fs::path SampleApplications::write(const Sample& sample, const fs::path& directory,
                                   std::span<const std::uint8_t> icon) {
    const fs::path bundle = sample.bundle(directory);
    // Whatever an earlier build left there goes, so that the bundle holds exactly this layout.
    for (const auto& executable : sample.executables) {
        fs::remove_all(directory / *executable.relativePath.begin());
    }

    PlistDictionary info = applicationInfo(sample.name, sample.bundleIdentifier);
    if (!icon.empty()) {
        info.emplace("CFBundleIconFile", "AppIcon");
    }
    BundleBuilder builder = BundleBuilder::application(
        bundle, sample.bundleIdentifier, signedExecutable(sample.bundleIdentifier), info);
    if (!icon.empty()) {
        builder.file("Contents/Resources/AppIcon.icns", icon);
    }

    for (std::size_t i = 1; i < sample.executables.size(); ++i) {
        const auto& executable = sample.executables[i];
        const auto bytes = signedExecutable(executable.signingIdentifier);
        if (auto nested = nestedBundle(executable.relativePath)) {
            PlistDictionary nestedInfo{
                {"CFBundleIdentifier", executable.signingIdentifier},
                {"CFBundleExecutable", executable.relativePath.filename().string()},
                {"CFBundleName", nested->stem().string()},
                {"CFBundlePackageType", "XPC!"}};
            BundleBuilder(directory / *nested).info(nestedInfo);
        }
        BundleBuilder(directory).file(executable.relativePath, bytes, true);
    }
    return bundle;
}

fs::path SampleApplications::writeApplication(const fs::path& bundle,
                                              const std::string& bundleIdentifier,
                                              const std::vector<std::string>& helpers,
                                              const std::string& team) {
    fs::remove_all(bundle);
    const std::string name = bundle.stem().string();
    BundleBuilder builder = BundleBuilder::application(bundle, bundleIdentifier,
                                                       signedExecutable(bundleIdentifier, team),
                                                       applicationInfo(name, bundleIdentifier));
    for (const auto& helper : helpers) {
        builder.file(fs::path("Contents/Helpers") / helper,
                     signedExecutable(bundleIdentifier + "." + helper, team), true);
    }
    return bundle;
}

} // namespace zorvane
