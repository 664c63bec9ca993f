// USB configuration of the reader: synchronous URB submission, descriptor reads, configuration select, pipe abort and unconfigure.
#include "../driver/driver.h"
#include "../protocol/packets.h"

// Interface numbers are bytes, so no interface of any configuration lies beyond this number.
static constexpr ULONG MAX_INTERFACE_NUMBER = 255;

static constexpr ULONG DEVICE_DESCRIPTOR_LENGTH = sizeof(USB_DEVICE_DESCRIPTOR);
static constexpr ULONG CONFIGURATION_HEADER_LENGTH = sizeof(USB_CONFIGURATION_DESCRIPTOR);

static PVOID AllocatePool(SIZE_T Size)
{
    return ExAllocatePoolWithTag(NonPagedPool, Size, POOL_TAG);
}

static VOID FreePool(PVOID Block)
{
    ExFreePoolWithTag(Block, POOL_TAG);
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, deviceExtension->LowerDeviceObject,
                                             NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    // The count keeps a query-stop or query-remove waiting until the bus has answered.
    IncrementIoCount(deviceExtension);
    NTSTATUS status = IoCallDriver(deviceExtension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    DecrementIoCount(deviceExtension);
    return status;
}

// Fields that the request does not name are zero, as the bus driver expects of reserved URB fields.
static VOID BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(Urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                 DescriptorType, 0, 0, Buffer, NULL, Length, NULL);
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PURB urb = static_cast<PURB>(AllocatePool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    PVOID deviceDescriptor = AllocatePool(DEVICE_DESCRIPTOR_LENGTH);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;

    if (urb != NULL && deviceDescriptor != NULL) {
        // The descriptor itself is not used: the request only shows that the device answers.
        BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor, DEVICE_DESCRIPTOR_LENGTH);
        status = SubmitUrb(DeviceObject, urb);
        if (NT_SUCCESS(status)) {
            status = GetConfigurationDescriptor(DeviceObject);
        }
    }

    if (deviceDescriptor != NULL) {
        FreePool(deviceDescriptor);
    }
    if (urb != NULL) {
        FreePool(urb);
    }
    return status;
}

static USHORT ReadTotalLength(const UCHAR* ConfigurationHeader)
{
    return static_cast<USHORT>(ConfigurationHeader[2] | (ConfigurationHeader[3] << 8));
}

NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject)
{
    PURB urb = static_cast<PURB>(AllocatePool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUCHAR descriptor = static_cast<PUCHAR>(AllocatePool(CONFIGURATION_HEADER_LENGTH));
    if (descriptor == NULL) {
        FreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // First the configuration header alone, for the length of the whole descriptor.
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, CONFIGURATION_HEADER_LENGTH);
    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        const USHORT totalLength = ReadTotalLength(descriptor);
        FreePool(descriptor);
        descriptor = NULL;

        if (totalLength < CONFIGURATION_HEADER_LENGTH) {
            // A total shorter than the header itself cannot hold the header that the parse walks from, and a
            // total of 0 would be a pool request of no bytes.
            status = STATUS_DEVICE_DATA_ERROR;
        } else {
            descriptor = static_cast<PUCHAR>(AllocatePool(totalLength));
            if (descriptor == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, totalLength);
                status = SubmitUrb(DeviceObject, urb);
                if (NT_SUCCESS(status) && ReadTotalLength(descriptor) > totalLength) {
                    // The USBD parse routines walk up to the descriptor's own wTotalLength; a device that now
                    // announces more than it announced before would make them read past the buffer.
                    status = STATUS_DEVICE_DATA_ERROR;
                } else if (NT_SUCCESS(status)) {
                    status = SelectConfiguration(DeviceObject,
                                                 reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor));
                }
            }
        }
    }

    if (descriptor != NULL) {
        FreePool(descriptor);
    }
    FreePool(urb);
    return status;
}

