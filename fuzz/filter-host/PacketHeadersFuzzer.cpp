// Packets in the host's queue come from any program on the machine: reading them gives headers
// or nothing, never a crash, and the headers it gives describe bytes that were there.
#include "filter/host/netfilter/PacketHeaders.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto headers = zorvane::PacketHeaders::parse(std::span(data, size));
    if (!headers) {
        return 0;
    }
    if (headers->protocol != zorvane::PacketHeaders::tcp &&
        headers->protocol != zorvane::PacketHeaders::udp) {
        std::abort();
    }
    if (headers->ipVersion != (data[0] >> 4)) {
        std::abort();
    }
    // The text forms read back to the very address bytes of the packet.
    const int family = headers->ipVersion == 4 ? AF_INET : AF_INET6;
    const std::size_t offset = headers->ipVersion == 4 ? 12 : 8;
    std::uint8_t address[16] = {};
    if (inet_pton(family, headers->sourceText().c_str(), address) != 1 ||
        std::memcmp(address, data + offset, headers->addressLength()) != 0) {
        std::abort();
    }
    if (inet_pton(family, headers->destinationText().c_str(), address) != 1 ||
        std::memcmp(address, data + offset + headers->addressLength(), headers->addressLength()) !=
            0) {
        std::abort();
    }
    return 0;
}
