#include "filter/host/netfilter/PacketHeaders.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

namespace zorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

Bytes tcpHeader(std::uint16_t source, std::uint16_t destination) {
    Bytes header(20, 0);
    put16(header, 0, source);
    put16(header, 2, destination);
    header[12] = 5 << 4;
    return header;
}

Bytes udpHeader(std::uint16_t source, std::uint16_t destination, std::size_t payload = 0) {
    Bytes header(8 + payload, 0);
    put16(header, 0, source);
    put16(header, 2, destination);
    put16(header, 4, static_cast<std::uint16_t>(8 + payload));
    return header;
}

// 192.0.2.10 -> 192.0.2.1
Bytes ipv4(std::uint8_t protocol, const Bytes& transport) {
    Bytes packet(20, 0);
    packet[0] = 0x45;
    put16(packet, 2, static_cast<std::uint16_t>(20 + transport.size()));
    packet[8] = 64;
    packet[9] = protocol;
    const std::uint8_t source[] = {192, 0, 2, 10};
    const std::uint8_t destination[] = {192, 0, 2, 1};
    std::copy(std::begin(source), std::end(source), packet.begin() + 12);
    std::copy(std::begin(destination), std::end(destination), packet.begin() + 16);
    packet.insert(packet.end(), transport.begin(), transport.end());
    return packet;
}

// An extension header of the given type and total length (a multiple of 8, or of 4 for AH).
Bytes extension(std::uint8_t next, std::uint8_t type, std::size_t length) {
    Bytes header(length, 0);
    header[0] = next;
    header[1] = static_cast<std::uint8_t>(type == 51 ? length / 4 - 2 : length / 8 - 1);
    return header;
}

// 2001:db8::10 -> 2001:db8::1; `payload` holds any extension headers and the transport header.
Bytes ipv6(std::uint8_t firstNext, const Bytes& payload) {
    Bytes packet(40, 0);
    packet[0] = 0x60;
    put16(packet, 4, static_cast<std::uint16_t>(payload.size()));
    packet[6] = firstNext;
    packet[7] = 64;
    packet[8] = 0x20, packet[9] = 0x01, packet[10] = 0x0d, packet[11] = 0xb8, packet[23] = 0x10;
    packet[24] = 0x20, packet[25] = 0x01, packet[26] = 0x0d, packet[27] = 0xb8, packet[39] = 0x01;
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

void expectEveryShorterPrefixRejected(const Bytes& packet) {
    for (std::size_t size = 0; size < packet.size(); ++size) {
        EXPECT_FALSE(PacketHeaders::parse(std::span(packet.data(), size))) << "prefix " << size;
    }
}

TEST(PacketHeadersIpv4, ReadsTcpAndUdpAndRejectsEverythingThatDoesNotFit) {
    const auto tcp = PacketHeaders::parse(ipv4(6, tcpHeader(40000, 443)));
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->ipVersion, 4);
    EXPECT_EQ(tcp->protocol, 6);
    EXPECT_EQ(tcp->sourceText(), "192.0.2.10");
    EXPECT_EQ(tcp->destinationText(), "192.0.2.1");
    EXPECT_EQ(tcp->sourcePort, 40000);
    EXPECT_EQ(tcp->destinationPort, 443);

    const auto udpPacket = ipv4(17, udpHeader(5353, 53, 12));
    const auto udp = PacketHeaders::parse(udpPacket);
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->protocol, 17);
    EXPECT_EQ(udp->destinationPort, 53);
    expectEveryShorterPrefixRejected(udpPacket);

    // Bytes past the IP total length (padding) are not part of the packet.
    auto padded = ipv4(6, tcpHeader(1, 2));
    padded.resize(padded.size() + 6, 0xee);
    EXPECT_TRUE(PacketHeaders::parse(padded));

    EXPECT_FALSE(PacketHeaders::parse(ipv4(1, Bytes(8, 0)))) << "ICMP";

    auto longerThanCaptured = ipv4(6, tcpHeader(1, 2));
    put16(longerThanCaptured, 2, static_cast<std::uint16_t>(longerThanCaptured.size() + 1));
    EXPECT_FALSE(PacketHeaders::parse(longerThanCaptured));
    auto shorterThanHeaders = ipv4(6, tcpHeader(1, 2));
    put16(shorterThanHeaders, 2, 30);
    EXPECT_FALSE(PacketHeaders::parse(shorterThanHeaders)) << "total length cuts the TCP header";
    auto headerTooShort = ipv4(6, tcpHeader(1, 2));
    headerTooShort[0] = 0x44;
    EXPECT_FALSE(PacketHeaders::parse(headerTooShort));
    auto optionsPastEnd = ipv4(6, tcpHeader(1, 2));
    optionsPastEnd[0] = 0x4f;
    EXPECT_FALSE(PacketHeaders::parse(optionsPastEnd));
    auto tcpOffsetPastEnd = ipv4(6, tcpHeader(1, 2));
    tcpOffsetPastEnd[20 + 12] = 6 << 4;
    EXPECT_FALSE(PacketHeaders::parse(tcpOffsetPastEnd));
    auto udpLengthLies = ipv4(17, udpHeader(1, 2));
    put16(udpLengthLies, 20 + 4, 9);
    EXPECT_FALSE(PacketHeaders::parse(udpLengthLies));
}