// Finds the IN and OUT pipes in the selected interface (a later pipe of one direction replaces an earlier
// one) and records their packet sizes.
static VOID PickPipes(PDEVICE_EXTENSION DeviceExtension)
{
    PUSBD_INTERFACE_INFORMATION interfaceInfo = DeviceExtension->InterfaceInfo;
    PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;

    for (ULONG index = 0; index < interfaceInfo->NumberOfPipes; ++index) {
        PUSBD_PIPE_INFORMATION pipe = &interfaceInfo->Pipes[index];
        if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress)) {
            DeviceExtension->InPipe = pipe;
            readerExtension->InPacketSize = pipe->MaximumPacketSize;
        } else {
            DeviceExtension->OutPipe = pipe;
            readerExtension->OutPacketSize = pipe->MaximumPacketSize;
        }
    }
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    const ULONG interfaceCount = ConfigurationDescriptor->bNumInterfaces;

    PUSBD_INTERFACE_LIST_ENTRY interfaceList = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocatePool((interfaceCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
    if (interfaceList == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Interface numbers need not be contiguous, so numbers that are not found are skipped. The search also
    // stops after the highest possible interface number: a descriptor that announces more interfaces than it
    // holds would otherwise keep it searching for ever.
    ULONG found = 0;
    for (ULONG number = 0; found < interfaceCount && number <= MAX_INTERFACE_NUMBER; ++number) {
        PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, ConfigurationDescriptor, static_cast<LONG>(number), 0, -1, -1, -1);
        if (interfaceDescriptor != NULL) {
            interfaceList[found].InterfaceDescriptor = interfaceDescriptor;
            interfaceList[found].Interface = NULL;
            ++found;
        }
    }
    interfaceList[found].InterfaceDescriptor = NULL;
    interfaceList[found].Interface = NULL;

    if (found == 0) {
        // Without an interface the select-configuration request would carry no interface information to take
        // the pipes from.
        FreePool(interfaceList);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, interfaceList);
    if (urb == NULL) {
        FreePool(interfaceList);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
        deviceExtension->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocatePool(selected->Length));
        if (deviceExtension->InterfaceInfo == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(deviceExtension->InterfaceInfo, selected, selected->Length);
            deviceExtension->InPipe = NULL;
            deviceExtension->OutPipe = NULL;
            PickPipes(deviceExtension);

            // The packet channel needs both pipes, and every pipe must carry a whole 8-byte packet in one
            // transaction: a smaller endpoint would split the reader's packets, and one of size 0 would make
            // the background read complete and re-post without end. Such a configuration fails the start here
            // rather than leaving the channel to run on a NULL pipe. Larger endpoints are fine: every transfer
            // is cut to 8 bytes (usb/channel.cpp, usb/tracking.cpp).
            PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;
            if (deviceExtension->InPipe == NULL || deviceExtension->OutPipe == NULL ||
                readerExtension->InPacketSize < READER_PACKET_SIZE ||
                readerExtension->OutPacketSize < READER_PACKET_SIZE) {
                FreePool(deviceExtension->InterfaceInfo);
                deviceExtension->InterfaceInfo = NULL;
                deviceExtension->InPipe = NULL;
                deviceExtension->OutPipe = NULL;
                status = STATUS_DEVICE_CONFIGURATION_ERROR;
            }
        }
    }

    FreePool(interfaceList);
    // USBD_CreateConfigurationRequestEx allocated the URB with a tag of its own.
    ExFreePool(urb);
    return status;
}

NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PUSBD_INTERFACE_INFORMATION interfaceInfo = deviceExtension->InterfaceInfo;
    if (interfaceInfo == NULL) {
        return STATUS_SUCCESS;
    }

    for (ULONG index = 0; index < interfaceInfo->NumberOfPipes; ++index) {
        PURB urb = static_cast<PURB>(AllocatePool(sizeof(struct _URB_PIPE_REQUEST)));
        if (urb == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
        urb->UrbHeader.Length = static_cast<USHORT>(sizeof(struct _URB_PIPE_REQUEST));
        urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb->UrbPipeRequest.PipeHandle = interfaceInfo->Pipes[index].PipeHandle;
        // A pipe that cannot be aborted (the device is gone) has nothing left to abort.
        (void)SubmitUrb(DeviceObject, urb);
        FreePool(urb);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PURB urb = static_cast<PURB>(AllocatePool(sizeof(struct _URB_SELECT_CONFIGURATION)));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(sizeof(struct _URB_SELECT_CONFIGURATION)), NULL);
    const NTSTATUS status = SubmitUrb(DeviceObject, urb);
    FreePool(urb);
    return status;
}
