#include "MachOBuilder.h"

#include "shared/PlistCodec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvane {
namespace {

constexpr std::uint32_t pageSize = 4096;
constexpr std::uint32_t fatAlignmentShift = 14;
constexpr std::uint32_t specialSlotCount = 7;

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Appends integers in one byte order.
class ByteWriter {
public:
    explicit ByteWriter(bool bigEndian) : bigEndian_(bigEndian) {}

    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void u32(std::uint32_t value) { put(value, 4); }
    void u64(std::uint64_t value) { put(value, 8); }
    void cString(const std::string& text) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back(0);
    }
    void append(std::span<const std::uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    void padTo(std::size_t size) {
        if (bytes_.size() < size) {
            bytes_.resize(size, 0);
        }
    }
    void set32(std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            const int shift = bigEndian_ ? 24 - 8 * i : 8 * i;
            bytes_[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> shift);
        }
    }
    std::size_t size() const { return bytes_.size(); }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
    void put(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            const int shift = bigEndian_ ? 8 * (width - 1 - i) : 8 * i;
            bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }

    bool bigEndian_;
    std::vector<std::uint8_t> bytes_;
};

std::uint8_t hashSizeFor(std::uint8_t hashType) {
    switch (hashType) {
    case 1:
    case 3:
        return 20;
    case 4:
        return 48;
    default:
        return 32;
    }
}

std::uint32_t codeDirectoryHeaderSize(std::uint32_t version) {
    if (version >= 0x20500) {
        return 96;
    }
    if (version >= 0x20400) {
        return 88;
    }
    if (version >= 0x20300) {
        return 64;
    }
    if (version >= 0x20200) {
        return 52;
    }
    if (version >= 0x20100) {
        return 48;
    }
    return 44;
}

std::vector<std::uint8_t> codeDirectory(const AlternateCodeDirectorySpec& sliceSpec,
                                        std::uint32_t codeLimit, bool executable) {
    const std::uint32_t headerSize = codeDirectoryHeaderSize(sliceSpec.version);
    const std::uint8_t hashSize = hashSizeFor(sliceSpec.hashType);
    const std::uint32_t codeSlots = (codeLimit + pageSize - 1) / pageSize;
    const bool writesTeam = sliceSpec.version >= 0x20200 && sliceSpec.teamIdentifier.has_value();

    ByteWriter strings(true);
    const std::uint32_t identOffset = headerSize;
    strings.cString(sliceSpec.identifier);
    std::uint32_t teamOffset = 0;
    if (writesTeam) {
        teamOffset = headerSize + static_cast<std::uint32_t>(strings.size());
        strings.cString(*sliceSpec.teamIdentifier);
    }
    const auto stringsSize = static_cast<std::uint32_t>(strings.size());
    const std::uint32_t hashOffset = headerSize + stringsSize + specialSlotCount * hashSize;
    const std::uint32_t length = hashOffset + codeSlots * hashSize;

    ByteWriter cd(true);
    cd.u32(0xfade0c02);
    cd.u32(length);
    cd.u32(sliceSpec.version);
    cd.u32(writesTeam ? 0x10000 : 0x2); // runtime, or ad hoc
    cd.u32(hashOffset);
    cd.u32(identOffset);
    cd.u32(specialSlotCount);
    cd.u32(codeSlots);
    cd.u32(codeLimit);
    cd.u8(hashSize);
    cd.u8(sliceSpec.hashType);
    cd.u8(0);  // platform
    cd.u8(12); // log2 of the page size
    cd.u32(0); // spare2
    if (sliceSpec.version >= 0x20100) {
        cd.u32(0); // scatterOffset
    }
    if (sliceSpec.version >= 0x20200) {
        cd.u32(teamOffset);
    }
    if (sliceSpec.version >= 0x20300) {
        cd.u32(0); // spare3
        cd.u64(0); // codeLimit64
    }
    if (sliceSpec.version >= 0x20400) {
        cd.u64(0);                  // execSegBase
        cd.u64(codeLimit);          // execSegLimit
        cd.u64(executable ? 1 : 0); // execSegFlags: main binary
    }
    if (sliceSpec.version >= 0x20500) {
        cd.u32(0); // runtime
        cd.u32(0); // preEncryptOffset
    }
    cd.padTo(headerSize);
    const auto stringBytes = strings.take();
    cd.append(stringBytes);
    // Stand-in hashes: the reader never checks them, but they give the directory its real size.
    const std::uint32_t hashBytes = (specialSlotCount + codeSlots) * hashSize;
    for (std::uint32_t i = 0; i < hashBytes; ++i) {
        cd.u8(static_cast<std::uint8_t>(i * 131u + 7u));
    }
    return cd.take();
}

