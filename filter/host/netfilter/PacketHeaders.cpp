#include "filter/host/netfilter/PacketHeaders.h"

#include <algorithm>
#include <arpa/inet.h>

namespace zorvane {
namespace {

constexpr std::size_t ipv4MinimumHeader = 20;
constexpr std::size_t ipv6Header = 40;
constexpr std::size_t tcpMinimumHeader = 20;
constexpr std::size_t udpHeader = 8;

// IPv6 next-header values that are extension headers we step over.
constexpr std::uint8_t hopByHop = 0;
constexpr std::uint8_t routing = 43;
constexpr std::uint8_t fragment = 44;
constexpr std::uint8_t authentication = 51;
constexpr std::uint8_t destinationOptions = 60;

std::uint16_t read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::string addressText(int ipVersion, const std::array<std::uint8_t, 16>& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(ipVersion == 4 ? AF_INET : AF_INET6, address.data(), text, sizeof text) ==
        nullptr) {
        return {};
    }
    return text;
}

// The ports of the transport header at the start of `transport`, which holds exactly the bytes
// the IP header says belong to it.
std::optional<PacketHeaders> withTransport(PacketHeaders headers, std::uint8_t protocol,
                                           std::span<const std::uint8_t> transport) {
    if (protocol == PacketHeaders::tcp) {
        if (transport.size() < tcpMinimumHeader) {
            return std::nullopt;
        }
        const std::size_t dataOffset = static_cast<std::size_t>(transport[12] >> 4) * 4;
        if (dataOffset < tcpMinimumHeader || dataOffset > transport.size()) {
            return std::nullopt;
        }
    } else if (protocol == PacketHeaders::udp) {
        if (transport.size() < udpHeader) {
            return std::nullopt;
        }
        const std::size_t length = read16(transport, 4);
        // Zero is what a UDP jumbogram carries; otherwise it must cover the header and fit.
        if (length != 0 && (length < udpHeader || length > transport.size())) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    headers.protocol = protocol;
    headers.sourcePort = read16(transport, 0);
    headers.destinationPort = read16(transport, 2);
    return headers;
}

std::optional<PacketHeaders> parseIpv4(std::span<const std::uint8_t> packet) {
    if (packet.size() < ipv4MinimumHeader) {
        return std::nullopt;
    }
    const std::size_t headerLength = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
    const std::size_t totalLength = read16(packet, 2);
    if (headerLength < ipv4MinimumHeader || totalLength < headerLength ||
        totalLength > packet.size()) {
        return std::nullopt;
    }
    // A fragment after the first carries no transport header.
    if ((read16(packet, 6) & 0x1fff) != 0) {
        return std::nullopt;
    }
    PacketHeaders headers;
    headers.ipVersion = 4;
    std::copy_n(packet.begin() + 12, 4, headers.sourceAddress.begin());
    std::copy_n(packet.begin() + 16, 4, headers.destinationAddress.begin());
    return withTransport(headers, packet[9],
                         packet.subspan(headerLength, totalLength - headerLength));
}

std::optional<PacketHeaders> parseIpv6(std::span<const std::uint8_t> packet) {
    if (packet.size() < ipv6Header) {
        return std::nullopt;
    }
    const std::size_t payloadLength = read16(packet, 4);
    // Zero announces a jumbogram (hop-by-hop option), which no first packet of a connection is.
    if (payloadLength == 0 || ipv6Header + payloadLength > packet.size()) {
        return std::nullopt;
    }
    PacketHeaders headers;
    headers.ipVersion = 6;
    std::copy_n(packet.begin() + 8, 16, headers.sourceAddress.begin());
    std::copy_n(packet.begin() + 24, 16, headers.destinationAddress.begin());

    auto rest = packet.subspan(ipv6Header, payloadLength);
    std::uint8_t next = packet[6];
    // Every extension header is at least 8 bytes long, so the walk ends within the payload.
    for (;;) {
        std::size_t length = 0;
        switch (next) {
        case hopByHop:
        case routing:
        case destinationOptions:
            if (rest.size() < 8) {
                return std::nullopt;
            }
            length = (static_cast<std::size_t>(rest[1]) + 1) * 8;
            break;
        case fragment:
            if (rest.size() < 8) {
                return std::nullopt;
            }
            if ((read16(rest, 2) & 0xfff8) != 0) {
                return std::nullopt;
            }
            length = 8;
            break;
        case authentication:
            if (rest.size() < 8) {
                return std::nullopt;
            }
            length = (static_cast<std::size_t>(rest[1]) + 2) * 4;
            break;
        default:
            return withTransport(headers, next, rest);
        }
        if (length > rest.size()) {
            return std::nullopt;
        }
        next = rest[0];
        rest = rest.subspan(length);
    }
}

} // namespace

std::string PacketHeaders::sourceText() const {
    return addressText(ipVersion, sourceAddress);
}

std::string PacketHeaders::destinationText() const {
    return addressText(ipVersion, destinationAddress);
}

std::optional<PacketHeaders> PacketHeaders::parse(std::span<const std::uint8_t> packet) {
    if (packet.empty()) {
        return std::nullopt;
    }
    switch (packet[0] >> 4) {
    case 4:
        return parseIpv4(packet);
    case 6:
        return parseIpv6(packet);
    default:
        return std::nullopt;
    }
}

} // namespace zorvane
