#pragma once

#include "ByteSource.h"
#include "EmbeddedSignatureReader.h"
#include "SigningInformation.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace zorvane {

// The signature of the slice that a Mach-O file's signing information was taken from.
struct MachOSignature {
    EmbeddedSignature signature;
    // CPU type of the slice (as in its Mach-O header) and where the slice starts in the file.
    std::uint32_t cpuType = 0;
    std::uint64_t sliceOffset = 0;

    friend bool operator==(const MachOSignature&, const MachOSignature&) = default;
};

// Reads the code signature embedded in a Mach-O file, thin or universal, without the system's
// code-signing services, so that it works the same on every platform. Only headers, load
// commands and the needed parts of the signature are read; the signature is not validated.
//
// A universal file gives the signing information of one slice, chosen among the slices that
// carry a readable signature: the first arm64 slice in the file's order, else the first x86_64
// slice, else the first signed slice. That is the slice a Mac runs natively (arm64 on Apple
// silicon; x86_64 when there is no arm64 slice), so the identity matches what the user's Mac
// reports for the running program.
class MachOSignatureReader {
public:
    static constexpr std::uint32_t cpuTypeX86_64 = 0x01000007;
    static constexpr std::uint32_t cpuTypeArm64 = 0x0100000C;

    // Signing information of one Mach-O file (thin or universal); empty when unsigned, not
    // Mach-O, unreadable or malformed.
    static std::optional<SigningInformation> readFile(const std::filesystem::path& file);
    // The same from bytes in memory.
    static std::optional<SigningInformation> readBytes(std::span<const std::uint8_t> bytes);
    // The same with the facts of the chosen slice and CodeDirectory.
    static std::optional<MachOSignature> readSignature(ByteSource& source);

    // Whether the file's header identifies a Mach-O image of file type executable (MH_EXECUTE),
    // thin or through the first slice of a universal file. Reads at most 32 bytes, twice for
    // universal files.
    static bool isMachOExecutable(const std::filesystem::path& file);
    // The same over bytes in memory.
    static bool isMachOExecutableHeader(std::span<const std::uint8_t> bytes);
    static bool isMachOExecutable(ByteSource& source);
};

} // namespace zorvane
