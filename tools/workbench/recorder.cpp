// The recorder: bus events to decoded transcript lines and usbmon records, and the checkpoint that notices debug
// output, card-state changes, keypad activity and completed overlapped requests.
#include "recorder.h"

#include <usb.h>

#include "names.h"
#include "requests.h"

namespace sim::workbench {

namespace {

std::string hex8(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string usbd_status_name(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS: return "USBD_STATUS_SUCCESS";
        case USBD_STATUS_PENDING: return "USBD_STATUS_PENDING";
        case USBD_STATUS_STALL_PID: return "USBD_STATUS_STALL_PID";
        case USBD_STATUS_DEV_NOT_RESPONDING: return "USBD_STATUS_DEV_NOT_RESPONDING";
        case USBD_STATUS_DATA_OVERRUN: return "USBD_STATUS_DATA_OVERRUN";
        case USBD_STATUS_BUFFER_OVERRUN: return "USBD_STATUS_BUFFER_OVERRUN";
        case USBD_STATUS_INVALID_URB_FUNCTION: return "USBD_STATUS_INVALID_URB_FUNCTION";
        case USBD_STATUS_INVALID_PARAMETER: return "USBD_STATUS_INVALID_PARAMETER";
        case USBD_STATUS_INVALID_PIPE_HANDLE: return "USBD_STATUS_INVALID_PIPE_HANDLE";
        case USBD_STATUS_SET_CONFIG_FAILED: return "USBD_STATUS_SET_CONFIG_FAILED";
        case USBD_STATUS_DEVICE_GONE: return "USBD_STATUS_DEVICE_GONE";
        case USBD_STATUS_CANCELED: return "USBD_STATUS_CANCELED";
        case USBD_STATUS_TIMEOUT: return "USBD_STATUS_TIMEOUT";
        default: return hex32(static_cast<uint32_t>(status));
    }
}

std::string urb_function_name(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: return "SELECT_CONFIGURATION";
        case URB_FUNCTION_SELECT_INTERFACE: return "SELECT_INTERFACE";
        case URB_FUNCTION_ABORT_PIPE: return "ABORT_PIPE";
        case URB_FUNCTION_CONTROL_TRANSFER: return "CONTROL_TRANSFER";
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return "BULK_OR_INTERRUPT_TRANSFER";
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return "GET_DESCRIPTOR_FROM_DEVICE";
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
        default: return "function " + hex32(function);
    }
}

std::string descriptor_name(uint8_t type) {
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE: return "device descriptor";
        case USB_CONFIGURATION_DESCRIPTOR_TYPE: return "configuration descriptor";
        default: return "descriptor type " + hex8(type);
    }
}

UsbmonTransfer transfer_of(USBD_PIPE_TYPE type) {
    switch (type) {
        case UsbdPipeTypeControl: return UsbmonTransfer::control;
        case UsbdPipeTypeIsochronous: return UsbmonTransfer::isochronous;
        case UsbdPipeTypeBulk: return UsbmonTransfer::bulk;
        case UsbdPipeTypeInterrupt: return UsbmonTransfer::interrupt;
    }
    return UsbmonTransfer::bulk;
}

std::string trim_newlines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

Event request_result_event(const std::string& reader, const std::string& handle, ULONG code, const Bytes& input,
                           NTSTATUS status, ULONG_PTR bytes, const Bytes& output) {
    Event event;
    event.source = Source::app;
    event.reader = reader;
    std::string text = handle + " " + ioctl_name(code) + " -> " + status_text(status);
    if (bytes || !output.empty()) text += ", " + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    std::string reply = describe_reply(code, input, output);
    if (!reply.empty()) {
        text += ": " + reply;
    } else if (!output.empty()) {
        text += ": " + hex(output);
    }
    event.text = text;
    event.text_field("event", "reply")
        .text_field("handle", handle)
        .text_field("ioctl", ioctl_name(code))
        .text_field("status", status_name(status))
        .field("status_code", std::to_string(static_cast<uint32_t>(status)))
        .field("bytes", std::to_string(bytes))
        .text_field("reply", hex_compact(output));
    return event;
}

void Recorder::emit(Event event) {
    if (machine_ && event.time == 0) event.time = machine_->now();
    transcript_.emit(event);
}

WatchedRequest* Recorder::find_request(const std::string& name) {
    for (auto it = watched_.rbegin(); it != watched_.rend(); ++it) {
        if (it->name == name) return &*it;
    }
    return nullptr;
}

void Recorder::report_completion(WatchedRequest& w) {
    if (w.reported || !w.done()) return;
    w.reported = true;
    IoResult result = w.pending()->result();
    Event event = request_result_event(w.reader, w.handle, w.code, w.input, result.status, result.bytes, result.output);
    event.time = w.pending()->completed_at();
    event.text = "[" + w.name + "] " + event.text;
    event.text_field("request", w.name);
    transcript_.emit(event);
}

