// The scenario parser: words to commands, with expectations, key presses, PIN requests and masked display lines.
#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <cstdlib>
#include <map>

#include "driver/driver.h"
#include "names.h"

namespace sim::workbench {

// ---- Byte patterns ---------------------------------------------------------------------------------------------

std::optional<BytePattern> BytePattern::parse(const std::vector<std::string>& words, std::string& error) {
    BytePattern pattern;
    // A quoted group ("4B 56 58") is one word with spaces in it: split it like the rest.
    std::vector<std::string> split;
    for (const std::string& word : words) {
        Tokens parts = tokenize(word);
        split.insert(split.end(), parts.words.begin(), parts.words.end());
    }
    for (const std::string& word : split) {
        if (word == "*" || word == "...") {
            pattern.items_.push_back({Item::Type::any_run, 0});
            continue;
        }
        if (word.size() % 2 != 0) {
            error = "\"" + word + "\" is not a whole number of hex bytes";
            return std::nullopt;
        }
        for (size_t i = 0; i < word.size(); i += 2) {
            std::string pair = word.substr(i, 2);
            if (pair == "??") {
                pattern.items_.push_back({Item::Type::any_byte, 0});
                continue;
            }
            std::optional<Bytes> byte = parse_hex(pair);
            if (!byte) {
                error = "\"" + word + "\" is not hex bytes (use ?? for any byte, * for any run)";
                return std::nullopt;
            }
            pattern.items_.push_back({Item::Type::byte, (*byte)[0]});
        }
    }
    return pattern;
}

bool BytePattern::matches(std::span<const uint8_t> bytes) const {
    // Glob matching with one backtrack point per run, linear for the patterns people write.
    size_t p = 0, b = 0;
    std::optional<size_t> run_p, run_b;
    while (b < bytes.size()) {
        if (p < items_.size() && items_[p].type == Item::Type::any_run) {
            run_p = ++p;
            run_b = b;
            continue;
        }
        if (p < items_.size() &&
            (items_[p].type == Item::Type::any_byte || items_[p].value == bytes[b])) {
            ++p;
            ++b;
            continue;
        }
        if (!run_p) return false;
        p = *run_p;
        b = ++*run_b;
    }
    while (p < items_.size() && items_[p].type == Item::Type::any_run) ++p;
    return p == items_.size();
}

std::string BytePattern::text() const {
    std::string out;
    for (const Item& item : items_) {
        if (!out.empty()) out += ' ';
        if (item.type == Item::Type::any_run) {
            out += '*';
        } else if (item.type == Item::Type::any_byte) {
            out += "??";
        } else {
            out += hex(std::span<const uint8_t>(&item.value, 1));
        }
    }
    return out.empty() ? "(nothing)" : out;
}

// ---- Tables ----------------------------------------------------------------------------------------------------

const std::vector<AttributeName>& attribute_names() {
    static const std::vector<AttributeName> names = {
        {"vendor-name", SCARD_ATTR_VENDOR_NAME, true},
        {"ifd-type", SCARD_ATTR_VENDOR_IFD_TYPE, true},
        {"ifd-version", SCARD_ATTR_VENDOR_IFD_VERSION, false},
        {"ifd-serial", SCARD_ATTR_VENDOR_IFD_SERIAL_NO, true},
        {"channel-id", SCARD_ATTR_CHANNEL_ID, false},
        {"protocol-types", SCARD_ATTR_PROTOCOL_TYPES, false},
        {"default-clk", SCARD_ATTR_DEFAULT_CLK, false},
        {"max-clk", SCARD_ATTR_MAX_CLK, false},
        {"default-data-rate", SCARD_ATTR_DEFAULT_DATA_RATE, false},
        {"max-data-rate", SCARD_ATTR_MAX_DATA_RATE, false},
        {"max-ifsd", SCARD_ATTR_MAX_IFSD, false},
        {"power-mgmt", SCARD_ATTR_POWER_MGMT_SUPPORT, false},
        {"characteristics", SCARD_ATTR_CHARACTERISTICS, false},
        {"current-protocol", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, false},
        {"current-clk", SCARD_ATTR_CURRENT_CLK, false},
        {"current-f", SCARD_ATTR_CURRENT_F, false},
        {"current-d", SCARD_ATTR_CURRENT_D, false},
        {"current-ifsc", SCARD_ATTR_CURRENT_IFSC, false},
        {"current-ifsd", SCARD_ATTR_CURRENT_IFSD, false},
        {"atr", SCARD_ATTR_ATR_STRING, false},
        {"icc-presence", SCARD_ATTR_ICC_PRESENCE, false},
        {"icc-interface-status", SCARD_ATTR_ICC_INTERFACE_STATUS, false},
        {"device-unit", SCARD_ATTR_DEVICE_UNIT, false},
    };
    return names;
}

const std::vector<VerbHelp>& verb_help() {
    static const std::vector<VerbHelp> table = {
        {"readers and the system", "plug", "plug [READER] [nostart] [expect STATUS]",
         "A reader arrives on the USB bus: the driver is loaded if it is not, AddDevice runs, then the device is "
         "started (IRP_MN_START_DEVICE) unless `nostart`. READER names it (default reader0, reader1, ...); it "
         "becomes the current reader. `expect` checks the start's status (AddDevice's with nostart)."},
        {"readers and the system", "unplug", "unplug [on READER] [expect STATUS]",
         "The reader is pulled out: surprise removal now, IRP_MN_REMOVE_DEVICE once its last handle is closed."},
        {"readers and the system", "disable", "disable [on READER] [expect STATUS]",
         "Orderly removal, as when the device is disabled: query-remove, then remove. The reader stays plugged in."},
        {"readers and the system", "query-remove", "query-remove [on READER] [expect STATUS]",
         "A removal asked for and called off: IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_CANCEL_REMOVE_DEVICE. The "
         "reader stays started. Example: `query-remove expect SUCCESS`, then `ioctl GET_STATE out 4 expect SUCCESS`."},
        {"readers and the system", "stop", "stop [on READER] [expect STATUS]",
         "Query-stop, then IRP_MN_STOP_DEVICE (a resource rebalance)."},
        {"readers and the system", "start", "start [on READER] [expect STATUS]",
         "IRP_MN_START_DEVICE to a reader that was plugged with `nostart` or stopped, or AddDevice and start again "
         "after `disable`."},
        {"readers and the system", "use", "use READER", "Later commands without `on READER` go to this reader."},
        {"readers and the system", "sleep", "sleep [S1|S2|S3|S4] [expect STATUS]",
         "System sleep (default S3): query-power and set-power to every reader."},
        {"readers and the system", "resume", "resume [expect STATUS]", "The system wakes up (back to S0)."},
        {"readers and the system", "shutdown", "shutdown", "IRP_MJ_SHUTDOWN to every reader, as at system shutdown."},
        {"the card slot and the keypad", "insert", "insert CARD [on READER]",
         "A card goes into the slot. CARD is a name from `cards` (iso, iso-t0, mute, ...) or iso:ATR-HEX."},
        {"the card slot and the keypad", "remove", "remove [on READER]", "The card comes out of the slot."},
        {"the card slot and the keypad", "keys", "keys KEY... [on READER]",
         "The person at the keypad for the next PIN entry. KEY: digits (1234 is four keys), ok, cancel, back, "
         "clear, end (the reader ends the entry), +DURATION (a pause before the next key; default 300ms), "
         "every DURATION (the default pause from here on), none (nobody types). Digits are always shown as *."},
        {"the application", "open", "open [HANDLE] [on READER] [expect STATUS]",
         "Opens a handle on the reader's smart card interface (default names h1, h2, ...). Requests go through "
         "the reader's latest open handle unless `via HANDLE`."},
        {"the application", "close", "close [HANDLE] [on READER]",
         "Closes a handle (default: the latest): cleanup, which cancels a pending card-tracking request, then close."},
        {"the application", "ioctl", "ioctl CODE [in HEX...] [out N] [as NAME] [via HANDLE] [expect STATUS] [REPLY]",
         "DeviceIoControl. CODE: a name from `codes` (GET_STATE, IOCTL_SMARTCARD_TRANSMIT, ...) or a number. "
         "`out N` is the output buffer size (default 512). `as NAME` sends it overlapped: the script goes on and "
         "`await NAME` collects it."},
        {"the application", "as", "REQUEST ... as NAME",
         "Any request (ioctl, apdu, reset, power-down, protocol, attribute, features, version, pin) with `as NAME` "
         "is sent from an application thread of its own and left running: the next line runs at once, while the "
         "driver works on it (stop, sleep, shutdown, unplug, remove, cancel it meanwhile); `await NAME` collects "
         "it. Example: `apdu 00 B0 00 00 10 as read`, `stop`, `await read expect *`."},
        {"the application", "apdu", "apdu HEX... [out N] [as NAME] [expect [STATUS] [REPLY]]",
         "IOCTL_SMARTCARD_TRANSMIT with a T=1 SCARD_IO_REQUEST header and this APDU. REPLY is the response APDU "
         "(the reply without its 8-byte header). The data of a VERIFY is shown as **."},
        {"the application", "reset", "reset [cold|warm] [expect [STATUS] [ATR]]",
         "IOCTL_SMARTCARD_POWER with SCARD_COLD_RESET (default) or SCARD_WARM_RESET; the reply is the ATR."},
        {"the application", "power-down", "power-down [expect STATUS]", "IOCTL_SMARTCARD_POWER with SCARD_POWER_DOWN."},
        {"the application", "protocol", "protocol T0|T1|T0,T1 [expect [STATUS] [REPLY]]",
         "IOCTL_SMARTCARD_SET_PROTOCOL with that mask; the reply is the selected protocol."},
        {"the application", "attribute", "attribute NAME|TAG [expect [STATUS] [REPLY]]",
         "IOCTL_SMARTCARD_GET_ATTRIBUTE: vendor-name, ifd-type, atr, current-protocol, ... (`attributes` lists "
         "them) or a tag number."},
        {"the application", "track", "track present|absent [as NAME]",
         "IOCTL_SMARTCARD_IS_PRESENT or IS_ABSENT, overlapped: it completes when the card comes or goes. NAME "
         "defaults to `present` or `absent`."},
        {"the application", "await", "await NAME [within DURATION] [expect [STATUS] [REPLY]]",
         "Waits for an overlapped request (default at most 60s of virtual time) and checks how it ended."},
        {"the application", "cancel", "cancel NAME", "CancelIoEx on an overlapped request."},
        {"the application", "pin", "pin direct|start [min N] [max N] [timeout S] [validate ok|max|timeout...] "
                                   "[apdu HEX] [out N] [as NAME] [expect ...] | pin key|finish|abort|properties "
                                   "[out N] [as NAME] [expect ...]",
         "The PIN pad: `pin direct` verifies a PIN in one request (FEATURE_VERIFY_PIN_DIRECT); `pin start`, "
         "`pin key` (one key event each), `pin finish` do it in steps; `pin abort`; `pin properties`. The PIN "
         "request defaults: min 4, max 8, timeout 30 (seconds), validate ok, the VERIFY APDU 00 20 00 01 08 "
         "with 8 FF bytes, ASCII digits. Queue the person with `keys` first."},
        {"the application", "features", "features [expect ...]", "CM_IOCTL_GET_FEATURE_REQUEST: the PC/SC Part 10 feature list."},
        {"the application", "version", "version [expect ...]", "IOCTL_VENDOR_GET_VERSION: the reader's and the driver's version."},
        {"checks", "expect", "expect state ABSENT|PRESENT|SWALLOWED|SPECIFIC|...",
         "The card state the driver holds (SMCLIB's CurrentState) is this one."},
        {"checks", "expect", "expect pending NAME", "The overlapped request NAME has not completed yet."},
        {"checks", "expect", "expect debug TEXT", "The driver's debug output so far contains TEXT (quote spaces)."},
        {"checks", "expect", "expect device added|started|stopped|surprise_removed|removed|deleted",
         "The reader's Plug and Play state."},
        {"checks", "expect", "expect usb OUT|IN PATTERN [on READER]",
         "Among the reader's packets since the last `expect usb` (or the start), in the order they crossed the "
         "bus, one went that way and matches PATTERN (hex, ?? any byte, * any run); it and the packets before it "
         "are used up. Example: `expect usb OUT 01 04 21 ?? *` (a command header for an APDU), then `expect usb "
         "IN 01 03 ?? *` (its answer header)."},
        {"checks", "expect", "expect usb none [on READER]",
         "No packet crossed the bus either way since the last `expect usb`; the packets are used up either way. "
         "Example: `reader silent`, `apdu 00 B0 00 00 02 as read`, `expect usb OUT *`, `wait 1s`, `expect usb none`."},
        {"checks", "expect", "expect pool [TAG] N",
         "The machine's books: N pool blocks are allocated now with that tag (KRV for the driver; as the leak report "
         "spells it, or a number), or with any tag. Example: `expect pool KRV 0` after `disable`."},
        {"checks", "expect", "expect irps N", "N IRPs are allocated and not yet freed now. Example: `expect irps 1` "
                                              "while one request waits."},
        {"checks", "expect", "expect requests N",
         "N of the application's requests have not completed now. Example: `expect requests 0` after `await`."},
        {"faults and the reader", "fail", "fail pool|irp|bus|device|attach|interface next|nth N|from N|every N|share P%|off",
         "From this line on, the kernel fails calls at that place: pool (ExAllocatePoolWithTag), irp (IoAllocateIrp, "
         "IoBuildDeviceIoControlRequest, power requests), bus (a USB transfer), device (IoCreateDevice), attach "
         "(IoAttachDeviceToDeviceStack), interface (IoRegisterDeviceInterface). `next` fails the next call, `nth 3` "
         "the third from here, `from 3` the third and every later one, `every 4` every fourth, `share 5%` a seeded "
         "share, `off` none. Examples: `fail pool next`, `fail bus every 3`, `fail irp share 10%`."},
        {"faults and the reader", "fail", "fail off", "No place fails any more."},
        {"faults and the reader", "reader", "reader delay DURATION [on READER]",
         "Every answer leaves DURATION after the request that caused it arrived (0ms: at once). Example: "
         "`reader delay 11s` (longer than the driver waits)."},
        {"faults and the reader", "reader", "reader withhold [N] [on READER]",
         "The next N answers (default 1) are never sent. Example: `reader withhold`, then `version expect IO_TIMEOUT`."},
        {"faults and the reader", "reader", "reader refuse-writes|take-writes [on READER]",
         "The reader's OUT endpoint takes nothing (the host's writes never complete), or takes writes again."},
        {"faults and the reader", "reader", "reader silent [on READER]",
         "The reader falls silent: it records what the host writes and sends only the packets `reader reply` and "
         "`reader send` script (no answers, no card events) until `reader normal`."},
        {"faults and the reader", "reader", "reader normal [on READER]",
         "The reader answers by itself again, at once, withholds nothing and takes writes."},
        {"faults and the reader", "reader", "reader reply HEX... [after DURATION] [on READER]",
         "One packet of any length and content (malformed ones too) that the reader sends DURATION (default 0) "
         "after the next packet the host writes that no earlier `reply` used. Script a whole answer with one line "
         "per packet, after `reader silent`. Example: `reader reply 01 03 00 02 00 00 00 00`, `reader reply 00 90 "
         "00 00 00 00 00 00`."},
        {"faults and the reader", "reader", "reader send HEX... [after DURATION] [on READER]",
         "One packet the reader sends unasked, DURATION after the scripted packet before it (default at once). "
         "Example: `reader send 02 81 00 00 00 00 00 00` (a card-status packet: no card)."},
        {"faults and the reader", "reader", "reader event present|absent [on READER]",
         "The reader reports a card inserted or removed now, whatever is in its slot (a card-status packet). "
         "Example: `reader event absent` with a card in the slot."},
        {"time and the run", "wait", "wait DURATION", "Lets virtual time pass: 300ms, 2s, 1.5s, 1min."},
        {"time and the run", "note", "note TEXT", "Prints TEXT in the transcript as a heading."},
        {"time and the run", "seed", "seed N", "The seed this scenario runs with unless --seed says otherwise."},
    };
    return table;
}

std::string help_text(std::string_view verb) {
    std::string out;
    if (verb == "all") {
        std::string group;
        for (const VerbHelp& help : verb_help()) {
            if (group != help.group) {
                group = help.group;
                out += (out.empty() ? "" : "\n") + group + ":\n";
            }
            out += std::string("  ") + help.synopsis + "\n      " + help.what + "\n";
        }
        out += "\nSTATUS: STATUS_SUCCESS, SUCCESS, NO_MEDIA, 0xC0000178, ...  REPLY: hex bytes, ?? any byte, * any "
               "run.\nOne command per line; # starts a comment; \"double quotes\" keep spaces in one word.\n";
        return out;
    }
    if (!verb.empty()) {
        for (const VerbHelp& help : verb_help()) {
            if (verb != help.verb) continue;
            out += std::string("  ") + help.synopsis + "\n      " + help.what + "\n";
        }
        if (out.empty()) out = "no command \"" + std::string(verb) + "\"; `help` lists them\n";
        return out;
    }
    std::string group;
    for (const VerbHelp& help : verb_help()) {
        if (group != help.group) {
            group = help.group;
            out += (out.empty() ? "" : "\n") + group + ":\n";
        }
        out += std::string("  ") + help.synopsis + "\n";
    }
    out += "\nSTATUS: STATUS_SUCCESS, SUCCESS, NO_MEDIA, 0xC0000178, ...  REPLY: hex bytes, ?? any byte, * any run.\n"
           "`help VERB` explains one command. Lines starting with # are comments.\n";
    return out;
}

// ---- PIN structure and secrets -----------------------------------------------------------------------------------

Bytes pin_verify_structure(const PinRequest& r) {
    Bytes s = {
        r.timeout_s,       // bTimerOut
        r.timeout_s,       // bTimerOut2
        r.format,          // bmFormatString
        r.block,           // bmPINBlockString
        r.length_format,   // bmPINLengthFormat
        r.max_digits,      // wPINMaxExtraDigit: maximum (low byte)
        r.min_digits,      //                    minimum (high byte)
        r.validation,      // bEntryValidationCondition
        0x01,              // bNumberMessage
        0x09, 0x04,        // wLangId 0x0409
        0x00,              // bMsgIndex
        0x00, 0x00, 0x00,  // bTeoPrologue
    };
    uint32_t length = static_cast<uint32_t>(r.apdu.size());
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<uint8_t>(length >> (8 * i)));
    s.insert(s.end(), r.apdu.begin(), r.apdu.end());
    return s;
}

