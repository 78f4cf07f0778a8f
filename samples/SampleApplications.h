#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace zorvane {

// The signed applications the build lays out for trying Zorvane on Linux, where no real
// application bundle is at hand: something to drop onto the window and something for the demo,
// the load run and the whole-system tests to block. Every executable is a synthetic Mach-O file
// signed with the sample maker's team, which it also names in its entitlements (the filter reads
// the team from there only, as the system hands it over on macOS).
//
//   Sample Mail.app   Contents/MacOS/Sample Mail, a helper in Contents/Helpers/, and next to the
//                     bundle "Sample Mail Support/Sample Mail Updater", which inspection cannot
//                     see: the filter discovers it when it acts for Sample Mail.
//   Sample Chat.app   Contents/MacOS/Sample Chat and a nested XPC service bundle.
class SampleApplications {
public:
    static constexpr const char* teamIdentifier = "R7M2QK9TXP";

    struct Executable {
        std::filesystem::path relativePath; // below the directory the samples are written to
        std::string signingIdentifier;
    };

    struct Sample {
        std::string name;             // the bundle is <name>.app
        std::string bundleIdentifier; // also the main executable's signing identifier
        // The main executable first, then what the bundle holds, then what lies outside it.
        std::vector<Executable> executables;

        std::filesystem::path bundle(const std::filesystem::path& directory) const;
        std::filesystem::path mainExecutable(const std::filesystem::path& directory) const;
    };

    static const Sample& mail();
    static const Sample& chat();
    static std::vector<Sample> all();

    // Writes the sample's bundle (and what belongs next to it) into directory, replacing what
    // was there; the icon, when given, is the bytes of an .icns file for Contents/Resources.
    // Throws std::runtime_error when a file cannot be written.
    static std::filesystem::path write(const Sample& sample, const std::filesystem::path& directory,
                                       std::span<const std::uint8_t> icon = {});

    // A bundle like the samples with the given identifier, main executable and helpers (their
    // executable names, in Contents/Helpers/), all signed with team. For tests and load runs
    // that need many blockable applications.
    static std::filesystem::path writeApplication(const std::filesystem::path& bundle,
                                                  const std::string& bundleIdentifier,
                                                  const std::vector<std::string>& helpers,
                                                  const std::string& team = teamIdentifier);

    // A 64-bit arm64 executable signed as identifier, with the team in its code directory and
    // in its entitlements.
    static std::vector<std::uint8_t> signedExecutable(const std::string& identifier,
                                                      const std::string& team = teamIdentifier);
};

} // namespace zorvane