TEST(PacketHeadersIpv4, OnlyTheFirstFragmentCarriesPorts) {
    auto first = ipv4(17, udpHeader(1000, 2000, 8));
    put16(first, 6, 0x2000); // more fragments, offset 0
    ASSERT_TRUE(PacketHeaders::parse(first));
    EXPECT_EQ(PacketHeaders::parse(first)->destinationPort, 2000);

    auto later = ipv4(17, udpHeader(1000, 2000, 8));
    put16(later, 6, 0x0003); // offset 24 bytes, last fragment
    EXPECT_FALSE(PacketHeaders::parse(later));
}

TEST(PacketHeadersIpv6, StepsOverExtensionHeadersToTheTransport) {
    const auto plain = PacketHeaders::parse(ipv6(6, tcpHeader(40001, 80)));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->ipVersion, 6);
    EXPECT_EQ(plain->sourceText(), "2001:db8::10");
    EXPECT_EQ(plain->destinationText(), "2001:db8::1");
    EXPECT_EQ(plain->destinationPort, 80);

    const auto chainPacket =
        ipv6(0, concat({extension(43, 0, 8), extension(44, 43, 24), extension(51, 44, 8),
                        extension(60, 51, 16), extension(17, 60, 16), udpHeader(5000, 53)}));
    const auto chained = PacketHeaders::parse(chainPacket);
    ASSERT_TRUE(chained);
    EXPECT_EQ(chained->protocol, 17);
    EXPECT_EQ(chained->sourcePort, 5000);
    EXPECT_EQ(chained->destinationPort, 53);
    expectEveryShorterPrefixRejected(chainPacket);

    auto laterFragment = ipv6(44, concat({extension(6, 44, 8), tcpHeader(1, 2)}));
    put16(laterFragment, 40 + 2, 0x0008); // offset 8 bytes
    EXPECT_FALSE(PacketHeaders::parse(laterFragment));

    auto extensionPastPayload = ipv6(60, concat({extension(6, 60, 8), tcpHeader(1, 2)}));
    extensionPastPayload[40 + 1] = 10; // claims 88 bytes
    EXPECT_FALSE(PacketHeaders::parse(extensionPastPayload));

    auto payloadLies = ipv6(6, tcpHeader(1, 2));
    put16(payloadLies, 4, 21);
    EXPECT_FALSE(PacketHeaders::parse(payloadLies));
    auto jumbo = ipv6(6, tcpHeader(1, 2));
    put16(jumbo, 4, 0);
    EXPECT_FALSE(PacketHeaders::parse(jumbo));
    EXPECT_FALSE(PacketHeaders::parse(ipv6(59, Bytes(8, 0)))) << "no next header";
    EXPECT_FALSE(PacketHeaders::parse(ipv6(50, Bytes(16, 0)))) << "ESP hides the ports";
}

TEST(PacketHeaders, AnUnknownIpVersionOrNothingIsNoPacket) {
    EXPECT_FALSE(PacketHeaders::parse({}));
    auto version5 = ipv4(6, tcpHeader(1, 2));
    version5[0] = 0x55;
    EXPECT_FALSE(PacketHeaders::parse(version5));
}

} // namespace
} // namespace zorvane
