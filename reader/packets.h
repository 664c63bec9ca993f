// The reader's 8-byte packet protocol as the firmware speaks it: packet kinds, request codes and packet builders.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/usb/usb_descriptors.h"

namespace sim {

constexpr size_t kReaderPacketSize = 8;
constexpr size_t kDataBytesPerPacket = 6;

// Byte 0 of every packet.
enum class PacketKind : uint8_t {
    data = 0,     // command data (host to reader) or answer data (reader to host)
    header = 1,   // command header (host to reader) or answer header (reader to host)
    control = 2,  // reader-control request (host to reader) or card status (reader to host)
};

// Reader-control request codes, byte 1 of a kind-2 packet from the host.
namespace control_request {
constexpr uint8_t cold_reset = 0x01;
constexpr uint8_t card_status = 0x09;
constexpr uint8_t power_down = 0x0B;
constexpr uint8_t warm_reset = 0x15;
}  // namespace control_request

// Byte 1 of the card-status packet the reader sends.
constexpr uint8_t kCardStatusCode = 0x81;

// The bytes given, padded with zeros to a full packet.
Packet reader_packet(std::initializer_list<uint8_t> bytes);
// {02 81 01} with a card in the slot, {02 81 00} without.
Packet card_status_packet(bool present);
// Answer header: kind 1, count 3, the answer kind, the data length (16-bit little-endian).
Packet answer_header(uint8_t answer_kind, size_t data_length);
// Data split into kind-0 packets of at most six bytes each.
std::vector<Packet> data_packets(const std::vector<uint8_t>& data);

}  // namespace sim