std::vector<bool> ioctl_input_secret(ULONG code, std::span<const uint8_t> input) {
    std::vector<bool> secret(input.size(), false);
    size_t apdu_offset = 0;
    if (code == IOCTL_SMARTCARD_TRANSMIT) {
        apdu_offset = 8;  // after the SCARD_IO_REQUEST
    } else if (code == IOCTL_FEATURE_VERIFY_PIN_DIRECT || code == IOCTL_FEATURE_VERIFY_PIN_START) {
        apdu_offset = 19;  // abData of the PIN_VERIFY_STRUCTURE
    } else {
        return secret;
    }
    if (input.size() <= apdu_offset) return secret;
    std::vector<bool> apdu = apdu_secret_bytes(input.subspan(apdu_offset));
    for (size_t i = 0; i < apdu.size(); ++i) secret[apdu_offset + i] = apdu[i];
    return secret;
}

// ---- The parser ----------------------------------------------------------------------------------------------------

namespace {

const std::map<std::string, Verb>& verbs() {
    static const std::map<std::string, Verb> table = {
        {"plug", Verb::plug}, {"unplug", Verb::unplug}, {"disable", Verb::disable}, {"query-remove", Verb::query_remove}, {"start", Verb::start},
        {"stop", Verb::stop}, {"use", Verb::use}, {"sleep", Verb::sleep}, {"resume", Verb::resume},
        {"shutdown", Verb::shutdown}, {"insert", Verb::insert}, {"remove", Verb::remove}, {"keys", Verb::keys},
        {"open", Verb::open}, {"close", Verb::close}, {"ioctl", Verb::ioctl}, {"apdu", Verb::apdu},
        {"reset", Verb::reset}, {"power-down", Verb::power_down}, {"protocol", Verb::protocol},
        {"attribute", Verb::attribute}, {"track", Verb::track}, {"await", Verb::await}, {"cancel", Verb::cancel},
        {"pin", Verb::pin}, {"features", Verb::features}, {"version", Verb::version}, {"wait", Verb::wait},
        {"note", Verb::note}, {"seed", Verb::seed}, {"fail", Verb::fail}, {"reader", Verb::reader},
    };
    return table;
}

// Builds one command from its words; throws nothing, reports through `fail`.
class LineParser {
   public:
    LineParser(std::vector<std::string> words, int line) : words_(std::move(words)), line_(line) {}

