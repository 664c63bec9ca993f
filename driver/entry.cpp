// Driver load (DriverEntry, DriverUnload) and creation of one reader device per AddDevice call.
#include "driver.h"

UCHAR UnitMap;
ULONG DeviceCount;

// Data rates in bits per second that every reader reports; SMCLIB only reads the table through
// ReaderCapabilities.DataRatesSupported.List, whose type is not const.
static ULONG DataRateTable[] = {5376, 10752, 21505};

// The attribute strings count their terminating zero byte.
static const char VendorName[] = "Tavelo";
static const char IfdTypeName[] = "Q-ward";

static_assert(sizeof(VendorName) <= MAXIMUM_ATTR_STRING_LENGTH, "vendor name fits VENDOR_ATTR");
static_assert(sizeof(IfdTypeName) <= MAXIMUM_ATTR_STRING_LENGTH, "reader type name fits VENDOR_ATTR");

extern "C" DRIVER_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;

    UnitMap = 0;

    DbgPrint("Loaded Tavelo USB Driver - compilation date: %s - %s", __DATE__, __TIME__);
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

VOID ReleaseUnitNumber(ULONG UnitNo)
{
    if (UnitNo < UNIT_MAP_BITS) {
        UnitMap = static_cast<UCHAR>(UnitMap & ~(1u << UnitNo));
    }
}

// Takes the lowest free bit of UnitMap; with all eight taken the reader is numbered after the count of devices
// created so far and holds no bit.
static ULONG TakeUnitNumber()
{
    for (ULONG unit = 0; unit < UNIT_MAP_BITS; ++unit) {
        if ((UnitMap & (1u << unit)) == 0) {
            UnitMap = static_cast<UCHAR>(UnitMap | (1u << unit));
            return unit;
        }
    }
    return DeviceCount;
}

static VOID DescribeReader(PSMARTCARD_EXTENSION SmartcardExtension, PREADER_EXTENSION ReaderExtension, ULONG UnitNo)
{
    SmartcardExtension->Version = SMCLIB_VERSION;
    SmartcardExtension->ReaderExtension = ReaderExtension;
    SmartcardExtension->SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;
    SmartcardExtension->SmartcardReply.BufferSize = MIN_BUFFER_SIZE;

    SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = CardPower;
    SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = TransmitApdu;
    SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
    SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
    SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = VendorIoctl;

    PVENDOR_ATTR vendorAttr = &SmartcardExtension->VendorAttr;
    RtlCopyMemory(vendorAttr->VendorName.Buffer, VendorName, sizeof(VendorName));
    vendorAttr->VendorName.Length = sizeof(VendorName);
    RtlCopyMemory(vendorAttr->IfdType.Buffer, IfdTypeName, sizeof(IfdTypeName));
    vendorAttr->IfdType.Length = sizeof(IfdTypeName);
    vendorAttr->UnitNo = UnitNo;

    PSCARD_READER_CAPABILITIES capabilities = &SmartcardExtension->ReaderCapabilities;
    capabilities->SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW;
    capabilities->ReaderType = SCARD_READER_TYPE_USB;
    capabilities->MechProperties = 0;
    // Replaced by the reader's answer to the first card-status query at start.
    capabilities->CurrentState = SCARD_PRESENT;
    capabilities->CLKFrequency.Default = 2000;
    capabilities->CLKFrequency.Max = 2000;
    capabilities->DataRate.Default = DataRateTable[0];
    capabilities->DataRate.Max = DataRateTable[ARRAYSIZE(DataRateTable) - 1];
    capabilities->MaxIFSD = 254;
    capabilities->DataRatesSupported.List = DataRateTable;
    capabilities->DataRatesSupported.Entries = static_cast<UCHAR>(ARRAYSIZE(DataRateTable));
}

DRIVER_PAGED_CODE NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();

    const ULONG unitNo = TakeUnitNumber();
    const bool unitBitTaken = unitNo < UNIT_MAP_BITS;

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SMARTCARD, 0, FALSE,
                                     &deviceObject);
    if (!NT_SUCCESS(status)) {
        if (unitBitTaken) {
            ReleaseUnitNumber(unitNo);
        }
        return status;
    }

    // Deleting the device object ends the registration, so it is never undone explicitly.
    IoRegisterShutdownNotification(deviceObject);

    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(deviceObject->DeviceExtension);
    deviceExtension->DeviceObject = deviceObject;
    deviceExtension->PhysicalDeviceObject = PhysicalDeviceObject;
    deviceExtension->PnPState = PNP_NOT_STARTED;
    deviceExtension->DevicePowerState = PowerDeviceD0;
    deviceExtension->SystemPowerState = PowerSystemWorking;
    deviceExtension->InterfaceInfo = NULL;
    deviceExtension->InPipe = NULL;
    deviceExtension->OutPipe = NULL;
    KeInitializeEvent(&deviceExtension->IdleEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&deviceExtension->WriteDoneEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->ReadDoneEvent, SynchronizationEvent, FALSE);
    KeInitializeMutex(&deviceExtension->WriteMutex, 0);
    deviceExtension->IoCount = 1;
    KeInitializeSpinLock(&deviceExtension->IoCountLock);

    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = NULL;
    bool smartcardInitialized = false;
    bool attached = false;

    readerExtension = static_cast<PREADER_EXTENSION>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), POOL_TAG));
    if (readerExtension == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Failed;
    }
    RtlZeroMemory(readerExtension, sizeof(READER_EXTENSION));

    DescribeReader(smartcardExtension, readerExtension, unitNo);

    status = SmartcardInitialize(smartcardExtension);
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }
    smartcardInitialized = true;

    smartcardExtension->OsData->DeviceObject = deviceObject;
    readerExtension->DeviceExtension = deviceExtension;

    deviceExtension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    readerExtension->LowerDeviceObject = deviceExtension->LowerDeviceObject;
    if (deviceExtension->LowerDeviceObject == NULL) {
        status = STATUS_UNSUCCESSFUL;
        goto Failed;
    }
    attached = true;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SMARTCARD_READER, NULL,
                                       &deviceExtension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }

    ++DeviceCount;

    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

Failed:
    if (attached) {
        IoDetachDevice(deviceExtension->LowerDeviceObject);
    }
    if (smartcardInitialized) {
        SmartcardExit(smartcardExtension);
    }
    if (readerExtension != NULL) {
        smartcardExtension->ReaderExtension = NULL;
        ExFreePoolWithTag(readerExtension, POOL_TAG);
    }
    if (unitBitTaken) {
        ReleaseUnitNumber(unitNo);
    }
    IoDeleteDevice(deviceObject);
    return status;
}