void Recorder::on_bus_event(ReaderUnit& unit, const BusEvent& event) {
    ReaderWatch& watch = watches_[&unit];
    transcribe(unit, watch, event);
    if (trace_) trace(unit, watch, event);
    if (event.kind == BusEventKind::completed) {
        watch.out_decoded.erase(event.id);
        watch.setups.erase(event.id);
    }
}

void Recorder::transcribe(ReaderUnit& unit, ReaderWatch& watch, const BusEvent& event) {
    const bool transfer = event.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Event e;
    e.time = event.time;
    e.source = Source::usb;
    e.reader = unit.name;
    e.field("urb", std::to_string(event.id));

    if (event.kind == BusEventKind::submitted) {
        if (event.setup) watch.setups[event.id] = *event.setup;
        if (transfer && !event.device_to_host) {
            watch.out_decoded[event.id] = watch.decoder.decode(Flow::to_reader, event.data);
        }
        e.detail = 1;
        e.tone = Tone::dim;
        e.text = "URB " + std::to_string(event.id) + " submitted: " + urb_function_name(event.function);
        if (transfer) {
            e.text += std::string(event.device_to_host ? " IN" : " OUT") + " endpoint " + hex8(event.endpoint) + ", " +
                      std::to_string(event.requested_length) + " bytes";
        }
        e.text_field("event", "urb_submitted").text_field("function", urb_function_name(event.function));
        transcript_.emit(e);
        return;
    }

    if (event.kind == BusEventKind::packet) {
        if (!transfer) return;  // descriptor data: reported with the completion
        DecodedPacket decoded;
        if (event.device_to_host) {
            decoded = watch.decoder.decode(Flow::from_reader, event.data);
        } else {
            auto found = watch.out_decoded.find(event.id);
            decoded = found != watch.out_decoded.end() ? found->second
                                                        : watch.decoder.decode(Flow::to_reader, event.data);
        }
        const char* direction = event.device_to_host ? "IN " : "OUT";
        e.text = std::string(direction) + " " + hex(event.data, &decoded.secret) + "  " + decoded.text;
        e.text_field("event", "packet")
            .text_field("direction", event.device_to_host ? "in" : "out")
            .text_field("bytes", hex_compact(event.data, &decoded.secret))
            .text_field("kind", decoded.kind);
        for (const auto& [name, value] : decoded.fields) e.text_field(name, value);
        transcript_.emit(e);
        return;
    }

    // Completion.
    const bool failed = event.status != STATUS_SUCCESS;
    e.text_field("event", "urb_completed")
        .text_field("function", urb_function_name(event.function))
        .text_field("status", status_name(event.status))
        .text_field("usbd_status", usbd_status_name(event.usbd_status));
    std::string ending = failed ? ": " + status_name(event.status) + ", " + usbd_status_name(event.usbd_status) : "";
    auto setup = watch.setups.find(event.id);
    switch (event.function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            const std::string what = setup != watch.setups.end() ? descriptor_name(setup->second[3]) : "descriptor";
            e.text = "GET_DESCRIPTOR " + what + (failed ? ending : ": " + std::to_string(event.data.size()) + " bytes");
            if (!failed && !event.data.empty()) e.text += ", " + hex(event.data);
            break;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            const uint8_t value = setup != watch.setups.end() ? setup->second[2] : 0;
            e.text = value ? "SELECT_CONFIGURATION " + std::to_string(value) + (failed ? ending : ": configured")
                           : "SELECT_CONFIGURATION without a configuration" + (failed ? ending : ": unconfigured");
            break;
        }
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            e.text = urb_function_name(event.function) + " endpoint " + hex8(event.endpoint) +
                     (failed ? ending : ": done");
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            e.text = std::string(event.device_to_host ? "IN" : "OUT") + " transfer on endpoint " + hex8(event.endpoint) +
                     " (URB " + std::to_string(event.id) + ")" + (failed ? " ended" + ending : " completed");
            if (!failed) {
                e.detail = 1;
                e.tone = Tone::dim;
            }
            break;
        default:
            e.text = urb_function_name(event.function) + (failed ? ending : ": done");
    }
    transcript_.emit(e);
}

