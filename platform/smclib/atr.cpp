// SmartcardUpdateCardCapabilities: the card's answer to reset read into CardCapabilities (structure, protocols, F and D, guard and waiting times, PTS parameters).
//
// The ATR is checked and evaluated as ISO/IEC 7816-3 lays it out:
//
//   TS  T0  {TAi TBi TCi TDi}...  T1..TK  [TCK]
//
// TS is 0x3B (direct convention) or 0x3F (inverse convention; the reader has already decoded the bytes, so they are
// read as they stand and only InversConvention records the fact); anything else is no ATR of this standard. T0 holds
// Y1 (high nibble: which of TA1..TD1 follow) and K (low nibble: the number of historical bytes). Each TDi holds
// Yi+1 and, in its low nibble, the protocol T that the next group's bytes belong to. TCK is present unless only
// T=0 is indicated, and then the XOR of T0..TCK is zero. The length must be exactly what the bytes announce, and at
// most 33 bytes. Rejections give STATUS_UNRECOGNIZED_MEDIA and leave CardCapabilities as it was.
//
// Units, as SMCLIB documents them for SCARD_CARD_CAPABILITIES: every time (etu, GT, T0.WT, T1.CWT, T1.BWT, T1.BGT)
// is in microseconds, computed at the reader's clock ReaderCapabilities.CLKFrequency.Default, which is in kHz, and
// rounded up to the next whole microsecond (a waiting time one microsecond too long never cuts a card off, one too
// short may). N is in etu. Fl and Dl are the TA1 indices into the F and D tables, not F and D themselves.
#include "reader_data.h"

namespace sim::smclib {

namespace {

constexpr ULONG kMaxAtrLength = 33;
constexpr UCHAR kDirectConvention = 0x3B;
constexpr UCHAR kInverseConvention = 0x3F;

// The largest clock frequency fs (kHz) allowed with each clock rate conversion factor, by its TA1 nibble.
constexpr ULONG kMaxClockKhz[16] = {4000, 5000, 6000, 8000, 12000, 16000, 20000, 0, 0, 5000, 7500, 10000, 15000, 20000, 0, 0};

// Values that apply when the ATR leaves them out.
constexpr UCHAR kDefaultFl = 1;  // F = 372
constexpr UCHAR kDefaultDl = 1;  // D = 1
constexpr UCHAR kDefaultWi = 10;
constexpr UCHAR kDefaultIfsc = 32;
constexpr UCHAR kDefaultCwi = 13;
constexpr UCHAR kDefaultBwi = 4;
constexpr ULONG kDefaultF = 372;  // Fd, the F of the block waiting time formula whatever TA1 says

// TC1 = 255: the smallest character distance, 12 etu for T=0 and 11 etu for T=1, with no extra guard time.
constexpr UCHAR kMinimumGuardTime = 255;

constexpr UCHAR kProtocolT0 = 0;
constexpr UCHAR kProtocolT1 = 1;

// The interface bytes that mean something to the library, as the ATR gave them.
struct InterfaceBytes {
    bool has_ta1 = false, has_tb1 = false, has_tc1 = false, has_ta2 = false, has_tb2 = false, has_tc2 = false;
    UCHAR ta1 = 0, tb1 = 0, tc1 = 0, ta2 = 0, tb2 = 0, tc2 = 0;
    // The first TAi, TBi and TCi (i >= 3) of a group that belongs to T=1.
    bool has_t1_ta = false, has_t1_tb = false, has_t1_tc = false;
    UCHAR t1_ta = 0, t1_tb = 0, t1_tc = 0;
    bool has_td1 = false;
    bool tck_required = false;  // some TDi indicates a protocol other than T=0
    ULONG protocols = 0;        // SCARD_PROTOCOL_T0 / _T1 indicated by the TDi (T=0 alone without TD1)
    ULONG historical_offset = 0;
    ULONG historical_length = 0;
};

// Walks TS..TCK. Returns false for an ATR that is not one: bad TS, cut short, longer than its structure, or a
// wrong check byte.
bool parse_structure(const UCHAR* atr, ULONG length, InterfaceBytes& out) {
    if (length < 2 || length > kMaxAtrLength) return false;
    if (atr[0] != kDirectConvention && atr[0] != kInverseConvention) return false;

    ULONG pos = 2;
    UCHAR indicator = atr[1] >> 4;  // Yi: bit 0 TAi, bit 1 TBi, bit 2 TCi, bit 3 TDi
    UCHAR group_protocol = kProtocolT0;  // the T that the TD before group i indicated (none before group 1 and 2's TD1)
    for (ULONG group = 1;; ++group) {
        UCHAR bytes[4] = {};
        bool present[4] = {};
        for (int which = 0; which < 4; ++which) {
            if (!(indicator & (1u << which))) continue;
            if (pos >= length) return false;
            bytes[which] = atr[pos++];
            present[which] = true;
        }
        const auto [ta, tb, tc, td] = bytes;
        if (group == 1) {
            out.has_ta1 = present[0];
            out.ta1 = ta;
            out.has_tb1 = present[1];
            out.tb1 = tb;
            out.has_tc1 = present[2];
            out.tc1 = tc;
            out.has_td1 = present[3];
        } else if (group == 2) {
            out.has_ta2 = present[0];
            out.ta2 = ta;
            out.has_tb2 = present[1];
            out.tb2 = tb;
            out.has_tc2 = present[2];
            out.tc2 = tc;
        } else if (group_protocol == kProtocolT1) {
            // IFSC, CWI/BWI and the EDC are the first TAi, TBi and TCi (i >= 3) that belong to T=1.
            if (present[0] && !out.has_t1_ta) {
                out.has_t1_ta = true;
                out.t1_ta = ta;
            }
            if (present[1] && !out.has_t1_tb) {
                out.has_t1_tb = true;
                out.t1_tb = tb;
            }
            if (present[2] && !out.has_t1_tc) {
                out.has_t1_tc = true;
                out.t1_tc = tc;
            }
        }
        if (!present[3]) break;
        group_protocol = td & 0x0F;
        if (group_protocol == kProtocolT0) out.protocols |= SCARD_PROTOCOL_T0;
        if (group_protocol == kProtocolT1) out.protocols |= SCARD_PROTOCOL_T1;
        if (group_protocol != kProtocolT0) out.tck_required = true;
        indicator = td >> 4;
    }
    if (!out.has_td1) out.protocols = SCARD_PROTOCOL_T0;

    out.historical_offset = pos;
    out.historical_length = atr[1] & 0x0F;
    pos += out.historical_length;
    if (out.tck_required) {
        pos += 1;
        if (pos > length) return false;
        UCHAR check = 0;
        for (ULONG i = 1; i < pos; ++i) check ^= atr[i];
        if (check != 0) return false;
    }
    return pos == length;
}

// Clock cycles numerator / denominator in microseconds at clock_khz, rounded up, saturated to a ULONG.
ULONG cycles_to_us(ULONGLONG numerator, ULONGLONG denominator, ULONG clock_khz) {
    ULONGLONG scaled = numerator * 1000;
    ULONGLONG divisor = denominator * clock_khz;
    ULONGLONG us = (scaled + divisor - 1) / divisor;
    return us > 0xFFFFFFFFull ? 0xFFFFFFFFul : static_cast<ULONG>(us);
}

bool rate_supported(const SCARD_READER_CAPABILITIES& reader, ULONG rate) {
    if (reader.DataRatesSupported.List && reader.DataRatesSupported.Entries) {
        for (UCHAR i = 0; i < reader.DataRatesSupported.Entries; ++i) {
            if (reader.DataRatesSupported.List[i] == rate) return true;
        }
        return false;
    }
    return rate <= reader.DataRate.Max;
}

}  // namespace

}  // namespace sim::smclib

