#include "EmbeddedSignatureReader.h"

#include "ByteOrder.h"
#include "shared/PlistCodec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace zorvane {
namespace {

constexpr std::uint32_t embeddedSignatureMagic = 0xfade0cc0;
constexpr std::uint32_t codeDirectoryMagic = 0xfade0c02;
constexpr std::uint32_t entitlementsMagic = 0xfade7171;

constexpr std::uint32_t codeDirectorySlot = 0;
constexpr std::uint32_t entitlementsSlot = 5;
constexpr std::uint32_t firstAlternateCodeDirectorySlot = 0x1000;
constexpr std::uint32_t alternateCodeDirectoryLimit = 0x1005;

constexpr std::uint64_t superBlobHeaderSize = 12;
constexpr std::uint64_t indexEntrySize = 8;
constexpr std::uint64_t blobHeaderSize = 8;

// Real signatures index about a dozen blobs (CodeDirectory, requirements, entitlements in two
// forms, launch constraints, up to five alternate CodeDirectories, the CMS wrapper). The cap
// bounds the index read for a forged count; no genuine signature comes near it.
constexpr std::uint32_t maximumBlobCount = 256;

// Entitlements are a few kilobytes of XML; a larger blob is not parsed, so that a forged length
// cannot make us read and parse megabytes.
constexpr std::uint64_t maximumEntitlementsSize = 1024 * 1024;

// Versions outside this range are not CodeDirectories this reader (or the system's) understands.
constexpr std::uint32_t earliestVersion = 0x20001;
constexpr std::uint32_t compatibilityLimit = 0x2F000;
constexpr std::uint32_t supportsScatter = 0x20100;
constexpr std::uint32_t supportsTeamIdentifier = 0x20200;
constexpr std::uint32_t supportsCodeLimit64 = 0x20300;
constexpr std::uint32_t supportsExecutableSegment = 0x20400;
constexpr std::uint32_t supportsRuntime = 0x20500;

// Length of the fixed CodeDirectory header that a version promises.
constexpr std::uint64_t codeDirectoryHeaderSize(std::uint32_t version) {
    if (version >= supportsRuntime) {
        return 96;
    }
    if (version >= supportsExecutableSegment) {
        return 88;
    }
    if (version >= supportsCodeLimit64) {
        return 64;
    }
    if (version >= supportsTeamIdentifier) {
        return 52;
    }
    if (version >= supportsScatter) {
        return 48;
    }
    return 44;
}

// The system picks the CodeDirectory with the strongest hash it supports among the primary and
// the alternates; identities must come from the same one. Lower rank is preferred; unknown hash
// types are not usable.
std::optional<int> hashTypeRank(std::uint8_t hashType) {
    switch (hashType) {
    case 4: // SHA-384
        return 0;
    case 2: // SHA-256
        return 1;
    case 3: // SHA-256 truncated to 20 bytes
        return 2;
    case 1: // SHA-1
        return 3;
    default:
        return std::nullopt;
    }
}

struct Blob {
    std::uint32_t slot = 0;
    std::uint64_t offset = 0; // absolute, in the source
    std::uint32_t length = 0;
    std::uint32_t magic = 0;
};

// A NUL-terminated string that starts at `start` and must end before `end`; without a
// terminator in that range the blob is malformed.
std::optional<std::string> readCString(ByteSource& source, std::uint64_t start, std::uint64_t end) {
    std::string text;
    std::array<std::uint8_t, 256> chunk{};
    std::uint64_t position = start;
    while (position < end) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), end - position));
        const std::span<std::uint8_t> window(chunk.data(), length);
        if (!source.read(position, window)) {
            return std::nullopt;
        }
        const auto terminator = std::find(window.begin(), window.end(), std::uint8_t{0});
        text.append(reinterpret_cast<const char*>(window.data()),
                    static_cast<std::size_t>(terminator - window.begin()));
        if (terminator != window.end()) {
            return text;
        }
        position += length;
    }
    return std::nullopt;
}

std::optional<EmbeddedSignature> readCodeDirectory(ByteSource& source, const Blob& blob) {
    if (blob.magic != codeDirectoryMagic) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 96> header{};
    const auto available = std::min<std::uint64_t>(header.size(), blob.length);
    if (available < codeDirectoryHeaderSize(0) ||
        !source.read(blob.offset, std::span(header.data(), available))) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> h(header);
    const std::uint32_t version = ByteOrder::be32(h, 8);
    if (version < earliestVersion || version >= compatibilityLimit ||
        blob.length < codeDirectoryHeaderSize(version)) {
        return std::nullopt;
    }
    const std::uint32_t hashOffset = ByteOrder::be32(h, 16);
    const std::uint32_t identOffset = ByteOrder::be32(h, 20);
    const std::uint32_t specialSlots = ByteOrder::be32(h, 24);
    const std::uint32_t codeSlots = ByteOrder::be32(h, 28);
    const std::uint8_t hashSize = h[36];
    const std::uint8_t hashType = h[37];

    // The hash slots around hashOffset must lie inside the blob, or the directory is corrupt.
    const std::uint64_t specialBytes = std::uint64_t{hashSize} * specialSlots;
    const std::uint64_t codeBytes = std::uint64_t{hashSize} * codeSlots;
    if (specialBytes > hashOffset || hashOffset + codeBytes > blob.length) {
        return std::nullopt;
    }

    EmbeddedSignature result;
    result.codeDirectoryVersion = version;
    result.hashType = hashType;
    const std::uint64_t end = blob.offset + blob.length;
    if (identOffset >= blob.length) {
        return std::nullopt;
    }
    auto identifier = readCString(source, blob.offset + identOffset, end);
    if (!identifier) {
        return std::nullopt;
    }
    result.signing.identifier = std::move(*identifier);
    if (version >= supportsTeamIdentifier) {
        const std::uint32_t teamOffset = ByteOrder::be32(h, 48);
        if (teamOffset != 0) {
            if (teamOffset >= blob.length) {
                return std::nullopt;
            }
            auto team = readCString(source, blob.offset + teamOffset, end);
            if (!team) {
                return std::nullopt;
            }
            result.signing.teamIdentifier = std::move(*team);
        }
    }
    return result;
}

