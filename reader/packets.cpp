// Builders for the reader's packets.
#include "packets.h"

#include <algorithm>

namespace sim {

Packet reader_packet(std::initializer_list<uint8_t> bytes) {
    Packet packet(bytes);
    if (packet.size() < kReaderPacketSize) packet.resize(kReaderPacketSize, 0);
    return packet;
}

Packet card_status_packet(bool present) {
    return reader_packet({static_cast<uint8_t>(PacketKind::control), kCardStatusCode, static_cast<uint8_t>(present ? 1 : 0)});
}

Packet answer_header(uint8_t answer_kind, size_t data_length) {
    return reader_packet({static_cast<uint8_t>(PacketKind::header), 3, answer_kind,
                          static_cast<uint8_t>(data_length & 0xFF), static_cast<uint8_t>((data_length >> 8) & 0xFF)});
}

std::vector<Packet> data_packets(const std::vector<uint8_t>& data) {
    std::vector<Packet> packets;
    packets.reserve((data.size() + kDataBytesPerPacket - 1) / kDataBytesPerPacket);
    for (size_t offset = 0; offset < data.size(); offset += kDataBytesPerPacket) {
        size_t count = std::min(kDataBytesPerPacket, data.size() - offset);
        Packet packet(kReaderPacketSize, 0);
        packet[0] = static_cast<uint8_t>(PacketKind::data);
        packet[1] = static_cast<uint8_t>(count);
        std::copy_n(data.begin() + static_cast<long>(offset), count, packet.begin() + 2);
        packets.push_back(std::move(packet));
    }
    return packets;
}

}  // namespace sim
