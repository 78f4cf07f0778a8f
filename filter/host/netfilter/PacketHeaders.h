#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zorvane {

// What the queue needs of an outbound packet to find the socket that sent it and to describe the
// flow: the transport protocol, both addresses and both ports.
struct PacketHeaders {
    static constexpr std::uint8_t tcp = 6;
    static constexpr std::uint8_t udp = 17;

    int ipVersion = 4; // 4 or 6
    std::uint8_t protocol = tcp;
    // The first 4 bytes are used for IPv4; network byte order.
    std::array<std::uint8_t, 16> sourceAddress{};
    std::array<std::uint8_t, 16> destinationAddress{};
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;

    std::size_t addressLength() const { return ipVersion == 4 ? 4 : 16; }
    // The addresses as text: dotted quad, or the RFC 5952 form of IPv6 without brackets.
    std::string sourceText() const;
    std::string destinationText() const;

    // The headers of a TCP or UDP packet as the IP layer hands it over (no link-layer header).
    // Anything else gives none: another protocol, a fragment other than the first, a header or a
    // length field that does not fit the bytes. The caller lets such a packet through, so no
    // packet that the kernel would carry is turned into a refusal by a mistake here.
    static std::optional<PacketHeaders> parse(std::span<const std::uint8_t> packet);

    friend bool operator==(const PacketHeaders&, const PacketHeaders&) = default;
};

} // namespace zorvane
