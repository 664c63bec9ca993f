// Fuzz target: the answer to reset in SmartcardUpdateCardCapabilities, with the reader's clock, rates and PTS choice, and the driver's ATR completeness check against an independent reading of the ATR's length.
#include <cstring>

#include "driver/driver.h"
#include "fuzz_input.h"
#include "kernel.h"
#include "support/atr_length.h"

using namespace sim::reliability::fuzz;

namespace {

// Bytes 0-5 pick the reader's description and the PTS request; the rest is the ATR (at most 64 bytes, the
// record's room, so that lengths past the 33 an ATR may have are tried too).
void run(Input& in) {
    sim::Kernel k(1);
    SMARTCARD_EXTENSION ext{};
    ext.Version = SMCLIB_VERSION;
    ext.SmartcardRequest.BufferSize = 64;
    ext.SmartcardReply.BufferSize = 64;
    if (SmartcardInitialize(&ext) != STATUS_SUCCESS) fail("SmartcardInitialize failed");

    static ULONG rates[] = {9600, 19200, 38400, 57600, 115200};
    SCARD_READER_CAPABILITIES& reader = ext.ReaderCapabilities;
    const uint8_t shape = in.byte();
    reader.SupportedProtocols = shape & 0x03;
    reader.CLKFrequency.Default = shape & 0x04 ? 0 : 1000u + in.byte() * 50u;
    reader.CLKFrequency.Max = reader.CLKFrequency.Default;
    reader.DataRate.Max = 1000u * in.byte();
    if (shape & 0x08) {
        reader.DataRatesSupported.List = rates;
        reader.DataRatesSupported.Entries = static_cast<UCHAR>(in.byte() % 6);
    }
    SCARD_CARD_CAPABILITIES& card = ext.CardCapabilities;
    card.PtsData.Type = in.byte() % 4;
    const uint8_t pts = in.byte();
    card.PtsData.Fl = pts >> 4;
    card.PtsData.Dl = pts & 0x0F;
    card.Protocol.Selected = (shape >> 4) % 3;  // none, T=0 or T=1: one protocol is in force at a time

    std::vector<uint8_t> atr = in.bytes(sizeof card.ATR.Buffer);
    if (!atr.empty()) std::memcpy(card.ATR.Buffer, atr.data(), atr.size());
    card.ATR.Length = static_cast<UCHAR>(atr.size());
    const SCARD_CARD_CAPABILITIES before = card;

    const NTSTATUS status = SmartcardUpdateCardCapabilities(&ext);
    if (k.bug_checked()) fail(k.bug_check_report());
    if (status == STATUS_SUCCESS) {
        if (!sim::test::atr_complete(atr) || atr.size() > 33) fail("an ATR that is not one whole ATR was accepted");
        if (card.HistoricalChars.Length > 15 || card.HistoricalChars.Length != (atr[1] & 0x0F)) {
            fail("historical bytes of the wrong length");
        }
        if (card.Protocol.Supported == 0 || (card.Protocol.Supported & ~reader.SupportedProtocols) != 0) {
            fail("protocols the reader does not offer were taken as usable");
        }
        if (card.Protocol.Selected & ~card.Protocol.Supported) fail("a protocol the card cannot run stays selected");
        if (card.Fl > 15 || card.Dl > 15 || card.etu == 0 || card.GT == 0) fail("impossible transmission values");
    } else {
        if (status != STATUS_UNRECOGNIZED_MEDIA) fail("a rejection other than STATUS_UNRECOGNIZED_MEDIA");
        if (std::memcmp(&before, &card, sizeof card) != 0) fail("a rejected ATR changed the card record");
    }

    // The driver's check of whether the bytes gathered so far make up the whole ATR, for every prefix.
    for (size_t n = 0; n <= atr.size(); ++n) {
        const bool driver = IsAtrComplete(atr.data(), static_cast<ULONG>(n)) != FALSE;
        const bool reference = sim::test::atr_complete(std::span<const uint8_t>(atr.data(), n));
        if (driver != reference) {
            fail("IsAtrComplete says " + std::string(driver ? "complete" : "incomplete") + " for a prefix of " +
                 std::to_string(n) + " bytes");
        }
    }
    SmartcardExit(&ext);
    if (!k.live_pool().empty()) fail("pool left after SmartcardExit:" + k.describe_live_pool());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    run(in);
    return 0;
}