std::vector<std::uint8_t> simpleBlob(std::uint32_t magic, std::span<const std::uint8_t> payload) {
    ByteWriter blob(true);
    blob.u32(magic);
    blob.u32(static_cast<std::uint32_t>(8 + payload.size()));
    blob.append(payload);
    return blob.take();
}

struct SignatureLayout {
    std::vector<std::uint8_t> bytes; // padded to a multiple of 16, as codesign does
    std::uint32_t superBlobSize = 0;
    std::uint64_t codeDirectoryOffset = 0; // relative to the SuperBlob
    std::uint64_t entitlementsOffset = 0;
    std::vector<std::uint64_t> alternateOffsets;
};

SignatureLayout embeddedSignature(const MachOSignatureSpec& sliceSpec, std::uint32_t codeLimit,
                                  bool executable) {
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> blobs;
    blobs.emplace_back(0, codeDirectory({sliceSpec.identifier, sliceSpec.teamIdentifier,
                                         sliceSpec.codeDirectoryVersion, sliceSpec.hashType},
                                        codeLimit, executable));
    const std::uint8_t emptyRequirements[] = {0, 0, 0, 0};
    blobs.emplace_back(2, simpleBlob(0xfade0c01, emptyRequirements));
    std::optional<std::string> entitlements = sliceSpec.rawEntitlements;
    if (!entitlements && sliceSpec.entitlements) {
        entitlements = PlistCodec::toXml(*sliceSpec.entitlements);
    }
    if (entitlements) {
        blobs.emplace_back(
            5, simpleBlob(0xfade7171,
                          std::span(reinterpret_cast<const std::uint8_t*>(entitlements->data()),
                                    entitlements->size())));
    }
    for (std::size_t i = 0; i < sliceSpec.alternates.size(); ++i) {
        blobs.emplace_back(0x1000 + static_cast<std::uint32_t>(i),
                           codeDirectory(sliceSpec.alternates[i], codeLimit, executable));
    }
    blobs.emplace_back(0x10000, simpleBlob(0xfade0b01, {}));

    SignatureLayout layout;
    ByteWriter super(true);
    std::uint32_t offset = 12 + 8 * static_cast<std::uint32_t>(blobs.size());
    std::uint32_t length = offset;
    for (const auto& blob : blobs) {
        length += static_cast<std::uint32_t>(blob.second.size());
    }
    super.u32(0xfade0cc0);
    super.u32(length);
    super.u32(static_cast<std::uint32_t>(blobs.size()));
    for (const auto& [slot, bytes] : blobs) {
        super.u32(slot);
        super.u32(offset);
        if (slot == 0) {
            layout.codeDirectoryOffset = offset;
        } else if (slot == 5) {
            layout.entitlementsOffset = offset;
        } else if (slot >= 0x1000 && slot < 0x10000) {
            layout.alternateOffsets.push_back(offset);
        }
        offset += static_cast<std::uint32_t>(bytes.size());
    }
    for (const auto& blob : blobs) {
        super.append(blob.second);
    }
    layout.superBlobSize = length;
    super.padTo(alignUp(length, 16));
    layout.bytes = super.take();
    return layout;
}

