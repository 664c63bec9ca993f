// The link between the Wine bus driver (qwardbus.sys) and the reader host (qward-wine-host, a Linux process that
// runs the simulated reader): one TCP connection on 127.0.0.1 carrying framed messages, little-endian, packed.
// The bus driver forwards every URB that a reader PDO receives and the host answers it from the simulated USB
// device and reader firmware; the host also reports readers arriving and leaving. Plain C types only: the bus
// driver includes this as freestanding kernel code, the host as ordinary C++.
#pragma once

#include <stdint.h>

#pragma pack(push, 1)

// Every message: this header, then `length` bytes of payload.
struct WireHeader {
    uint32_t length;
    uint16_t type;  // WIRE_*
    uint16_t unit;  // the reader it concerns (0, 1, ...)
    uint64_t id;    // a URB's request id, chosen by the bus driver; 0 for the rest
};

enum {
    // bus driver -> host
    WIRE_HELLO = 1,   // no payload; the host answers with WIRE_ARRIVE for every reader plugged in
    WIRE_URB = 2,     // WireUrb, then its data (descriptor request: none; select: interfaces; OUT transfer: the bytes)
    WIRE_CANCEL = 3,  // no payload: the URB `id` was cancelled; its reply follows (STATUS_CANCELLED, or its result)
    // host -> bus driver
    WIRE_REPLY = 10,   // WireReply, then its data (IN transfer and descriptor: the bytes; select: WireConfiguration)
    WIRE_ARRIVE = 11,  // WireArrive: reader `unit` is plugged in
    WIRE_DEPART = 12,  // no payload: reader `unit` is pulled out
};

// The URB functions that cross the link (the numbers of the URB_FUNCTION_* constants).
enum {
    WIRE_SELECT_CONFIGURATION = 0x0000,
    WIRE_ABORT_PIPE = 0x0002,
    WIRE_BULK_OR_INTERRUPT_TRANSFER = 0x0009,
    WIRE_GET_DESCRIPTOR_FROM_DEVICE = 0x000B,
    WIRE_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E,
};

// What the bus driver puts into the new PDO's hardware and compatible IDs, from the device descriptor.
struct WireArrive {
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t bcd_device;
    uint8_t interface_class;
    uint8_t interface_subclass;
    uint8_t interface_protocol;
};

struct WireUrb {
    uint16_t function;
    uint8_t descriptor_type;   // descriptor request
    uint8_t descriptor_index;  // descriptor request
    uint16_t language_id;      // descriptor request
    uint8_t configure;         // select configuration: 1 = configure, 0 = unconfigure
    uint8_t interface_count;   // select configuration: WireInterfaceChoice entries after this record
    uint64_t pipe;             // transfers, abort and reset: the pipe handle the host gave out
    uint32_t transfer_flags;   // transfers: USBD_TRANSFER_DIRECTION_IN (1), USBD_SHORT_TRANSFER_OK (2)
    uint32_t length;           // transfers and descriptor requests: the buffer's size
};

struct WireInterfaceChoice {
    uint8_t number;
    uint8_t alternate;
};

struct WireReply {
    int32_t status;        // the IRP's NTSTATUS
    int32_t usbd_status;   // the URB header's USBD_STATUS
    uint32_t length;       // bytes transferred (IN: the data that follows)
};

// The answer to a select configuration, after WireReply: the configuration handle, then per interface a
// WireInterface and its WirePipe entries.
struct WireConfiguration {
    uint64_t handle;
    uint8_t interface_count;
};

struct WireInterface {
    uint8_t number;
    uint8_t alternate;
    uint8_t class_code;
    uint8_t subclass;
    uint8_t protocol;
    uint8_t pipe_count;
    uint64_t handle;
};

struct WirePipe {
    uint16_t max_packet_size;
    uint8_t endpoint_address;
    uint8_t interval;
    uint32_t pipe_type;  // USBD_PIPE_TYPE
    uint64_t handle;
    uint32_t max_transfer_size;
};

#pragma pack(pop)

// Largest payload either side accepts; anything longer ends the connection.
#define WIRE_MAX_PAYLOAD 65536
