// USB configuration: descriptor reads, the interface search, pipe selection, refused configurations, allocation failures, abort and unconfigure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "reader_fixture.h"

namespace qward::test {
namespace {

using sim::EndpointSpec;
using sim::InterfaceSpec;
using sim::UsbDeviceSpec;

constexpr UCHAR kIn = 0x81;
constexpr UCHAR kOut = 0x02;

EndpointSpec endpoint(UCHAR address, USHORT size = 8) { return EndpointSpec{address, USB_ENDPOINT_TYPE_INTERRUPT, size, 1}; }

InterfaceSpec interface(UCHAR number, std::vector<EndpointSpec> endpoints) {
    InterfaceSpec result;
    result.number = number;
    result.endpoints = std::move(endpoints);
    return result;
}

UsbDeviceSpec device_with(std::vector<InterfaceSpec> interfaces) {
    UsbDeviceSpec device = UsbDeviceSpec::reader();
    device.interfaces = std::move(interfaces);
    return device;
}

TEST(Configuration, ReaderGetsBothPipesAndPacketSize8) {
    ReaderFixture f(1);
    std::vector<LONG> counts;  // IoCount as each request reaches the bus
    f.observe([&](const sim::BusEvent& event) {
        if (event.kind == sim::BusEventKind::submitted) counts.push_back(LONG{f.de->IoCount});
    });
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    ASSERT_NE(f.de->InterfaceInfo, nullptr);
    ASSERT_NE(f.de->InPipe, nullptr);
    ASSERT_NE(f.de->OutPipe, nullptr);
    EXPECT_EQ(f.de->InPipe->EndpointAddress, kIn);
    EXPECT_EQ(f.de->OutPipe->EndpointAddress, kOut);
    EXPECT_EQ(f.re->InPacketSize, 8u);
    EXPECT_EQ(f.re->OutPacketSize, 8u);
    // Both pipes point into the driver's own copy of the interface information.
    const auto* begin = reinterpret_cast<const UCHAR*>(f.de->InterfaceInfo);
    const auto* end = begin + f.de->InterfaceInfo->Length;
    for (const void* pipe : {static_cast<const void*>(f.de->InPipe), static_cast<const void*>(f.de->OutPipe)}) {
        EXPECT_TRUE(pipe >= begin && pipe < end);
    }

    // Device descriptor, configuration header, whole configuration, select.
    ASSERT_EQ(f.submissions.size(), 4u);
    EXPECT_EQ(f.submissions[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(f.submissions[0].requested_length, 18u);
    EXPECT_EQ(f.submissions[1].requested_length, 9u);
    EXPECT_EQ(f.submissions[2].requested_length, f.usb.description().configuration_descriptor().size());
    EXPECT_EQ(f.submissions[3].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_TRUE(f.usb.configured());
    // Each request holds a count while the bus has it, so that a query-stop waits for it.
    EXPECT_EQ(counts, (std::vector<LONG>{2, 2, 2, 2}));
    EXPECT_EQ(f.de->IoCount, 1);
}

TEST(Configuration, DeviceDescriptorErrorEndsTheStartBeforeTheConfigurationIsAskedFor) {
    ReaderFixture f(3);
    f.k.set_fault(sim::FaultSite::bus_transfer, {.fail_nth = 1});
    const NTSTATUS status = f.start();
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(f.submissions.size(), 1u);
    EXPECT_EQ(f.submissions[0].requested_length, 18u);
    EXPECT_EQ(f.de->InterfaceInfo, nullptr);
}

// Records the interface numbers of every select-configuration request that carries a configuration.
struct SelectionWatch {
    std::vector<std::vector<UCHAR>> selections;
    void attach(ReaderFixture& f) {
        f.observe([this](const sim::BusEvent& event) {
            if (event.kind != sim::BusEventKind::submitted || event.function != URB_FUNCTION_SELECT_CONFIGURATION) return;
            auto& select = event.urb->UrbSelectConfiguration;
            if (!select.ConfigurationDescriptor) return;
            std::vector<UCHAR> numbers;
            const auto* base = reinterpret_cast<const UCHAR*>(event.urb);
            size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
            for (int i = 0; i < select.ConfigurationDescriptor->bNumInterfaces && offset < event.urb->UrbHeader.Length; ++i) {
                const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(base + offset);
                numbers.push_back(info->InterfaceNumber);
                offset += info->Length;
            }
            selections.push_back(numbers);
        });
    }
};

TEST(Configuration, InterfaceSearchSkipsMissingNumbersAndSelectsEveryInterface) {
    struct Case {
        std::vector<UCHAR> numbers;  // in descriptor order
    };
    const Case cases[] = {{{0}}, {{0, 2}}, {{2, 5}}, {{0, 255}}, {{7, 3}}};
    for (const Case& c : cases) {
        // The reader's pipes are on the interface with the lowest number, wherever it stands in the descriptor.
        const UCHAR lowest = *std::min_element(c.numbers.begin(), c.numbers.end());
        std::vector<InterfaceSpec> interfaces;
        for (size_t i = 0; i < c.numbers.size(); ++i) {
            if (c.numbers[i] == lowest) {
                interfaces.push_back(interface(c.numbers[i], {endpoint(kIn), endpoint(kOut)}));
            } else {
                interfaces.push_back(interface(c.numbers[i], {endpoint(static_cast<UCHAR>(0x83 + i))}));
            }
        }
        ReaderFixture f(4, device_with(interfaces));
        SelectionWatch watch;
        watch.attach(f);
        ASSERT_EQ(f.start(), STATUS_SUCCESS) << "interfaces " << ::testing::PrintToString(c.numbers);
        ASSERT_EQ(watch.selections.size(), 1u);
        // The search runs by number, so the list comes out in ascending order of interface number.
        std::vector<UCHAR> expected = c.numbers;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(watch.selections[0], expected);
        // Only the first interface of the request is used: the lowest number.
        EXPECT_EQ(f.de->InterfaceInfo->InterfaceNumber, expected[0]);
    }
}

TEST(Configuration, SearchEndsOnADescriptorThatAnnouncesMoreInterfacesThanItHolds) {
    struct Case {
        std::vector<UCHAR> numbers;
        UCHAR announced;
    };
    const Case cases[] = {{{0}, 2}, {{0, 4}, 9}, {{0}, 255}};
    for (const Case& c : cases) {
        std::vector<InterfaceSpec> interfaces;
        interfaces.push_back(interface(c.numbers[0], {endpoint(kIn), endpoint(kOut)}));
        for (size_t i = 1; i < c.numbers.size(); ++i) interfaces.push_back(interface(c.numbers[i], {endpoint(0x85)}));
        UsbDeviceSpec device = device_with(interfaces);
        device.announced_interfaces = c.announced;
        ReaderFixture f(5, device);
        SelectionWatch watch;
        watch.attach(f);
        // Without a bound the search would never come back; with it, what exists is selected.
        EXPECT_EQ(f.start(), STATUS_SUCCESS) << "announced " << int(c.announced);
        ASSERT_EQ(watch.selections.size(), 1u);
        EXPECT_EQ(watch.selections[0], c.numbers);
        EXPECT_NE(f.de->InPipe, nullptr);
    }
}

TEST(Configuration, LaterPipeOfADirectionWins) {
    struct Case {
        std::vector<EndpointSpec> endpoints;
        UCHAR in;
        UCHAR out;
    };
    const Case cases[] = {
        {{endpoint(0x81), endpoint(0x02), endpoint(0x83)}, 0x83, 0x02},
        {{endpoint(0x83), endpoint(0x02), endpoint(0x81)}, 0x81, 0x02},
        {{endpoint(0x04), endpoint(0x81), endpoint(0x02)}, 0x81, 0x02},
    };
    for (const Case& c : cases) {
        ReaderFixture f(6, device_with({interface(0, c.endpoints)}));
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        EXPECT_EQ(f.de->InPipe->EndpointAddress, c.in);
        EXPECT_EQ(f.de->OutPipe->EndpointAddress, c.out);
    }
}

// A configuration the packet channel cannot run on fails the start with a clear status and leaves nothing for
// the channel to send on; the channel and the background read then refuse instead of touching a NULL pipe.
TEST(Configuration, ConfigurationWithoutUsablePipesIsRefused) {
    struct Case {
        const char* name;
        std::vector<EndpointSpec> endpoints;
    };
    const Case cases[] = {
        {"IN only", {endpoint(0x81)}},
        {"OUT only", {endpoint(0x02)}},
        {"no endpoints", {}},
        {"IN of 4 bytes", {endpoint(0x81, 4), endpoint(0x02)}},
        {"OUT of 0 bytes", {endpoint(0x81), endpoint(0x02, 0)}},
    };
    for (const Case& c : cases) {
        ReaderFixture f(7, device_with({interface(0, c.endpoints)}));
        EXPECT_EQ(f.start(), STATUS_DEVICE_CONFIGURATION_ERROR) << c.name;
        EXPECT_EQ(f.de->InterfaceInfo, nullptr) << c.name;
        EXPECT_EQ(f.de->InPipe, nullptr) << c.name;
        EXPECT_EQ(f.de->OutPipe, nullptr) << c.name;
        const size_t before = f.submissions.size();
        f.run([&] {
            UCHAR packet[8] = {0x02, 0x09};
            EXPECT_EQ(WritePacket(f.sc, packet, 1000), STATUS_INVALID_DEVICE_STATE) << c.name;
            EXPECT_EQ(ReadPacket(f.sc, packet, 1000), STATUS_INVALID_DEVICE_STATE) << c.name;
            EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_INVALID_DEVICE_STATE) << c.name;
        });
        EXPECT_FALSE(f.re->PollActive) << c.name;
        EXPECT_EQ(f.de->PollIrp, nullptr) << c.name;
        EXPECT_EQ(f.submissions.size(), before) << c.name << ": nothing reached the bus";
    }
}

// Endpoints larger than a packet are used, but no transfer asks for more than the 8-byte buffers hold; a device
// that then sends more ends the transfer with an overrun instead of writing past the buffer.
TEST(Configuration, LargerEndpointsGetEightByteTransfers) {
    ReaderFixture f(8, device_with({interface(0, {endpoint(0x81, 64), endpoint(0x02, 64)})}));
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    EXPECT_EQ(f.re->InPacketSize, 64u);
    EXPECT_EQ(f.re->OutPacketSize, 64u);
    f.script();
    f.reader.queue_packet(ReaderFixture::packet({0x00, 0x02, 0xAA, 0xBB}));
    UCHAR answer[8] = {};
    f.run([&] {
        UCHAR request[8] = {0x02, 0x09};
        EXPECT_EQ(WritePacket(f.sc, request, 1000), STATUS_SUCCESS);
        EXPECT_EQ(ReadPacket(f.sc, answer, 1000), STATUS_SUCCESS);
        EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING);
    });
    EXPECT_EQ(answer[2], 0xAA);
    for (const Submission& s : f.submissions) {
        if (s.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            EXPECT_EQ(s.requested_length, 8u);
        }
    }
    EXPECT_EQ(f.count_submissions(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81), 2u);
    ASSERT_EQ(f.reader.written().size(), 1u);
    EXPECT_EQ(f.reader.written()[0].packet.size(), 8u);

    // A 64-byte packet meets the background read's 8-byte EventPacket.
    ASSERT_TRUE(f.re->PollActive);
    f.reader.queue_packet(sim::Packet(64, 0x77));
    f.settle(10);
    EXPECT_TRUE(f.re->ReadFailed);
    EXPECT_FALSE(f.re->EventPacketReady);
    EXPECT_EQ(f.de->PollIrp, nullptr);
}

// Rewrites the wTotalLength of the nth configuration descriptor answer before the driver sees it.
void patch_total_length(ReaderFixture& f, int nth, USHORT value) {
    auto seen = std::make_shared<int>(0);
    f.observe([seen, nth, value](const sim::BusEvent& event) {
        if (event.kind != sim::BusEventKind::completed || event.function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return;
        auto& request = event.urb->UrbControlDescriptorRequest;
        if (request.DescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) return;
        if (++*seen != nth || request.TransferBufferLength < 4) return;
        auto* bytes = static_cast<UCHAR*>(request.TransferBuffer);
        bytes[2] = static_cast<UCHAR>(value & 0xFF);
        bytes[3] = static_cast<UCHAR>(value >> 8);
    });
}

TEST(Configuration, MalformedConfigurationLengthsAreRefused) {
    struct Case {
        const char* name;
        int nth;
        USHORT total;
    };
    const Case cases[] = {
        {"header announces no bytes", 1, 0},
        {"header shorter than itself", 1, 5},
        {"second answer announces more than the first", 2, 400},
    };
    for (const Case& c : cases) {
        ReaderFixture f(9);
        patch_total_length(f, c.nth, c.total);
        EXPECT_EQ(f.start(), STATUS_DEVICE_DATA_ERROR) << c.name;
        EXPECT_EQ(f.de->InterfaceInfo, nullptr) << c.name;
        EXPECT_EQ(f.count_submissions(URB_FUNCTION_SELECT_CONFIGURATION, 0), 0u) << c.name;
    }
}

// Every allocation of the configuration failing in turn: the start fails with STATUS_INSUFFICIENT_RESOURCES and
// leaves nothing allocated (the fixture's removal unloads the driver, which bug-checks on leftover pool).
TEST(Configuration, EachAllocationFailureIsReportedAndLeaksNothing) {
    for (sim::FaultSite site : {sim::FaultSite::pool, sim::FaultSite::irp}) {
        bool succeeded = false;
        for (uint64_t nth = 1; nth < 40 && !succeeded; ++nth) {
            ReaderFixture f(10);
            NTSTATUS status = STATUS_PENDING;
            f.run([&] {
                auto request = sim::HostRequest::create(f.k, f.node->pdo_device(), "start at the PDO");
                request->location()->MajorFunction = IRP_MJ_PNP;
                request->location()->MinorFunction = IRP_MN_START_DEVICE;
                ASSERT_EQ(request->send_and_wait(), STATUS_SUCCESS);
                f.k.set_fault(site, {.fail_nth = nth});
                status = ConfigureDevice(f.fdo);
                f.k.clear_faults();
            });
            if (f.k.faults_injected() == 0) {
                EXPECT_EQ(status, STATUS_SUCCESS) << to_string(site) << " " << nth;
                succeeded = true;
            } else {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << to_string(site) << " failure " << nth;
                EXPECT_EQ(f.de->InterfaceInfo, nullptr) << to_string(site) << " failure " << nth;
            }
            f.finish();
            EXPECT_FALSE(f.k.bug_checked()) << f.k.bug_check_report();
        }
        EXPECT_TRUE(succeeded) << to_string(site) << ": the sweep never reached a run without a failure";
    }
}

TEST(Configuration, AbortPipesBeforeConfigurationSendsNothing) {
    ReaderFixture f(11);
    NTSTATUS status = STATUS_PENDING;
    f.run([&] { status = AbortPipes(f.fdo); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(f.submissions.empty());
}

TEST(Configuration, AbortPipesAbortsEveryPipeAndEndsTheBackgroundRead) {
    ReaderFixture f(12);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.run([&] { EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING); });
    EXPECT_EQ(f.queued_reads(), 1u);
    NTSTATUS status = STATUS_PENDING;
    f.run([&] { status = AbortPipes(f.fdo); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(f.count_submissions(URB_FUNCTION_ABORT_PIPE, 0x81), 1u);
    EXPECT_EQ(f.count_submissions(URB_FUNCTION_ABORT_PIPE, 0x02), 1u);
    // The bus completes the aborted read before the abort itself.
    EXPECT_EQ(f.de->PollIrp, nullptr);
    EXPECT_TRUE(f.re->PollCancelled);
    EXPECT_FALSE(f.re->PollActive);
    EXPECT_EQ(f.queued_reads(), 0u);
}

TEST(Configuration, UnconfigureSelectsNoConfiguration) {
    ReaderFixture f(13);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    ASSERT_TRUE(f.usb.configured());
    NTSTATUS status = STATUS_PENDING;
    f.run([&] { status = UnconfigureDevice(f.fdo); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(f.usb.configured());
    EXPECT_EQ(f.count_submissions(URB_FUNCTION_SELECT_CONFIGURATION, 0), 2u);

    f.run([&] {
        f.k.set_fault(sim::FaultSite::pool, {.fail_nth = 1});
        status = UnconfigureDevice(f.fdo);
        f.k.clear_faults();
    });
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(f.count_submissions(URB_FUNCTION_SELECT_CONFIGURATION, 0), 2u);
}

}  // namespace
}  // namespace qward::test