// One slice with offsets relative to its start.
MachOImage slice(const MachOSliceSpec& sliceSpec) {
    const std::uint32_t headerSize = sliceSpec.is64Bit ? 32 : 28;
    const bool signedSlice = sliceSpec.signature.has_value();
    const std::uint32_t uuidCommandSize = 24;
    const std::uint32_t signatureCommandSize = 16;
    const std::uint32_t commandsSize = uuidCommandSize + (signedSlice ? signatureCommandSize : 0);
    const std::uint64_t codeStart = alignUp(headerSize + commandsSize, 16);
    const std::uint64_t signatureOffset = alignUp(codeStart + sliceSpec.codeSize, 16);
    if (signatureOffset > 0xFFFFFFFFu) {
        throw std::runtime_error("slice too large for a 32-bit signature offset");
    }

    SignatureLayout signature;
    if (signedSlice) {
        signature =
            embeddedSignature(*sliceSpec.signature, static_cast<std::uint32_t>(signatureOffset),
                              sliceSpec.fileType == MachOFileType::Executable);
    }

    ByteWriter head(sliceSpec.bigEndian);
    head.u32(sliceSpec.is64Bit ? 0xFEEDFACF : 0xFEEDFACE);
    head.u32(sliceSpec.cpuType);
    head.u32(sliceSpec.cpuSubtype);
    head.u32(static_cast<std::uint32_t>(sliceSpec.fileType));
    head.u32(signedSlice ? 2 : 1);
    head.u32(commandsSize);
    head.u32(0x00200085); // NOUNDEFS | DYLDLINK | TWOLEVEL | PIE
    if (sliceSpec.is64Bit) {
        head.u32(0); // reserved
    }
    head.u32(0x1B); // LC_UUID
    head.u32(uuidCommandSize);
    for (std::uint8_t i = 0; i < 16; ++i) {
        head.u8(static_cast<std::uint8_t>(0xA0 + i));
    }
    MachOSliceLayout layout;
    layout.loadCommandsOffset = headerSize;
    if (signedSlice) {
        layout.codeSignatureCommandOffset = head.size();
        head.u32(0x1D); // LC_CODE_SIGNATURE
        head.u32(signatureCommandSize);
        head.u32(static_cast<std::uint32_t>(signatureOffset));
        head.u32(static_cast<std::uint32_t>(signature.bytes.size()));
    }

    MachOImage image;
    image.pieces.push_back({0, head.take()});
    if (signedSlice) {
        layout.superBlobOffset = signatureOffset;
        layout.superBlobSize = signature.superBlobSize;
        layout.codeDirectoryOffset = signatureOffset + signature.codeDirectoryOffset;
        if (signature.entitlementsOffset != 0) {
            layout.entitlementsOffset = signatureOffset + signature.entitlementsOffset;
        }
        for (auto offset : signature.alternateOffsets) {
            layout.alternateCodeDirectoryOffsets.push_back(signatureOffset + offset);
        }
        image.size = signatureOffset + signature.bytes.size();
        image.pieces.push_back({signatureOffset, std::move(signature.bytes)});
    } else {
        image.size = codeStart + sliceSpec.codeSize;
    }
    layout.sliceSize = image.size;
    image.slices.push_back(layout);
    return image;
}

void shift(MachOSliceLayout& layout, std::uint64_t by) {
    layout.sliceOffset += by;
    layout.loadCommandsOffset += by;
    for (auto* field : {&layout.codeSignatureCommandOffset, &layout.superBlobOffset,
                        &layout.codeDirectoryOffset, &layout.entitlementsOffset}) {
        if (*field != 0) {
            *field += by;
        }
    }
    for (auto& offset : layout.alternateCodeDirectoryOffsets) {
        offset += by;
    }
}

class FileHandle {
public:
    explicit FileHandle(const std::filesystem::path& file)
        : fd_(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755)), file_(file) {
        if (fd_ < 0) {
            fail("open");
        }
        ::fchmod(fd_, 0755);
    }
    ~FileHandle() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    void writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                       static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                fail("write");
            }
            done += static_cast<std::size_t>(n);
        }
    }
    void truncate(std::uint64_t size) {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
            fail("truncate");
        }
    }

private:
    [[noreturn]] void fail(const char* what) const {
        throw std::runtime_error(std::string("cannot ") + what + " " + file_.string() + ": " +
                                 std::strerror(errno));
    }

    int fd_;
    std::filesystem::path file_;
};

} // namespace

std::vector<std::uint8_t> MachOImage::bytes() const {
    std::vector<std::uint8_t> result(static_cast<std::size_t>(size), 0);
    for (const auto& piece : pieces) {
        std::copy(piece.bytes.begin(), piece.bytes.end(),
                  result.begin() + static_cast<std::ptrdiff_t>(piece.offset));
    }
    return result;
}

MachOImage MachOBuilder::thin(const MachOSliceSpec& sliceSpec) {
    return slice(sliceSpec);
}

