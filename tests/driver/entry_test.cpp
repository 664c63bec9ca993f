// Driver load, AddDevice (unit numbers, the records it fills, clean-up after each failing step),
// the pending-I/O count and the card-state accessors.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "machine/machine.h"

namespace sim {
namespace {

// The one machine with the reader driver loaded and no reader plugged in yet; devices plug in without a USB device
// behind them.
struct Machine {
    explicit Machine(uint64_t seed = 1) : machine(seed), k(machine.k), bus(machine.bus), pnp(machine.pnp) {
        pnp.unload_unused_drivers = false;
        machine.load_driver();
        driver = machine.driver();
    }

    // Plugs a reader in and runs AddDevice; returns its node.
    DeviceNode& plug(const std::string& name) {
        DeviceNode* node = nullptr;
        EXPECT_EQ(k.run_thread("pnp", [&] { node = &pnp.plug(driver, name, nullptr); }), RunOutcome::completed)
            << k.bug_check_report();
        return *node;
    }

    void remove(DeviceNode& node) {
        NTSTATUS status = STATUS_PENDING;
        EXPECT_EQ(k.run_thread("pnp", [&] { status = pnp.remove(node); }), RunOutcome::completed)
            << k.bug_check_report();
        EXPECT_EQ(status, STATUS_SUCCESS);
    }

    static PDEVICE_EXTENSION extension(DeviceNode& node) {
        return static_cast<PDEVICE_EXTENSION>(node.fdo()->DeviceExtension);
    }