using namespace sim::smclib;

extern "C" {

NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
    reader_data(SmartcardExtension, "SmartcardUpdateCardCapabilities");
    SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
    const SCARD_READER_CAPABILITIES& reader = SmartcardExtension->ReaderCapabilities;

    InterfaceBytes atr;
    if (!parse_structure(card.ATR.Buffer, card.ATR.Length, atr)) return STATUS_UNRECOGNIZED_MEDIA;

    UCHAR fl = atr.has_ta1 ? static_cast<UCHAR>(atr.ta1 >> 4) : kDefaultFl;
    UCHAR dl = atr.has_ta1 ? static_cast<UCHAR>(atr.ta1 & 0x0F) : kDefaultDl;
    if (kClockRateConversion[fl] == 0 || kBitRateAdjustment[dl] == 0) return STATUS_UNRECOGNIZED_MEDIA;

    // Only T=0 and T=1 are run here, and only those the reader offers too.
    ULONG usable = atr.protocols & reader.SupportedProtocols & SCARD_PROTOCOL_Tx;
    if (usable == 0) return STATUS_UNRECOGNIZED_MEDIA;

    // TA2 puts the card in the specific mode: its protocol is the only one, and the card takes no PTS.
    ULONG specific = 0;
    if (atr.has_ta2) {
        UCHAR t = atr.ta2 & 0x0F;
        specific = t == kProtocolT0 ? SCARD_PROTOCOL_T0 : t == kProtocolT1 ? SCARD_PROTOCOL_T1 : 0;
        if (!(specific & usable)) return STATUS_UNRECOGNIZED_MEDIA;
    }

    // Accepted: from here on the record is written.
    card.InversConvention = card.ATR.Buffer[0] == kInverseConvention;
    RtlZeroMemory(card.HistoricalChars.Buffer, sizeof card.HistoricalChars.Buffer);
    RtlCopyMemory(card.HistoricalChars.Buffer, card.ATR.Buffer + atr.historical_offset, atr.historical_length);
    card.HistoricalChars.Length = static_cast<UCHAR>(atr.historical_length);
    card.Fl = fl;
    card.Dl = dl;
    // TB1: bits 7-6 the programming current index II, bits 5-1 PI1 in volts; TB2 gives PI2 in 0.1 V instead.
    card.II = atr.has_tb1 ? static_cast<UCHAR>((atr.tb1 >> 5) & 0x03) : 0;
    card.P = atr.has_tb1 ? static_cast<UCHAR>((atr.tb1 & 0x1F) * 10 < 0xFF ? (atr.tb1 & 0x1F) * 10 : 0xFF) : 0;
    if (atr.has_tb2) card.P = atr.tb2;
    card.N = atr.has_tc1 ? atr.tc1 : 0;

    card.Protocol.Supported = specific ? specific : usable;
    if (specific) {
        card.Protocol.Selected = specific;
    } else if (!(card.Protocol.Selected & card.Protocol.Supported)) {
        // A protocol chosen for an earlier card that this one cannot run must not stay in force.
        card.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    }

    card.T0.WI = atr.has_tc2 && atr.tc2 != 0 ? atr.tc2 : kDefaultWi;  // TC2 = 0 is reserved: the default holds
    card.T1.IFSC = atr.has_t1_ta && atr.t1_ta != 0 && atr.t1_ta != 0xFF ? atr.t1_ta : kDefaultIfsc;
    card.T1.CWI = atr.has_t1_tb ? static_cast<UCHAR>(atr.t1_tb & 0x0F) : kDefaultCwi;
    card.T1.BWI = atr.has_t1_tb ? static_cast<UCHAR>(atr.t1_tb >> 4) : kDefaultBwi;
    card.T1.EDC = atr.has_t1_tc ? static_cast<UCHAR>(atr.t1_tc & 0x01) : 0;  // 1 = CRC, 0 = LRC

    // The transmission parameters in force: a card in the specific mode runs with TA1's values (or implicit ones,
    // TA2 bit 5, which are unknown here: the defaults stand in); otherwise PtsData.Type chooses what the PTS asks
    // for: the defaults, the card's TA1 values when the reader runs their data rate, or the driver's own choice.
    auto& pts = card.PtsData;
    ULONG clock_khz = reader.CLKFrequency.Default ? reader.CLKFrequency.Default : kMaxClockKhz[fl];
    if (specific) {
        bool implicit = atr.ta2 & 0x10;
        pts.Fl = implicit ? kDefaultFl : fl;
        pts.Dl = implicit ? kDefaultDl : dl;
    } else if (pts.Type == PTS_TYPE_OPTIMAL) {
        ULONG rate = static_cast<ULONG>(ULONGLONG{clock_khz} * 1000 * kBitRateAdjustment[dl] / kClockRateConversion[fl]);
        bool fits = rate_supported(reader, rate) && clock_khz <= kMaxClockKhz[fl];
        pts.Fl = fits ? fl : kDefaultFl;
        pts.Dl = fits ? dl : kDefaultDl;
    } else if (pts.Type != PTS_TYPE_USER || kClockRateConversion[pts.Fl & 0x0F] == 0 ||
               kBitRateAdjustment[pts.Dl & 0x0F] == 0) {
        pts.Type = PTS_TYPE_DEFAULT;
        pts.Fl = kDefaultFl;
        pts.Dl = kDefaultDl;
    }
    ULONG f = kClockRateConversion[pts.Fl & 0x0F];
    ULONG d = kBitRateAdjustment[pts.Dl & 0x0F];
    pts.CLKFrequency = clock_khz;
    pts.DataRate = static_cast<ULONG>(ULONGLONG{clock_khz} * 1000 * d / f);

    // One etu is F / D clock cycles; the character frame is 10 etu plus the guard bits.
    bool t1_only = card.Protocol.Supported == SCARD_PROTOCOL_T1;
    ULONG guard_etu = card.N == kMinimumGuardTime ? (t1_only ? 11 : 12) : 12 + ULONG{card.N};
    pts.StopBits = static_cast<UCHAR>(guard_etu - 10 > 0xFF ? 0xFF : guard_etu - 10);
    card.etu = cycles_to_us(f, d, clock_khz);
    card.GT = cycles_to_us(ULONGLONG{guard_etu} * f, d, clock_khz);
    // WT = 960 x D x WI work etu = WI x 960 x Fi / f, with the F that TA1 announced.
    card.T0.WT = cycles_to_us(ULONGLONG{960} * card.T0.WI * kClockRateConversion[fl], 1, clock_khz);
    // CWT = (11 + 2^CWI) etu; BWT = 11 etu + 2^BWI x 960 x 372 / f; BGT = 22 etu.
    card.T1.CWT = cycles_to_us((11 + (ULONGLONG{1} << card.T1.CWI)) * f, d, clock_khz);
    card.T1.BWT = cycles_to_us(ULONGLONG{11} * f + (ULONGLONG{1} << card.T1.BWI) * 960 * kDefaultF * d, d, clock_khz);
    card.T1.BGT = cycles_to_us(ULONGLONG{22} * f, d, clock_khz);
    return STATUS_SUCCESS;
}

}  // extern "C"
