// PIN verification through the device-control gate: the PIN_VERIFY_STRUCTURE checks, the PIN block, the direct verification with a person at the keypad, the finish and abort steps, and the start's failures.
#include <gtest/gtest.h>

#include <algorithm>

#include "pinpad_bench.h"
#include "reader/cards/card_factory.h"

namespace qward::pinpad_test {
namespace {

using sim::Key;
using sim::Person;
using sim::from_ms;

const Bytes kRefused = {0x6B, 0x80};
const Bytes kVerified = {0x90, 0x00};

sim::IoResult start(PinpadBench& f, const VerifyRequest& request, ULONG output = 8) {
    return f.ioctl(IOCTL_FEATURE_VERIFY_PIN_START, verify_structure(request), output);
}

sim::IoResult direct(PinpadBench& f, const VerifyRequest& request, ULONG output = 8) {
    return f.ioctl(IOCTL_FEATURE_VERIFY_PIN_DIRECT, verify_structure(request), output);
}

// A started reader with the ISO card powered, and this person at the keypad for the next entry.
void ready(PinpadBench& f, Person person) {
    f.start();
    f.power_card();
    f.keypad().queue_person(std::move(person));
}

size_t count(const std::vector<uint8_t>& codes, uint8_t code) {
    return static_cast<size_t>(std::count(codes.begin(), codes.end(), code));
}

TEST(VerifyStructure, MalformedStructuresAreRefusedWithoutReaderTraffic) {
    struct Case {
        const char* name;
        Bytes input;
        bool refused;
    };
    VerifyRequest base;
    auto with = [&](auto change) {
        VerifyRequest r = base;
        change(r);
        return verify_structure(r);
    };
    const Case cases[] = {
        {"19 bytes, no APDU", with([](VerifyRequest& r) { r.apdu.clear(); }), true},
        {"data length past the buffer", with([](VerifyRequest& r) { r.data_length = 14; }), true},
        {"data length FFFFFFFF in 20 bytes",
         with([](VerifyRequest& r) {
             r.apdu = {0x00};
             r.data_length = 0xFFFFFFFF;
         }),
         true},
        {"entry validation 8", with([](VerifyRequest& r) { r.entry_validation = 8; }), true},
        {"maximum 3", with([](VerifyRequest& r) { r.max_digits = 3; }), true},
        {"maximum 17", with([](VerifyRequest& r) { r.max_digits = 17; }), true},
        {"maximum 4", with([](VerifyRequest& r) { r.max_digits = 4; }), false},
        {"maximum 16", with([](VerifyRequest& r) { r.max_digits = 16; }), false},
        {"entry validation 7", with([](VerifyRequest& r) { r.entry_validation = 7; }), false},
    };
    for (const Case& c : cases) {
        for (ULONG code : {IOCTL_FEATURE_VERIFY_PIN_START, IOCTL_FEATURE_VERIFY_PIN_DIRECT}) {
            SCOPED_TRACE(std::string(c.name) + (code == IOCTL_FEATURE_VERIFY_PIN_START ? " (start)" : " (direct)"));
            PinpadBench f;
            f.start();
            f.power_card();
            // A reader that refuses every start keeps the direct verification from waiting for keys.
            f.answer_command(sim::pinpad_command::verify_start, 15, {0x30});
            const size_t before = f.written_count();
            const sim::IoResult result = f.ioctl(code, c.input, 8);
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(result.output, code == IOCTL_FEATURE_VERIFY_PIN_START ? Bytes{0x57} : kRefused);
            EXPECT_EQ(count(f.command_codes(before), sim::pinpad_command::verify_start), c.refused ? 0u : 1u);
            EXPECT_EQ(f.re->PinState, PIN_IDLE);
        }
    }
}

TEST(VerifyStructure, PinBlockOfTheStart) {
    PinpadBench f;
    f.start();
    VerifyRequest r;
    r.timer_out = 0x1E;
    r.lang_id = 0x0409;
    r.max_digits = 0x08;
    r.min_digits = 0x04;
    r.msg_index = 0;
    r.format_string = 0x82;
    r.block_string = 0x04;
    r.length_format = 0x00;
    const size_t before = f.written_count();
    start(f, r);
    const std::vector<Command> sent = f.written(before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].code, 0x42);
    Bytes expected = {0x1E, 0x09, 0x04, 0x08, 0x00, 0x81, 0x82, 0x00, 0x00, 0x82, 0x04, 0x00, 0x0D};
    expected.insert(expected.end(), r.apdu.begin(), r.apdu.end());
    EXPECT_EQ(sent[0].data, expected);
    EXPECT_EQ(f.re->PinMinDigits, 4);
    EXPECT_EQ(f.re->PinMaxDigits, 8);
    EXPECT_EQ(f.re->EntryValidation, 0x02);
}

TEST(VerifyStart, AcceptedStartHasAnEmptyReplyAndRefusalsAreData) {
    PinpadBench f;
    f.start();
    const sim::IoResult accepted = start(f, {});
    EXPECT_EQ(accepted.status, STATUS_SUCCESS);
    EXPECT_EQ(accepted.bytes, 0u);
    EXPECT_EQ(f.re->PinState, PIN_ENTERING);

    // The reader refuses an 8-digit ASCII PIN in a 4-byte field with its error answer 6B 80.
    VerifyRequest misfit;
    misfit.block_string = 0x04;
    const sim::IoResult refused = start(f, misfit);
    EXPECT_EQ(refused.status, STATUS_SUCCESS);
    EXPECT_EQ(refused.output, Bytes{0x57});
    EXPECT_EQ(f.re->PinState, PIN_IDLE);
    EXPECT_EQ(f.pinpad->starts_refused, 1);

    // Out of service: answer kind 15, also a refusal; without reply room it cannot be told.
    f.pinpad->keypad_in_service = false;
    EXPECT_EQ(start(f, {}).output, Bytes{0x57});
    EXPECT_EQ(start(f, {}, 0).status, STATUS_BUFFER_TOO_SMALL);
}

// A start whose reader command got no answer is a failure, not an accepted start. The slot the reader reported
// empty stays empty: the card state is not made up, and the request waiting for a card goes on waiting.
TEST(VerifyStart, NoCardIsAFailureAndTheSlotStaysEmpty) {
    for (ULONG code : {IOCTL_FEATURE_VERIFY_PIN_START, IOCTL_FEATURE_VERIFY_PIN_DIRECT}) {
        SCOPED_TRACE(code == IOCTL_FEATURE_VERIFY_PIN_START ? "start" : "direct");
        PinpadBench f;
        f.start(false);
        std::shared_ptr<sim::PendingRequest> tracking = f.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_FALSE(tracking->done());
        const size_t before = f.written_count();
        const sim::IoResult result = f.ioctl(code, verify_structure({}), 8);
        EXPECT_EQ(result.status, STATUS_NO_MEDIA);
        EXPECT_EQ(result.bytes, 0u);
        EXPECT_EQ(f.re->PinState, PIN_IDLE);
        const std::vector<Command> sent = f.written(before);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_TRUE(sent[0].data.empty()) << "the PIN block does not go out without a card";
        EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_ABSENT));
        EXPECT_FALSE(tracking->done());
        EXPECT_EQ(f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1).status, STATUS_INVALID_DEVICE_REQUEST);
    }
}