    sim::Machine machine;
    Kernel& k;
    Bus& bus;
    PnpManager& pnp;
    PDRIVER_OBJECT driver = nullptr;
};

TEST(DriverEntry, FillsTheDispatchTableAndPrintsTheBanner) {
    Machine m;
    const PDRIVER_DISPATCH expected[][2] = {
        {reinterpret_cast<PDRIVER_DISPATCH>(IRP_MJ_CREATE), &DispatchCreateClose},
        {reinterpret_cast<PDRIVER_DISPATCH>(IRP_MJ_CLOSE), &DispatchCreateClose},
        {reinterpret_cast<PDRIVER_DISPATCH>(IRP_MJ_DEVICE_CONTROL), &DispatchDeviceControl},
        {reinterpret_cast<PDRIVER_DISPATCH>(IRP_MJ_SHUTDOWN), &DispatchShutdown},
        {reinterpret_cast<PDRIVER_DISPATCH>(IRP_MJ_CLEANUP), &DispatchCleanup},
        {reinterpret_cast<PDRIVER_DISPATCH>(IRP_MJ_POWER), &DispatchPower},
        {reinterpret_cast<PDRIVER_DISPATCH>(IRP_MJ_SYSTEM_CONTROL), &DispatchSystemControl},
        {reinterpret_cast<PDRIVER_DISPATCH>(IRP_MJ_PNP), &DispatchPnp},
    };
    for (auto& [major, routine] : expected) {
        EXPECT_EQ(m.driver->MajorFunction[reinterpret_cast<uintptr_t>(major)], routine)
            << "major function " << reinterpret_cast<uintptr_t>(major);
    }
    // Read and write keep the I/O manager's default, which fails them.
    EXPECT_NE(m.driver->MajorFunction[IRP_MJ_READ], m.driver->MajorFunction[IRP_MJ_CREATE]);
    EXPECT_EQ(m.driver->DriverExtension->AddDevice, &AddDevice);
    EXPECT_EQ(m.driver->DriverUnload, &DriverUnload);
    EXPECT_EQ(UnitMap, 0);

    ASSERT_EQ(m.k.debug_log().size(), 1u);
    static const std::regex banner(
        "Loaded Tavelo USB Driver - compilation date: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} - [0-9]{2}:[0-9]{2}:[0-9]{2}");
    EXPECT_TRUE(std::regex_match(m.k.debug_log()[0].text, banner)) << m.k.debug_log()[0].text;
}

template <typename AttributeString>
std::string attribute_text(const AttributeString& s) {
    return std::string(reinterpret_cast<const char*>(s.Buffer), s.Length);
}

TEST(AddDevice, FillsTheDeviceAndReaderRecords) {
    Machine m;
    DeviceNode& node = m.plug("reader0");
    ASSERT_EQ(node.add_status(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = node.fdo();
    PDEVICE_EXTENSION ext = Machine::extension(node);
    PSMARTCARD_EXTENSION sc = &ext->SmartcardExtension;
    PREADER_EXTENSION reader = sc->ReaderExtension;

    // The device object.
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SMARTCARD));
    EXPECT_EQ(fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(fdo->Characteristics, 0u);

    // The device record.
    EXPECT_EQ(ext->DeviceObject, fdo);
    EXPECT_EQ(ext->PhysicalDeviceObject, node.pdo_device());
    EXPECT_EQ(ext->LowerDeviceObject, node.pdo_device());
    EXPECT_EQ(ext->PnPState, 0u);
    EXPECT_EQ(ext->IoCount, 1);
    EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), 1);
    EXPECT_EQ(KeReadStateEvent(&ext->WriteDoneEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&ext->ReadDoneEvent), 0);
    EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(ext->SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(ext->InterfaceInfo, nullptr);
    EXPECT_EQ(ext->InPipe, nullptr);
    EXPECT_EQ(ext->OutPipe, nullptr);
    EXPECT_EQ(ext->PollIrp, nullptr);
    EXPECT_FALSE(ext->ShutdownSignalled);
    EXPECT_FALSE(ext->UseIoCallDriverForPower);
    EXPECT_NE(ext->InterfaceName.Buffer, nullptr);

    // The interface is registered but enabled only at start.
    std::u16string name(reinterpret_cast<const char16_t*>(ext->InterfaceName.Buffer), ext->InterfaceName.Length / 2);
    ASSERT_TRUE(m.k.interfaces().count(name));
    EXPECT_FALSE(m.k.interfaces()[name].enabled);
    EXPECT_TRUE(m.k.find_device(fdo)->shutdown_registered);

    // The reader record: every flag and PIN field zero, links back and down.
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->DeviceExtension, ext);
    EXPECT_EQ(reader->LowerDeviceObject, ext->LowerDeviceObject);
    const UCHAR flags[] = {reader->EventPacketReady, reader->PollActive, reader->ReadFailed, reader->CardRequired,
                           reader->CardPresent,      reader->CardRemovedSeen, reader->PollCancelled,
                           reader->PinState,         reader->PinMinDigits, reader->PinMaxDigits,
                           reader->EntryValidation,  reader->PinOutcome};
    for (UCHAR flag : flags) EXPECT_EQ(flag, 0);
    EXPECT_EQ(reader->ResponseEvent, nullptr);
    EXPECT_EQ(reader->DigitCount, 0);
    EXPECT_EQ(m.k.live_pool_with_tag(POOL_TAG), 1u) << "the reader record is the driver's only pool block";

