#pragma once

#include "shared/PlistValue.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

enum class PlistFormat { Xml, Binary };

// Writes a bundle tree on disk for tests and the sample applications: Contents/Info.plist,
// Contents/MacOS/<executable> and any other file wanted (helpers, nested bundles, icons). Every
// call writes at once and creates the directories it needs; failures throw std::runtime_error
// (fixture makers only, which end on it).
//
//     TemporaryDirectory dir;
//     auto app = BundleBuilder::application(dir / "Example.app", "com.example.app",
//                                           MachOBuilder::thin(
//                                               MachOBuilder::signedExecutable("com.example.app",
//                                                                              "TEAM123456"))
//                                               .bytes());
//     app.file("Contents/Helpers/helper", helperBytes, true);
//     app.file("Contents/Resources/AppIcon.icns", iconBytes);
class BundleBuilder {
public:
    // Creates the bundle directory (and its parents).
    explicit BundleBuilder(std::filesystem::path bundle);

    // An application bundle: Info.plist with CFBundleIdentifier, CFBundleExecutable and
    // CFBundleName (the bundle's file name without extension, which also names the executable),
    // CFBundlePackageType "APPL", plus `extraInfo`; and the executable Contents/MacOS/<name>.
    static BundleBuilder application(const std::filesystem::path& bundle,
                                     const std::string& bundleIdentifier,
                                     std::span<const std::uint8_t> executable,
                                     const PlistDictionary& extraInfo = {},
                                     PlistFormat format = PlistFormat::Xml);

    const std::filesystem::path& path() const { return bundle_; }

    // Contents/Info.plist from a dictionary, in XML or binary form.
    BundleBuilder& info(const PlistDictionary& info, PlistFormat format = PlistFormat::Xml);
    // Contents/Info.plist with the given bytes as they are.
    BundleBuilder& rawInfo(std::string_view bytes);
    // Contents/MacOS/<name>, mode 0755.
    BundleBuilder& executable(const std::string& name, std::span<const std::uint8_t> bytes);
    // Any file below the bundle (a path relative to it); mode 0755 when `executable`, else 0644.
    BundleBuilder& file(const std::filesystem::path& relative, std::span<const std::uint8_t> bytes,
                        bool executable = false);
    BundleBuilder& file(const std::filesystem::path& relative, std::string_view text,
                        bool executable = false);
    // An empty directory below the bundle.
    BundleBuilder& directory(const std::filesystem::path& relative);

private:
    std::filesystem::path bundle_;
};

} // namespace zorvane
