#include "BundleBuilder.h"

#include "shared/PlistCodec.h"

#include <fstream>
#include <stdexcept>

namespace zorvane {
namespace {

void writeFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes,
               bool executable) {
    std::filesystem::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + file.string());
        }
    }
    using std::filesystem::perms;
    std::filesystem::permissions(file, executable ? perms::owner_all | perms::group_read |
                                                        perms::group_exec | perms::others_read |
                                                        perms::others_exec
                                                  : perms::owner_read | perms::owner_write |
                                                        perms::group_read | perms::others_read);
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

BundleBuilder::BundleBuilder(std::filesystem::path bundle) : bundle_(std::move(bundle)) {
    std::filesystem::create_directories(bundle_);
}

BundleBuilder BundleBuilder::application(const std::filesystem::path& bundle,
                                         const std::string& bundleIdentifier,
                                         std::span<const std::uint8_t> executable,
                                         const PlistDictionary& extraInfo, PlistFormat format) {
    BundleBuilder builder(bundle);
    const std::string name = bundle.stem().string();
    PlistDictionary info = extraInfo;
    info.try_emplace("CFBundleIdentifier", bundleIdentifier);
    info.try_emplace("CFBundleExecutable", name);
    info.try_emplace("CFBundleName", name);
    info.try_emplace("CFBundlePackageType", "APPL");
    builder.info(info, format);
    builder.executable(name, executable);
    return builder;
}

BundleBuilder& BundleBuilder::info(const PlistDictionary& info, PlistFormat format) {
    const PlistValue value(info);
    return rawInfo(format == PlistFormat::Xml ? PlistCodec::toXml(value)
                                              : PlistCodec::toBinary(value));
}

BundleBuilder& BundleBuilder::rawInfo(std::string_view bytes) {
    writeFile(bundle_ / "Contents" / "Info.plist", asBytes(bytes), false);
    return *this;
}

BundleBuilder& BundleBuilder::executable(const std::string& name,
                                         std::span<const std::uint8_t> bytes) {
    writeFile(bundle_ / "Contents" / "MacOS" / name, bytes, true);
    return *this;
}

BundleBuilder& BundleBuilder::file(const std::filesystem::path& relative,
                                   std::span<const std::uint8_t> bytes, bool executable) {
    writeFile(bundle_ / relative, bytes, executable);
    return *this;
}

BundleBuilder& BundleBuilder::file(const std::filesystem::path& relative, std::string_view text,
                                   bool executable) {
    return file(relative, asBytes(text), executable);
}

BundleBuilder& BundleBuilder::directory(const std::filesystem::path& relative) {
    std::filesystem::create_directories(bundle_ / relative);
    return *this;
}

} // namespace zorvane