void Recorder::trace(ReaderUnit& unit, ReaderWatch& watch, const BusEvent& event) {
    if (event.kind == BusEventKind::packet) return;  // submissions and completions carry the data
    UsbmonRecord r;
    r.id = event.id;
    r.type = event.kind == BusEventKind::submitted ? 'S' : 'C';
    r.device = unit.address;
    r.bus = 1;
    r.time = event.time;
    r.status = r.type == 'S' ? -EINPROGRESS : usbmon_status(event.status, event.usbd_status);
    switch (event.function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            r.transfer = UsbmonTransfer::control;
            r.endpoint = event.device_to_host ? 0x80 : 0x00;
            if (r.type == 'S') {
                r.setup = event.setup;
                r.length = event.setup ? static_cast<uint32_t>((*event.setup)[6] | (*event.setup)[7] << 8) : 0;
            } else {
                r.data = event.data;
                r.length = static_cast<uint32_t>(event.data.size());
            }
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            r.transfer = transfer_of(event.pipe_type);
            r.endpoint = event.endpoint;
            r.interval = r.transfer == UsbmonTransfer::interrupt ? 1 : 0;
            if (r.type == 'S') {
                r.length = event.requested_length;
                if (!event.device_to_host) {
                    // The bytes as written, PIN bytes zeroed: a trace is a file that gets passed around.
                    r.data = event.data;
                    auto found = watch.out_decoded.find(event.id);
                    if (found != watch.out_decoded.end()) {
                        for (size_t i = 0; i < r.data.size() && i < found->second.secret.size(); ++i) {
                            if (found->second.secret[i]) r.data[i] = 0;
                        }
                    }
                }
            } else {
                r.data = event.device_to_host ? event.data : Bytes{};
                r.length = static_cast<uint32_t>(event.device_to_host ? event.data.size() : (r.status == 0 ? 8 : 0));
            }
            break;
        }
        default:
            return;  // pipe aborts and resets are host-side requests with nothing on the wire
    }
    trace_->write(r);
}

void Recorder::look_at_keypad(ReaderUnit& unit, ReaderWatch& watch) {
    if (!unit.pinpad || !unit.pinpad->keypad) return;
    const Keypad& keypad = *unit.pinpad->keypad;
    Event e;
    e.source = Source::keypad;
    e.reader = unit.name;
    if (watch.keypad_entries < 0) watch.keypad_entries = keypad.entries_begun();
    if (keypad.entries_begun() != watch.keypad_entries) {
        watch.keypad_entries = keypad.entries_begun();
        watch.keypad_digits = 0;
        e.text = "the reader prompts for a PIN";
        e.text_field("event", "entry_begun");
        emit(e);
    }
    if (keypad.digits().size() != watch.keypad_digits) {
        watch.keypad_digits = keypad.digits().size();
        // The digits stay in the reader; the transcript shows how many there are, as the reader's display does.
        e.text = "PIN so far: " + (watch.keypad_digits ? std::string(watch.keypad_digits, '*') : std::string("(empty)"));
        e.fields.clear();
        e.text_field("event", "digits").field("count", std::to_string(watch.keypad_digits));
        emit(e);
    }
    if (keypad.entry() != watch.keypad_entry) {
        Keypad::Entry was = watch.keypad_entry;
        watch.keypad_entry = keypad.entry();
        e.fields.clear();
        if (keypad.entry() == Keypad::Entry::ended) {
            e.text = keypad.cancelled() ? "the person cancelled the entry" : "the entry has ended (time-out or the reader)";
            e.text_field("event", "entry_ended");
            emit(e);
        } else if (keypad.entry() == Keypad::Entry::idle && was == Keypad::Entry::entering) {
            e.text = "the reader stops prompting";
            e.text_field("event", "entry_closed");
            emit(e);
        }
    }
}

void Recorder::checkpoint() {
    if (!machine_ || in_checkpoint_) return;
    in_checkpoint_ = true;
    auto& log = machine_->kernel().debug_log();
    for (; debug_lines_ < log.size(); ++debug_lines_) {
        Event e;
        e.time = log[debug_lines_].time;
        e.source = Source::debug;
        e.text = trim_newlines(log[debug_lines_].text);
        e.text_field("event", "debug_print");
        transcript_.emit(e);
    }
    for (const auto& unit : machine_->readers()) {
        ReaderWatch& watch = watches_[unit.get()];
        std::optional<ULONG> state = machine_->card_state(*unit);
        if (state && state != watch.card_state) {
            Event e;
            e.source = Source::card;
            e.reader = unit->name;
            e.text = watch.card_state ? "card state " + card_state_name(*watch.card_state) + " -> " + card_state_name(*state)
                                      : "card state " + card_state_name(*state);
            e.text_field("event", "card_state").text_field("state", card_state_name(*state));
            if (watch.card_state) e.text_field("was", card_state_name(*watch.card_state));
            emit(e);
        }
        watch.card_state = state;
        look_at_keypad(*unit, watch);
    }
    for (WatchedRequest& w : watched_) report_completion(w);
    in_checkpoint_ = false;
}

}  // namespace sim::workbench