    // What the smart card library was told.
    EXPECT_EQ(sc->Version, static_cast<ULONG>(SMCLIB_VERSION));
    EXPECT_EQ(sc->SmartcardRequest.BufferSize, 288u);
    EXPECT_EQ(sc->SmartcardReply.BufferSize, 288u);
    EXPECT_EQ(sc->OsData->DeviceObject, fdo);
    EXPECT_EQ(sc->ReaderFunction[RDF_CARD_POWER], &CardPower);
    EXPECT_EQ(sc->ReaderFunction[RDF_TRANSMIT], &TransmitApdu);
    EXPECT_EQ(sc->ReaderFunction[RDF_CARD_TRACKING], &CardTracking);
    EXPECT_EQ(sc->ReaderFunction[RDF_SET_PROTOCOL], &SetProtocol);
    EXPECT_EQ(sc->ReaderFunction[RDF_IOCTL_VENDOR], &VendorIoctl);
    for (int slot : {RDF_CARD_EJECT, RDF_READER_SWALLOW, RDF_CARD_CONFISCATE}) {
        EXPECT_EQ(sc->ReaderFunction[slot], nullptr) << "slot " << slot;
    }
    EXPECT_EQ(attribute_text(sc->VendorAttr.VendorName), std::string("Tavelo", 7));
    EXPECT_EQ(attribute_text(sc->VendorAttr.IfdType), std::string("Q-ward", 7));
    EXPECT_EQ(sc->VendorAttr.UnitNo, 0u);
    const SCARD_READER_CAPABILITIES& caps = sc->ReaderCapabilities;
    EXPECT_EQ(caps.SupportedProtocols, 0x10003u);
    EXPECT_EQ(caps.ReaderType, 0x20u);
    EXPECT_EQ(caps.MechProperties, 0u);
    EXPECT_EQ(caps.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
    EXPECT_EQ(caps.CLKFrequency.Default, 2000u);
    EXPECT_EQ(caps.CLKFrequency.Max, 2000u);
    EXPECT_EQ(caps.DataRate.Default, 5376u);
    EXPECT_EQ(caps.DataRate.Max, 21505u);
    EXPECT_EQ(caps.MaxIFSD, 254u);
    ASSERT_EQ(caps.DataRatesSupported.Entries, 3);
    EXPECT_EQ(std::vector<ULONG>(caps.DataRatesSupported.List, caps.DataRatesSupported.List + 3),
              (std::vector<ULONG>{5376, 10752, 21505}));

    m.remove(node);
    EXPECT_TRUE(m.k.live_pool().empty()) << m.k.describe_live_pool();
}

// Plugging and removing readers in an order; after each step, the unit numbers and the map.
TEST(AddDevice, UnitNumbersComeFromTheMapThenFromTheDeviceCount) {
    Machine m;
    std::vector<DeviceNode*> readers;
    for (int i = 0; i < 3; ++i) readers.push_back(&m.plug("reader" + std::to_string(i)));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Machine::extension(*readers[i])->SmartcardExtension.VendorAttr.UnitNo, ULONG(i));
    EXPECT_EQ(UnitMap, 0x07);

    // Removing reader 1 frees its number for the next reader.
    m.remove(*readers[1]);
    EXPECT_EQ(UnitMap, 0x05);
    DeviceNode& again = m.plug("reader3");
    EXPECT_EQ(Machine::extension(again)->SmartcardExtension.VendorAttr.UnitNo, 1u);
    EXPECT_EQ(UnitMap, 0x07);
    EXPECT_EQ(DeviceCount, 4u);