std::optional<PlistDictionary> readEntitlements(ByteSource& source, const Blob& blob) {
    if (blob.magic != entitlementsMagic || blob.length - blobHeaderSize > maximumEntitlementsSize) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> xml(blob.length - blobHeaderSize);
    if (!source.read(blob.offset + blobHeaderSize, xml)) {
        return std::nullopt;
    }
    auto value = PlistCodec::read(std::span<const std::uint8_t>(xml));
    if (!value || !value->isDictionary()) {
        return std::nullopt;
    }
    return *value->dictionary();
}

} // namespace

std::optional<EmbeddedSignature>
EmbeddedSignatureReader::read(ByteSource& source, std::uint64_t offset, std::uint64_t size) {
    if (size < superBlobHeaderSize || offset > source.size() || size > source.size() - offset) {
        return std::nullopt;
    }
    std::array<std::uint8_t, superBlobHeaderSize> header{};
    if (!source.read(offset, header)) {
        return std::nullopt;
    }
    const std::uint32_t magic = ByteOrder::be32(header, 0);
    const std::uint32_t length = ByteOrder::be32(header, 4);
    const std::uint32_t count = ByteOrder::be32(header, 8);
    if (magic != embeddedSignatureMagic || length < superBlobHeaderSize || length > size ||
        count > maximumBlobCount) {
        return std::nullopt;
    }
    const std::uint64_t indexEnd = superBlobHeaderSize + std::uint64_t{count} * indexEntrySize;
    if (indexEnd > length) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> index(static_cast<std::size_t>(indexEnd - superBlobHeaderSize));
    if (!source.read(offset + superBlobHeaderSize, index)) {
        return std::nullopt;
    }

    // Every indexed blob must lie after the index and inside the SuperBlob; a blob pointing into
    // the header or the index (or at itself) is a forged signature, not one to take facts from.
    std::vector<Blob> codeDirectories;
    std::optional<Blob> entitlements;
    for (std::uint32_t i = 0; i < count; ++i) {
        Blob blob;
        blob.slot = ByteOrder::be32(index, i * indexEntrySize);
        const std::uint32_t blobOffset = ByteOrder::be32(index, i * indexEntrySize + 4);
        if (blobOffset < indexEnd || std::uint64_t{blobOffset} + blobHeaderSize > length) {
            return std::nullopt;
        }
        std::array<std::uint8_t, blobHeaderSize> blobHeader{};
        if (!source.read(offset + blobOffset, blobHeader)) {
            return std::nullopt;
        }
        blob.offset = offset + blobOffset;
        blob.magic = ByteOrder::be32(blobHeader, 0);
        blob.length = ByteOrder::be32(blobHeader, 4);
        if (blob.length < blobHeaderSize || std::uint64_t{blobOffset} + blob.length > length) {
            return std::nullopt;
        }
        const bool isCodeDirectory =
            blob.slot == codeDirectorySlot || (blob.slot >= firstAlternateCodeDirectorySlot &&
                                               blob.slot < alternateCodeDirectoryLimit);
        if (isCodeDirectory) {
            const bool duplicate =
                std::any_of(codeDirectories.begin(), codeDirectories.end(),
                            [&](const Blob& other) { return other.slot == blob.slot; });
            if (duplicate) {
                return std::nullopt;
            }
            codeDirectories.push_back(blob);
        } else if (blob.slot == entitlementsSlot) {
            if (entitlements) {
                return std::nullopt;
            }
            entitlements = blob;
        }
    }

    const bool hasPrimary =
        std::any_of(codeDirectories.begin(), codeDirectories.end(),
                    [](const Blob& blob) { return blob.slot == codeDirectorySlot; });
    if (!hasPrimary) {
        return std::nullopt;
    }
    // Primary first, then the alternates by slot, so that equal hash types prefer the primary.
    std::sort(codeDirectories.begin(), codeDirectories.end(),
              [](const Blob& a, const Blob& b) { return a.slot < b.slot; });

    std::optional<EmbeddedSignature> best;
    std::optional<int> bestRank;
    for (const auto& blob : codeDirectories) {
        auto directory = readCodeDirectory(source, blob);
        if (!directory) {
            return std::nullopt;
        }
        const auto rank = hashTypeRank(directory->hashType);
        if (rank && (!bestRank || *rank < *bestRank)) {
            best = std::move(directory);
            bestRank = rank;
        }
    }
    if (!best) {
        return std::nullopt;
    }
    if (entitlements) {
        best->signing.entitlements = readEntitlements(source, *entitlements);
    }
    return best;
}

} // namespace zorvane
