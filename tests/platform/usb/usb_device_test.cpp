// The simulated USB bus: descriptor and configuration requests, pipe FIFOs, cancel and abort, packet limits, unplugging, frame timing, faults and observers, driven through a PDO from simulated threads.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "platform/usb/usb_test_support.h"

namespace sim {
namespace {

using test::Selection;
using test::Submission;
using test::UrbClient;

// The device side of the bus for tests: takes each written packet as it arrives, optionally
// echoing it back on the IN endpoint.
class Sink : public UsbPeripheral {
   public:
    explicit Sink(UsbDevice& usb) : usb_(usb) { usb.attach_peripheral(this); }
    ~Sink() override { usb_.attach_peripheral(nullptr); }
    void on_out_packet(UCHAR endpoint) override {
        while (auto packet = usb_.device_take(endpoint)) {
            taken.push_back(*packet);
            if (echo) usb_.device_send(0x81, *packet);
        }
    }
    std::vector<Packet> taken;
    bool echo = false;

   private:
    UsbDevice& usb_;
};

struct Bench {
    explicit Bench(uint64_t seed = 1, UsbDeviceSpec device = UsbDeviceSpec::reader())
        : k(seed), usb(k, std::move(device)), pdo(k, usb), sink(usb) {}

    void run(const std::function<void(UrbClient&)>& body) {
        RunOutcome outcome = run_to_end(body);
        EXPECT_EQ(outcome, RunOutcome::completed) << k.bug_check_report() << k.scheduler().deadlock_report();
    }

    RunOutcome run_to_end(const std::function<void(UrbClient&)>& body) {
        return k.run_thread("driver", [&] {
            UrbClient client(pdo.device());
            body(client);
        });
    }

    Selection configure(UrbClient& client) {
        configuration = usb.description().configuration_descriptor();
        return test::select_all(client, configuration);
    }