MachOImage MachOBuilder::universal(const std::vector<MachOSliceSpec>& specs, FatFormat format) {
    const bool wide = format == FatFormat::Fat64 || format == FatFormat::Fat64Swapped;
    const bool swapped = format == FatFormat::Fat32Swapped || format == FatFormat::Fat64Swapped;
    ByteWriter header(!swapped);
    header.u32(wide ? 0xCAFEBABF : 0xCAFEBABE);
    header.u32(static_cast<std::uint32_t>(specs.size()));
    const std::uint64_t alignment = std::uint64_t{1} << fatAlignmentShift;

    MachOImage image;
    std::uint64_t offset = alignUp(8 + specs.size() * (wide ? 32 : 20), alignment);
    std::vector<MachOImage> slices;
    for (const auto& sliceSpec : specs) {
        auto part = slice(sliceSpec);
        header.u32(sliceSpec.cpuType);
        header.u32(sliceSpec.cpuSubtype);
        if (wide) {
            header.u64(offset);
            header.u64(part.size);
            header.u32(fatAlignmentShift);
            header.u32(0);
        } else {
            header.u32(static_cast<std::uint32_t>(offset));
            header.u32(static_cast<std::uint32_t>(part.size));
            header.u32(fatAlignmentShift);
        }
        for (auto& piece : part.pieces) {
            image.pieces.push_back({piece.offset + offset, std::move(piece.bytes)});
        }
        auto layout = part.slices.front();
        shift(layout, offset);
        image.slices.push_back(std::move(layout));
        image.size = offset + part.size;
        offset = alignUp(image.size, alignment);
    }
    image.pieces.insert(image.pieces.begin(), MachOImage::Piece{0, header.take()});
    if (image.size == 0) {
        image.size = image.pieces.front().bytes.size();
    }
    return image;
}

MachOSliceSpec MachOBuilder::signedExecutable(std::string identifier,
                                              std::optional<std::string> teamIdentifier) {
    MachOSliceSpec sliceSpec;
    MachOSignatureSpec signature;
    signature.identifier = std::move(identifier);
    signature.teamIdentifier = std::move(teamIdentifier);
    sliceSpec.signature = std::move(signature);
    return sliceSpec;
}

void MachOBuilder::write(const std::filesystem::path& file, const MachOImage& image,
                         FillMode fill) {
    FileHandle handle(file);
    if (fill == FillMode::Random) {
        // xorshift64: incompressible enough that nothing along the way can shortcut the bytes.
        std::uint64_t state = 0x9E3779B97F4A7C15ull;
        std::vector<std::uint8_t> chunk(1 << 20);
        for (std::uint64_t at = 0; at < image.size; at += chunk.size()) {
            for (std::size_t i = 0; i < chunk.size(); i += 8) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                std::memcpy(chunk.data() + i, &state, 8);
            }
            const auto length =
                static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), image.size - at));
            handle.writeAt(at, std::span(chunk.data(), length));
        }
    } else {
        handle.truncate(image.size);
    }
    for (const auto& piece : image.pieces) {
        handle.writeAt(piece.offset, piece.bytes);
    }
}

void MachOBuilder::write(const std::filesystem::path& file, std::span<const std::uint8_t> bytes) {
    FileHandle handle(file);
    handle.writeAt(0, bytes);
}

void MachOBuilder::put32(std::vector<std::uint8_t>& bytes, std::uint64_t offset,
                         std::uint32_t value, bool bigEndian) {
    for (int i = 0; i < 4; ++i) {
        const int shift = bigEndian ? 24 - 8 * i : 8 * i;
        bytes.at(static_cast<std::size_t>(offset) + static_cast<std::size_t>(i)) =
            static_cast<std::uint8_t>(value >> shift);
    }
}

void MachOBuilder::put64(std::vector<std::uint8_t>& bytes, std::uint64_t offset,
                         std::uint64_t value, bool bigEndian) {
    for (int i = 0; i < 8; ++i) {
        const int shift = bigEndian ? 56 - 8 * i : 8 * i;
        bytes.at(static_cast<std::size_t>(offset) + static_cast<std::size_t>(i)) =
            static_cast<std::uint8_t>(value >> shift);
    }
}

} // namespace zorvane