    // Fill the map, then a ninth reader takes the device count and no bit.
    for (int i = 4; i < 9; ++i) m.plug("reader" + std::to_string(i));
    EXPECT_EQ(UnitMap, 0xFF);
    ULONG count_before = DeviceCount;
    DeviceNode& ninth = m.plug("reader9");
    EXPECT_EQ(Machine::extension(ninth)->SmartcardExtension.VendorAttr.UnitNo, count_before);
    EXPECT_GE(count_before, 8u);
    EXPECT_EQ(UnitMap, 0xFF);
    m.remove(ninth);
    EXPECT_EQ(UnitMap, 0xFF);
}

// Each step of AddDevice failing in turn: the step's status, and nothing left behind: no device
// attached to the PDO, no pool, the unit bit free and the device count unchanged.
TEST(AddDevice, EachFailingStepLeavesNothingBehind) {
    struct Case {
        const char* step;
        FaultSite site;
        uint64_t nth;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"IoCreateDevice", FaultSite::create_device, 2, STATUS_INSUFFICIENT_RESOURCES},  // the first creates the PDO
        {"reader record", FaultSite::pool, 1, STATUS_INSUFFICIENT_RESOURCES},
        {"SmartcardInitialize", FaultSite::pool, 2, STATUS_INSUFFICIENT_RESOURCES},
        {"IoAttachDeviceToDeviceStack", FaultSite::attach_device, 1, STATUS_UNSUCCESSFUL},
        {"IoRegisterDeviceInterface", FaultSite::register_interface, 1, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        Machine m;
        m.k.set_fault(c.site, {.fail_nth = c.nth});
        DeviceNode& node = m.plug("reader0");
        EXPECT_EQ(node.add_status(), c.expected) << c.step;
        EXPECT_EQ(node.fdo(), nullptr) << c.step;
        EXPECT_EQ(node.pdo_device()->AttachedDevice, nullptr) << c.step;
        EXPECT_EQ(m.driver->DeviceObject, nullptr) << c.step;
        EXPECT_EQ(UnitMap, 0) << c.step;
        EXPECT_EQ(DeviceCount, 0u) << c.step;
        EXPECT_TRUE(m.k.live_pool().empty()) << c.step << m.k.describe_live_pool();
        EXPECT_FALSE(m.k.bug_checked()) << m.k.bug_check_report();

        // The failure used up the fault; the next reader gets unit 0 and is counted.
        m.k.clear_faults();
        DeviceNode& next = m.plug("reader1");
        EXPECT_EQ(next.add_status(), STATUS_SUCCESS) << c.step;
        EXPECT_EQ(UnitMap, 0x01) << c.step;
        EXPECT_EQ(DeviceCount, 1u) << c.step;
    }
}

// Every pool allocation that AddDevice makes (its own and the library's and the kernel's on its
// behalf) failing in turn, until AddDevice gets through.
TEST(AddDevice, PoolExhaustionAtEveryAllocationIsCleanedUp) {
    int failures = 0;
    for (uint64_t nth = 1; nth < 50; ++nth) {
        Machine m;
        m.k.set_fault(FaultSite::pool, {.fail_nth = nth});
        DeviceNode& node = m.plug("reader0");
        if (node.add_status() == STATUS_SUCCESS) {
            EXPECT_GT(failures, 0);
            return;
        }
        ++failures;
        EXPECT_EQ(node.add_status(), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
        EXPECT_TRUE(m.k.live_pool().empty()) << "allocation " << nth << m.k.describe_live_pool();
        EXPECT_EQ(UnitMap, 0);
    }
    FAIL() << "AddDevice never succeeded";
}

TEST(IoCount, IdleEventFollowsTheCount) {
    Machine m;
    DeviceNode& node = m.plug("reader0");
    PDEVICE_EXTENSION ext = Machine::extension(node);
    struct Step {
        bool increment;
        LONG count;
        LONG idle;
    };
    // 1 -> 2 clears; 2 -> 3 and 3 -> 2 change nothing; 2 -> 1 signals.
    const Step steps[] = {{true, 2, 0}, {true, 3, 0}, {false, 2, 0}, {false, 1, 1}};
    m.k.run_thread("io", [&] {
        for (const Step& s : steps) {
            LONG count = s.increment ? IncrementIoCount(ext) : DecrementIoCount(ext);
            EXPECT_EQ(count, s.count);
            EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), s.idle) << "count " << count;
        }
        // The idle event is a synchronization event: a wait consumes the signal.
        KeWaitForSingleObject(&ext->IdleEvent, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), 0);
        KeSetEvent(&ext->IdleEvent, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_FALSE(m.k.bug_checked()) << m.k.bug_check_report();
}

TEST(CardState, ReadsBackWhatWasSet) {
    Machine m;
    DeviceNode& node = m.plug("reader0");
    PSMARTCARD_EXTENSION sc = &Machine::extension(node)->SmartcardExtension;
    m.k.run_thread("state", [&] {
        for (ULONG state : {SCARD_ABSENT, SCARD_PRESENT, SCARD_SWALLOWED, SCARD_SPECIFIC, SCARD_UNKNOWN}) {
            SetCardState(sc, state);
            EXPECT_EQ(GetCardState(sc), state);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
    });
    EXPECT_FALSE(m.k.bug_checked()) << m.k.bug_check_report();
}

// Sends an I/O control straight to the smart card library for the reader, as the device-control
// gate will, and returns the status and the reply bytes.
struct LibraryReply {
    NTSTATUS status = STATUS_PENDING;
    std::vector<UCHAR> data;
};

LibraryReply library_ioctl(Kernel& k, PDEVICE_EXTENSION ext, ULONG code, const std::vector<UCHAR>& input,
                           ULONG output_length) {
    LibraryReply reply;
    k.run_thread("application", [&] {
        PDEVICE_OBJECT fdo = ext->DeviceObject;
        PIRP irp = k.allocate_irp(fdo->StackSize, IrpOrigin::host);
        std::vector<UCHAR> buffer(std::max<size_t>(input.size(), output_length));
        if (!input.empty()) std::memcpy(buffer.data(), input.data(), input.size());
        irp->AssociatedIrp.SystemBuffer = buffer.data();
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->DeviceObject = fdo;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
        stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
        k.find_irp(irp)->on_complete = [&](PIRP done) {
            reply.status = done->IoStatus.Status;
            reply.data.assign(buffer.begin(), buffer.begin() + std::min<size_t>(done->IoStatus.Information, output_length));
            k.free_irp(done, "test");
        };
        SmartcardDeviceControl(&ext->SmartcardExtension, irp);
    });
    return reply;
}

ULONG as_ulong(const std::vector<UCHAR>& bytes) {
    ULONG value = 0;
    std::memcpy(&value, bytes.data(), std::min<size_t>(bytes.size(), 4));
    return value;
}

TEST(ReaderDescription, AttributesAsTheLibraryReportsThem) {
    Machine m;
    DeviceNode& node = m.plug("reader0");
    PDEVICE_EXTENSION ext = Machine::extension(node);
    auto get = [&](ULONG tag) { return library_ioctl(m.k, ext, IOCTL_SMARTCARD_GET_ATTRIBUTE, {UCHAR(tag), UCHAR(tag >> 8), UCHAR(tag >> 16), UCHAR(tag >> 24)}, 64); };

    LibraryReply vendor = get(SCARD_ATTR_VENDOR_NAME);
    ASSERT_EQ(vendor.status, STATUS_SUCCESS);
    EXPECT_EQ(vendor.data, (std::vector<UCHAR>{'T', 'a', 'v', 'e', 'l', 'o', 0}));
    LibraryReply type = get(SCARD_ATTR_VENDOR_IFD_TYPE);
    ASSERT_EQ(type.status, STATUS_SUCCESS);
    EXPECT_EQ(type.data, (std::vector<UCHAR>{'Q', '-', 'w', 'a', 'r', 'd', 0}));

    struct Numeric {
        ULONG tag;
        ULONG value;
    };
    const Numeric numerics[] = {
        {SCARD_ATTR_PROTOCOL_TYPES, 0x10003}, {SCARD_ATTR_DEFAULT_CLK, 2000},   {SCARD_ATTR_MAX_CLK, 2000},
        {SCARD_ATTR_DEFAULT_DATA_RATE, 5376}, {SCARD_ATTR_MAX_DATA_RATE, 21505}, {SCARD_ATTR_MAX_IFSD, 254},
        {SCARD_ATTR_DEVICE_UNIT, 0},          {SCARD_ATTR_CHARACTERISTICS, 0},
    };
    for (const Numeric& n : numerics) {
        LibraryReply r = get(n.tag);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << n.tag;
        EXPECT_EQ(r.data.size(), 4u) << std::hex << n.tag;
        EXPECT_EQ(as_ulong(r.data), n.value) << std::hex << n.tag;
    }

    // Before the first start the card state is the one AddDevice set.
    LibraryReply state = library_ioctl(m.k, ext, IOCTL_SMARTCARD_GET_STATE, {}, 4);
    EXPECT_EQ(state.status, STATUS_SUCCESS);
    EXPECT_EQ(as_ulong(state.data), static_cast<ULONG>(SCARD_PRESENT));
    EXPECT_FALSE(m.k.bug_checked()) << m.k.bug_check_report();
}

}  // namespace
}  // namespace sim
