#include "codesign/BundleReader.h"

#include "shared/PlistCodec.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

std::vector<std::uint8_t> signedExecutable(const std::string& identifier) {
    return MachOBuilder::thin(MachOBuilder::signedExecutable(identifier, "TEAM123456")).bytes();
}

TEST(BundleReader, ReadsInfoDictionaryAndExecutableInXmlAndBinaryForm) {
    TemporaryDirectory dir;
    for (const auto format : {PlistFormat::Xml, PlistFormat::Binary}) {
        const auto bundle = dir / (format == PlistFormat::Xml ? "Xml.app" : "Binary.app");
        BundleBuilder::application(bundle, "com.example.app", signedExecutable("com.example.app"),
                                   {{"CFBundleDisplayName", "Example"}}, format);
        const auto info = BundleReader::readInfoDictionary(bundle);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(*info->at("CFBundleIdentifier").string(), "com.example.app");
        EXPECT_EQ(*info->at("CFBundleDisplayName").string(), "Example");
        EXPECT_EQ(BundleReader::executablePath(bundle),
                  bundle / "Contents" / "MacOS" / bundle.stem());
        const SigningInformation expected{"com.example.app", "TEAM123456", std::nullopt};
        EXPECT_EQ(BundleReader::readSigningInformation(bundle), expected);
        // A single file is read as itself.
        EXPECT_EQ(BundleReader::readSigningInformation(*BundleReader::executablePath(bundle)),
                  expected);
    }
}

TEST(BundleReader, InfoDictionaryThatIsMissingOrNotADictionary) {
    TemporaryDirectory dir;
    BundleBuilder bundle(dir / "Broken.app");
    bundle.executable("Broken", signedExecutable("com.example.broken"));
    EXPECT_EQ(BundleReader::readInfoDictionary(bundle.path()), std::nullopt);
    EXPECT_EQ(BundleReader::readSigningInformation(bundle.path()), std::nullopt);
    for (const std::string& raw : {PlistCodec::toXml(PlistArray{"CFBundleExecutable"}),
                                   std::string("not a property list"), std::string()}) {
        bundle.rawInfo(raw);
        EXPECT_EQ(BundleReader::readInfoDictionary(bundle.path()), std::nullopt);
        EXPECT_EQ(BundleReader::executablePath(bundle.path()), std::nullopt);
    }
    EXPECT_EQ(BundleReader::readSigningInformation(dir / "Missing.app"), std::nullopt);
}

TEST(BundleReader, ExecutableNameMustBeAPlainFileNameInsideTheBundle) {
    TemporaryDirectory dir;
    BundleBuilder bundle(dir / "Escape.app");
    // Signed files a crafted name could reach.
    bundle.file("Contents/evil", signedExecutable("com.example.evil"), true);
    MachOBuilder::write(dir / "evil", signedExecutable("com.example.evil"));

    for (const PlistValue& name :
         {PlistValue("../evil"), PlistValue("../../evil"), PlistValue(".."), PlistValue("."),
          PlistValue(""), PlistValue("sub/evil"), PlistValue("/bin/sh"),
          PlistValue(std::int64_t{42}), PlistValue(PlistArray{"evil"})}) {
        bundle.info({{"CFBundleIdentifier", "com.example.escape"}, {"CFBundleExecutable", name}});
        EXPECT_EQ(BundleReader::executablePath(bundle.path()), std::nullopt);
        EXPECT_EQ(BundleReader::readSigningInformation(bundle.path()), std::nullopt);
    }
    // libplist cuts strings at NUL, so this one can only come from a dictionary made otherwise.
    EXPECT_EQ(BundleReader::executableName({{"CFBundleExecutable", std::string("evil\0x", 6)}}),
              std::nullopt);
    bundle.info({{"CFBundleIdentifier", "com.example.escape"}});
    EXPECT_EQ(BundleReader::executablePath(bundle.path()), std::nullopt);

    // Dots inside a name are fine.
    bundle.info({{"CFBundleExecutable", "..Tool"}});
    bundle.executable("..Tool", signedExecutable("com.example.dots"));
    EXPECT_EQ(BundleReader::readSigningInformation(bundle.path())->identifier, "com.example.dots");
}

} // namespace
} // namespace zorvane
