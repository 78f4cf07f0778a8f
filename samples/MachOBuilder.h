#pragma once

#include "shared/PlistValue.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zorvane {

// Synthetic Mach-O files with embedded code signatures, for tests, fuzz seeds, benchmarks and the
// sample applications.
//
// A slice is laid out as a real linker and codesign would: Mach-O header, load commands (LC_UUID
// and, when signed, LC_CODE_SIGNATURE), the "code" (codeSize bytes, left as a gap), then the
// embedded signature: a SuperBlob with the CodeDirectory (slot 0), an empty requirements set
// (slot 2), the XML entitlements (slot 5) when given, alternate CodeDirectories (0x1000 + i) and
// an empty CMS wrapper (0x10000). The CodeDirectory carries one hash slot per 4096-byte page of
// code, filled with stand-in bytes (nothing here computes real hashes).
//
// Typical use:
//     MachOSliceSpec slice;                       // 64-bit little-endian arm64 executable
//     slice.signature = MachOSignatureSpec{"com.example.tool", "TEAM123456"};
//     auto bytes = MachOBuilder::thin(slice).bytes();
//     auto fat = MachOBuilder::universal({arm, intel}, FatFormat::Fat64);
//     MachOBuilder::write(dir / "tool", fat);    // mode 0755
//
// Failures to write throw std::runtime_error (fixture makers only, which end on it).

enum class MachOFileType : std::uint32_t { Object = 1, Executable = 2, Dylib = 6, Bundle = 8 };

// The universal header forms: big-endian FAT_MAGIC / FAT_MAGIC_64, and the byte-swapped forms
// (magic bytes BE BA FE CA / BF BA FE CA, every field little-endian).
enum class FatFormat { Fat32, Fat64, Fat32Swapped, Fat64Swapped };

// How write() fills the bytes that no structure covers (the code of large files).
enum class FillMode {
    Sparse, // a hole: cheap to make, reads as zeros without touching the disk
    Random, // pseudo-random bytes really written, so the file occupies the disk and the cache
};

struct AlternateCodeDirectorySpec {
    std::string identifier;
    std::optional<std::string> teamIdentifier;
    std::uint32_t version = 0x20400;
    std::uint8_t hashType = 2; // 1 SHA-1, 2 SHA-256, 3 SHA-256 truncated, 4 SHA-384
};

struct MachOSignatureSpec {
    std::string identifier = "com.example.tool";
    // Written only when the version supports it (0x20200 or later).
    std::optional<std::string> teamIdentifier;
    std::uint32_t codeDirectoryVersion = 0x20400;
    std::uint8_t hashType = 2;
    // Written as an XML property list into the entitlements blob (magic 0xfade7171).
    std::optional<PlistValue> entitlements;
    // Written as is into the entitlements blob instead of `entitlements`, when set.
    std::optional<std::string> rawEntitlements;
    // Written into slots 0x1000, 0x1001, ... in this order.
    std::vector<AlternateCodeDirectorySpec> alternates;
};

struct MachOSliceSpec {
    static constexpr std::uint32_t cpuTypeX86_64 = 0x01000007;
    static constexpr std::uint32_t cpuTypeArm64 = 0x0100000C;
    static constexpr std::uint32_t cpuTypeI386 = 7;
    static constexpr std::uint32_t cpuTypePowerPC = 18;

    bool is64Bit = true;
    bool bigEndian = false; // byte order of the Mach-O header and load commands
    std::uint32_t cpuType = cpuTypeArm64;
    std::uint32_t cpuSubtype = 0;
    MachOFileType fileType = MachOFileType::Executable;
    std::optional<MachOSignatureSpec> signature; // none: an unsigned slice
    std::uint64_t codeSize = 4096;               // bytes between load commands and signature
};

// Where the structures of one slice ended up, as absolute file offsets (for tests that corrupt
// them). Offsets of absent structures are 0.
struct MachOSliceLayout {
    std::uint64_t sliceOffset = 0;
    std::uint64_t sliceSize = 0;
    std::uint64_t loadCommandsOffset = 0;
    std::uint64_t codeSignatureCommandOffset = 0; // the LC_CODE_SIGNATURE command itself
    std::uint64_t superBlobOffset = 0;
    std::uint64_t superBlobSize = 0;
    std::uint64_t codeDirectoryOffset = 0;
    std::uint64_t entitlementsOffset = 0;
    std::vector<std::uint64_t> alternateCodeDirectoryOffsets;
};

// A file as pieces of bytes at offsets within a total size; the gaps are the code.
struct MachOImage {
    struct Piece {
        std::uint64_t offset = 0;
        std::vector<std::uint8_t> bytes;
    };
    std::uint64_t size = 0;
    std::vector<Piece> pieces;
    std::vector<MachOSliceLayout> slices;

    // The whole file in memory, gaps as zeros.
    std::vector<std::uint8_t> bytes() const;
};

class MachOBuilder {
public:
    static MachOImage thin(const MachOSliceSpec& slice);
    // Slices aligned to 16 KiB, in the given order.
    static MachOImage universal(const std::vector<MachOSliceSpec>& slices,
                                FatFormat format = FatFormat::Fat32);

    // A 64-bit arm64 executable signed with the given identity.
    static MachOSliceSpec signedExecutable(std::string identifier,
                                           std::optional<std::string> teamIdentifier = {});

    static void write(const std::filesystem::path& file, const MachOImage& image,
                      FillMode fill = FillMode::Sparse);
    static void write(const std::filesystem::path& file, std::span<const std::uint8_t> bytes);

    // Overwrites 4 or 8 bytes of a file image in the given byte order (for corrupting fields).
    static void put32(std::vector<std::uint8_t>& bytes, std::uint64_t offset, std::uint32_t value,
                      bool bigEndian = true);
    static void put64(std::vector<std::uint8_t>& bytes, std::uint64_t offset, std::uint64_t value,
                      bool bigEndian = true);
};

} // namespace zorvane
