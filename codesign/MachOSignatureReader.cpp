#include "MachOSignatureReader.h"

#include "ByteOrder.h"

#include <array>
#include <vector>

namespace zorvane {
namespace {

using Endian = ByteOrder::Endian;

constexpr std::uint32_t machMagic = 0xFEEDFACE;
constexpr std::uint32_t machMagic64 = 0xFEEDFACF;
constexpr std::uint32_t machCigam = 0xCEFAEDFE;
constexpr std::uint32_t machCigam64 = 0xCFFAEDFE;

constexpr std::uint32_t fatMagic = 0xCAFEBABE;
constexpr std::uint32_t fatMagic64 = 0xCAFEBABF;
constexpr std::uint32_t fatCigam = 0xBEBAFECA;
constexpr std::uint32_t fatCigam64 = 0xBFBAFECA;

constexpr std::uint32_t fileTypeExecute = 2;
constexpr std::uint32_t loadCommandCodeSignature = 0x1D;

constexpr std::uint64_t machHeaderSize = 28;
constexpr std::uint64_t machHeader64Size = 32;
constexpr std::uint64_t fatHeaderSize = 8;
constexpr std::uint64_t fatArchSize = 20;
constexpr std::uint64_t fatArch64Size = 32;
constexpr std::uint64_t loadCommandHeaderSize = 8;
constexpr std::uint64_t linkeditDataCommandSize = 16;

// Load commands of real images take a few kilobytes, rarely more than a hundred; the cap keeps
// a forged sizeofcmds from making us allocate and read the whole file.
constexpr std::uint32_t maximumLoadCommandsSize = 4 * 1024 * 1024;

// Universal files carry a handful of slices. Java class files share FAT_MAGIC, and their
// version numbers (45 and up) sit where the slice count would be, so a small cap also tells the
// two apart before any slice is looked at.
constexpr std::uint32_t maximumFatArchitectures = 32;

// What the thin header test of the "is executable" check makes of up to 32 header bytes: the
// file type when the bytes start with a Mach-O magic in either byte order.
std::optional<std::uint32_t> thinFileType(std::span<const std::uint8_t> header) {
    if (header.size() < 16) {
        return std::nullopt;
    }
    const std::uint32_t magic = ByteOrder::le32(header, 0);
    if (magic == machMagic || magic == machMagic64) {
        return ByteOrder::le32(header, 12);
    }
    if (magic == machCigam || magic == machCigam64) {
        return ByteOrder::be32(header, 12);
    }
    return std::nullopt;
}

// The slice [offset, offset + size) of the source, read as a thin Mach-O image.
std::optional<MachOSignature> readThin(ByteSource& source, std::uint64_t offset,
                                       std::uint64_t size) {
    std::array<std::uint8_t, machHeader64Size> header{};
    if (size < machHeaderSize) {
        return std::nullopt;
    }
    const auto headerBytes = std::min<std::uint64_t>(size, header.size());
    if (!source.read(offset, std::span(header.data(), headerBytes))) {
        return std::nullopt;
    }
    const std::uint32_t magic = ByteOrder::le32(header, 0);
    Endian endian = Endian::Little;
    std::uint64_t headerSize = machHeaderSize;
    switch (magic) {
    case machMagic:
        break;
    case machMagic64:
        headerSize = machHeader64Size;
        break;
    case machCigam:
        endian = Endian::Big;
        break;
    case machCigam64:
        endian = Endian::Big;
        headerSize = machHeader64Size;
        break;
    default:
        return std::nullopt;
    }
    if (size < headerSize) {
        return std::nullopt;
    }
    const std::uint32_t cpuType = ByteOrder::u32(header, 4, endian);
    const std::uint32_t commandCount = ByteOrder::u32(header, 16, endian);
    const std::uint32_t commandsSize = ByteOrder::u32(header, 20, endian);
    if (commandsSize > maximumLoadCommandsSize || headerSize + commandsSize > size) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> commands(commandsSize);
    if (!source.read(offset + headerSize, commands)) {
        return std::nullopt;
    }

    std::optional<std::pair<std::uint32_t, std::uint32_t>> signatureRange;
    std::uint64_t position = 0;
    for (std::uint32_t i = 0; i < commandCount; ++i) {
        if (position + loadCommandHeaderSize > commands.size()) {
            return std::nullopt;
        }
        const std::uint32_t command = ByteOrder::u32(commands, position, endian);
        const std::uint32_t commandSize = ByteOrder::u32(commands, position + 4, endian);
        if (commandSize < loadCommandHeaderSize || position + commandSize > commands.size()) {
            return std::nullopt;
        }
        if (command == loadCommandCodeSignature) {
            // A second signature command makes the image ambiguous; the loader refuses it too.
            if (signatureRange || commandSize < linkeditDataCommandSize) {
                return std::nullopt;
            }
            signatureRange = {ByteOrder::u32(commands, position + 8, endian),
                              ByteOrder::u32(commands, position + 12, endian)};
        }
        position += commandSize;
    }
    if (!signatureRange) {
        return std::nullopt;
    }
    const auto [dataOffset, dataSize] = *signatureRange;
    if (std::uint64_t{dataOffset} + dataSize > size) {
        return std::nullopt;
    }
    auto signature = EmbeddedSignatureReader::read(source, offset + dataOffset, dataSize);
    if (!signature) {
        return std::nullopt;
    }
    return MachOSignature{std::move(*signature), cpuType, offset};
}

struct FatSlice {
    std::uint32_t cpuType = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// Slices of a universal file; empty when the bytes do not start a universal header.
std::optional<std::vector<FatSlice>> readFatSlices(ByteSource& source) {
    std::array<std::uint8_t, fatHeaderSize> header{};
    if (!source.read(0, header)) {
        return std::nullopt;
    }
    const std::uint32_t magic = ByteOrder::be32(header, 0);
    Endian endian = Endian::Big;
    bool wide = false;
    switch (magic) {
    case fatMagic:
        break;
    case fatMagic64:
        wide = true;
        break;
    case fatCigam:
        endian = Endian::Little;
        break;
    case fatCigam64:
        endian = Endian::Little;
        wide = true;
        break;
    default:
        return std::nullopt;
    }
    const std::uint32_t count = ByteOrder::u32(header, 4, endian);
    if (count == 0 || count > maximumFatArchitectures) {
        return std::nullopt;
    }
    const std::uint64_t entrySize = wide ? fatArch64Size : fatArchSize;
    const std::uint64_t tableEnd = fatHeaderSize + count * entrySize;
    std::vector<std::uint8_t> table(static_cast<std::size_t>(count * entrySize));
    if (!source.read(fatHeaderSize, table)) {
        return std::nullopt;
    }
    std::vector<FatSlice> slices;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = i * entrySize;
        FatSlice slice;
        slice.cpuType = ByteOrder::u32(table, at, endian);
        slice.offset =
            wide ? ByteOrder::u64(table, at + 8, endian) : ByteOrder::u32(table, at + 8, endian);
        slice.size =
            wide ? ByteOrder::u64(table, at + 16, endian) : ByteOrder::u32(table, at + 12, endian);
        // A slice that overlaps the fat header or runs past the end of the file is unusable;
        // the others may still be fine.
        if (slice.offset < tableEnd || slice.offset > source.size() ||
            slice.size > source.size() - slice.offset) {
            slice.size = 0;
        }
        slices.push_back(slice);
    }
    return slices;
}

} // namespace

std::optional<MachOSignature> MachOSignatureReader::readSignature(ByteSource& source) {
    auto slices = readFatSlices(source);
    if (!slices) {
        return readThin(source, 0, source.size());
    }
    std::optional<MachOSignature> chosen;
    auto preference = [](std::uint32_t cpuType) {
        if (cpuType == cpuTypeArm64) {
            return 0;
        }
        if (cpuType == cpuTypeX86_64) {
            return 1;
        }
        return 2;
    };
    for (const auto& slice : *slices) {
        if (slice.size == 0) {
            continue;
        }
        auto signature = readThin(source, slice.offset, slice.size);
        // The slice's own header names its CPU; the fat table's entry could disagree.
        if (signature &&
            (!chosen || preference(signature->cpuType) < preference(chosen->cpuType))) {
            chosen = std::move(signature);
            if (preference(chosen->cpuType) == 0) {
                break;
            }
        }
    }
    return chosen;
}

std::optional<SigningInformation>
MachOSignatureReader::readFile(const std::filesystem::path& file) {
    auto source = ByteSource::openFile(file);
    if (!source) {
        return std::nullopt;
    }
    auto signature = readSignature(*source);
    if (!signature) {
        return std::nullopt;
    }
    return std::move(signature->signature.signing);
}

std::optional<SigningInformation>
MachOSignatureReader::readBytes(std::span<const std::uint8_t> bytes) {
    auto source = ByteSource::ofMemory(bytes);
    auto signature = readSignature(source);
    if (!signature) {
        return std::nullopt;
    }
    return std::move(signature->signature.signing);
}

bool MachOSignatureReader::isMachOExecutable(ByteSource& source) {
    std::array<std::uint8_t, 32> buffer{};
    const auto length = source.readSome(0, buffer);
    if (!length) {
        return false;
    }
    const std::span<const std::uint8_t> header(buffer.data(), *length);
    if (const auto fileType = thinFileType(header)) {
        return *fileType == fileTypeExecute;
    }
    if (header.size() < 24) {
        return false;
    }
    std::uint64_t firstSlice = 0;
    switch (ByteOrder::be32(header, 0)) {
    case fatMagic:
        firstSlice = ByteOrder::be32(header, 16);
        break;
    case fatMagic64:
        firstSlice = ByteOrder::be64(header, 16);
        break;
    case fatCigam:
        firstSlice = ByteOrder::le32(header, 16);
        break;
    case fatCigam64:
        firstSlice = ByteOrder::le64(header, 16);
        break;
    default:
        return false;
    }
    const auto sliceLength = source.readSome(firstSlice, buffer);
    if (!sliceLength) {
        return false;
    }
    const auto fileType = thinFileType(std::span<const std::uint8_t>(buffer.data(), *sliceLength));
    return fileType && *fileType == fileTypeExecute;
}

bool MachOSignatureReader::isMachOExecutable(const std::filesystem::path& file) {
    auto source = ByteSource::openFile(file);
    return source && isMachOExecutable(*source);
}

bool MachOSignatureReader::isMachOExecutableHeader(std::span<const std::uint8_t> bytes) {
    auto source = ByteSource::ofMemory(bytes);
    return isMachOExecutable(source);
}

} // namespace zorvane
