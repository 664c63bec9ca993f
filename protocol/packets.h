// The reader's 8-byte packet format: packet kinds, byte offsets, request and command codes and answer kinds.
#pragma once

#include "../driver/ddk_includes.h"

// Every packet in either direction is 8 bytes, and every packet buffer of the driver is that long.
constexpr ULONG READER_PACKET_SIZE = 8;

// Byte 0: the packet kind.
constexpr ULONG PACKET_KIND_OFFSET = 0;
constexpr UCHAR PACKET_KIND_DATA = 0;    // data packet, both directions
constexpr UCHAR PACKET_KIND_HEADER = 1;  // command header (to the reader) or answer header (from it)
constexpr UCHAR PACKET_KIND_CONTROL = 2; // reader-control request (to the reader) or reader status (from it)

// Kinds 0 and 1: byte 1 counts the meaningful bytes that follow it (bytes 2 to 1 + count).
constexpr ULONG PACKET_COUNT_OFFSET = 1;
constexpr ULONG PACKET_PAYLOAD_OFFSET = 2;
// A data packet carries at most this many bytes of command or answer data.
constexpr ULONG DATA_PACKET_CAPACITY = READER_PACKET_SIZE - PACKET_PAYLOAD_OFFSET;

// Reader-control request (kind 2, host to reader): byte 1 the request code, byte 2 its parameter.
constexpr ULONG CONTROL_CODE_OFFSET = 1;
constexpr ULONG CONTROL_PARAMETER_OFFSET = 2;
constexpr UCHAR REQUEST_COLD_RESET = 0x01;
constexpr UCHAR REQUEST_CARD_STATUS = 0x09;
constexpr UCHAR REQUEST_POWER_DOWN = 0x0B;
constexpr UCHAR REQUEST_WARM_RESET = 0x15;
constexpr UCHAR RESET_PARAMETER = 0x40; // parameter of the two reset requests; the others carry 0

// Card-status packet (kind 2, reader to host): byte 1 is 0x81, byte 2 says whether a card is in the slot.
constexpr UCHAR CARD_STATUS_CODE = 0x81;
constexpr ULONG CARD_STATUS_SLOT_OFFSET = 2;
constexpr UCHAR CARD_STATUS_CARD_PRESENT = 0x01;
constexpr UCHAR CARD_STATUS_NO_CARD = 0x00;

// Command header (kind 1, host to reader).
constexpr ULONG COMMAND_CODE_OFFSET = 2;
constexpr ULONG COMMAND_LENGTH_LOW_OFFSET = 3;  // total command data length, little-endian
constexpr ULONG COMMAND_LENGTH_HIGH_OFFSET = 4;
constexpr ULONG COMMAND_APDU_CASE_OFFSET = 5;   // card APDU command only: ISO 7816-4 case 1 to 4
constexpr UCHAR COMMAND_HEADER_COUNT = 0x03;      // header byte 1 of every command but the card APDU
constexpr UCHAR COMMAND_HEADER_COUNT_APDU = 0x04; // header byte 1 of the card APDU command

// Command codes (command header byte 2).
constexpr UCHAR COMMAND_READER_VERSION = 0x02;
constexpr UCHAR COMMAND_READER_MANAGEMENT = 0x07;
constexpr UCHAR COMMAND_ABORT = 0x17;
constexpr UCHAR COMMAND_VENDOR_1F = 0x1F;
constexpr UCHAR COMMAND_CARD_APDU = 0x21;
constexpr UCHAR COMMAND_VENDOR_DATA = 0x2F;
constexpr UCHAR COMMAND_VENDOR_3F = 0x3F;
constexpr UCHAR COMMAND_READER_CAPABILITY = 0x41;
constexpr UCHAR COMMAND_PIN_VERIFY_START = 0x42;
constexpr UCHAR COMMAND_KEY_POLL = 0x44;
constexpr UCHAR COMMAND_PIN_VERIFY_FINISH = 0x45;
constexpr UCHAR COMMAND_PIN_ABORT = 0x46;

// Answer header (kind 1, reader to host): byte 2 the answer kind, bytes 3 and 4 the answer data length as far
// as the count in byte 1 reaches.
constexpr ULONG ANSWER_KIND_OFFSET = 2;
constexpr ULONG ANSWER_LENGTH_LOW_OFFSET = 3;
constexpr ULONG ANSWER_LENGTH_HIGH_OFFSET = 4;
constexpr UCHAR ANSWER_HEADER_MAX_COUNT = 6;

// Answer kinds (answer header byte 2).
constexpr UCHAR ANSWER_PIN_ABORTED = 2;  // tested only by the PIN abort
constexpr UCHAR ANSWER_DATA = 3;
constexpr UCHAR ANSWER_SUCCESS = 5;
constexpr UCHAR ANSWER_FAILURE = 6;
constexpr UCHAR ANSWER_FAILURE_END = 7;  // also ends an answer at once in place of a data packet
constexpr UCHAR ANSWER_ERROR = 8;        // data byte 0 is the reader error code
constexpr UCHAR ANSWER_REFUSED = 15;     // also ends an answer at once in place of a data packet

// Offsets within the answer data of an error answer (kind 8).
constexpr ULONG ERROR_CODE_INDEX = 0;
constexpr ULONG ERROR_STATUS_WORD_INDEX = 1; // card APDU, management and PIN commands: SW1 SW2

