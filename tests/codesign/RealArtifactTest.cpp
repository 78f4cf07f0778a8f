// Signatures made by Apple's tools, read from darwin builds of developer tools published on the
// npm registry (fetched by fetch-npm-artifacts.sh into $ZORVANE_NPM_ARTIFACTS). The expected
// values were read off hex dumps of the files (offsets noted with each), not from this reader.
#include "codesign/EmbeddedSignatureReader.h"
#include "codesign/MachOSignatureReader.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

std::filesystem::path artifact(const std::string& relative) {
    const char* cache = std::getenv("ZORVANE_NPM_ARTIFACTS");
    if (!cache || !*cache) {
        return {};
    }
    const auto path = std::filesystem::path(cache) / relative;
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) ? path : std::filesystem::path();
}

#define REQUIRE_ARTIFACT(variable, relative)                                                       \
    const auto variable = artifact(relative);                                                      \
    if (variable.empty()) {                                                                        \
        GTEST_SKIP() << relative << " is not in the npm artifact cache (registry unreachable?)";   \
    }

// Go's linker signs darwin/arm64 binaries ad hoc as "a.out": SuperBlob at 0xa05970 with one
// blob, CodeDirectory at +0x14, version 00 02 04 00, flags 0x20002, identOffset 0x58 ->
// "a.out\0", teamOffset (CodeDirectory + 48) zero, hash size 0x20 type 2.
TEST(RealArtifacts, EsbuildArm64IsAdHocSignedAsAOut) {
    REQUIRE_ARTIFACT(file, "esbuild-darwin-arm64-0.28.2/package/bin/esbuild");
    EXPECT_EQ(MachOSignatureReader::readFile(file),
              (SigningInformation{"a.out", std::nullopt, std::nullopt}));
    auto source = ByteSource::openFile(file);
    ASSERT_TRUE(source.has_value());
    const auto signature = MachOSignatureReader::readSignature(*source);
    ASSERT_TRUE(signature.has_value());
    EXPECT_EQ(signature->signature.codeDirectoryVersion, 0x20400u);
    EXPECT_EQ(signature->signature.hashType, 2);
    EXPECT_EQ(signature->cpuType, MachOSignatureReader::cpuTypeArm64);
    EXPECT_LT(source->bytesRead(), 16u * 1024) << "a 10 MB file must not be read in full";
    EXPECT_TRUE(MachOSignatureReader::isMachOExecutable(file));
}

// The darwin/amd64 build has no LC_CODE_SIGNATURE among its 15 load commands.
TEST(RealArtifacts, EsbuildX64IsAnUnsignedExecutable) {
    REQUIRE_ARTIFACT(file, "esbuild-darwin-x64-0.28.2/package/bin/esbuild");
    EXPECT_EQ(MachOSignatureReader::readFile(file), std::nullopt);
    EXPECT_TRUE(MachOSignatureReader::isMachOExecutable(file));
}

// Universal (CAFEBABE, 2 slices): x86_64 at 0x4000 without a signature, arm64 at 0x18000 with
// LC_CODE_SIGNATURE dataoff 0xfcb0; its CodeDirectory (0x27cc4, version 0x20400) names
// "fsevents.node" and no team. File type 8 (MH_BUNDLE): a loadable module, not an executable.
TEST(RealArtifacts, FseventsAddonIsSignedInItsArm64SliceOnly) {
    REQUIRE_ARTIFACT(file, "fsevents-2.3.3/package/fsevents.node");
    EXPECT_EQ(MachOSignatureReader::readFile(file),
              (SigningInformation{"fsevents.node", std::nullopt, std::nullopt}));
    auto source = ByteSource::openFile(file);
    ASSERT_TRUE(source.has_value());
    const auto signature = MachOSignatureReader::readSignature(*source);
    ASSERT_TRUE(signature.has_value());
    EXPECT_EQ(signature->sliceOffset, 0x18000u);
    EXPECT_EQ(signature->signature.codeDirectoryVersion, 0x20400u);
    EXPECT_FALSE(MachOSignatureReader::isMachOExecutable(file));
}

// Universal, Developer ID signed, and the two slices name different identifiers:
//   x86_64 at 0x4000, SuperBlob at 0xe32450: CodeDirectory +0x34, version 0x20500,
//     identifier "sentry-cli-Darwin-universal" (0xe324e4), team "97JCY7859U";
//   arm64 at 0xe54000, SuperBlob at 0x1b379b0: CodeDirectory +0x34, version 0x20500,
//     identifier "sentry_cli-ed605fe0983d3ac0" (0x1b37a44), team "97JCY7859U" (0x1b37a60),
//     entitlements blob (0xfade7171, 0xbc bytes) holding an empty <dict/>.
TEST(RealArtifacts, SentryCliTakesTheArm64SliceOfAUniversalDeveloperIdBinary) {
    REQUIRE_ARTIFACT(file, "sentry-cli-darwin-3.8.0/package/bin/sentry-cli");
    EXPECT_EQ(MachOSignatureReader::readFile(file),
              (SigningInformation{"sentry_cli-ed605fe0983d3ac0", "97JCY7859U", PlistDictionary{}}));
    auto source = ByteSource::openFile(file);
    ASSERT_TRUE(source.has_value());
    const auto signature = MachOSignatureReader::readSignature(*source);
    ASSERT_TRUE(signature.has_value());
    EXPECT_EQ(signature->sliceOffset, 0xe54000u);
    EXPECT_EQ(signature->signature.codeDirectoryVersion, 0x20500u);
    EXPECT_LT(source->bytesRead(), 16u * 1024) << "a 28 MB file must not be read in full";

    const auto intel = EmbeddedSignatureReader::read(*source, 0xe32450, 0x20800);
    ASSERT_TRUE(intel.has_value());
    EXPECT_EQ(intel->signing.identifier, "sentry-cli-Darwin-universal");
    EXPECT_EQ(intel->signing.teamIdentifier, "97JCY7859U");
    EXPECT_TRUE(MachOSignatureReader::isMachOExecutable(file));
}

} // namespace
} // namespace zorvane
