// The PIN pad test bench: the machine's driver load and start, the firmware with its keypad, I/O controls through an application handle, and the removal that ends each test with the leak check.
#include "pinpad_bench.h"

#include "tests/support/test_machine.h"

#include "reader/cards/card_factory.h"

namespace qward::pinpad_test {

Bytes verify_structure(const VerifyRequest& r) {
    const uint32_t length = r.data_length.value_or(static_cast<uint32_t>(r.apdu.size()));
    Bytes bytes = {r.timer_out,
                   r.timer_out2,
                   r.format_string,
                   r.block_string,
                   r.length_format,
                   r.max_digits,
                   r.min_digits,
                   r.entry_validation,
                   r.number_message,
                   static_cast<uint8_t>(r.lang_id),
                   static_cast<uint8_t>(r.lang_id >> 8),
                   r.msg_index,
                   0x00,
                   0x00,
                   0x00,
                   static_cast<uint8_t>(length),
                   static_cast<uint8_t>(length >> 8),
                   static_cast<uint8_t>(length >> 16),
                   static_cast<uint8_t>(length >> 24)};
    bytes.insert(bytes.end(), r.apdu.begin(), r.apdu.end());
    return bytes;
}

PinpadBench::PinpadBench(uint64_t seed)
    : OneReaderMachine(seed, qward::test_support::fixture_reader(true)),
      pinpad(unit.pinpad) {
    sim::IsoCardOptions options;
    options.atr = sim::preset_atr::iso;
    card = std::make_shared<sim::IsoCard>(options);
    qward::test_support::load_driver_and_plug(*this, unit);
}

PinpadBench::~PinpadBench() {
    if (k.bug_checked()) {
        ADD_FAILURE() << k.bug_check_report();
        return;
    }
    if (handle.valid() && !handle.closed()) machine.close(handle);
    if (node && (node->state() == sim::NodeState::started || node->state() == sim::NodeState::added)) {
        EXPECT_EQ(machine.disable(unit), STATUS_SUCCESS);
    }
    EXPECT_TRUE(app.outstanding().empty()) << app.describe_outstanding();
    EXPECT_FALSE(pnp.loaded(driver)) << "the driver was not unloaded after the removal";
    EXPECT_FALSE(k.bug_checked()) << k.bug_check_report();
    EXPECT_EQ(k.live_pool_with_tag(POOL_TAG), 0u) << k.describe_live_pool();
}

void PinpadBench::start(bool with_card) {
    // In the slot before the start, which finds it with its card-status request.
    if (with_card) machine.insert(unit, card, true);
    ASSERT_EQ(machine.start(unit), STATUS_SUCCESS) << machine.report();
    handle = machine.open_handle(unit, false);
    ASSERT_TRUE(handle.valid()) << "the reader could not be opened";
}

void PinpadBench::power_card() {
    const ULONG cold = SCARD_COLD_RESET;
    const Bytes minor(reinterpret_cast<const uint8_t*>(&cold), reinterpret_cast<const uint8_t*>(&cold) + 4);
    ASSERT_EQ(ioctl(IOCTL_SMARTCARD_POWER, minor, 64).status, STATUS_SUCCESS);
    const ULONG t1 = SCARD_PROTOCOL_T1;
    const Bytes mask(reinterpret_cast<const uint8_t*>(&t1), reinterpret_cast<const uint8_t*>(&t1) + 4);
    ASSERT_EQ(ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, mask, 4).status, STATUS_SUCCESS);
    ASSERT_EQ(card_state(), static_cast<ULONG>(SCARD_SPECIFIC));
}

bool PinpadBench::run(const std::function<void()>& body, const std::string& name) {
    return qward::test_support::run_to_rest(machine, body, name);
}

void PinpadBench::settle(int64_t ms) {
    run([ms] { delay_ms(ms); }, "settle");
}

sim::IoResult PinpadBench::ioctl(ULONG code, const Bytes& input, ULONG output_size) {
    sim::IoResult result = machine.ioctl(handle, code, input, output_size);
    EXPECT_TRUE(machine.alive()) << machine.report();
    return result;
}

std::shared_ptr<sim::PendingRequest> PinpadBench::ioctl_async(ULONG code, const Bytes& input, ULONG output_size) {
    auto request = machine.ioctl_async(handle, code, input, output_size);
    EXPECT_TRUE(machine.alive()) << machine.report();
    return request;
}

void PinpadBench::answer_command(uint8_t code, uint8_t kind, Bytes data) {
    reader.set_handler(sim::PacketKind::header, code,
                       [kind, data](sim::Reader& r, const sim::ReaderCommand&) { r.send_answer(kind, data); });
}

std::vector<Command> PinpadBench::written(size_t from) const {
    std::vector<Command> commands;
    size_t expected = 0;
    const auto& packets = reader.written();
    for (size_t i = from; i < packets.size(); ++i) {
        const sim::Packet& p = packets[i].packet;
        if (p.size() < 3) continue;
        if (p[0] == 0 && !commands.empty() && commands.back().data.size() < expected) {
            Bytes& data = commands.back().data;
            data.insert(data.end(), p.begin() + 2, p.begin() + 2 + std::min<size_t>(p[1], 6));
            continue;
        }
        Command command;
        command.kind = p[0];
        command.code = p[0] == 1 ? p[2] : p[1];
        expected = p[0] == 1 && p.size() > 4 ? static_cast<size_t>(p[3] | p[4] << 8) : 0;
        commands.push_back(std::move(command));
    }
    return commands;
}

std::vector<uint8_t> PinpadBench::command_codes(size_t from) const {
    std::vector<uint8_t> codes;
    for (const Command& command : written(from)) codes.push_back(command.code);
    return codes;
}

void delay_ms(int64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace qward::pinpad_test