    Kernel k;
    UsbDevice usb;
    test::TestPdo pdo;
    Sink sink;
    Packet configuration;
};

InterfaceSpec interface_with(UCHAR number, std::vector<EndpointSpec> endpoints) {
    InterfaceSpec interface;
    interface.number = number;
    interface.endpoints = std::move(endpoints);
    return interface;
}

UsbDeviceSpec with_packet_size(USHORT size) {
    UsbDeviceSpec device = UsbDeviceSpec::reader();
    for (EndpointSpec& endpoint : device.interfaces[0].endpoints) endpoint.max_packet_size = size;
    return device;
}

Packet numbered(size_t length, uint8_t first) {
    Packet packet(length);
    for (size_t i = 0; i < length; ++i) packet[i] = static_cast<uint8_t>(first + i);
    return packet;
}

TEST(UsbDescriptors, CopyWhatWasAskedAndNoMore) {
    struct Case {
        const char* what;
        UCHAR type;
        ULONG asked;
        NTSTATUS status;
        USBD_STATUS usbd_status;
        ULONG returned;
    };
    const Case cases[] = {
        {"whole device descriptor", USB_DEVICE_DESCRIPTOR_TYPE, 18, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 18},
        {"device descriptor head", USB_DEVICE_DESCRIPTOR_TYPE, 8, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 8},
        {"device descriptor, big buffer", USB_DEVICE_DESCRIPTOR_TYPE, 64, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 18},
        {"configuration header", USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 9},
        {"whole configuration", USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 32},
        {"configuration, 4 bytes", USB_CONFIGURATION_DESCRIPTOR_TYPE, 4, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 4},
        {"no string descriptors", USB_STRING_DESCRIPTOR_TYPE, 16, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        Packet expected = c.type == USB_DEVICE_DESCRIPTOR_TYPE ? bench.usb.description().device_descriptor()
                                                               : bench.usb.description().configuration_descriptor();
        Packet buffer(300, 0xEE);
        bench.run([&](UrbClient& client) {
            auto urb = test::descriptor_urb(c.type, buffer.data(), c.asked);
            EXPECT_EQ(client.submit(urb->get()), c.status);
            EXPECT_EQ(urb->get()->UrbHeader.Status, c.usbd_status);
            EXPECT_EQ(urb->get()->UrbControlDescriptorRequest.TransferBufferLength, c.returned);
        });
        for (ULONG i = 0; i < c.returned; ++i) EXPECT_EQ(buffer[i], expected[i]) << "byte " << i;
        EXPECT_EQ(buffer[c.returned], 0xEE) << "written past what was returned";
        test::expect_clean(bench.k);
    }
}

TEST(UsbSelectConfiguration, FillsEveryInterfaceAndPipeOfEachShape) {
    struct Shape {
        const char* name;
        UsbDeviceSpec device;
    };
    std::vector<Shape> shapes = {{"reader", UsbDeviceSpec::reader()}, {"packet size 64", with_packet_size(64)}};
    UsbDeviceSpec gap = UsbDeviceSpec::reader();
    gap.interfaces.push_back(interface_with(2, {{0x83, USB_ENDPOINT_TYPE_BULK, 64, 0}}));
    shapes.push_back({"interfaces 0 and 2", gap});
    UsbDeviceSpec two_in;
    two_in.interfaces.push_back(interface_with(0, {{0x81, 3, 8, 1}, {0x02, 3, 8, 1}, {0x83, 3, 8, 1}}));
    shapes.push_back({"two IN endpoints", two_in});
    UsbDeviceSpec no_out;
    no_out.interfaces.push_back(interface_with(0, {{0x81, 3, 8, 1}}));
    shapes.push_back({"no OUT endpoint", no_out});
    UsbDeviceSpec overstated = UsbDeviceSpec::reader();
    overstated.announced_interfaces = 3;
    shapes.push_back({"announces 3 interfaces, holds 1", overstated});

    for (Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        Bench bench(1, shape.device);
        Selection selection;
        bench.run([&](UrbClient& client) { selection = bench.configure(client); });
        ASSERT_EQ(selection.status, STATUS_SUCCESS);
        EXPECT_TRUE(bench.usb.configured());
        EXPECT_NE(selection.configuration, nullptr);
        ASSERT_EQ(selection.interfaces.size(), shape.device.interfaces.size());
        std::set<void*> handles{selection.configuration};
        for (size_t i = 0; i < shape.device.interfaces.size(); ++i) {
            const InterfaceSpec& interface = shape.device.interfaces[i];
            const USBD_INTERFACE_INFORMATION& information = selection.interfaces[i];
            EXPECT_EQ(information.InterfaceNumber, interface.number);
            EXPECT_EQ(information.Class, interface.class_code);
            EXPECT_EQ(information.NumberOfPipes, interface.endpoints.size());
            handles.insert(information.InterfaceHandle);
            for (size_t p = 0; p < interface.endpoints.size(); ++p) {
                const USBD_PIPE_INFORMATION& pipe = selection.pipes[i][p];
                EXPECT_EQ(pipe.EndpointAddress, interface.endpoints[p].address);
                EXPECT_EQ(pipe.MaximumPacketSize, interface.endpoints[p].max_packet_size);
                EXPECT_EQ(pipe.PipeType, interface.endpoints[p].type == USB_ENDPOINT_TYPE_BULK ? UsbdPipeTypeBulk
                                                                                               : UsbdPipeTypeInterrupt);
                EXPECT_EQ(pipe.Interval, interface.endpoints[p].interval);
                handles.insert(pipe.PipeHandle);
            }
        }
        size_t pipes = 0;
        for (auto& interface : shape.device.interfaces) pipes += interface.endpoints.size();
        EXPECT_EQ(handles.size(), 1 + shape.device.interfaces.size() + pipes) << "handles must be distinct";
        EXPECT_EQ(handles.count(nullptr), 0u);
        test::expect_clean(bench.k);
    }
}

TEST(UsbSelectConfiguration, UnconfigureAfterAbortRetiresHandles) {
    Bench bench;
    bench.run([&](UrbClient& client) {
        Selection first = bench.configure(client);
        USBD_PIPE_HANDLE old_in = first.pipe_for(0x81);
        Packet buffer(8);
        auto pending_urb = test::transfer_urb(old_in, buffer.data(), 8, true);
        auto pending = client.start(pending_urb->get());
        // The client ends its transfer before the configuration goes, as the bus requires.
        auto abort = test::pipe_urb(URB_FUNCTION_ABORT_PIPE, old_in);
        EXPECT_EQ(client.submit(abort->get()), STATUS_SUCCESS);
        client.wait(*pending);
        EXPECT_EQ(pending->status, STATUS_CANCELLED);
        EXPECT_EQ(pending_urb->get()->UrbHeader.Status, USBD_STATUS_CANCELED);
        auto unconfigure = test::unconfigure_urb();
        EXPECT_EQ(client.submit(unconfigure->get()), STATUS_SUCCESS);
        EXPECT_FALSE(bench.usb.configured());

        auto stale = test::transfer_urb(old_in, buffer.data(), 8, true);
        EXPECT_EQ(client.submit(stale->get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(stale->get()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

        Selection second = bench.configure(client);
        ASSERT_EQ(second.status, STATUS_SUCCESS);
        EXPECT_NE(second.pipe_for(0x81), old_in);
        EXPECT_EQ(client.submit(stale->get()), STATUS_INVALID_PARAMETER) << "a handle of an earlier configuration";
        bench.usb.device_send(0x81, numbered(8, 1));
        auto fresh = test::transfer_urb(second.pipe_for(0x81), buffer.data(), 8, true);
        EXPECT_EQ(client.submit(fresh->get()), STATUS_SUCCESS);
    });
    test::expect_clean(bench.k);
}

TEST(UsbSelectConfiguration, RefusesRequestsThatDoNotFitTheDevice) {
    struct Case {
        const char* what;
        std::function<void(PURB)> spoil;
        NTSTATUS status;
        USBD_STATUS usbd_status;
    };
    const Case cases[] = {
        {"unknown interface", [](PURB urb) { urb->UrbSelectConfiguration.Interface.InterfaceNumber = 5; },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND},
        {"interface information too short", [](PURB urb) { urb->UrbSelectConfiguration.Interface.Length = 24; },
         STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL},
        {"header length cut", [](PURB urb) { urb->UrbHeader.Length = 60; }, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        Packet configuration = bench.usb.description().configuration_descriptor();
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        bench.run([&](UrbClient& client) {
            USBD_INTERFACE_LIST_ENTRY list[2] = {
                {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr},
                {nullptr, nullptr}};
            PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
            c.spoil(urb);
            EXPECT_EQ(client.submit(urb), c.status);
            EXPECT_EQ(urb->UrbHeader.Status, c.usbd_status);
            ExFreePool(urb);
        });
        EXPECT_FALSE(bench.usb.configured());
        test::expect_clean(bench.k);
    }
}

// A client that changes or drops the configuration while transfers of its own are still queued on the pipes
// being closed. The bus stops the run and names each pipe with its count, rather than cancelling the transfers
// behind the client's back.
TEST(UsbConfigurationChange, TransfersLeftQueuedStopTheRun) {
    UsbDeviceSpec bulk;
    bulk.interfaces.push_back(interface_with(0, {{0x81, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                                 {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}}));
    enum class Change { unconfigure, select_again, stop };
    struct Case {
        const char* what;
        UsbDeviceSpec device;
        int reads;   // queued on 0x81
        int writes;  // queued on 0x02, which refuses every packet
        Change change;
        std::vector<std::string> expected;  // parts of the report
        bool cancel_reads_first = false;    // with next_frame delivery: cancelled, not waited for
    };
    const Case cases[] = {
        {"interrupt read, unconfigured", UsbDeviceSpec::reader(), 1, 0, Change::unconfigure,
         {"no configuration descriptor", "1 transfer(s) not completed", "pipe 0x81 (interrupt IN): 1 transfer(s)"}},
        {"bulk read, unconfigured", bulk, 1, 0, Change::unconfigure,
         {"no configuration descriptor", "pipe 0x81 (bulk IN): 1 transfer(s)"}},
        {"reads and a write, configuration selected again", UsbDeviceSpec::reader(), 2, 1, Change::select_again,
         {"of configuration 1", "3 transfer(s) not completed", "pipe 0x81 (interrupt IN): 2 transfer(s)",
          "pipe 0x02 (interrupt OUT): 1 transfer(s)"}},
        {"interrupt read, device stopped", UsbDeviceSpec::reader(), 1, 0, Change::stop,
         {"IRP_MN_STOP_DEVICE", "pipe 0x81 (interrupt IN): 1 transfer(s)"}},
        {"read cancelled, its completion a frame away, unconfigured at once", UsbDeviceSpec::reader(), 1, 0,
         Change::unconfigure,
         {"pipe 0x81 (interrupt IN): 1 transfer(s) (1 cancelled, their completion not delivered yet)"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(1, c.device);
        Packet in_buffer(64 * 2), out_buffer(8, 1);
        std::vector<std::unique_ptr<test::PoolUrb>> urbs;
        std::vector<std::shared_ptr<Submission>> queued;
        RunOutcome outcome = bench.run_to_end([&](UrbClient& client) {
            Selection selection = bench.configure(client);
            ASSERT_EQ(selection.status, STATUS_SUCCESS);
            bench.usb.set_out_accepting(0x02, false);
            for (int i = 0; i < c.reads; ++i) {
                urbs.push_back(test::transfer_urb(selection.pipe_for(0x81), in_buffer.data() + 64 * i, 8, true));
                queued.push_back(client.start(urbs.back()->get()));
            }
            for (int i = 0; i < c.writes; ++i) {
                urbs.push_back(test::transfer_urb(selection.pipe_for(0x02), out_buffer.data(), 8, false));
                queued.push_back(client.start(urbs.back()->get()));
            }
            if (c.cancel_reads_first) {
                bench.usb.set_cancel_delivery(CancelDelivery::next_frame);
                for (int i = 0; i < c.reads; ++i) EXPECT_TRUE(IoCancelIrp(queued[i]->irp));
            }
            switch (c.change) {
                case Change::unconfigure:
                    urbs.push_back(test::unconfigure_urb());
                    client.submit(urbs.back()->get());
                    break;
                case Change::select_again: bench.configure(client); break;
                case Change::stop: bench.usb.on_stopped(); break;
            }
            ADD_FAILURE() << "the configuration changed with transfers queued";
        });
        ASSERT_EQ(outcome, RunOutcome::bugcheck);
        EXPECT_EQ(bench.k.bug_check_rule(), "USB_TRANSFERS_PENDING_AT_CONFIGURATION_CHANGE");
        for (const std::string& part : c.expected) {
            EXPECT_NE(bench.k.bug_check_report().find(part), std::string::npos)
                << "missing \"" << part << "\" in " << bench.k.bug_check_report();
        }
        for (auto& submission : queued) EXPECT_FALSE(submission->completed) << "nothing is cancelled behind the client";
    }
}

// The same changes after the client has ended its transfers in each of the ways the bus offers: they go through,
// and every transfer has completed to the client exactly once.
TEST(UsbConfigurationChange, TransfersEndedFirstLetTheChangeThrough) {
    enum class Ending { abort_pipe, cancel_and_wait, completed_with_data, cancel_under_way, cancel_next_frame };
    struct Case {
        const char* what;
        Ending ending;
        bool stop;  // a stop instead of a select-configuration request without a configuration
        NTSTATUS read_status;
    };
    const Case cases[] = {
        {"pipe aborted, then unconfigured", Ending::abort_pipe, false, STATUS_CANCELLED},
        {"read cancelled and waited for, then unconfigured", Ending::cancel_and_wait, false, STATUS_CANCELLED},
        {"read completed with its packet, then unconfigured", Ending::completed_with_data, false, STATUS_SUCCESS},
        {"pipe aborted, then stopped", Ending::abort_pipe, true, STATUS_CANCELLED},
        {"cancel routine taken but not yet run, then unconfigured", Ending::cancel_under_way, false,
         STATUS_CANCELLED},
        {"read cancelled, its completion at the next frame waited for, then stopped", Ending::cancel_next_frame,
         true, STATUS_CANCELLED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        Packet buffer(8);
        std::shared_ptr<Submission> read;
        bench.run([&](UrbClient& client) {
            Selection selection = bench.configure(client);
            USBD_PIPE_HANDLE in = selection.pipe_for(0x81);
            auto read_urb = test::transfer_urb(in, buffer.data(), 8, true);
            read = client.start(read_urb->get());
            PDRIVER_CANCEL taken = nullptr;
            PIRP irp = read->irp;
            switch (c.ending) {
                case Ending::abort_pipe: {
                    auto abort = test::pipe_urb(URB_FUNCTION_ABORT_PIPE, in);
                    EXPECT_EQ(client.submit(abort->get()), STATUS_SUCCESS);
                    client.wait(*read);
                    break;
                }
                case Ending::cancel_and_wait: client.cancel(*read); break;
                case Ending::completed_with_data:
                    bench.usb.device_send(0x81, numbered(8, 0x20));
                    client.wait(*read);
                    break;
                case Ending::cancel_next_frame: {
                    bench.usb.set_cancel_delivery(CancelDelivery::next_frame);
                    VirtualTime cancelled_at = bench.k.now();
                    EXPECT_TRUE(IoCancelIrp(irp));
                    EXPECT_FALSE(read->completed) << "IoCancelIrp returns before the completion";
                    client.wait(*read);
                    EXPECT_EQ(read->completed_at, (cancelled_at / UsbDevice::kFrame + 1) * UsbDevice::kFrame);
                    break;
                }
                case Ending::cancel_under_way: {
                    // The first half of IoCancelIrp: the cancel flag set and the routine taken. The routine runs
                    // only after the configuration is gone, as it would when it had to wait for the bus's lock.
                    KIRQL irql;
                    IoAcquireCancelSpinLock(&irql);
                    irp->Cancel = TRUE;
                    taken = IoSetCancelRoutine(irp, nullptr);
                    IoReleaseCancelSpinLock(irql);
                    ASSERT_NE(taken, nullptr);
                    break;
                }
            }
            if (c.stop) {
                bench.usb.on_stopped();
            } else {
                auto unconfigure = test::unconfigure_urb();
                EXPECT_EQ(client.submit(unconfigure->get()), STATUS_SUCCESS);
            }
            EXPECT_FALSE(bench.usb.configured());
            if (taken) {
                EXPECT_FALSE(read->completed) << "the transfer belongs to its cancel routine";
                KIRQL irql;
                IoAcquireCancelSpinLock(&irql);
                irp->CancelIrql = irql;
                taken(bench.pdo.device(), irp);
                client.wait(*read);
            }
            EXPECT_TRUE(read->completed);
            EXPECT_EQ(read->status, c.read_status);
        });
        EXPECT_FALSE(bench.k.bug_checked()) << bench.k.bug_check_report();
        test::expect_clean(bench.k);
    }
}

TEST(UsbTransfers, CompleteInQueueOrderOnePerFrame) {
    Bench bench;
    std::vector<Packet> buffers(3, Packet(8));
    bench.run([&](UrbClient& client) {
        USBD_PIPE_HANDLE in = bench.configure(client).pipe_for(0x81);
        std::vector<std::unique_ptr<test::PoolUrb>> urbs;
        std::vector<std::shared_ptr<Submission>> reads;
        for (auto& buffer : buffers) {
            urbs.push_back(test::transfer_urb(in, buffer.data(), 8, true));
            reads.push_back(client.start(urbs.back()->get()));
            EXPECT_EQ(reads.back()->dispatch_status, STATUS_PENDING);
        }
        VirtualTime start = bench.k.now();
        for (uint8_t i = 0; i < 3; ++i) bench.usb.device_send(0x81, numbered(8, static_cast<uint8_t>(0x10 * (i + 1))));
        for (int i = 0; i < 3; ++i) {
            client.wait(*reads[i]);
            EXPECT_EQ(reads[i]->status, STATUS_SUCCESS);
            EXPECT_EQ(reads[i]->order, reads[0]->order + i);
            EXPECT_EQ(reads[i]->completed_at - start, from_ms(i + 1));
        }
    });
    for (int i = 0; i < 3; ++i) EXPECT_EQ(buffers[i], numbered(8, static_cast<uint8_t>(0x10 * (i + 1))));
    test::expect_clean(bench.k);
}

TEST(UsbTransfers, CancelRoutineTakesOnlyItsOwnTransfer) {
    // Several seeds: the cancel races the bus's completion context differently each time.
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Bench bench(seed);
        std::vector<Packet> buffers(4, Packet(8));
        bench.run([&](UrbClient& client) {
            USBD_PIPE_HANDLE in = bench.configure(client).pipe_for(0x81);
            // A transfer whose packet is already there but whose frame has not come yet.
            bench.usb.device_send(0x81, numbered(8, 0xA0));
            auto early_urb = test::transfer_urb(in, buffers[3].data(), 8, true);
            auto early = client.start(early_urb->get());
            client.cancel(*early);
            EXPECT_EQ(early->status, STATUS_CANCELLED);
            EXPECT_EQ(early_urb->get()->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
            EXPECT_EQ(bench.usb.in_backlog(0x81), 1u) << "the packet stays for the next transfer";

            std::vector<std::unique_ptr<test::PoolUrb>> urbs;
            std::vector<std::shared_ptr<Submission>> reads;
            for (int i = 0; i < 3; ++i) {
                urbs.push_back(test::transfer_urb(in, buffers[i].data(), 8, true));
                reads.push_back(client.start(urbs.back()->get()));
            }
            client.cancel(*reads[1]);
            EXPECT_EQ(reads[1]->status, STATUS_CANCELLED);
            EXPECT_EQ(urbs[1]->get()->UrbHeader.Status, USBD_STATUS_CANCELED);
            bench.usb.device_send(0x81, numbered(8, 0xB0));
            client.wait(*reads[0]);
            client.wait(*reads[2]);
            EXPECT_EQ(reads[0]->status, STATUS_SUCCESS);
            EXPECT_EQ(reads[2]->status, STATUS_SUCCESS);
        });
        EXPECT_EQ(buffers[0], numbered(8, 0xA0));
        EXPECT_EQ(buffers[2], numbered(8, 0xB0));
        test::expect_clean(bench.k);
    }
}

TEST(UsbTransfers, AbortCancelsThatPipeFirstThenCompletes) {
    Bench bench;
    bench.run([&](UrbClient& client) {
        Selection selection = bench.configure(client);
        Packet in_buffer(16), out_buffer = numbered(8, 1);
        bench.usb.set_out_accepting(0x02, false);
        auto write_urb = test::transfer_urb(selection.pipe_for(0x02), out_buffer.data(), 8, false);
        auto write = client.start(write_urb->get());
        auto read1_urb = test::transfer_urb(selection.pipe_for(0x81), in_buffer.data(), 8, true);
        auto read2_urb = test::transfer_urb(selection.pipe_for(0x81), in_buffer.data() + 8, 8, true);
        auto read1 = client.start(read1_urb->get());
        auto read2 = client.start(read2_urb->get());
        auto abort_urb = test::pipe_urb(URB_FUNCTION_ABORT_PIPE, selection.pipe_for(0x81));
        auto abort = client.start(abort_urb->get());
        client.wait(*abort);
        EXPECT_EQ(abort->status, STATUS_SUCCESS);
        for (auto* read : {read1.get(), read2.get()}) {
            EXPECT_TRUE(read->completed);
            EXPECT_EQ(read->status, STATUS_CANCELLED);
            EXPECT_EQ(read->urb->UrbHeader.Status, USBD_STATUS_CANCELED);
            EXPECT_LT(read->order, abort->order) << "aborted transfers complete before the abort";
        }
        EXPECT_LT(read1->order, read2->order);
        EXPECT_FALSE(write->completed) << "another pipe's transfer is untouched";
        bench.usb.set_out_accepting(0x02, true);
        client.wait(*write);
        EXPECT_EQ(write->status, STATUS_SUCCESS);
    });
    EXPECT_EQ(bench.sink.taken, std::vector<Packet>{numbered(8, 1)});
    test::expect_clean(bench.k);
}

TEST(UsbTransfers, NeverMoreThanTheBufferOrThePacketSize) {
    struct Case {
        bool in;
        USHORT packet_size;
        ULONG length;          // TransferBufferLength
        size_t device_bytes;   // IN: what the device sends
        ULONG moved;
        NTSTATUS status;
        USBD_STATUS usbd_status;
    };
    const Case cases[] = {
        {true, 64, 8, 12, 8, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN},
        {true, 64, 8, 8, 8, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {true, 64, 64, 12, 12, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {true, 8, 64, 12, 8, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN},
        {true, 8, 8, 5, 5, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {false, 8, 64, 0, 8, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {false, 64, 8, 0, 8, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {false, 64, 64, 0, 64, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.in ? "IN" : "OUT") + ", packet size " + std::to_string(c.packet_size) +
                     ", transfer " + std::to_string(c.length) + ", device " + std::to_string(c.device_bytes));
        Bench bench(1, with_packet_size(c.packet_size));
        Packet buffer = c.in ? Packet(100, 0xEE) : numbered(100, 0x40);
        bench.run([&](UrbClient& client) {
            Selection selection = bench.configure(client);
            if (c.in) bench.usb.device_send(0x81, numbered(c.device_bytes, 0x10));
            auto urb = test::transfer_urb(selection.pipe_for(c.in ? 0x81 : 0x02), buffer.data(), c.length, c.in);
            EXPECT_EQ(client.submit(urb->get()), c.status);
            EXPECT_EQ(urb->get()->UrbHeader.Status, c.usbd_status);
            EXPECT_EQ(urb->get()->UrbBulkOrInterruptTransfer.TransferBufferLength, c.moved);
        });
        if (c.in) {
            EXPECT_EQ(Packet(buffer.begin(), buffer.begin() + c.moved), numbered(c.moved, 0x10));
            for (size_t i = c.moved; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;
        } else {
            EXPECT_EQ(bench.sink.taken, std::vector<Packet>{numbered(c.moved, 0x40)});
        }
        test::expect_clean(bench.k);
    }
}

TEST(UsbUnplug, FailsPendingAndLaterRequests) {
    Bench bench;
    bench.k.spawn("pnp", [&] {
        LARGE_INTEGER five_ms{};
        five_ms.QuadPart = -from_ms(5);
        KeDelayExecutionThread(KernelMode, FALSE, &five_ms);
        bench.usb.on_unplugged();
    });
    bench.run([&](UrbClient& client) {
        Selection selection = bench.configure(client);
        Packet in_buffer(8, 0xEE), out_buffer(8, 1);
        bench.usb.set_out_accepting(0x02, false);
        auto read_urb = test::transfer_urb(selection.pipe_for(0x81), in_buffer.data(), 8, true);
        auto write_urb = test::transfer_urb(selection.pipe_for(0x02), out_buffer.data(), 8, false);
        auto read = client.start(read_urb->get());
        auto write = client.start(write_urb->get());
        client.wait(*read);
        client.wait(*write);
        EXPECT_EQ(read->completed_at, from_ms(5));
        for (auto* pending : {read.get(), write.get()}) {
            EXPECT_EQ(pending->status, STATUS_NO_SUCH_DEVICE);
            EXPECT_EQ(pending->urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
            EXPECT_EQ(pending->urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
        }

        bench.usb.device_send(0x81, numbered(8, 1));
        EXPECT_EQ(bench.usb.in_backlog(0x81), 0u) << "a device that is gone sends nothing";
        Packet descriptor(18);
        std::vector<std::unique_ptr<test::PoolUrb>> later;
        later.push_back(test::transfer_urb(selection.pipe_for(0x81), in_buffer.data(), 8, true));
        later.push_back(test::descriptor_urb(USB_DEVICE_DESCRIPTOR_TYPE, descriptor.data(), 18));
        later.push_back(test::pipe_urb(URB_FUNCTION_ABORT_PIPE, selection.pipe_for(0x81)));
        later.push_back(test::unconfigure_urb());
        for (auto& urb : later) {
            auto submission = client.start(urb->get());
            EXPECT_EQ(submission->dispatch_status, STATUS_DEVICE_NOT_CONNECTED) << "fails at once";
            EXPECT_TRUE(submission->completed);
            EXPECT_EQ(submission->status, STATUS_DEVICE_NOT_CONNECTED);
            EXPECT_EQ(urb->get()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        }
    });
    EXPECT_EQ(bench.k.now(), from_ms(5));
    test::expect_clean(bench.k);
}

TEST(UsbTiming, FullSpeedMovesOnePacketPerFramePerEndpoint) {
    enum class Pattern { writes_one_by_one, writes_queued_together, reads_of_queued_packets, round_trips };
    struct Case {
        const char* what;
        BusTiming timing;
        Pattern pattern;
        int packets;
        VirtualTime elapsed;
    };
    const Case cases[] = {
        {"1 write", BusTiming::full_speed, Pattern::writes_one_by_one, 1, from_ms(1)},
        {"10 writes, one by one", BusTiming::full_speed, Pattern::writes_one_by_one, 10, from_ms(10)},
        {"10 writes queued together", BusTiming::full_speed, Pattern::writes_queued_together, 10, from_ms(10)},
        {"10 reads", BusTiming::full_speed, Pattern::reads_of_queued_packets, 10, from_ms(10)},
        {"5 write-and-read round trips", BusTiming::full_speed, Pattern::round_trips, 5, from_ms(10)},
        {"10 writes, fast", BusTiming::fast, Pattern::writes_one_by_one, 10, 0},
        {"10 writes queued, fast", BusTiming::fast, Pattern::writes_queued_together, 10, 0},
        {"10 reads, fast", BusTiming::fast, Pattern::reads_of_queued_packets, 10, 0},
        {"5 round trips, fast", BusTiming::fast, Pattern::round_trips, 5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        bench.usb.set_timing(c.timing);
        bench.sink.echo = c.pattern == Pattern::round_trips;
        VirtualTime elapsed = -1;
        bench.run([&](UrbClient& client) {
            Selection selection = bench.configure(client);
            std::vector<Packet> buffers(c.packets, Packet(8));
            std::vector<std::unique_ptr<test::PoolUrb>> urbs;
            std::vector<std::shared_ptr<Submission>> pending;
            if (c.pattern == Pattern::reads_of_queued_packets) {
                for (int i = 0; i < c.packets; ++i) bench.usb.device_send(0x81, numbered(8, static_cast<uint8_t>(i)));
            }
            VirtualTime start = bench.k.now();
            for (int i = 0; i < c.packets; ++i) {
                bool in = c.pattern == Pattern::reads_of_queued_packets;
                urbs.push_back(test::transfer_urb(selection.pipe_for(in ? 0x81 : 0x02), buffers[i].data(), 8, in));
                pending.push_back(client.start(urbs.back()->get()));
                if (c.pattern == Pattern::writes_queued_together) continue;
                client.wait(*pending.back());
                if (c.pattern == Pattern::round_trips) {
                    auto read = test::transfer_urb(selection.pipe_for(0x81), buffers[i].data(), 8, true);
                    EXPECT_EQ(client.submit(read->get()), STATUS_SUCCESS);
                }
            }
            for (auto& submission : pending) client.wait(*submission);
            elapsed = bench.k.now() - start;
        });
        EXPECT_EQ(elapsed, c.elapsed) << "took " << to_ms(elapsed) << " ms";
        test::expect_clean(bench.k);
    }
}

// Frames on demand (a machine in real time): a transfer that finds the bus idle starts a frame at once, so an
// exchange begun at any moment takes exactly its frames; on the grid laid from boot it waits for the next frame.
TEST(UsbTiming, FramesOnDemandStartWhenTheBusIsIdle) {
    struct Case {
        const char* what;
        bool on_demand;
        int writes;
        bool round_trips;
        VirtualTime offset;  // into the frame at which the first write starts
    };
    const Case cases[] = {
        {"1 write, on demand", true, 1, false, 3'000},
        {"1 write, grid", false, 1, false, 3'000},
        {"10 writes one by one, on demand", true, 10, false, 7'000},
        {"10 writes one by one, grid", false, 10, false, 7'000},
        {"5 round trips, on demand", true, 5, true, 1},
        {"5 round trips, grid", false, 5, true, 1},
        {"1 write at a frame's start, on demand", true, 1, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        bench.usb.set_timing(BusTiming::full_speed);
        bench.usb.set_frames_on_demand(c.on_demand);
        bench.sink.echo = c.round_trips;
        VirtualTime start = -1, elapsed = -1;
        bench.run([&](UrbClient& client) {
            Selection selection = bench.configure(client);
            // Out of the last frame, then to the offset into the next one.
            LARGE_INTEGER delay;
            delay.QuadPart = -(from_ms(1) - bench.k.now() % from_ms(1) + c.offset);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            start = bench.k.now();
            Packet buffer(8);
            for (int i = 0; i < c.writes; ++i) {
                auto write = test::transfer_urb(selection.pipe_for(0x02), buffer.data(), 8, false);
                EXPECT_EQ(client.submit(write->get()), STATUS_SUCCESS);
                if (c.round_trips) {
                    auto read = test::transfer_urb(selection.pipe_for(0x81), buffer.data(), 8, true);
                    EXPECT_EQ(client.submit(read->get()), STATUS_SUCCESS);
                }
            }
            elapsed = bench.k.now() - start;
        });
        ASSERT_EQ(start % from_ms(1), c.offset) << "the exchange starts where the case says";
        const int frames = c.writes * (c.round_trips ? 2 : 1);
        // On the grid the first packet waits for the next frame's end: the rest of this frame on top.
        const VirtualTime expected = from_ms(frames) + (c.on_demand || c.offset == 0 ? 0 : from_ms(1) - c.offset);
        EXPECT_EQ(elapsed, expected) << "took " << to_ms(elapsed) << " ms";
        test::expect_clean(bench.k);
    }
}

TEST(UsbFaults, InjectedTransferFailureMovesNothing) {
    Bench bench;
    bench.run([&](UrbClient& client) {
        Selection selection = bench.configure(client);
        bench.usb.device_send(0x81, numbered(8, 0x10));
        bench.usb.device_send(0x81, numbered(8, 0x20));
        bench.k.set_fault(FaultSite::bus_transfer, {2, 0, false});
        Packet buffer(8);
        auto read = [&] {
            auto urb = test::transfer_urb(selection.pipe_for(0x81), buffer.data(), 8, true);
            NTSTATUS status = client.submit(urb->get());
            return std::make_pair(status, urb->get()->UrbHeader.Status);
        };
        EXPECT_EQ(read(), std::make_pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
        EXPECT_EQ(buffer, numbered(8, 0x10));
        EXPECT_EQ(read(), std::make_pair(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
        EXPECT_EQ(read(), std::make_pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
        EXPECT_EQ(buffer, numbered(8, 0x20)) << "the failed transfer left the device's packet in place";

        // A failing read does not wait for a packet that is not coming.
        bench.k.set_fault(FaultSite::bus_transfer, {1, 0, false});
        VirtualTime before = bench.k.now();
        EXPECT_EQ(read().first, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(bench.k.now() - before, from_ms(1));
        bench.k.set_fault(FaultSite::bus_transfer, {1, 0, false});
        Packet descriptor(18);
        auto urb = test::descriptor_urb(USB_DEVICE_DESCRIPTOR_TYPE, descriptor.data(), 18);
        EXPECT_EQ(client.submit(urb->get()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb->get()->UrbControlDescriptorRequest.TransferBufferLength, 0u);
    });
    test::expect_clean(bench.k);
}

TEST(UsbObservers, SeeEveryRequestAndPacket) {
    Bench bench;
    bench.sink.echo = true;
    std::vector<BusEvent> events;
    int id = bench.usb.add_observer([&](const BusEvent& event) {
        events.push_back(event);
        events.back().urb = nullptr;  // not valid after the callback
        events.back().irp = nullptr;
    });
    Packet descriptor(18);
    bench.run([&](UrbClient& client) {
        auto urb = test::descriptor_urb(USB_DEVICE_DESCRIPTOR_TYPE, descriptor.data(), 18);
        client.submit(urb->get());
        ASSERT_EQ(events.size(), 3u);
        ASSERT_TRUE(events[0].setup.has_value());
        EXPECT_EQ(*events[0].setup, (std::array<uint8_t, 8>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0x00}));
        EXPECT_EQ(events[0].endpoint, 0);
        EXPECT_EQ(events[2].data, descriptor);
        Selection selection = bench.configure(client);
        events.clear();
        Packet out = numbered(8, 0x30), in(8);
        auto write = test::transfer_urb(selection.pipe_for(0x02), out.data(), 8, false);
        auto read = test::transfer_urb(selection.pipe_for(0x81), in.data(), 8, true);
        client.submit(write->get());
        client.submit(read->get());
        bench.usb.remove_observer(id);
        client.submit(urb->get());
    });
    ASSERT_EQ(events.size(), 6u) << "submitted, packet, completed for each transfer; nothing after removal";
    const BusEventKind kinds[] = {BusEventKind::submitted, BusEventKind::packet, BusEventKind::completed};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(events[i].kind, kinds[i % 3]) << i;
        EXPECT_EQ(events[i].function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        EXPECT_EQ(events[i].id, events[i / 3 * 3].id);
        EXPECT_EQ(events[i].endpoint, i < 3 ? 0x02 : 0x81);
        EXPECT_EQ(events[i].device_to_host, i >= 3);
        EXPECT_EQ(events[i].pipe_type, UsbdPipeTypeInterrupt);
    }
    EXPECT_NE(events[0].id, events[3].id);
    EXPECT_EQ(events[0].data, numbered(8, 0x30));
    EXPECT_EQ(events[1].data, numbered(8, 0x30));
    EXPECT_EQ(events[4].data, numbered(8, 0x30));
    EXPECT_EQ(events[5].data, numbered(8, 0x30));
    EXPECT_EQ(events[5].status, STATUS_SUCCESS);
    EXPECT_EQ(events[5].usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(events[1].time, from_ms(1));
    EXPECT_EQ(events[4].time, from_ms(2));
    test::expect_clean(bench.k);
}

TEST(UsbPower, SuspendedDeviceHoldsTransfersUntilD0) {
    Bench bench;
    bench.run([&](UrbClient& client) {
        Selection selection = bench.configure(client);
        bench.usb.on_power(PowerDeviceD3);
        bench.usb.device_send(0x81, numbered(8, 1));
        Packet buffer(8);
        auto urb = test::transfer_urb(selection.pipe_for(0x81), buffer.data(), 8, true);
        auto read = client.start(urb->get());
        EXPECT_FALSE(client.wait(*read, 20));
        bench.usb.on_power(PowerDeviceD0);
        VirtualTime resumed = bench.k.now();
        EXPECT_TRUE(client.wait(*read));
        EXPECT_EQ(read->completed_at - resumed, from_ms(1));
    });
    test::expect_clean(bench.k);
}

TEST(UsbRequests, MalformedRequestsAreRefused) {
    struct Case {
        const char* what;
        std::function<std::unique_ptr<test::PoolUrb>(const Selection&, Packet&)> build;
        NTSTATUS status;
        USBD_STATUS usbd_status;
    };
    const Case cases[] = {
        {"transfer with a wrong header length",
         [](const Selection& s, Packet& b) {
             auto urb = test::transfer_urb(s.pipe_for(0x81), b.data(), 8, true);
             urb->get()->UrbHeader.Length -= 8;
             return urb;
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"transfer without a buffer",
         [](const Selection& s, Packet&) { return test::transfer_urb(s.pipe_for(0x81), nullptr, 8, true); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"unknown function",
         [](const Selection& s, Packet&) {
             auto urb = test::pipe_urb(URB_FUNCTION_ABORT_PIPE, s.pipe_for(0x81));
             urb->get()->UrbHeader.Function = 0x0031;
             return urb;
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        bench.run([&](UrbClient& client) {
            Selection selection = bench.configure(client);
            Packet buffer(8);
            auto urb = c.build(selection, buffer);
            EXPECT_EQ(client.submit(urb->get()), c.status);
            EXPECT_EQ(urb->get()->UrbHeader.Status, c.usbd_status);
        });
        test::expect_clean(bench.k);
    }
}

}  // namespace
}  // namespace sim
