// Writes seed corpora for the fuzz targets from the test fixture builders:
//     zorvane_fuzz_seeds <macho-corpus-dir> <info-plist-corpus-dir>
#include "shared/PlistCodec.h"
#include "tests/support/MachOBuilder.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace zorvane;

namespace {

void save(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void save(const std::filesystem::path& file, const std::string& text) {
    save(file, std::vector<std::uint8_t>(text.begin(), text.end()));
}

MachOSliceSpec slice(std::uint32_t cpuType, bool is64Bit, bool bigEndian) {
    auto sliceSpec = MachOBuilder::signedExecutable("com.example.seed", "TEAM123456");
    sliceSpec.cpuType = cpuType;
    sliceSpec.is64Bit = is64Bit;
    sliceSpec.bigEndian = bigEndian;
    sliceSpec.codeSize = 64;
    return sliceSpec;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <macho-corpus-dir> <info-plist-corpus-dir>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path macho = argv[1];
    const std::filesystem::path plist = argv[2];
    std::filesystem::create_directories(macho);
    std::filesystem::create_directories(plist);

    int n = 0;
    auto next = [&](const std::filesystem::path& dir) {
        return dir / ("seed-" + std::to_string(n++));
    };

    for (const bool is64Bit : {false, true}) {
        for (const bool bigEndian : {false, true}) {
            auto sliceSpec = slice(MachOSliceSpec::cpuTypeArm64, is64Bit, bigEndian);
            save(next(macho), MachOBuilder::thin(sliceSpec).bytes());
            sliceSpec.fileType = MachOFileType::Dylib;
            sliceSpec.signature->codeDirectoryVersion = 0x20100;
            save(next(macho), MachOBuilder::thin(sliceSpec).bytes());
        }
    }
    auto rich = slice(MachOSliceSpec::cpuTypeArm64, true, false);
    rich.signature->entitlements =
        PlistDictionary{{"com.apple.application-identifier", "TEAM123456.com.example.seed"},
                        {"com.apple.security.app-sandbox", true}};
    rich.signature->hashType = 1;
    rich.signature->alternates = {{"com.example.seed", "TEAM123456", 0x20500, 2}};
    save(next(macho), MachOBuilder::thin(rich).bytes());
    auto intel = slice(MachOSliceSpec::cpuTypeX86_64, true, false);
    MachOSliceSpec unsignedSlice;
    unsignedSlice.codeSize = 64;
    for (const auto format :
         {FatFormat::Fat32, FatFormat::Fat64, FatFormat::Fat32Swapped, FatFormat::Fat64Swapped}) {
        // Universal slices are 16 KiB apart; the seeds stay small with short slices.
        save(next(macho), MachOBuilder::universal({unsignedSlice, intel}, format).bytes());
    }
    save(next(macho), MachOBuilder::universal({rich, intel}, FatFormat::Fat32).bytes());

    const PlistDictionary info{{"CFBundleIdentifier", "com.example.seed"},
                               {"CFBundleExecutable", "Seed"},
                               {"CFBundleName", "Seed"},
                               {"CFBundleDisplayName", "Seed App"},
                               {"CFBundleVersion", "1"},
                               {"LSMinimumSystemVersion", "12.0"},
                               {"NSHighResolutionCapable", true},
                               {"CFBundleDocumentTypes", PlistArray{PlistDictionary{{"x", 1}}}}};
    save(next(plist), PlistCodec::toXml(info));
    save(next(plist), PlistCodec::toBinary(info));
    save(next(plist), PlistCodec::toXml(PlistDictionary{{"CFBundleExecutable", "../escape"}}));
    save(next(plist), PlistCodec::toBinary(PlistArray{"CFBundleExecutable", 2.5, Date{1.0}}));
    std::printf("wrote %d seeds\n", n);
    return 0;
}