    LineResult run() {
        LineResult result;
        Command c;
        c.line = line_;
        const std::string verb_word = lower(words_[0]);
        pos_ = 1;
        if (verb_word == "expect") {
            if (!parse_expect_check(c)) return failure();
        } else {
            auto found = verbs().find(verb_word);
            if (found == verbs().end()) {
                error_ = "unknown command \"" + words_[0] + "\"; `help` lists the commands";
                return failure();
            }
            c.verb = found->second;
            if (!parse_verb(c)) return failure();
        }
        if (pos_ < words_.size()) {
            error_ = "unexpected \"" + words_[pos_] + "\" after the command";
            return failure();
        }
        c.display = display(c);
        result.command = std::move(c);
        return result;
    }

   private:
    LineResult failure() {
        LineResult result;
        result.error = ParseError{line_, error_};
        return result;
    }

    bool at_end() const { return pos_ >= words_.size(); }
    std::string peek() const { return at_end() ? "" : lower(words_[pos_]); }
    bool take(std::string_view word) {
        if (!at_end() && lower(words_[pos_]) == word) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }
    bool need(const char* what) {
        if (!at_end()) return true;
        return fail(std::string("missing ") + what);
    }

    // Words that end a run of hex bytes or end the verb's own arguments.
    static bool keyword(const std::string& word) {
        static const char* const kKeywords[] = {"in", "out", "as", "via", "expect", "on", "within"};
        std::string w = lower(word);
        return std::any_of(std::begin(kKeywords), std::end(kKeywords), [&](const char* k) { return w == k; });
    }