TEST(VerifyStart, ShutdownWhileTheStartWaitsAbortsAndFails) {
    for (ULONG code : {IOCTL_FEATURE_VERIFY_PIN_START, IOCTL_FEATURE_VERIFY_PIN_DIRECT}) {
        SCOPED_TRACE(code == IOCTL_FEATURE_VERIFY_PIN_START ? "start" : "direct");
        PinpadBench f;
        f.start();
        f.power_card();
        f.reader.withhold_answers(1);
        f.k.spawn("shutdown", [&] {
            delay_ms(100);
            f.pnp.shutdown();
        });
        const size_t before = f.written_count();
        const sim::IoResult result = f.ioctl(code, verify_structure({}), 8);
        EXPECT_EQ(result.status, STATUS_NO_MEDIA);
        EXPECT_EQ(result.bytes, 0u);
        EXPECT_EQ(f.re->PinState, PIN_IDLE);
        EXPECT_EQ(f.command_codes(before), (std::vector<uint8_t>{0x42, 0x17}));
        EXPECT_FALSE(f.de->ShutdownSignalled);
        EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_PRESENT));
    }
}

// The direct verification answers from the start step's outcome, not from what the reply buffer happens to hold
// (here bTimerOut 0x57 at its first byte).
TEST(VerifyDirect, StartErrorAnswerIsTheReadersStatusWord) {
    struct Case {
        const char* name;
        Bytes answer;
        Bytes reply;
    };
    const Case cases[] = {
        {"status word in the error answer", {0x01, 0x69, 0x82}, {0x69, 0x82}},
        {"error answer without a status word", {0x01}, kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PinpadBench f;
        f.start();
        f.power_card();
        f.answer_command(sim::pinpad_command::verify_start, 8, c.answer);
        VerifyRequest r;
        r.timer_out = 0x57;
        const size_t before = f.written_count();
        const sim::IoResult result = direct(f, r);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.output, c.reply);
        EXPECT_EQ(f.re->PinState, PIN_IDLE);
        EXPECT_EQ(f.command_codes(before), std::vector<uint8_t>{0x42}) << "no key poll";

        // The start step alone has no status word to pass on: it fails, so that the refusal is not taken for an
        // accepted start.
        const sim::IoResult alone = start(f, r);
        EXPECT_EQ(alone.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(alone.bytes, 0u);
        EXPECT_EQ(f.re->PinState, PIN_IDLE);
    }
}

TEST(VerifyDirect, NeedsTwoBytesOfReplyRoomBeforeAnything) {
    PinpadBench f;
    f.start();
    const size_t before = f.written_count();
    EXPECT_EQ(direct(f, {}, 1).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(f.written_count(), before);
}

// A person at the keypad, the card verifying what the reader put into its APDU.
TEST(VerifyDirect, PersonAtTheKeypad) {
    struct Case {
        const char* name;
        Person person;
        uint8_t entry_validation;
        uint8_t max_digits;
        uint8_t timer_out;
        std::string card_pin;
        Bytes reply;
        std::vector<uint8_t> keys;    // the key codes the reader reported
        bool card_asked;              // the reader sent the card a VERIFY
        std::string typed;            // the PIN the card got
    };
    const Case cases[] = {
        {"types and validates", Person::typing("1234"), 0x02, 8, 0, "1234", kVerified,
         {0x2B, 0x2B, 0x2B, 0x2B, 0x0D}, true, "1234"},
        {"validates too early, then again",
         Person().type("123").press(Key::validate).type("4").press(Key::validate), 0x02, 8, 0, "1234", kVerified,
         {0x2B, 0x2B, 0x2B, 0x0D, 0x2B, 0x0D}, true, "1234"},
        {"corrects with backspace and clear", Person::correcting("1234"), 0x02, 8, 0, "1234", kVerified,
         {0x2B, 0x2B, 0x08, 0x2B, 0x0A, 0x2B, 0x2B, 0x2B, 0x2B, 0x0D}, true, "1234"},
        {"maximum length ends the entry",
         Person().type("12345").press(Key::backspace).press(Key::backspace).type("45").press(Key::validate).type("6"),
         0x01, 6, 0, "123456", kVerified, {0x2B, 0x2B, 0x2B, 0x2B, 0x2B, 0x08, 0x08, 0x2B, 0x2B, 0x0D, 0x2B}, true,
         "123456"},
        {"wrong PIN", Person::typing("9999"), 0x02, 8, 0, "1234", {0x63, 0xC2}, {0x2B, 0x2B, 0x2B, 0x2B, 0x0D}, true,
         "9999"},
        {"cancels", Person::cancelling(), 0x02, 8, 0, "1234", {0x64, 0x01}, {0x2B, 0x2B, 0x1B}, false, ""},
        {"time-out validates enough digits", Person::typing("1234", false), 0x04, 8, 5, "1234", kVerified,
         {0x2B, 0x2B, 0x2B, 0x2B, 0x0E}, true, "1234"},
        {"time-out with too few digits", Person::typing("12", false), 0x06, 8, 5, "1234", {0x64, 0x03},
         {0x2B, 0x2B, 0x0E}, false, ""},
        {"time-out without validation by time-out", Person::typing("12", false), 0x02, 8, 5, "1234", {0x64, 0x00},
         {0x2B, 0x2B, 0x0E}, false, ""},
        {"never types", Person::never_types(), 0x02, 8, 0, "1234", {0x64, 0x00}, {0x0E}, false, ""},
        {"reader ends the entry", Person().type("1234").press(Key::reader_end), 0x02, 8, 0, "1234", kVerified,
         {0x2B, 0x2B, 0x2B, 0x2B, 0x40}, true, "1234"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PinpadBench f;
        sim::IsoCardOptions options;
        options.atr = sim::preset_atr::iso;
        options.pin = c.card_pin;
        f.card = std::make_shared<sim::IsoCard>(options);
        ready(f, c.person);
        VerifyRequest r;
        r.entry_validation = c.entry_validation;
        r.max_digits = c.max_digits;
        r.timer_out = c.timer_out;
        const size_t before = f.written_count();
        const sim::VirtualTime begun = f.k.now();
        const sim::IoResult result = direct(f, r);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << sim::status_name(result.status);
        EXPECT_EQ(result.output, c.reply);
        EXPECT_EQ(f.keypad().reported(), c.keys);
        EXPECT_EQ(f.re->PinState, PIN_IDLE);

        const std::vector<uint8_t> codes = f.command_codes(before);
        EXPECT_EQ(count(codes, 0x44), c.keys.size()) << "one key poll per key event";
        const bool timed_out_unvalidated = c.reply == Bytes{0x64, 0x00} || c.reply == Bytes{0x64, 0x03};
        EXPECT_EQ(count(codes, 0x45), c.card_asked ? 1u : 0u);
        EXPECT_EQ(count(codes, 0x46), timed_out_unvalidated ? 1u : 0u);
        ASSERT_EQ(f.pinpad->verify_apdus.size(), c.card_asked ? 1u : 0u);
        if (c.card_asked) {
            Bytes apdu = {0x00, 0x20, 0x00, 0x01, 0x08};
            apdu.insert(apdu.end(), c.typed.begin(), c.typed.end());
            apdu.resize(13, 0xFF);
            EXPECT_EQ(f.pinpad->verify_apdus[0], apdu);
        }
        EXPECT_EQ(f.card->pin_verified(), c.reply == kVerified);
        if (c.timer_out != 0 && c.keys.back() == 0x0E) {
            EXPECT_GE(f.k.now() - begun, from_ms(c.timer_out * 1000));
        }
    }
}

// Whatever order the scheduler picks for the background read, the key polls and the keypad, the outcome is the same.
TEST(VerifyDirect, SameOutcomeUnderEverySchedule) {
    for (uint64_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE(seed);
        PinpadBench f(seed);
        ready(f, Person::correcting("1234", from_ms(1)));
        std::shared_ptr<sim::PendingRequest> tracking = f.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT);
        const sim::IoResult result = direct(f, {});
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.output, kVerified);
        EXPECT_EQ(f.keypad().reported(),
                  (std::vector<uint8_t>{0x2B, 0x2B, 0x08, 0x2B, 0x0A, 0x2B, 0x2B, 0x2B, 0x2B, 0x0D}));
        EXPECT_FALSE(tracking->done()) << "the card stayed in";
    }
}

TEST(VerifyDirect, WrongPinUsesUpTheCardsTries) {
    PinpadBench f;
    ready(f, Person::typing("0000"));
    f.keypad().queue_person(Person::typing("0000"));
    f.keypad().queue_person(Person::typing("1234"));
    EXPECT_EQ(direct(f, {}).output, (Bytes{0x63, 0xC2}));
    EXPECT_EQ(direct(f, {}).output, (Bytes{0x63, 0xC1}));
    EXPECT_EQ(direct(f, {}).output, kVerified);
    EXPECT_EQ(f.card->pin_tries_left(), 3);
}

// Once the card is no longer in SCARD_SPECIFIC the loop ends with 6B 80, and the reader's entry is ended so that
// no later finish can send the card a partial PIN.
TEST(VerifyDirect, CardLeavingTheSpecificStateEndsTheLoop) {
    enum class Event { pulled, reported_again };
    for (Event event : {Event::pulled, Event::reported_again}) {
        SCOPED_TRACE(event == Event::pulled ? "card pulled" : "card status reported again");
        PinpadBench f;
        ready(f, Person().type("12", from_ms(500)));
        f.k.spawn("card", [&] {
            delay_ms(2000);
            if (event == Event::pulled) {
                f.reader.remove_card();
            } else {
                f.reader.send(sim::card_status_packet(true));
            }
        });
        const size_t before = f.written_count();
        const sim::IoResult result = direct(f, {});
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.output, kRefused);
        const std::vector<uint8_t> codes = f.command_codes(before);
        EXPECT_EQ(codes.back(), 0x46) << "the PIN abort after the last key poll";
        EXPECT_EQ(count(codes, 0x44), 3u);
        EXPECT_EQ(f.re->PinState, PIN_IDLE);
        EXPECT_EQ(f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3).status, STATUS_INVALID_DEVICE_REQUEST)
            << "nothing left to finish";
        EXPECT_EQ(f.card_state(), static_cast<ULONG>(event == Event::pulled ? SCARD_ABSENT : SCARD_PRESENT));
        EXPECT_EQ(f.keypad().reported(), (std::vector<uint8_t>{0x2B, 0x2B})) << "the waiting poll was never answered";
    }
}

