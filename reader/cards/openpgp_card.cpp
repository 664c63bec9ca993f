// OpenPgpCard: application selection, the data objects of an empty OpenPGP card v2.0 and PIN verification with retry counters.
#include "openpgp_card.h"

#include <algorithm>

namespace sim {

namespace {

namespace sw = status_word;
constexpr uint16_t kConditionsNotSatisfied = 0x6985;
constexpr uint16_t kDataNotFound = 0x6A88;

// The historical bytes of the ATR, which DO 5F52 repeats.
const Bytes kHistorical = {0x00, 0x31, 0x84, 0x73, 0x80, 0x01, 0x80, 0x00, 0x90, 0x00};

// A BER-TLV with a one- or two-byte tag and a length below 256.
Bytes tlv(uint16_t tag, const Bytes& value) {
    Bytes out;
    if (tag > 0xFF) out.push_back(static_cast<uint8_t>(tag >> 8));
    out.push_back(static_cast<uint8_t>(tag));
    if (value.size() >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

OpenPgpCard::OpenPgpCard(OpenPgpCardOptions options)
    : options_(std::move(options)), pw1_tries_(options_.tries), pw3_tries_(options_.tries) {}

std::unique_ptr<Card> make_openpgp_card(OpenPgpCardOptions options) {
    return std::make_unique<OpenPgpCard>(std::move(options));
}

Bytes OpenPgpCard::reset(bool) {
    powered_ = true;
    selected_ = false;
    pw1_sign_verified_ = pw1_verified_ = pw3_verified_ = false;
    return openpgp::atr;
}

void OpenPgpCard::power_off() {
    powered_ = false;
    selected_ = false;
    pw1_sign_verified_ = pw1_verified_ = pw3_verified_ = false;
}

bool OpenPgpCard::verified(uint8_t reference) const {
    switch (reference) {
        case openpgp::pw1_sign: return pw1_sign_verified_;
        case openpgp::pw1: return pw1_verified_;
        case openpgp::pw3: return pw3_verified_;
        default: return false;
    }
}

uint8_t OpenPgpCard::tries_left(uint8_t reference) const {
    return reference == openpgp::pw3 ? pw3_tries_ : pw1_tries_;
}

Bytes OpenPgpCard::pw_status() const {
    const uint8_t max = options_.max_pin_length;
    return {0x00, max, max, max, pw1_tries_, 0x00, pw3_tries_};
}

std::optional<Bytes> OpenPgpCard::data_object(uint16_t tag) const {
    const Bytes zeros60(60, 0x00);
    const Bytes rsa2048 = {0x01, 0x08, 0x00, 0x00, 0x20, 0x00};
    // Extended capabilities: no optional features; challenge, certificate 0; commands of up to 255 bytes,
    // answers of up to 256.
    const Bytes extended = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x01, 0x00};
    switch (tag) {
        case 0x004F: return openpgp::aid;
        case 0x005E: return Bytes{};
        case 0x0065:
            return join({tlv(0x5B, ascii("Tavelo<<Test")), tlv(0x5F2D, ascii("en")), tlv(0x5F35, ascii("9"))});
        case 0x006E: {
            Bytes discretionary = join({tlv(0xC0, extended), tlv(0xC1, rsa2048), tlv(0xC2, rsa2048),
                                        tlv(0xC3, rsa2048), tlv(0xC4, pw_status()), tlv(0xC5, zeros60),
                                        tlv(0xC6, zeros60), tlv(0xCD, Bytes(12, 0x00))});
            return join({tlv(0x4F, openpgp::aid), tlv(0x5F52, kHistorical), tlv(0x73, discretionary)});
        }
        case 0x007A: return tlv(0x93, {0x00, 0x00, 0x00});
        case 0x5F50: return Bytes{};
        case 0x5F52: return kHistorical;
        case 0x00C4: return pw_status();
        case 0x0101:
        case 0x0102: return Bytes{};
        case 0x7F21: return Bytes{};
        default: return std::nullopt;
    }
}

Bytes OpenPgpCard::transmit(const Bytes& command) {
    if (!powered_) return {};
    std::optional<CommandApdu> apdu = parse_command_apdu(command);
    if (!apdu) return response_apdu(sw::wrong_length);
    if (apdu->cla != 0x00) return response_apdu(sw::cla_not_supported);
    if (apdu->ins == 0xA4) return select(*apdu);
    if (apdu->ins != 0xCA && apdu->ins != 0x20 && apdu->ins != 0xA5) return response_apdu(sw::ins_not_supported);
    if (!selected_) return response_apdu(kConditionsNotSatisfied);
    if (apdu->ins == 0xA5) return select_data(*apdu);
    return apdu->ins == 0xCA ? get_data(*apdu) : verify(*apdu);
}

Bytes OpenPgpCard::select(const CommandApdu& apdu) {
    if (apdu.p1 != 0x04) return response_apdu(sw::file_not_found);
    const Bytes& name = apdu.data;
    bool ours = name.size() >= 6 && name.size() <= openpgp::aid.size() &&
                std::equal(name.begin(), name.end(), openpgp::aid.begin());
    if (!ours) return response_apdu(sw::file_not_found);
    selected_ = true;
    if (!apdu.ne || apdu.p2 == 0x0C) return response_apdu(sw::ok);
    Bytes fci = tlv(0x6F, tlv(0x84, openpgp::aid));
    fci.resize(std::min(fci.size(), *apdu.ne));
    return response_apdu(sw::ok, fci);
}

Bytes OpenPgpCard::select_data(const CommandApdu& apdu) {
    // 60 04 5C 02 7F 21: the first (and only) cardholder certificate.
    const Bytes certificate = {0x60, 0x04, 0x5C, 0x02, 0x7F, 0x21};
    if (apdu.p2 != 0x04) return response_apdu(sw::incorrect_p1_p2);
    // P1 picks one of the three certificate DOs (authentication, decryption, signature); all are empty.
    if (apdu.data != certificate || apdu.p1 > 0x02) return response_apdu(kDataNotFound);
    return response_apdu(sw::ok);
}

Bytes OpenPgpCard::get_data(const CommandApdu& apdu) {
    std::optional<Bytes> value = data_object(static_cast<uint16_t>(apdu.p1 << 8 | apdu.p2));
    if (!value) return response_apdu(kDataNotFound);
    if (apdu.ne && value->size() > *apdu.ne) value->resize(*apdu.ne);
    return response_apdu(sw::ok, *value);
}

Bytes OpenPgpCard::verify(const CommandApdu& apdu) {
    const uint8_t ref = apdu.p2;
    if (apdu.p1 != 0x00 || (ref != openpgp::pw1_sign && ref != openpgp::pw1 && ref != openpgp::pw3)) {
        return response_apdu(sw::incorrect_p1_p2);
    }
    uint8_t& tries = ref == openpgp::pw3 ? pw3_tries_ : pw1_tries_;
    bool& state = ref == openpgp::pw1_sign ? pw1_sign_verified_ : ref == openpgp::pw1 ? pw1_verified_ : pw3_verified_;
    if (apdu.data.empty()) {
        if (state) return response_apdu(sw::ok);
        return response_apdu(tries == 0 ? sw::pin_blocked : static_cast<uint16_t>(sw::verify_failed | tries));
    }
    if (tries == 0) return response_apdu(sw::pin_blocked);
    const std::string& pin = ref == openpgp::pw3 ? options_.admin_pin : options_.user_pin;
    if (apdu.data != ascii(pin)) {
        --tries;
        state = false;
        return response_apdu(tries == 0 ? sw::pin_blocked : static_cast<uint16_t>(sw::verify_failed | tries));
    }
    tries = options_.tries;
    state = true;
    return response_apdu(sw::ok);
}

}  // namespace sim
