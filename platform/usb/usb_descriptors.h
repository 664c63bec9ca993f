// What a simulated USB device says about itself: its endpoints and interfaces, and the device and configuration descriptors built from them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <usb.h>

namespace sim {

// Bytes as they travel on the bus: one packet, or one descriptor.
using Packet = std::vector<uint8_t>;

struct EndpointSpec {
    UCHAR address = 0;  // bit 7 set: IN (device to host)
    UCHAR type = USB_ENDPOINT_TYPE_INTERRUPT;
    USHORT max_packet_size = 8;
    UCHAR interval = 1;  // frames

    bool is_in() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

struct InterfaceSpec {
    UCHAR number = 0;
    UCHAR alternate = 0;
    UCHAR class_code = 0xFF;  // vendor-specific
    UCHAR subclass = 0;
    UCHAR protocol = 0;
    std::vector<EndpointSpec> endpoints;
};

// One device with one configuration. Tests edit a copy of reader() to present other shapes.
struct UsbDeviceSpec {
    USHORT bcd_usb = 0x0110;  // a full-speed device
    USHORT vendor_id = 0x0000;
    USHORT product_id = 0x0000;
    USHORT bcd_device = 0x0100;
    UCHAR max_packet_size0 = 8;
    UCHAR configuration_value = 1;
    UCHAR attributes = 0x80;  // bus-powered
    UCHAR max_power = 50;     // in 2 mA units
    std::vector<InterfaceSpec> interfaces;
    // bNumInterfaces when the descriptor should announce a count other than the interfaces it holds.
    std::optional<UCHAR> announced_interfaces;

    // The Q-ward: interface 0, vendor class, interrupt IN 0x81 and interrupt OUT 0x02 of 8 bytes.
    static UsbDeviceSpec reader();

    Packet device_descriptor() const;         // 18 bytes
    Packet configuration_descriptor() const;  // configuration, then each interface and its endpoints

    const InterfaceSpec* find_interface(UCHAR number, UCHAR alternate) const;
    const EndpointSpec* find_endpoint(UCHAR address) const;
};

}  // namespace sim
