// Builds the wire form of a simulated device's descriptors (USB 2.0 chapter 9 layouts, little-endian).
#include "usb_descriptors.h"

namespace sim {

namespace {

void put16(Packet& out, USHORT value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

UsbDeviceSpec UsbDeviceSpec::reader() {
    UsbDeviceSpec device;
    InterfaceSpec interface;
    interface.number = 0;
    interface.class_code = 0xFF;
    interface.endpoints = {
        EndpointSpec{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 8, 1},
        EndpointSpec{0x02, USB_ENDPOINT_TYPE_INTERRUPT, 8, 1},
    };
    device.interfaces.push_back(interface);
    return device;
}

Packet UsbDeviceSpec::device_descriptor() const {
    Packet out;
    out.push_back(sizeof(USB_DEVICE_DESCRIPTOR));
    out.push_back(USB_DEVICE_DESCRIPTOR_TYPE);
    put16(out, bcd_usb);
    out.push_back(0);  // class given per interface
    out.push_back(0);
    out.push_back(0);
    out.push_back(max_packet_size0);
    put16(out, vendor_id);
    put16(out, product_id);
    put16(out, bcd_device);
    out.push_back(0);  // no string descriptors
    out.push_back(0);
    out.push_back(0);
    out.push_back(1);  // one configuration
    return out;
}

Packet UsbDeviceSpec::configuration_descriptor() const {
    Packet out;
    out.push_back(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    out.push_back(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    put16(out, 0);  // wTotalLength, patched below
    out.push_back(announced_interfaces ? *announced_interfaces : static_cast<UCHAR>(interfaces.size()));
    out.push_back(configuration_value);
    out.push_back(0);
    out.push_back(attributes);
    out.push_back(max_power);
    for (const InterfaceSpec& interface : interfaces) {
        out.push_back(sizeof(USB_INTERFACE_DESCRIPTOR));
        out.push_back(USB_INTERFACE_DESCRIPTOR_TYPE);
        out.push_back(interface.number);
        out.push_back(interface.alternate);
        out.push_back(static_cast<UCHAR>(interface.endpoints.size()));
        out.push_back(interface.class_code);
        out.push_back(interface.subclass);
        out.push_back(interface.protocol);
        out.push_back(0);
        for (const EndpointSpec& endpoint : interface.endpoints) {
            out.push_back(sizeof(USB_ENDPOINT_DESCRIPTOR));
            out.push_back(USB_ENDPOINT_DESCRIPTOR_TYPE);
            out.push_back(endpoint.address);
            out.push_back(endpoint.type);
            put16(out, endpoint.max_packet_size);
            out.push_back(endpoint.interval);
        }
    }
    out[2] = static_cast<uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

const InterfaceSpec* UsbDeviceSpec::find_interface(UCHAR number, UCHAR alternate) const {
    for (const InterfaceSpec& interface : interfaces) {
        if (interface.number == number && interface.alternate == alternate) return &interface;
    }
    return nullptr;
}

const EndpointSpec* UsbDeviceSpec::find_endpoint(UCHAR address) const {
    for (const InterfaceSpec& interface : interfaces) {
        for (const EndpointSpec& endpoint : interface.endpoints) {
            if (endpoint.address == address) return &endpoint;
        }
    }
    return nullptr;
}

}  // namespace sim
