// The USBD library routines: descriptor parsing and the layout of the select-configuration request they build.
#include <gtest/gtest.h>

#include <string>

#include "platform/usb/usb_test_support.h"

namespace sim {
namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // "USBD"

InterfaceSpec interface_with(UCHAR number, std::vector<EndpointSpec> endpoints, UCHAR class_code = 0xFF) {
    InterfaceSpec interface;
    interface.number = number;
    interface.class_code = class_code;
    interface.endpoints = std::move(endpoints);
    return interface;
}

struct Shape {
    std::string name;
    UsbDeviceSpec device;
};

std::vector<Shape> shapes() {
    std::vector<Shape> result;
    result.push_back({"reader", UsbDeviceSpec::reader()});
    UsbDeviceSpec gap = UsbDeviceSpec::reader();
    gap.interfaces.push_back(interface_with(2, {{0x83, USB_ENDPOINT_TYPE_BULK, 64, 0}}));
    result.push_back({"interfaces 0 and 2", gap});
    UsbDeviceSpec two_in;
    two_in.interfaces.push_back(interface_with(0, {{0x81, 3, 8, 1}, {0x02, 3, 8, 1}, {0x83, 3, 8, 1}}));
    result.push_back({"two IN endpoints", two_in});
    UsbDeviceSpec no_out;
    no_out.interfaces.push_back(interface_with(0, {{0x81, 3, 8, 1}}));
    result.push_back({"no OUT endpoint", no_out});
    UsbDeviceSpec bare;
    bare.interfaces.push_back(interface_with(0, {}));
    bare.interfaces.push_back(interface_with(1, {{0x81, 3, 64, 1}, {0x02, 3, 64, 1}}));
    result.push_back({"interface without endpoints", bare});
    return result;
}

TEST(UsbdCreateConfigurationRequest, LaysOutOneInterfaceInformationPerListEntry) {
    for (Shape& shape : shapes()) {
        SCOPED_TRACE(shape.name);
        Kernel k(1);
        Packet bytes = shape.device.configuration_descriptor();
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (const InterfaceSpec& interface : shape.device.interfaces) {
            PUSB_INTERFACE_DESCRIPTOR found =
                USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, interface.number, 0, -1, -1, -1);
            ASSERT_NE(found, nullptr);
            list.push_back({found, nullptr});
        }
        list.push_back({nullptr, nullptr});

        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, descriptor);
        ASSERT_EQ(k.live_pool().count(urb), 1u);
        EXPECT_EQ(k.live_pool().at(urb).tag, kUsbdTag);
        EXPECT_EQ(k.live_pool().at(urb).size, urb->UrbHeader.Length);

        // Each entry's information sits right after the previous one, 24 bytes per pipe beyond
        // the first: the x64 layout of USBD_INTERFACE_INFORMATION.
        auto* expected = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
        for (size_t i = 0; i < shape.device.interfaces.size(); ++i) {
            const InterfaceSpec& interface = shape.device.interfaces[i];
            PUSBD_INTERFACE_INFORMATION information = list[i].Interface;
            ASSERT_EQ(reinterpret_cast<PUCHAR>(information), expected) << "interface " << i;
            size_t pipes = interface.endpoints.size();
            EXPECT_EQ(information->Length, 48 + 24 * pipes - 24);
            EXPECT_EQ(information->InterfaceNumber, interface.number);
            EXPECT_EQ(information->AlternateSetting, 0);
            EXPECT_EQ(information->NumberOfPipes, pipes);
            for (size_t p = 0; p < pipes; ++p) {
                EXPECT_EQ(information->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
                EXPECT_EQ(information->Pipes[p].PipeHandle, nullptr);
            }
            expected += information->Length;
        }
        EXPECT_EQ(expected, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
        ExFreePool(urb);
        test::expect_clean(k);
    }
}

TEST(UsbdCreateConfigurationRequest, EmptyListAndPoolFailureGiveNull) {
    Kernel k(2);
    Packet bytes = UsbDeviceSpec::reader().configuration_descriptor();
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(descriptor, empty), nullptr);

    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
    k.set_fault(FaultSite::pool, {1, 0, false});
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(descriptor, list), nullptr);
    test::expect_clean(k);
}

TEST(UsbdParseConfigurationDescriptor, FindsInterfacesByEachCriterion) {
    UsbDeviceSpec device = UsbDeviceSpec::reader();
    device.interfaces.push_back(interface_with(2, {{0x83, 3, 8, 1}}, 0x0B));
    InterfaceSpec alternate = interface_with(2, {}, 0x0B);
    alternate.alternate = 1;
    alternate.protocol = 7;
    device.interfaces.push_back(alternate);
    Packet bytes = device.configuration_descriptor();
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());

    struct Case {
        const char* what;
        LONG number, alternate_setting, class_code, subclass, protocol;
        int expected_number;  // -1: not found
        int expected_alternate;
    };
    const Case cases[] = {
        {"number 0", 0, 0, -1, -1, -1, 0, 0},
        {"number 1 is absent", 1, -1, -1, -1, -1, -1, 0},
        {"number 2, setting 0", 2, 0, -1, -1, -1, 2, 0},
        {"number 2, setting 1", 2, 1, -1, -1, -1, 2, 1},
        {"first of class 0x0B", -1, -1, 0x0B, -1, -1, 2, 0},
        {"protocol 7", -1, -1, -1, -1, 7, 2, 1},
        {"vendor class, setting 1", -1, 1, 0xFF, -1, -1, -1, 0},
        {"number 255", 255, -1, -1, -1, -1, -1, 0},
    };
    for (const Case& c : cases) {
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
            descriptor, descriptor, c.number, c.alternate_setting, c.class_code, c.subclass, c.protocol);
        if (c.expected_number < 0) {
            EXPECT_EQ(found, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(found, nullptr) << c.what;
        EXPECT_EQ(found->bInterfaceNumber, c.expected_number) << c.what;
        EXPECT_EQ(found->bAlternateSetting, c.expected_alternate) << c.what;
    }

    // Searching on from just after a match finds the next one.
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
    PUSB_INTERFACE_DESCRIPTOR second = USBD_ParseConfigurationDescriptorEx(
        descriptor, reinterpret_cast<PUCHAR>(first) + first->bLength, -1, -1, -1, -1, -1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bInterfaceNumber, 2);
}

TEST(UsbdParseDescriptors, WalksInOrderAndStopsAtBrokenDescriptors) {
    Packet bytes = UsbDeviceSpec::reader().configuration_descriptor();
    auto* start = bytes.data();
    auto total = static_cast<ULONG>(bytes.size());
    PUSB_COMMON_DESCRIPTOR first = USBD_ParseDescriptors(start, total, start, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(first)->bEndpointAddress, 0x81);
    PUSB_COMMON_DESCRIPTOR second = USBD_ParseDescriptors(start, total, reinterpret_cast<PUCHAR>(first) + first->bLength,
                                                          USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(second)->bEndpointAddress, 0x02);
    EXPECT_EQ(USBD_ParseDescriptors(start, total, reinterpret_cast<PUCHAR>(second) + second->bLength,
                                    USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);

    // A total length that cuts the last endpoint short hides it.
    EXPECT_EQ(USBD_ParseDescriptors(start, total - 1, reinterpret_cast<PUCHAR>(first) + first->bLength,
                                    USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
    // A zero-length descriptor ends the walk instead of looping on it.
    Packet broken = bytes;
    broken[9] = 0;  // the interface descriptor
    EXPECT_EQ(USBD_ParseDescriptors(broken.data(), total, broken.data(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(broken.data());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr);
}

}  // namespace
}  // namespace sim
