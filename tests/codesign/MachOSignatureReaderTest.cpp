#include "codesign/MachOSignatureReader.h"

#include "shared/PlistCodec.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <string>

namespace zorvane {
namespace {

constexpr std::uint32_t arm64 = MachOSliceSpec::cpuTypeArm64;
constexpr std::uint32_t x86_64 = MachOSliceSpec::cpuTypeX86_64;
constexpr std::uint32_t i386 = MachOSliceSpec::cpuTypeI386;
constexpr std::uint32_t powerPC = MachOSliceSpec::cpuTypePowerPC;

MachOSliceSpec signedSlice(std::uint32_t cpuType, std::string identifier,
                           std::optional<std::string> team = "TEAM123456") {
    auto sliceSpec = MachOBuilder::signedExecutable(std::move(identifier), std::move(team));
    sliceSpec.cpuType = cpuType;
    sliceSpec.codeSize = 64;
    return sliceSpec;
}

MachOSliceSpec unsignedSlice(std::uint32_t cpuType) {
    MachOSliceSpec sliceSpec;
    sliceSpec.cpuType = cpuType;
    sliceSpec.codeSize = 64;
    return sliceSpec;
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

const FatFormat allFatFormats[] = {FatFormat::Fat32, FatFormat::Fat64, FatFormat::Fat32Swapped,
                                   FatFormat::Fat64Swapped};

TEST(MachOSignatureReader, ReadsThinFilesInEveryHeaderForm) {
    TemporaryDirectory dir;
    for (const bool is64Bit : {false, true}) {
        for (const bool bigEndian : {false, true}) {
            SCOPED_TRACE(std::to_string(is64Bit) + std::to_string(bigEndian));
            auto sliceSpec = signedSlice(bigEndian ? powerPC : arm64, "com.example.thin");
            sliceSpec.is64Bit = is64Bit;
            sliceSpec.bigEndian = bigEndian;
            const auto image = MachOBuilder::thin(sliceSpec);
            const SigningInformation expected{"com.example.thin", "TEAM123456", std::nullopt};
            EXPECT_EQ(MachOSignatureReader::readBytes(image.bytes()), expected);
            EXPECT_TRUE(MachOSignatureReader::isMachOExecutableHeader(image.bytes()));

            const auto file = dir / "tool";
            MachOBuilder::write(file, image);
            EXPECT_EQ(MachOSignatureReader::readFile(file), expected);
            EXPECT_TRUE(MachOSignatureReader::isMachOExecutable(file));
        }
    }
}

TEST(MachOSignatureReader, ReadsUniversalFilesInEveryFatForm) {
    TemporaryDirectory dir;
    for (const auto format : allFatFormats) {
        SCOPED_TRACE(static_cast<int>(format));
        const auto image = MachOBuilder::universal(
            {signedSlice(x86_64, "com.example.fat"), signedSlice(arm64, "com.example.fat")},
            format);
        const SigningInformation expected{"com.example.fat", "TEAM123456", std::nullopt};
        EXPECT_EQ(MachOSignatureReader::readBytes(image.bytes()), expected);
        EXPECT_TRUE(MachOSignatureReader::isMachOExecutableHeader(image.bytes()));

        const auto file = dir / "fat";
        MachOBuilder::write(file, image);
        EXPECT_EQ(MachOSignatureReader::readFile(file), expected);
        EXPECT_TRUE(MachOSignatureReader::isMachOExecutable(file));
    }
}

TEST(MachOSignatureReader, TeamIdentifierOnlyFromCodeDirectoriesThatCarryOne) {
    auto read = [](std::uint32_t version, std::optional<std::string> team) {
        auto sliceSpec = signedSlice(arm64, "com.example.team", std::move(team));
        sliceSpec.signature->codeDirectoryVersion = version;
        return MachOSignatureReader::readBytes(MachOBuilder::thin(sliceSpec).bytes());
    };
    // Before 0x20200 the bytes at the team offset's position belong to the identifier; they
    // must not be taken for an offset.
    for (const std::uint32_t old : {0x20001u, 0x20100u}) {
        const auto info = read(old, "TEAM123456");
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->identifier, "com.example.team");
        EXPECT_EQ(info->teamIdentifier, std::nullopt);
    }
    for (const std::uint32_t version : {0x20200u, 0x20300u, 0x20400u, 0x20500u}) {
        EXPECT_EQ(read(version, "TEAM123456")->teamIdentifier, "TEAM123456");
        EXPECT_EQ(read(version, std::nullopt)->teamIdentifier, std::nullopt);
    }
    // Raw: trimming is the caller's business.
    EXPECT_EQ(read(0x20400, " TEAM ")->teamIdentifier, " TEAM ");
    EXPECT_EQ(read(0x20400, "")->teamIdentifier, "");
}

TEST(MachOSignatureReader, ReadsXmlEntitlementsAsDictionary) {
    const PlistDictionary entitlements{
        {"com.apple.developer.team-identifier", "ABCDE12345"},
        {"com.apple.application-identifier", "ABCDE12345.com.example.app"},
        {"com.apple.security.app-sandbox", true},
        {"com.apple.security.application-groups", PlistArray{"ABCDE12345.group.example"}},
    };
    auto sliceSpec = signedSlice(arm64, "com.example.app", "ABCDE12345");
    sliceSpec.signature->entitlements = entitlements;
    const auto info = MachOSignatureReader::readBytes(MachOBuilder::thin(sliceSpec).bytes());
    ASSERT_TRUE(info.has_value());
    ASSERT_TRUE(info->entitlements.has_value());
    EXPECT_EQ(*info->entitlements, entitlements);
    EXPECT_EQ(*info->entitlements->at("com.apple.application-identifier").string(),
              "ABCDE12345.com.example.app");

    // Entitlements that are not a dictionary, or no property list at all, leave the identity.
    // (A NUL inside XML text once aborted the process from inside libplist.)
    using namespace std::string_literals;
    for (const std::string& raw :
         {PlistCodec::toXml(PlistArray{"a"}), "<plist>"s, ""s,
          "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><string>a\0b</string>"
          "</dict></plist>"s}) {
        sliceSpec.signature->entitlements.reset();
        sliceSpec.signature->rawEntitlements = raw;
        const auto withBadEntitlements =
            MachOSignatureReader::readBytes(MachOBuilder::thin(sliceSpec).bytes());
        ASSERT_TRUE(withBadEntitlements.has_value());
        EXPECT_EQ(withBadEntitlements->identifier, "com.example.app");
        EXPECT_EQ(withBadEntitlements->entitlements, std::nullopt);
    }
}

TEST(MachOSignatureReader, TakesIdentityFromTheCodeDirectoryWithTheStrongestHash) {
    auto sliceSpec = signedSlice(arm64, "com.example.sha1", "TEAMSHA1");
    sliceSpec.signature->hashType = 1;
    sliceSpec.signature->alternates = {{"com.example.sha256", "TEAM256", 0x20400, 2}};
    auto read = [&] {
        const auto bytes = MachOBuilder::thin(sliceSpec).bytes();
        auto memory = ByteSource::ofMemory(bytes);
        return MachOSignatureReader::readSignature(memory);
    };
    auto signature = read();
    ASSERT_TRUE(signature.has_value());
    EXPECT_EQ(signature->signature.signing.identifier, "com.example.sha256");
    EXPECT_EQ(signature->signature.hashType, 2);

    // Equal hash types: the primary wins; an unknown hash type is never chosen.
    sliceSpec.signature->hashType = 2;
    sliceSpec.signature->alternates = {{"com.example.other", std::nullopt, 0x20400, 2},
                                       {"com.example.unknown", std::nullopt, 0x20400, 9}};
    EXPECT_EQ(read()->signature.signing.identifier, "com.example.sha1");
    sliceSpec.signature->alternates = {{"com.example.sha384", std::nullopt, 0x20400, 4}};
    EXPECT_EQ(read()->signature.signing.identifier, "com.example.sha384");
}

TEST(MachOSignatureReader, ChoosesArm64ThenX86_64ThenTheFirstSignedSlice) {
    struct Case {
        std::vector<MachOSliceSpec> slices;
        std::optional<std::string> identifier;
        std::uint32_t cpuType;
    };
    const std::vector<Case> cases{
        {{signedSlice(x86_64, "intel"), signedSlice(arm64, "arm")}, "arm", arm64},
        {{signedSlice(arm64, "arm"), signedSlice(x86_64, "intel")}, "arm", arm64},
        {{signedSlice(i386, "old"), signedSlice(x86_64, "intel")}, "intel", x86_64},
        {{unsignedSlice(arm64), signedSlice(x86_64, "intel")}, "intel", x86_64},
        {{signedSlice(powerPC, "ppc"), signedSlice(i386, "old")}, "ppc", powerPC},
        {{unsignedSlice(powerPC), signedSlice(i386, "old")}, "old", i386},
        {{unsignedSlice(arm64), unsignedSlice(x86_64)}, std::nullopt, 0},
    };
    for (const auto format : allFatFormats) {
        for (const auto& c : cases) {
            const auto bytes = MachOBuilder::universal(c.slices, format).bytes();
            auto source = ByteSource::ofMemory(bytes);
            const auto signature = MachOSignatureReader::readSignature(source);
            ASSERT_EQ(signature.has_value(), c.identifier.has_value());
            if (signature) {
                EXPECT_EQ(signature->signature.signing.identifier, c.identifier);
                EXPECT_EQ(signature->cpuType, c.cpuType);
            }
        }
    }
}

TEST(MachOSignatureReader, IsMachOExecutableLooksAtFileTypeAndFirstSlice) {
    TemporaryDirectory dir;
    auto check = [&](std::span<const std::uint8_t> bytes) {
        const auto file = dir / "candidate";
        MachOBuilder::write(file, bytes);
        const bool fromFile = MachOSignatureReader::isMachOExecutable(file);
        EXPECT_EQ(fromFile, MachOSignatureReader::isMachOExecutableHeader(bytes));
        return fromFile;
    };
    auto withType = [](MachOFileType type, bool is64Bit, bool bigEndian) {
        auto sliceSpec = unsignedSlice(arm64);
        sliceSpec.fileType = type;
        sliceSpec.is64Bit = is64Bit;
        sliceSpec.bigEndian = bigEndian;
        return sliceSpec;
    };
    for (const bool is64Bit : {false, true}) {
        for (const bool bigEndian : {false, true}) {
            EXPECT_TRUE(
                check(MachOBuilder::thin(withType(MachOFileType::Executable, is64Bit, bigEndian))
                          .bytes()));
            EXPECT_FALSE(check(
                MachOBuilder::thin(withType(MachOFileType::Dylib, is64Bit, bigEndian)).bytes()));
            EXPECT_FALSE(check(
                MachOBuilder::thin(withType(MachOFileType::Bundle, is64Bit, bigEndian)).bytes()));
        }
    }
    const auto executable = withType(MachOFileType::Executable, true, false);
    const auto dylib = withType(MachOFileType::Dylib, true, false);
    for (const auto format : allFatFormats) {
        EXPECT_TRUE(check(MachOBuilder::universal({executable, dylib}, format).bytes()));
        // Only the first slice is looked at.
        EXPECT_FALSE(check(MachOBuilder::universal({dylib, executable}, format).bytes()));
    }

    EXPECT_FALSE(check(bytesOf("#!/bin/sh\necho hello from a script\n")));
    EXPECT_FALSE(check({}));
    auto header = MachOBuilder::thin(executable).bytes();
    header.resize(16);
    EXPECT_TRUE(check(header)); // magic and file type are all the test needs
    header.resize(15);
    EXPECT_FALSE(check(header));

    // A universal header whose first slice lies past the end of the file.
    auto fat = MachOBuilder::universal({executable}, FatFormat::Fat32).bytes();
    MachOBuilder::put32(fat, 16, static_cast<std::uint32_t>(fat.size() + 4096));
    EXPECT_FALSE(check(fat));
    auto fat64 = MachOBuilder::universal({executable}, FatFormat::Fat64).bytes();
    MachOBuilder::put64(fat64, 16, ~std::uint64_t{0} - 8);
    EXPECT_FALSE(check(fat64));
    auto shortFat = MachOBuilder::universal({executable}, FatFormat::Fat32).bytes();
    shortFat.resize(23);
    EXPECT_FALSE(check(shortFat));

    EXPECT_FALSE(MachOSignatureReader::isMachOExecutable(dir.path()));
    EXPECT_FALSE(MachOSignatureReader::isMachOExecutable(dir / "missing"));
}

// A Java class file: CAFEBABE, minor 0, major 52, then a constant pool.
std::vector<std::uint8_t> javaClassFile() {
    std::vector<std::uint8_t> bytes{0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x00, 0x00, 0x34,
                                    0x00, 0x1D, 0x0A, 0x00, 0x06, 0x00, 0x0F, 0x09,
                                    0x00, 0x10, 0x00, 0x11, 0x08, 0x00, 0x12, 0x0A,
                                    0x00, 0x13, 0x00, 0x14, 0x07, 0x00, 0x15, 0x07};
    bytes.resize(600, 0x01);
    return bytes;
}

TEST(MachOSignatureReader, JavaClassFilesAreNeitherSignedNorExecutable) {
    const auto bytes = javaClassFile();
    EXPECT_EQ(MachOSignatureReader::readBytes(bytes), std::nullopt);
    EXPECT_FALSE(MachOSignatureReader::isMachOExecutableHeader(bytes));
}

TEST(MachOSignatureReader, EveryTruncationOfASignedFileHasNoIdentity) {
    for (const bool fat : {false, true}) {
        auto sliceSpec = signedSlice(arm64, "com.example.truncated");
        sliceSpec.signature->entitlements = PlistDictionary{{"key", true}};
        const auto bytes = fat ? MachOBuilder::universal({sliceSpec}).bytes()
                               : MachOBuilder::thin(sliceSpec).bytes();
        ASSERT_TRUE(MachOSignatureReader::readBytes(bytes).has_value());
        for (std::size_t length = 0; length < bytes.size(); ++length) {
            const std::span<const std::uint8_t> prefix(bytes.data(), length);
            ASSERT_EQ(MachOSignatureReader::readBytes(prefix), std::nullopt) << length;
        }
    }
}

// Corrupts one field of a valid signed file and expects the identity to be gone.
class Corruption : public ::testing::Test {
protected:
    Corruption() {
        auto sliceSpec = signedSlice(arm64, "com.example.corrupt");
        sliceSpec.signature->entitlements = PlistDictionary{{"key", true}};
        image = MachOBuilder::thin(sliceSpec);
        bytes = image.bytes();
        layout = image.slices.front();
    }