    bool parse_hex_run(Bytes& out, const char* what) {
        std::string joined;
        while (!at_end() && !keyword(words_[pos_])) joined += words_[pos_++] + " ";
        if (joined.empty()) return fail(std::string("missing ") + what);
        std::optional<Bytes> bytes = parse_hex(joined);
        if (!bytes) return fail(std::string(what) + " is not hex bytes: " + joined);
        out = *bytes;
        return true;
    }

    bool parse_number_word(uint64_t& out, const char* what, uint64_t max) {
        if (!need(what)) return false;
        std::optional<uint64_t> value = parse_number(words_[pos_]);
        if (!value || *value > max) return fail(std::string(what) + " must be a number up to " + std::to_string(max));
        out = *value;
        ++pos_;
        return true;
    }

    // [on READER] at the end of reader commands.
    bool parse_on(Command& c) {
        if (take("on")) {
            if (!need("reader name after `on`")) return false;
            c.reader = words_[pos_++];
        }
        return true;
    }

    // expect [STATUS] [REPLY...]; the rest of the line.
    bool parse_expect_tail(Command& c, bool reply_allowed = true) {
        if (!take("expect")) return true;
        if (at_end()) return fail("`expect` needs a status or reply bytes");
        // A word of hex digits, ?? and * starts the reply; anything else is a status.
        const std::string& first = words_[pos_];
        const bool reply_word = first == "*" || first == "..." ||
                                std::all_of(first.begin(), first.end(), [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)) || ch == '?'; });
        if (!reply_word) {
            std::optional<NTSTATUS> status = parse_status(words_[pos_]);
            if (!status) return fail("\"" + words_[pos_] + "\" is not a status name (STATUS_SUCCESS, NO_MEDIA, 0x...)");
            c.expect.status = *status;
            ++pos_;
        }
        if (!at_end()) {
            if (!reply_allowed) return fail("this command has no reply to expect");
            std::vector<std::string> rest(words_.begin() + static_cast<long>(pos_), words_.end());
            pos_ = words_.size();
            std::string error;
            std::optional<BytePattern> pattern = BytePattern::parse(rest, error);
            if (!pattern) return fail(error);
            c.expect.reply = std::move(*pattern);
        }
        return true;
    }

    bool parse_expect_check(Command& c) {
        if (!need("what to expect: state, pending, debug or device")) return false;
        std::string what = lower(words_[pos_++]);
        if (what == "state") {
            c.verb = Verb::expect_state;
            if (!need("a card state")) return false;
            std::optional<ULONG> state = parse_card_state(words_[pos_]);
            if (!state) return fail("\"" + words_[pos_] + "\" is not a card state (ABSENT, PRESENT, SWALLOWED, SPECIFIC, ...)");
            c.number = *state;
            c.name = card_state_name(*state);
            ++pos_;
            return parse_on(c);
        }
        if (what == "pending") {
            c.verb = Verb::expect_pending;
            if (!need("a request name")) return false;
            c.name = words_[pos_++];
            return true;
        }
        if (what == "debug") {
            c.verb = Verb::expect_debug;
            if (!need("the text to look for")) return false;
            c.name = words_[pos_++];
            return true;
        }
        if (what == "device") {
            c.verb = Verb::expect_device;
            if (!need("a device state")) return false;
            c.name = lower(words_[pos_++]);
            static const char* const kStates[] = {"enumerated", "added", "started", "stopped",
                                                  "surprise_removed", "removed", "deleted"};
            if (std::none_of(std::begin(kStates), std::end(kStates), [&](const char* s) { return c.name == s; })) {
                return fail("\"" + c.name + "\" is not a device state (added, started, stopped, surprise_removed, "
                            "removed, deleted)");
            }
            return parse_on(c);
        }
        if (what == "usb") {
            c.verb = Verb::expect_usb;
            if (!need("OUT, IN or none after `expect usb`")) return false;
            std::string direction = lower(words_[pos_++]);
            if (direction == "none") {
                c.name = "none";
                return parse_on(c);
            }
            if (direction != "out" && direction != "in") return fail("`expect usb " + direction + "`: OUT, IN or none");
            c.name = direction == "out" ? "OUT" : "IN";
            std::vector<std::string> bytes;
            while (!at_end() && peek() != "on") bytes.push_back(words_[pos_++]);
            if (bytes.empty()) return fail("`expect usb " + c.name + "` needs a packet pattern (01 04 21 ?? *)");
            std::string error;
            std::optional<BytePattern> pattern = BytePattern::parse(bytes, error);
            if (!pattern) return fail(error);
            c.pattern = std::move(*pattern);
            return parse_on(c);
        }
        if (what == "pool") {
            // expect pool [TAG] N: TAG is the four-character tag as the leak report spells it, or a number.
            c.verb = Verb::expect_pool;
            if (!need("a number of blocks, or a tag and a number")) return false;
            if (pos_ + 1 < words_.size() && lower(words_[pos_ + 1]) != "on") c.name = words_[pos_++];
            return parse_number_word(c.number, "the number of pool blocks", 1'000'000) && parse_on(c);
        }
        if (what == "irps" || what == "requests") {
            c.verb = what == "irps" ? Verb::expect_irps : Verb::expect_requests;
            return parse_number_word(c.number, what == "irps" ? "the number of live IRPs" : "the number of requests",
                                     1'000'000);
        }
        return fail("`expect " + what + "`: expect state, pending, debug, device, usb, pool, irps or requests; a "
                    "request's status goes at the end of its own line (apdu ... expect 90 00)");
    }

    // fail SITE next|nth N|from N|every N|share P%|off, or fail off.
    bool parse_fail(Command& c) {
        if (!need("a fault site (pool, irp, bus, device, attach, interface) or off")) return false;
        std::string site = lower(words_[pos_++]);
        if (site == "off") {
            c.fault_off = true;
            return true;
        }
        static const std::map<std::string, int> kSites = {{"pool", 0}, {"irp", 1}, {"device", 2},
                                                          {"attach", 3}, {"interface", 4}, {"bus", 5}};
        auto found = kSites.find(site);
        if (found == kSites.end()) return fail("`fail " + site + "`: pool, irp, bus, device, attach, interface or off");
        c.fault_site = found->second;
        c.name = site;
        if (!need("how: next, nth N, from N, every N, share P% or off")) return false;
        std::string how = lower(words_[pos_++]);
        if (how == "off") {
            c.fault_off = true;
        } else if (how == "next") {
            c.fault_nth = 1;
        } else if (how == "nth" || how == "from") {
            if (!parse_number_word(c.fault_nth, "the call number", UINT32_MAX)) return false;
            if (c.fault_nth == 0) return fail("calls count from 1");
            c.fault_from_nth = how == "from";
        } else if (how == "every") {
            if (!parse_number_word(c.fault_every, "the period", UINT32_MAX)) return false;
            if (c.fault_every == 0) return fail("`every 0` fails nothing; use `off`");
        } else if (how == "share") {
            if (!need("a share (5%, 0.5%)")) return false;
            std::string word = words_[pos_++];
            if (word.empty() || word.back() != '%') return fail("a share is a percentage: 5%, 0.5%");
            char* end = nullptr;
            double percent = std::strtod(word.c_str(), &end);
            if (end != word.c_str() + word.size() - 1 || percent <= 0 || percent > 100) {
                return fail("\"" + word + "\" is not a percentage above 0 and up to 100");
            }
            c.fault_per_million = static_cast<uint32_t>(percent * 10'000 + 0.5);
        } else {
            return fail("`fail " + site + " " + how + "`: next, nth N, from N, every N, share P% or off");
        }
        return true;
    }

    // reader delay D | withhold [N] | refuse-writes | take-writes | silent | normal | reply HEX [after D] |
    // send HEX [after D] | event present|absent; then [on READER].
    bool parse_reader(Command& c) {
        if (!need("what the reader does (`help reader`)")) return false;
        c.name = lower(words_[pos_++]);
        auto duration = [&](VirtualTime& out) {
            if (!need("a duration")) return false;
            std::optional<VirtualTime> d = parse_duration(words_[pos_]);
            if (!d) return fail("\"" + words_[pos_] + "\" is not a duration (300ms, 2s)");
            out = *d;
            ++pos_;
            return true;
        };
        if (c.name == "delay") {
            if (!duration(c.duration)) return false;
        } else if (c.name == "withhold") {
            c.number = 1;
            if (!at_end() && peek() != "on" && !parse_number_word(c.number, "the number of answers", 1000)) return false;
        } else if (c.name == "reply" || c.name == "send") {
            std::string joined;
            while (!at_end() && peek() != "after" && peek() != "on") joined += words_[pos_++] + " ";
            std::optional<Bytes> bytes = parse_hex(joined);
            if (joined.empty() || !bytes || bytes->empty()) return fail("`reader " + c.name + "` needs the packet in hex");
            c.input = *bytes;
            if (take("after") && !duration(c.duration)) return false;
        } else if (c.name == "event") {
            if (!need("present or absent")) return false;
            std::string which = lower(words_[pos_++]);
            if (which != "present" && which != "absent") return fail("`reader event " + which + "`: present or absent");
            c.number = which == "present" ? 1 : 0;
        } else if (c.name != "refuse-writes" && c.name != "take-writes" && c.name != "silent" && c.name != "normal") {
            return fail("`reader " + c.name + "`: delay, withhold, refuse-writes, take-writes, silent, normal, reply, "
                        "send or event");
        }
        return parse_on(c);
    }

    bool parse_keys(Command& c) {
        VirtualTime gap = from_ms(300);
        VirtualTime pending_pause = -1;
        auto add = [&](KeyPress::Key key, char digit) {
            c.keys.push_back({key, digit, pending_pause >= 0 ? pending_pause : gap});
            pending_pause = -1;
        };
        if (at_end()) return fail("missing keys (digits, ok, cancel, back, clear, end, +DURATION, none)");
        while (!at_end() && lower(words_[pos_]) != "on") {
            std::string word = lower(words_[pos_++]);
            if (word == "none") {
                c.keys_none = true;
                continue;
            }
            if (word == "every") {
                if (!need("a duration after `every`")) return false;
                std::optional<VirtualTime> d = parse_duration(words_[pos_]);
                if (!d) return fail("\"" + words_[pos_] + "\" is not a duration");
                gap = *d;
                ++pos_;
                continue;
            }
            if (word[0] == '+') {
                std::optional<VirtualTime> d = parse_duration(word.substr(1));
                if (!d) return fail("\"" + word + "\" is not a pause (+300ms, +2s)");
                pending_pause = *d;
                continue;
            }
            if (std::all_of(word.begin(), word.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
                for (char digit : word) add(KeyPress::Key::digit, digit);
                continue;
            }
            if (word == "ok" || word == "enter" || word == "validate") {
                add(KeyPress::Key::validate, 0);
            } else if (word == "cancel" || word == "esc") {
                add(KeyPress::Key::cancel, 0);
            } else if (word == "back" || word == "backspace") {
                add(KeyPress::Key::backspace, 0);
            } else if (word == "clear") {
                add(KeyPress::Key::clear, 0);
            } else if (word == "end") {
                add(KeyPress::Key::reader_end, 0);
            } else {
                return fail("\"" + word + "\" is not a key (digits, ok, cancel, back, clear, end, +DURATION, none)");
            }
        }
        if (c.keys_none && !c.keys.empty()) return fail("`none` means nobody types: no other keys with it");
        return parse_on(c);
    }

    bool parse_pin(Command& c) {
        if (!need("what to do: direct, start, key, finish, abort or properties")) return false;
        std::string action = lower(words_[pos_++]);
        static const std::map<std::string, PinAction> kActions = {
            {"direct", PinAction::direct}, {"start", PinAction::start}, {"key", PinAction::key},
            {"finish", PinAction::finish}, {"abort", PinAction::abort}, {"properties", PinAction::properties}};
        auto found = kActions.find(action);
        if (found == kActions.end()) return fail("`pin " + action + "`: direct, start, key, finish, abort or properties");
        c.pin.action = found->second;
        const bool verify = c.pin.action == PinAction::direct || c.pin.action == PinAction::start;
        while (verify && !at_end() && peek() != "expect" && peek() != "on" && peek() != "via" && peek() != "as" &&
               peek() != "out") {
            std::string option = lower(words_[pos_++]);
            uint64_t value = 0;
            if (option == "min") {
                if (!parse_number_word(value, "min", 255)) return false;
                c.pin.min_digits = static_cast<uint8_t>(value);
            } else if (option == "max") {
                if (!parse_number_word(value, "max", 255)) return false;
                c.pin.max_digits = static_cast<uint8_t>(value);
            } else if (option == "timeout") {
                if (!parse_number_word(value, "timeout (seconds)", 255)) return false;
                c.pin.timeout_s = static_cast<uint8_t>(value);
            } else if (option == "condition") {
                if (!parse_number_word(value, "condition", 255)) return false;
                c.pin.validation = static_cast<uint8_t>(value);
            } else if (option == "validate") {
                // ok, max, timeout, or several joined with '+': the bits of bEntryValidationCondition.
                if (!need("ok, max or timeout after `validate`")) return false;
                std::string word = lower(words_[pos_++]);
                uint8_t bits = 0;
                size_t start = 0;
                while (start <= word.size()) {
                    size_t end = word.find('+', start);
                    std::string part = word.substr(start, end == std::string::npos ? std::string::npos : end - start);
                    if (part == "max") {
                        bits |= 0x01;
                    } else if (part == "ok") {
                        bits |= 0x02;
                    } else if (part == "timeout") {
                        bits |= 0x04;
                    } else {
                        return fail("`validate " + word + "`: ok, max, timeout, or several joined with +");
                    }
                    if (end == std::string::npos) break;
                    start = end + 1;
                }
                c.pin.validation = bits;
            } else if (option == "apdu") {
                std::string joined;
                while (!at_end() && !keyword(words_[pos_]) && !is_pin_option(words_[pos_])) joined += words_[pos_++] + " ";
                std::optional<Bytes> bytes = parse_hex(joined);
                if (!bytes || bytes->empty()) return fail("`apdu` needs the APDU in hex");
                c.pin.apdu = *bytes;
            } else {
                return fail("`pin` option \"" + option + "\": min, max, timeout, validate, condition or apdu");
            }
        }
        if (take("out")) {
            uint64_t value = 0;
            if (!parse_number_word(value, "out (bytes)", 0x10000)) return false;
            c.output_size = static_cast<ULONG>(value);
        }
        if (take("as")) {
            if (!need("a request name after `as`")) return false;
            c.async_name = words_[pos_++];
        }
        if (take("via")) {
            if (!need("a handle after `via`")) return false;
            c.via = words_[pos_++];
        }
        if (!parse_on(c)) return false;
        return parse_expect_tail(c);
    }

    static bool is_pin_option(const std::string& word) {
        std::string w = lower(word);
        return w == "min" || w == "max" || w == "timeout" || w == "validate" || w == "condition";
    }

    // Options of the application's requests: out N, as NAME, via HANDLE, on READER, then expect.
    bool parse_request_options(Command& c, bool allow_async) {
        while (!at_end() && peek() != "expect") {
            std::string option = peek();
            ++pos_;
            if (option == "out") {
                uint64_t value = 0;
                if (!parse_number_word(value, "out (bytes)", 0x10000)) return false;
                c.output_size = static_cast<ULONG>(value);
            } else if (option == "as" && allow_async) {
                if (!need("a request name after `as`")) return false;
                c.async_name = words_[pos_++];
            } else if (option == "via") {
                if (!need("a handle after `via`")) return false;
                c.via = words_[pos_++];
            } else if (option == "on") {
                if (!need("reader name after `on`")) return false;
                c.reader = words_[pos_++];
            } else if (option == "in" && c.verb == Verb::ioctl) {
                if (!parse_hex_run(c.input, "the input bytes")) return false;
            } else {
                return fail("unexpected \"" + words_[pos_ - 1] + "\"");
            }
        }
        return parse_expect_tail(c);
    }

    bool parse_verb(Command& c) {
        switch (c.verb) {
            case Verb::plug:
                if (!at_end() && peek() != "nostart" && peek() != "expect") c.reader = words_[pos_++];
                if (take("nostart")) c.no_start = true;
                return parse_expect_tail(c, false);
            case Verb::unplug:
                return parse_on(c) && parse_expect_tail(c, false);
            case Verb::remove:
                return parse_on(c);
            case Verb::disable:
            case Verb::query_remove:
            case Verb::start:
            case Verb::stop:
                return parse_on(c) && parse_expect_tail(c, false);
            case Verb::use:
                if (!need("a reader name")) return false;
                c.reader = words_[pos_++];
                return true;
            case Verb::sleep: {
                c.number = 3;
                if (!at_end() && peek() != "expect") {
                    std::string state = lower(words_[pos_++]);
                    if (state.size() != 2 || state[0] != 's' || state[1] < '1' || state[1] > '4') {
                        return fail("`sleep " + state + "`: S1, S2, S3 or S4");
                    }
                    c.number = static_cast<uint64_t>(state[1] - '0');
                }
                return parse_expect_tail(c, false);
            }
            case Verb::resume:
                return parse_expect_tail(c, false);
            case Verb::shutdown:
                return true;
            case Verb::insert:
                if (!need("a card name (`cards` lists them)")) return false;
                c.name = words_[pos_++];
                return parse_on(c);
            case Verb::keys:
                return parse_keys(c);
            case Verb::open:
                if (!at_end() && peek() != "on" && peek() != "expect") c.name = words_[pos_++];
                return parse_on(c) && parse_expect_tail(c, false);
            case Verb::close:
                if (!at_end() && peek() != "on") c.name = words_[pos_++];
                return parse_on(c);
            case Verb::ioctl: {
                if (!need("an I/O control code (`codes` lists them)")) return false;
                std::optional<ULONG> code = parse_ioctl(words_[pos_]);
                if (!code) return fail("\"" + words_[pos_] + "\" is not an I/O control name or number; `codes` lists them");
                c.code = *code;
                ++pos_;
                return parse_request_options(c, true);
            }
            case Verb::apdu:
                if (!parse_hex_run(c.input, "the APDU")) return false;
                if (c.input.size() < 4) return fail("an APDU has at least 4 bytes (send shorter ones with ioctl TRANSMIT)");
                return parse_request_options(c, true);
            case Verb::reset:
                c.number = SCARD_COLD_RESET;
                if (take("warm")) {
                    c.number = SCARD_WARM_RESET;
                } else {
                    take("cold");
                }
                return parse_request_options(c, true);
            case Verb::power_down:
                c.number = SCARD_POWER_DOWN;
                return parse_request_options(c, true);
            case Verb::protocol: {
                if (!need("T0, T1 or T0,T1")) return false;
                std::string mask_word = lower(words_[pos_++]);
                uint64_t mask = 0;
                for (size_t start = 0; start <= mask_word.size();) {
                    size_t end = mask_word.find_first_of(",|", start);
                    std::string part = mask_word.substr(start, end == std::string::npos ? std::string::npos : end - start);
                    if (part == "t0" || part == "t=0") {
                        mask |= SCARD_PROTOCOL_T0;
                    } else if (part == "t1" || part == "t=1") {
                        mask |= SCARD_PROTOCOL_T1;
                    } else if (auto number = parse_number(part)) {
                        mask |= *number;
                    } else {
                        return fail("`protocol " + mask_word + "`: T0, T1, T0,T1 or a mask number");
                    }
                    if (end == std::string::npos) break;
                    start = end + 1;
                }
                c.number = mask;
                return parse_request_options(c, true);
            }
            case Verb::attribute: {
                if (!need("an attribute name or tag (`attributes` lists them)")) return false;
                std::string word = lower(words_[pos_++]);
                auto found = std::find_if(attribute_names().begin(), attribute_names().end(),
                                          [&](const AttributeName& a) { return word == a.name; });
                if (found != attribute_names().end()) {
                    c.number = found->tag;
                    c.name = found->name;
                } else if (auto tag = parse_number(word)) {
                    c.number = *tag;
                    c.name = hex32(static_cast<uint32_t>(*tag));
                } else {
                    return fail("\"" + word + "\" is not an attribute name or tag; `attributes` lists them");
                }
                return parse_request_options(c, true);
            }
            case Verb::track: {
                if (!need("present or absent")) return false;
                std::string which = lower(words_[pos_++]);
                if (which == "present") {
                    c.code = IOCTL_SMARTCARD_IS_PRESENT;
                } else if (which == "absent") {
                    c.code = IOCTL_SMARTCARD_IS_ABSENT;
                } else {
                    return fail("`track " + which + "`: present or absent");
                }
                c.async_name = which;
                if (take("as")) {
                    if (!need("a request name after `as`")) return false;
                    c.async_name = words_[pos_++];
                }
                while (!at_end()) {
                    if (take("via")) {
                        if (!need("a handle after `via`")) return false;
                        c.via = words_[pos_++];
                    } else if (take("on")) {
                        if (!need("reader name after `on`")) return false;
                        c.reader = words_[pos_++];
                    } else {
                        break;
                    }
                }
                return true;
            }
            case Verb::await:
                if (!need("a request name")) return false;
                c.name = words_[pos_++];
                c.duration = from_ms(60'000);
                if (take("within")) {
                    if (!need("a duration after `within`")) return false;
                    std::optional<VirtualTime> d = parse_duration(words_[pos_]);
                    if (!d) return fail("\"" + words_[pos_] + "\" is not a duration");
                    c.duration = *d;
                    ++pos_;
                }
                return parse_expect_tail(c);
            case Verb::cancel:
                if (!need("a request name")) return false;
                c.name = words_[pos_++];
                return true;
            case Verb::pin:
                return parse_pin(c);
            case Verb::fail:
                return parse_fail(c);
            case Verb::reader:
                return parse_reader(c);
            case Verb::features:
            case Verb::version:
                return parse_request_options(c, true);
            case Verb::wait: {
                if (!need("a duration (300ms, 2s)")) return false;
                std::optional<VirtualTime> d = parse_duration(words_[pos_]);
                if (!d) return fail("\"" + words_[pos_] + "\" is not a duration (300ms, 2s, 1.5s)");
                c.duration = *d;
                ++pos_;
                return true;
            }
            case Verb::note:
                for (; pos_ < words_.size(); ++pos_) c.name += (c.name.empty() ? "" : " ") + words_[pos_];
                return true;
            case Verb::seed: {
                uint64_t value = 0;
                if (!parse_number_word(value, "seed", UINT64_MAX)) return false;
                c.number = value;
                return true;
            }
            default:
                return fail("internal: unhandled verb");
        }
    }

    // The command as the transcript echoes it: the words as written, except PIN digits and VERIFY data.
    std::string display(const Command& c) const {
        std::string out;
        auto add = [&](const std::string& word) { out += (out.empty() ? "" : " ") + word; };
        if (c.verb == Verb::keys) {
            for (const std::string& word : words_) {
                std::string shown = word;
                if (std::all_of(word.begin(), word.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
                    shown.assign(word.size(), '*');
                }
                add(shown);
            }
            return out;
        }
        std::vector<bool> secret;
        if (c.verb == Verb::apdu) {
            secret = apdu_secret_bytes(c.input);
        } else if (c.verb == Verb::ioctl) {
            secret = ioctl_input_secret(c.code, c.input);
        } else if (c.verb == Verb::pin) {
            secret = apdu_secret_bytes(c.pin.apdu);
        }
        if (std::find(secret.begin(), secret.end(), true) == secret.end()) {
            for (const std::string& word : words_) add(word);
            return out;
        }
        // Re-spell the bytes that carry the secret; everything else stays as written.
        const Bytes& bytes = c.verb == Verb::pin ? c.pin.apdu : c.input;
        bool in_bytes = false, done = false;
        std::string run_start = c.verb == Verb::apdu ? "apdu" : (c.verb == Verb::ioctl ? "in" : "apdu");
        for (size_t i = 0; i < words_.size(); ++i) {
            const std::string& word = words_[i];
            if (in_bytes) {
                if (!keyword(word) && !is_pin_option(word)) continue;
                in_bytes = false;
            }
            add(word);
            if (!done && lower(word) == run_start) {
                add(hex(bytes, &secret));
                in_bytes = true;
                done = true;
            }
        }
        return out;
    }

    std::vector<std::string> words_;
    int line_;
    size_t pos_ = 0;
    std::string error_;
};

}  // namespace

LineResult parse_line(std::string_view line, int line_number) {
    Tokens tokens = tokenize(line);
    if (!tokens.error.empty()) return {std::nullopt, ParseError{line_number, tokens.error}};
    if (tokens.words.empty()) return {};
    return LineParser(std::move(tokens.words), line_number).run();
}

Scenario parse_scenario(std::string_view text) {
    Scenario scenario;
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++number;
        LineResult result = parse_line(line, number);
        if (result.error) scenario.errors.push_back(*result.error);
        if (result.command) {
            if (result.command->verb == Verb::seed) {
                scenario.seed = result.command->number;
            } else {
                scenario.commands.push_back(std::move(*result.command));
            }
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return scenario;
}

}  // namespace sim::workbench
