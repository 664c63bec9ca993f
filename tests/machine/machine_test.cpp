// The one simulated machine: which transitions it sends in which state, the removal of an unplugged reader at its
// last close, one transition at a time between threads, the request log, the seed's variation and the teardown.
#include <gtest/gtest.h>

#include <winsmcrd.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "reader/cards/card_factory.h"

namespace {

using sim::Machine;
using sim::NodeState;
using sim::ReaderUnit;

std::shared_ptr<sim::Card> iso_card() { return std::shared_ptr<sim::Card>(sim::make_card("iso")); }

// Ends the test's machine: nothing left over, the driver unloaded (the kernel checked its pool at the unload).
void expect_clean_teardown(Machine& machine) {
    std::vector<std::string> problems = machine.teardown();
    EXPECT_TRUE(machine.alive()) << machine.report();
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_FALSE(machine.driver_loaded());
}

enum class Op { start, start_without_add, stop, disable, query_remove };

const char* name(Op op) {
    switch (op) {
        case Op::start: return "start";
        case Op::start_without_add: return "start without AddDevice";
        case Op::stop: return "stop";
        case Op::disable: return "disable";
        case Op::query_remove: return "query-remove";
    }
    return "?";
}

NTSTATUS apply(Machine& machine, ReaderUnit& unit, Op op) {
    switch (op) {
        case Op::start: return machine.start(unit);
        case Op::start_without_add: return machine.start(unit, false);
        case Op::stop: return machine.stop(unit);
        case Op::disable: return machine.disable(unit);
        case Op::query_remove: return machine.query_remove(unit);
    }
    return STATUS_UNSUCCESSFUL;
}

TEST(Transitions, AreSentOnlyInAStateThatTakesThem) {
    struct Step {
        Op op;
        NTSTATUS status;
        NodeState after;
    };
    const Step steps[] = {
        {Op::stop, STATUS_INVALID_DEVICE_STATE, NodeState::added},
        {Op::query_remove, STATUS_INVALID_DEVICE_STATE, NodeState::added},
        {Op::start, STATUS_SUCCESS, NodeState::started},
        {Op::start, STATUS_INVALID_DEVICE_STATE, NodeState::started},
        {Op::query_remove, STATUS_SUCCESS, NodeState::started},
        {Op::stop, STATUS_SUCCESS, NodeState::stopped},
        {Op::stop, STATUS_INVALID_DEVICE_STATE, NodeState::stopped},
        {Op::start, STATUS_SUCCESS, NodeState::started},
        {Op::disable, STATUS_SUCCESS, NodeState::removed},
        {Op::disable, STATUS_INVALID_DEVICE_STATE, NodeState::removed},
        {Op::stop, STATUS_INVALID_DEVICE_STATE, NodeState::removed},
        {Op::start_without_add, STATUS_INVALID_DEVICE_STATE, NodeState::removed},
        {Op::start, STATUS_SUCCESS, NodeState::started},  // AddDevice again, then the start
    };
    Machine machine(7);
    ReaderUnit& unit = machine.add_reader();
    ASSERT_EQ(machine.plug(unit), STATUS_SUCCESS);
    for (const Step& step : steps) {
        EXPECT_EQ(apply(machine, unit, step.op), step.status) << name(step.op);
        ASSERT_TRUE(machine.alive()) << machine.report();
        EXPECT_EQ(unit.node->state(), step.after) << "after " << name(step.op);
    }
    expect_clean_teardown(machine);
}

TEST(Unplug, TheRemovalWaitsForTheLastHandle) {
    for (int handles : {0, 1, 2}) {
        SCOPED_TRACE(std::to_string(handles) + " handle(s) open");
        Machine machine(3);
        ReaderUnit& unit = machine.add_reader();
        ASSERT_EQ(machine.plug(unit), STATUS_SUCCESS);
        ASSERT_EQ(machine.start(unit), STATUS_SUCCESS);
        for (int i = 0; i < handles; ++i) ASSERT_TRUE(machine.open_handle(unit).valid());
        bool removed_now = false;
        EXPECT_EQ(machine.unplug(unit, &removed_now), STATUS_SUCCESS);
        EXPECT_EQ(removed_now, handles == 0);
        EXPECT_EQ(machine.unplug(unit), STATUS_NO_SUCH_DEVICE) << "a reader that is out is not pulled out again";
        for (int i = 0; i < handles; ++i) {
            EXPECT_EQ(unit.node->state(), NodeState::surprise_removed);
            bool removed = false;
            machine.close(unit, unit.handles[static_cast<size_t>(i)], &removed);
            EXPECT_EQ(removed, i == handles - 1) << "close " << i + 1;
        }
        EXPECT_EQ(unit.fdo(), nullptr);
        EXPECT_FALSE(machine.driver_loaded()) << "the driver stays loaded after its last device went";
        expect_clean_teardown(machine);
    }
}

// A transition asked for by a simulated thread while another thread holds the turn waits until it is given back.
TEST(Turn, ATransitionWaitsForTheThreadThatHoldsTheTurn) {
    Machine machine(11);
    ReaderUnit& unit = machine.add_reader();
    ASSERT_EQ(machine.plug(unit), STATUS_SUCCESS);
    ASSERT_EQ(machine.start(unit), STATUS_SUCCESS);
    NTSTATUS stopped = STATUS_PENDING;
    bool waited = false;
    ASSERT_TRUE(machine.run("holder", [&] {
        machine.take_turn();
        machine.kernel().spawn("stopper", [&] { stopped = machine.stop(unit); });
        machine.delay(sim::from_ms(50));
        waited = stopped == STATUS_PENDING && unit.node->state() == NodeState::started;
        machine.give_turn();
        machine.delay(sim::from_ms(50));
    })) << machine.report();
    EXPECT_TRUE(waited) << "the stop went ahead while another thread held the turn";
    EXPECT_EQ(stopped, STATUS_SUCCESS);
    EXPECT_EQ(unit.node->state(), NodeState::stopped);
    expect_clean_teardown(machine);
}

TEST(Requests, AreLoggedWithTheStepThatSentThem) {
    Machine machine(5);
    ReaderUnit& unit = machine.add_reader();
    machine.insert(unit, iso_card(), true);
    ASSERT_EQ(machine.plug(unit), STATUS_SUCCESS);
    ASSERT_EQ(machine.start(unit), STATUS_SUCCESS);
    sim::NamedHandle* opened = nullptr;
    ASSERT_EQ(machine.open(unit, "mine", &opened), STATUS_SUCCESS);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->name, "mine");
    sim::Handle handle = opened->handle;
    sim::IoResult state = machine.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state");
    EXPECT_EQ(state.status, STATUS_SUCCESS);
    auto tracking = machine.ioctl_async(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "tracking");
    ASSERT_NE(tracking, nullptr);
    EXPECT_FALSE(machine.await(*tracking, sim::from_ms(20))) << "the card is still in the slot";
    machine.remove(unit);
    EXPECT_TRUE(machine.await(*tracking, sim::from_ms(2'000)));
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    EXPECT_EQ(machine.close(handle), STATUS_SUCCESS);
    EXPECT_EQ(machine.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "closed").status,
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(machine.ioctl_async(handle, IOCTL_SMARTCARD_GET_STATE), nullptr);
    ASSERT_EQ(machine.requests().size(), 2u) << "a request on a closed handle is not sent";
    EXPECT_EQ(machine.requests()[0].step, "state");
    EXPECT_EQ(machine.requests()[0].code, static_cast<ULONG>(IOCTL_SMARTCARD_GET_STATE));
    EXPECT_EQ(machine.requests()[1].step, "tracking");
    EXPECT_EQ(machine.requests()[1].request, tracking);
    expect_clean_teardown(machine);
}

// A host that serves requests for days (pcscd's reader driver) runs without history: the reader, the wire log and
// the reader's PDO keep nothing per request, while the requests still get their answers and the PDO still counts.
TEST(History, WithoutItTheLogsStayEmptyWhateverTheRequests) {
    for (bool history : {true, false}) {
        SCOPED_TRACE(history ? "with history" : "without history");
        sim::MachineOptions options;
        options.seed = 4;
        options.watch_bus = true;
        options.history = history;
        Machine machine(options);
        ReaderUnit& unit = machine.add_reader();
        machine.insert(unit, iso_card(), true);
        ASSERT_EQ(machine.plug(unit), STATUS_SUCCESS);
        ASSERT_EQ(machine.start(unit), STATUS_SUCCESS);
        sim::Handle handle = machine.open_handle(unit);
        const size_t controls_before = unit.node->pdo().count(IRP_MJ_INTERNAL_DEVICE_CONTROL);
        const sim::Bytes cold = {SCARD_COLD_RESET, 0, 0, 0};
        for (int i = 0; i < 5; ++i) {
            sim::IoResult reset = machine.ioctl(handle, IOCTL_SMARTCARD_POWER, cold, 64, "reset");
            ASSERT_EQ(reset.status, STATUS_SUCCESS) << "reset " << i;
            EXPECT_FALSE(reset.output.empty()) << "reset " << i << " brought no ATR";
        }
        const size_t controls = unit.node->pdo().count(IRP_MJ_INTERNAL_DEVICE_CONTROL) - controls_before;
        EXPECT_GE(controls, 10u) << "five resets are at least a write and a read each";
        size_t kept_controls = 0;
        for (const sim::PdoRequest& r : unit.node->pdo().received()) kept_controls += r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        if (history) {
            EXPECT_GE(unit.reader->written().size(), 5u);
            EXPECT_GE(unit.reader->sent().size(), 5u);
            EXPECT_GE(unit.wire.size(), 10u);
            EXPECT_GE(kept_controls, controls);
        } else {
            EXPECT_TRUE(unit.reader->written().empty());
            EXPECT_TRUE(unit.reader->sent().empty());
            EXPECT_TRUE(unit.wire.empty());
            EXPECT_EQ(kept_controls, 0u) << "the URB traffic is counted, not kept";
        }
        EXPECT_EQ(machine.close(handle), STATUS_SUCCESS);
        expect_clean_teardown(machine);
    }
}

TEST(Variation, TheSeedDrawsTheReadersSpeedsAndNothingElse) {
    bool fast = false, full_speed = false;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        const sim::Variation a = sim::Variation::from_seed(seed);
        const sim::Variation b = sim::Variation::from_seed(seed);
        EXPECT_EQ(a.describe(), b.describe()) << "seed " << seed;
        EXPECT_LT(a.answer_delay, sim::from_ms(40));
        (a.timing == sim::BusTiming::fast ? fast : full_speed) = true;
    }
    EXPECT_TRUE(fast && full_speed) << "forty seeds drew one bus timing only";

    sim::MachineOptions varied;
    varied.seed = 9;
    varied.vary_by_seed = true;
    Machine machine(varied);
    EXPECT_EQ(machine.add_reader().answer_delay, sim::Variation::from_seed(9).answer_delay);
    sim::ReaderSpec own;
    own.answer_delay = sim::from_ms(2);
    EXPECT_EQ(machine.add_reader(own).answer_delay, sim::from_ms(2)) << "a reader's own speed goes before the seed's";
    Machine plain(9);
    EXPECT_EQ(plain.add_reader().answer_delay, 0) << "without vary_by_seed readers answer at once";
}

TEST(Readers, AreNamedInTheOrderOfPluggingAndFoundByTheNewest) {
    Machine machine(2);
    ReaderUnit& first = machine.add_reader();
    ReaderUnit& second = machine.add_reader();
    EXPECT_EQ(first.name, "reader0");
    EXPECT_EQ(second.name, "reader1");
    sim::ReaderSpec again;
    again.name = "reader0";
    ReaderUnit& replacement = machine.add_reader(again);
    EXPECT_EQ(machine.find_reader("reader0"), &replacement);
    EXPECT_EQ(machine.find_reader("reader9"), nullptr);
    EXPECT_EQ(machine.next_reader_name(), "reader2");
}

}  // namespace