TEST(VerifyDirect, AcceptedWhileNotPoweredEndsAfterOnePoll) {
    PinpadBench f;
    f.start();
    ASSERT_EQ(f.card_state(), static_cast<ULONG>(SCARD_PRESENT));
    f.keypad().queue_person(Person::typing("1234"));
    const size_t before = f.written_count();
    const sim::IoResult result = direct(f, {});
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.output, kRefused);
    EXPECT_EQ(f.command_codes(before), (std::vector<uint8_t>{0x42, 0x44, 0x46}));
    EXPECT_EQ(f.re->PinState, PIN_IDLE);
}

TEST(VerifyDirect, KeyPollWithoutAKeyReportEndsWithATimeOut) {
    PinpadBench f;
    ready(f, Person::never_types());
    f.answer_command(sim::pinpad_command::key_poll, 8, {0x01, 0x69, 0x85});
    const sim::IoResult result = direct(f, {});
    EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_EQ(f.re->PinState, PIN_IDLE);
    EXPECT_EQ(f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3).status, STATUS_INVALID_DEVICE_REQUEST);
}

// Start, key presses and finish as separate requests, as an application follows the typing.
TEST(VerifySteps, PinTypedOnTheKeypadVerifiedByTheCard) {
    PinpadBench f;
    ready(f, Person::typing("1234"));
    ASSERT_EQ(start(f, {}).status, STATUS_SUCCESS);
    std::vector<uint8_t> keys;
    for (int i = 0; i < 5; ++i) {
        const sim::IoResult key = f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1);
        ASSERT_EQ(key.status, STATUS_SUCCESS);
        ASSERT_EQ(key.output.size(), 1u);
        keys.push_back(key.output[0]);
    }
    EXPECT_EQ(keys, (std::vector<uint8_t>{0x2B, 0x2B, 0x2B, 0x2B, 0x0D}));
    EXPECT_EQ(f.re->PinState, PIN_COMPLETE);
    EXPECT_EQ(f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1).status, STATUS_INVALID_DEVICE_REQUEST);
    const sim::IoResult finish = f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3);
    EXPECT_EQ(finish.status, STATUS_SUCCESS);
    EXPECT_EQ(finish.output, kVerified);
    EXPECT_TRUE(f.card->pin_verified());
    EXPECT_EQ(f.re->PinState, PIN_IDLE);
    EXPECT_EQ(f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST(VerifySteps, CardPulledWhileAKeyRequestWaits) {
    PinpadBench f;
    ready(f, Person::never_types());
    ASSERT_EQ(start(f, {}).status, STATUS_SUCCESS);
    f.k.spawn("pull", [&] {
        delay_ms(1000);
        f.reader.remove_card();
    });
    const sim::IoResult key = f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1);
    EXPECT_EQ(key.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(key.bytes, 0u);
    EXPECT_EQ(f.re->PinState, PIN_IDLE);
    EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_ABSENT));
    f.settle(60'000);
    EXPECT_TRUE(f.keypad().reported().empty()) << "the reader dropped the entry without answering the poll";
    EXPECT_EQ(f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(f.pinpad->verify_apdus.empty());
}

TEST(VerifySteps, AbortEndsTheEntryOnTheReader) {
    PinpadBench f;
    ready(f, Person::typing("1234"));
    ASSERT_EQ(start(f, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1).output, Bytes{0x2B});
    const sim::IoResult abort = f.ioctl(IOCTL_FEATURE_ABORT, {}, 3);
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    EXPECT_EQ(abort.output, (Bytes{0x64, 0x80}));
    EXPECT_EQ(f.re->PinState, PIN_IDLE);
    EXPECT_EQ(f.keypad().entry(), sim::Keypad::Entry::idle);
    EXPECT_EQ(f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(f.pinpad->verify_apdus.empty());
}

// A time-out that did not validate the entry is answered again by every finish until the next start, each time
// with an abort to the reader.
TEST(VerifySteps, TimedOutEntryFinishesWithAbort) {
    PinpadBench f;
    ready(f, Person::never_types());
    VerifyRequest r;
    r.timer_out = 2;
    ASSERT_EQ(start(f, r).status, STATUS_SUCCESS);
    EXPECT_EQ(f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1).output, Bytes{0x40});
    EXPECT_EQ(f.re->PinOutcome, OUTCOME_TIMED_OUT);
    for (int i = 0; i < 2; ++i) {
        const size_t before = f.written_count();
        const sim::IoResult finish = f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3);
        EXPECT_EQ(finish.output, (Bytes{0x64, 0x00}));
        EXPECT_EQ(f.command_codes(before), std::vector<uint8_t>{0x46});
    }
    EXPECT_EQ(f.re->PinState, PIN_IDLE);
    EXPECT_EQ(f.pinpad->finishes, 0);
    // The next start clears the outcome.
    ASSERT_EQ(start(f, r).status, STATUS_SUCCESS);
    EXPECT_EQ(f.re->PinOutcome, OUTCOME_NONE);
}

TEST(VerifySteps, FinishAnswersByTheReadersAnswerKind) {
    struct Case {
        const char* name;
        uint8_t kind;
        Bytes data;
        Bytes reply;
    };
    const Case cases[] = {
        {"refused", 15, {0x42}, kRefused},
        {"error answer", 8, {0x81, 0x63, 0xC1}, {0x63, 0xC1}},
        {"data answer", 3, {0x90, 0x00}, kVerified},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PinpadBench f;
        ready(f, Person::never_types());
        ASSERT_EQ(start(f, {}).status, STATUS_SUCCESS);
        f.answer_command(sim::pinpad_command::verify_finish, c.kind, c.data);
        const sim::IoResult finish = f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3);
        EXPECT_EQ(finish.status, STATUS_SUCCESS);
        EXPECT_EQ(finish.output, c.reply);
        EXPECT_EQ(f.re->PinState, PIN_IDLE);
        EXPECT_EQ(f.re->PinOutcome, OUTCOME_NONE);
    }
}

}  // namespace
}  // namespace qward::pinpad_test
