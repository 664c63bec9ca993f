// The card services test bench: the machine's driver load and start, I/O controls through an application handle, and the removal that ends each test with the leak check.
#include "card_bench.h"

#include "tests/support/test_machine.h"

#include "platform/host/host_request.h"
#include "protocol/packets.h"

namespace qward::card_test {

CardBench::CardBench(uint64_t seed)
    : OneReaderMachine(seed, qward::test_support::fixture_reader()) {
    firmware = sim::install_card_commands(reader);
    observer_ = usb.add_observer([this](const sim::BusEvent& event) {
        if (event.kind == sim::BusEventKind::submitted && event.endpoint == 0x81) ++in_reads;
    });
    qward::test_support::load_driver_and_plug(*this, unit);
}

CardBench::~CardBench() {
    if (k.bug_checked()) {
        ADD_FAILURE() << k.bug_check_report();
        usb.remove_observer(observer_);
        return;
    }
    if (handle.valid() && !handle.closed()) machine.close(handle);
    if (node && (node->state() == sim::NodeState::started || node->state() == sim::NodeState::added)) {
        EXPECT_EQ(machine.disable(unit), STATUS_SUCCESS);
    }
    EXPECT_TRUE(app.outstanding().empty()) << app.describe_outstanding();
    EXPECT_FALSE(pnp.loaded(driver)) << "the driver was not unloaded after the removal";
    EXPECT_FALSE(k.bug_checked()) << k.bug_check_report();
    usb.remove_observer(observer_);
}

void CardBench::start(std::shared_ptr<sim::Card> card) {
    // Inserted without the unsolicited card status: the start's card-status request finds it.
    if (card) machine.insert(unit, std::move(card), true);
    ASSERT_EQ(machine.start(unit), STATUS_SUCCESS) << machine.report();
    handle = machine.open_handle(unit, false);
    ASSERT_TRUE(handle.valid()) << "the reader could not be opened";
    started_ = true;
}

bool CardBench::run(const std::function<void()>& body, const std::string& name) {
    return qward::test_support::run_to_rest(machine, body, name);
}

void CardBench::settle(int64_t ms) {
    run([ms] { delay_ms(ms); }, "settle");
}

sim::IoResult CardBench::ioctl(ULONG code, const Bytes& input, ULONG output_size) {
    sim::IoResult result = machine.ioctl(handle, code, input, output_size);
    EXPECT_TRUE(machine.alive()) << machine.report();
    return result;
}

static Bytes ulong_bytes(ULONG value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

sim::IoResult CardBench::power(ULONG minor, ULONG output_size) {
    return ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(minor), output_size);
}

sim::IoResult CardBench::transmit(const Bytes& apdu, ULONG output_size) {
    // The bench's transmits stand for an application that selected T=1, which kIoHeader names; the smart card
    // library takes a transmit only in the protocol in force. The driver's protocol callback sends nothing to the
    // reader, so with a card in the slot and no protocol in force the bench puts T=1 in force in the card record
    // as that callback would, and the transmit tests need no protocol request of their own. A slot without a card,
    // a card not powered or another protocol in force are left for the library to refuse.
    const ULONG state = card_state();
    if (state >= SCARD_PRESENT && state != SCARD_SWALLOWED && state < SCARD_SPECIFIC) {
        sc->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
        sc->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    }
    Bytes input = kIoHeader;
    input.insert(input.end(), apdu.begin(), apdu.end());
    return ioctl(IOCTL_SMARTCARD_TRANSMIT, input, output_size);
}

sim::IoResult CardBench::set_protocol(ULONG mask, ULONG output_size) {
    return ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(mask), output_size);
}

std::shared_ptr<sim::PendingRequest> CardBench::track(ULONG code) {
    auto request = machine.ioctl_async(handle, code);
    EXPECT_TRUE(machine.alive()) << machine.report();
    return request;
}

std::vector<WrittenCommand> CardBench::written(size_t from) const {
    std::vector<WrittenCommand> commands;
    size_t expected = 0;
    const auto& packets = reader.written();
    for (size_t i = from; i < packets.size(); ++i) {
        const sim::Packet& p = packets[i].packet;
        if (!p.empty() && p[0] == 0 && !commands.empty() && commands.back().data.size() < expected) {
            WrittenCommand& command = commands.back();
            command.data.insert(command.data.end(), p.begin() + 2, p.begin() + 2 + std::min<size_t>(p[1], 6));
            command.counts.push_back(p[1]);
            ++command.data_packets;
            continue;
        }
        WrittenCommand command;
        command.header = p;
        expected = p.size() > 4 && p[0] == 1 ? static_cast<size_t>(p[3] | p[4] << 8) : 0;
        commands.push_back(std::move(command));
    }
    return commands;
}

Bytes reply_body(const sim::IoResult& result) {
    if (result.output.size() < kIoHeader.size()) {
        ADD_FAILURE() << "reply of " << result.output.size() << " bytes has no header";
        return {};
    }
    EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + 8), kIoHeader) << "the header is not repeated";
    return Bytes(result.output.begin() + 8, result.output.end());
}

sim::Packet packet(std::initializer_list<uint8_t> bytes) {
    sim::Packet result(bytes);
    if (result.size() < READER_PACKET_SIZE) result.resize(READER_PACKET_SIZE, 0);
    return result;
}

sim::Packet answer_header(uint8_t kind, size_t length) { return sim::answer_header(kind, length); }

std::vector<sim::Packet> data_packets(const Bytes& data) { return sim::data_packets(data); }

void delay_ms(int64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace qward::card_test
