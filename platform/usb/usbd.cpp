// The USBD library routines of usbdlib.h that function drivers call: descriptor parsing and the select-configuration request builder.
#include <usbdlib.h>

#include <cstring>

namespace {

// The USBD library's own pool tag, "USBD" in memory order; its callers free with ExFreePool.
constexpr ULONG kUsbdPoolTag = 0x44425355;

bool fits(const UCHAR* position, const UCHAR* end, size_t length) {
    return position <= end && static_cast<size_t>(end - position) >= length;
}

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
    auto* start = static_cast<PUCHAR>(DescriptorBuffer);
    auto* end = start + TotalLength;
    auto* position = static_cast<PUCHAR>(StartPosition);
    if (position < start) return nullptr;
    while (fits(position, end, sizeof(USB_COMMON_DESCRIPTOR))) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        // A zero length would never advance; a length past the end is a truncated descriptor.
        if (common->bLength == 0 || !fits(position, end, common->bLength)) return nullptr;
        if (common->bDescriptorType == DescriptorType) return common;
        position += common->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    PVOID position = StartPosition;
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found = USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                                             position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (!found) return nullptr;
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
        if (found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        auto matches = [](LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; };
        if (matches(InterfaceNumber, interface->bInterfaceNumber) &&
            matches(AlternateSetting, interface->bAlternateSetting) &&
            matches(InterfaceClass, interface->bInterfaceClass) &&
            matches(InterfaceSubClass, interface->bInterfaceSubClass) &&
            matches(InterfaceProtocol, interface->bInterfaceProtocol)) {
            return interface;
        }
    }
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    // The interface informations follow one another, each as long as its pipe array needs.
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    size_t interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0 || size > 0xFFFF) return nullptr;

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);
    auto* information = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe) {
            information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = information;
        information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(information) +
                                                                   information->Length);
    }
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);
    return urb;
}

}  // extern "C"