    void expectNoIdentity() {
        EXPECT_EQ(MachOSignatureReader::readBytes(bytes), std::nullopt);
        bytes = image.bytes();
    }

    MachOImage image;
    std::vector<std::uint8_t> bytes;
    MachOSliceLayout layout;
};

TEST_F(Corruption, BaselineIsSigned) {
    EXPECT_EQ(MachOSignatureReader::readBytes(bytes)->identifier, "com.example.corrupt");
}

TEST_F(Corruption, LoadCommandsThatLie) {
    const bool le = false;
    MachOBuilder::put32(bytes, 20, 0xFFFFFFFF, le); // sizeofcmds
    expectNoIdentity();
    MachOBuilder::put32(bytes, 20, static_cast<std::uint32_t>(bytes.size()), le);
    expectNoIdentity();
    MachOBuilder::put32(bytes, 16, 1000, le); // ncmds beyond sizeofcmds
    expectNoIdentity();
    MachOBuilder::put32(bytes, layout.loadCommandsOffset + 4, 0, le); // cmdsize 0: no progress
    expectNoIdentity();
    MachOBuilder::put32(bytes, layout.loadCommandsOffset + 4, 4, le);
    expectNoIdentity();
    MachOBuilder::put32(bytes, layout.codeSignatureCommandOffset + 4, 12, le); // too short
    expectNoIdentity();
    MachOBuilder::put32(bytes, layout.codeSignatureCommandOffset + 4, 0x1000, le);
    expectNoIdentity();
    // Two signature commands: overwrite LC_UUID with a copy of LC_CODE_SIGNATURE.
    MachOBuilder::put32(bytes, layout.loadCommandsOffset, 0x1D, le);
    expectNoIdentity();
}

TEST_F(Corruption, SignatureRangeOutsideTheFile) {
    const bool le = false;
    const auto dataOffset = layout.codeSignatureCommandOffset + 8;
    const auto dataSize = layout.codeSignatureCommandOffset + 12;
    MachOBuilder::put32(bytes, dataOffset, static_cast<std::uint32_t>(bytes.size()), le);
    expectNoIdentity();
    MachOBuilder::put32(bytes, dataOffset, 0xFFFFFFF0, le);
    expectNoIdentity();
    MachOBuilder::put32(bytes, dataSize, 0xFFFFFFFF, le);
    expectNoIdentity();
    MachOBuilder::put32(bytes, dataSize, static_cast<std::uint32_t>(layout.superBlobSize - 1), le);
    expectNoIdentity(); // the SuperBlob claims more than the command grants
    MachOBuilder::put32(bytes, dataOffset, 0, le); // the Mach-O header is no SuperBlob
    expectNoIdentity();
}

TEST_F(Corruption, SuperBlobIndexThatLies) {
    const auto super = layout.superBlobOffset;
    MachOBuilder::put32(bytes, super, 0xfade0cc1);
    expectNoIdentity();
    MachOBuilder::put32(bytes, super + 4, 0xFFFFFFFF);
    expectNoIdentity();
    MachOBuilder::put32(bytes, super + 8, 0x80000000); // blob count 2^31
    expectNoIdentity();
    MachOBuilder::put32(bytes, super + 8, 1000);
    expectNoIdentity();
    // The CodeDirectory entry pointing at the SuperBlob itself, into the index, past the end.
    for (const std::uint32_t offset :
         {0u, 12u, 20u, static_cast<std::uint32_t>(layout.superBlobSize - 4), 0xFFFFFFF8u}) {
        MachOBuilder::put32(bytes, super + 12 + 4, offset);
        expectNoIdentity();
    }
    // The CodeDirectory entry overlapping the entitlements blob.
    MachOBuilder::put32(bytes, super + 12 + 4,
                        static_cast<std::uint32_t>(layout.entitlementsOffset - super));
    expectNoIdentity();
    // A blob whose length runs past the SuperBlob.
    MachOBuilder::put32(bytes, layout.entitlementsOffset + 4, 0x7FFFFFFF);
    expectNoIdentity();
    MachOBuilder::put32(bytes, layout.entitlementsOffset + 4, 4); // shorter than its header
    expectNoIdentity();
    // No CodeDirectory at all: slot 0 renamed to slot 1.
    MachOBuilder::put32(bytes, super + 12, 1);
    expectNoIdentity();
    // Two primary CodeDirectories.
    MachOBuilder::put32(bytes, super + 12 + 8, 0);
    expectNoIdentity();
}

TEST_F(Corruption, CodeDirectoryThatLies) {
    const auto cd = layout.codeDirectoryOffset;
    MachOBuilder::put32(bytes, cd, 0xfade0c03);
    expectNoIdentity();
    for (const std::uint32_t version : {0u, 0x20000u, 0x2F001u, 0xFFFFFFFFu}) {
        MachOBuilder::put32(bytes, cd + 8, version);
        expectNoIdentity();
    }
    // Shorter than the 0x20400 header (88 bytes) it claims.
    MachOBuilder::put32(bytes, cd + 4, 60);
    expectNoIdentity();
    MachOBuilder::put32(bytes, cd + 20, 0xFFFFFFF0); // identOffset beyond the blob
    expectNoIdentity();
    MachOBuilder::put32(bytes, cd + 48, 0x7FFFFFFF); // teamOffset beyond the blob
    expectNoIdentity();
    MachOBuilder::put32(bytes, cd + 16, 0xFFFFFF00); // hash slots beyond the blob
    expectNoIdentity();
    MachOBuilder::put32(bytes, cd + 28, 0x10000000); // more code slots than the blob holds
    expectNoIdentity();

    // An identifier without a terminator inside the blob.
    const std::uint32_t length = (std::uint32_t{bytes[cd + 4]} << 24) |
                                 (std::uint32_t{bytes[cd + 5]} << 16) |
                                 (std::uint32_t{bytes[cd + 6]} << 8) | bytes[cd + 7];
    MachOBuilder::put32(bytes, cd + 24, 0); // no special slots, no code slots:
    MachOBuilder::put32(bytes, cd + 28, 0); // the hash area is free to overwrite
    for (std::uint64_t at = cd + 88; at < cd + length; ++at) {
        bytes[at] = 'A';
    }
    MachOBuilder::put32(bytes, cd + 48, 0); // no team
    expectNoIdentity();
}

TEST(MachOSignatureReader, UniversalHeadersThatLie) {
    const auto fat = MachOBuilder::universal(
        {signedSlice(arm64, "com.example.fat"), signedSlice(x86_64, "com.example.fat")});
    auto corrupt = [&](std::uint64_t offset, std::uint32_t value) {
        auto copy = fat.bytes();
        MachOBuilder::put32(copy, offset, value);
        return MachOSignatureReader::readBytes(copy);
    };
    EXPECT_EQ(corrupt(4, 0x80000000), std::nullopt); // 2^31 slices
    EXPECT_EQ(corrupt(4, 1000), std::nullopt);
    EXPECT_EQ(corrupt(4, 0), std::nullopt);
    // The arm64 slice pointing nowhere: the x86_64 slice still answers.
    EXPECT_EQ(corrupt(8 + 8, 0xFFFFF000)->identifier, "com.example.fat");
    EXPECT_EQ(corrupt(8 + 12, 0xFFFFF000)->identifier, "com.example.fat");
    // A slice pointing at the fat header itself is no Mach-O image.
    auto both = fat.bytes();
    MachOBuilder::put32(both, 8 + 8, 0);
    MachOBuilder::put32(both, 8 + 20 + 8, 0);
    EXPECT_EQ(MachOSignatureReader::readBytes(both), std::nullopt);
}

TEST(MachOSignatureReader, LargeFilesCostWhatSmallOnesDo) {
    TemporaryDirectory dir;
    auto sliceSpec = signedSlice(arm64, "com.example.large");
    sliceSpec.codeSize = 80ull * 1024 * 1024;
    sliceSpec.signature->entitlements = PlistDictionary{{"com.apple.security.app-sandbox", true}};
    const auto file = dir / "large";
    MachOBuilder::write(file, MachOBuilder::thin(sliceSpec));

    auto source = ByteSource::openFile(file);
    ASSERT_TRUE(source.has_value());
    const auto signature = MachOSignatureReader::readSignature(*source);
    ASSERT_TRUE(signature.has_value());
    EXPECT_EQ(signature->signature.signing.identifier, "com.example.large");
    // Headers, load commands, the index, the CodeDirectory's header and strings, entitlements:
    // a few kilobytes, although the CodeDirectory alone holds 20480 page hashes.
    EXPECT_LT(source->bytesRead(), 8u * 1024);
}

TEST(MachOSignatureReader, UnreadablePathsHaveNoIdentity) {
    TemporaryDirectory dir;
    EXPECT_EQ(MachOSignatureReader::readFile(dir.path()), std::nullopt);
    EXPECT_EQ(MachOSignatureReader::readFile(dir / "missing"), std::nullopt);
    const auto script = dir / "script";
    MachOBuilder::write(script, bytesOf("#!/bin/sh\n"));
    EXPECT_EQ(MachOSignatureReader::readFile(script), std::nullopt);
}

} // namespace
} // namespace zorvane
