// qward-wine-host: the Linux half of the Wine run. It plays the reader and runs the session script.
//
// The reader: our simulated machine in real time (virtual time follows the wall clock) with the simulated USB
// device, the reader firmware, its card slot and keypad, exactly as the workbench builds them, but no driver: the
// driver under test runs in Wine. The Wine test bus (winbuild/wine/qwardbus.sys) connects to this process and
// forwards every URB its reader PDO receives (wire.h); each becomes an IRP sent to the simulated bus's PDO here,
// and its completion goes back. Reader arrival and removal go the other way.
//
// The session: a workbench scenario file (the same file the workbench plays on the fully simulated machine). Card
// slot, keypad and plug/unplug commands act on the simulated reader here; application commands go to the Windows
// program (qward-app.exe session), which finds the smart card reader interface, opens it and sends each request
// with DeviceIoControl. Requests and replies are written as workbench transcript events (text, and JSON lines for
// the comparison with the simulation), and expectations are checked as the workbench checks them.
//
//   qward-wine-host SESSION.qws --port-file FILE [--json FILE] [--timeout SECONDS]
//
// Exit status: 0 the session passed, 1 an expectation or a step failed, 2 usage, 3 the simulated reader's
// machine stopped, 4 the Windows side never connected.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <usbdlib.h>
#include <winsmcrd.h>

#include "kernel.h"
#include "names.h"
#include "platform/host/bus.h"
#include "platform/kernel/ordered_post.h"
#include "platform/usb/usb_device.h"
#include "reader/cards/card_factory.h"
#include "reader/pin_commands.h"
#include "reader/reader.h"
#include "recorder.h"
#include "requests.h"
#include "runner.h"
#include "scenario.h"
#include "transcript.h"
#include "winbuild/wine/wire.h"

namespace sim::winehost {

using namespace sim::workbench;
using Clock = std::chrono::steady_clock;

// ---- Sockets -------------------------------------------------------------------------------------------------------

bool write_all(int fd, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length) {
        ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, void* data, size_t length) {
    char* p = static_cast<char*>(data);
    while (length) {
        ssize_t n = ::recv(fd, p, length, 0);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// ---- The simulated reader ----------------------------------------------------------------------------------------

struct ReaderUnit {
    uint16_t number = 0;
    std::unique_ptr<UsbDevice> usb;
    std::unique_ptr<Reader> reader;
    std::shared_ptr<PinpadState> pinpad;
    Pdo* pdo = nullptr;
    bool plugged = false;
};

// A URB forwarded from Wine, while the simulated bus has it.
struct Forwarded {
    uint64_t id = 0;
    uint16_t unit = 0;
    uint16_t function = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    PUCHAR buffer = nullptr;
    class Host* host = nullptr;
};

class Host {
   public:
    Host() : k_(1), bus_(k_), wire_(k_.scheduler()) {}

    // ---- The machine thread ----
    void start_machine() {
        k_.scheduler().set_real_time(true);
        machine_ = std::thread([this] {
            RunOutcome outcome = k_.scheduler().serve();
            std::lock_guard<std::mutex> lock(mutex_);
            if (outcome != RunOutcome::completed) {
                stopped_report_ = k_.bug_check_report().empty() ? k_.scheduler().abort_report() : k_.bug_check_report();
                if (stopped_report_.empty()) stopped_report_ = to_string(outcome);
            }
            machine_done_ = true;
            done_signal_.notify_all();
        });
    }

    void stop_machine() {
        k_.scheduler().request_stop();
        if (machine_.joinable()) machine_.join();
    }

    // Runs body in a simulated thread and waits for it; false when the machine has stopped.
    bool run(const std::string& name, std::function<void()> body) {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        k_.scheduler().post(name, [body = std::move(body), done] {
            body();
            done->set_value();
        });
        while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            if (machine_stopped()) return false;
        }
        return true;
    }

    bool machine_stopped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return machine_done_ && !stopped_report_.empty();
    }
    std::string stopped_report() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopped_report_;
    }

    ReaderUnit* unit(uint16_t number) {
        auto it = units_.find(number);
        return it == units_.end() ? nullptr : it->second.get();
    }

    // A new reader on the simulated bus, started as a hub starts a port's device.
    ReaderUnit& add_unit(uint16_t number) {
        auto u = std::make_unique<ReaderUnit>();
        u->number = number;
        ReaderUnit* raw = u.get();
        units_[number] = std::move(u);
        run("plug", [&] {
            raw->usb = std::make_unique<UsbDevice>(k_);
            raw->reader = std::make_unique<Reader>(k_, *raw->usb);
            raw->pinpad = install_pinpad_commands(k_, *raw->reader);
            raw->pdo = &bus_.create_pdo("reader" + std::to_string(number), raw->usb.get());
            raw->usb->on_started();
            raw->plugged = true;
        });
        return *raw;
    }

    // ---- The link to the Wine bus ----
    void serve_bus(int fd) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bus_fd_ = fd;
            done_signal_.notify_all();
        }
        std::vector<uint8_t> payload;
        WireHeader header;
        while (read_all(fd, &header, sizeof header)) {
            if (header.length > WIRE_MAX_PAYLOAD) break;
            payload.resize(header.length);
            if (header.length && !read_all(fd, payload.data(), header.length)) break;
            switch (header.type) {
                case WIRE_HELLO:
                    break;
                case WIRE_URB:
                    if (payload.size() >= sizeof(WireUrb)) {
                        WireUrb urb;
                        std::memcpy(&urb, payload.data(), sizeof urb);
                        Bytes data(payload.begin() + sizeof urb, payload.end());
                        uint64_t id = header.id;
                        uint16_t unit_number = header.unit;
                        wire_.post("urb", [this, id, unit_number, urb, data] { submit(id, unit_number, urb, data); });
                    }
                    break;
                case WIRE_CANCEL: {
                    uint64_t id = header.id;
                    wire_.post("cancel urb", [this, id] {
                        auto it = forwarded_.find(id);
                        if (it != forwarded_.end()) IoCancelIrp(it->second->irp);
                    });
                    break;
                }
                default:
                    break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        bus_fd_ = -1;
        bus_closed_ = true;
        done_signal_.notify_all();
    }

    bool wait_for_bus(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return done_signal_.wait_for(lock, limit, [&] { return bus_fd_ >= 0 || bus_closed_; }) && bus_fd_ >= 0;
    }

    bool send_to_bus(uint16_t type, uint16_t unit, uint64_t id, const void* a, size_t a_length, const void* b = nullptr,
                     size_t b_length = 0) {
        std::lock_guard<std::mutex> lock(send_mutex_);
        int fd;
        {
            std::lock_guard<std::mutex> state(mutex_);
            fd = bus_fd_;
        }
        if (fd < 0) return false;
        WireHeader header{static_cast<uint32_t>(a_length + b_length), type, unit, id};
        return write_all(fd, &header, sizeof header) && (!a_length || write_all(fd, a, a_length)) &&
               (!b_length || write_all(fd, b, b_length));
    }

    void announce(ReaderUnit& u) {
        const UsbDeviceSpec& d = u.usb->description();
        WireArrive arrive{d.vendor_id, d.product_id, d.bcd_device, 0xFF, 0, 0};
        if (!d.interfaces.empty()) {
            arrive.interface_class = d.interfaces[0].class_code;
            arrive.interface_subclass = d.interfaces[0].subclass;
            arrive.interface_protocol = d.interfaces[0].protocol;
        }
        send_to_bus(WIRE_ARRIVE, u.number, 0, &arrive, sizeof arrive);
    }

    void unplug(ReaderUnit& u) {
        run("unplug", [&] {
            bus_.unplug(*u.pdo);
            u.plugged = false;
        });
        send_to_bus(WIRE_DEPART, u.number, 0, nullptr, 0);
    }

    // ---- URBs, inside the machine ----
    void reply(uint64_t id, uint16_t unit, NTSTATUS status, USBD_STATUS usbd_status, uint32_t length, const void* data,
               size_t data_length) {
        WireReply r{status, usbd_status, length};
        send_to_bus(WIRE_REPLY, unit, id, &r, sizeof r, data, data_length);
    }

    void submit(uint64_t id, uint16_t unit_number, const WireUrb& w, const Bytes& data) {
        ReaderUnit* u = unit(unit_number);
        if (!u || !u->pdo || !u->pdo->device()) {
            reply(id, unit_number, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, 0, nullptr, 0);
            return;
        }
        auto f = std::make_unique<Forwarded>();
        f->id = id;
        f->unit = unit_number;
        f->function = w.function;
        f->host = this;
        switch (w.function) {
            case WIRE_GET_DESCRIPTOR_FROM_DEVICE: {
                f->urb = allocate_urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
                f->buffer = allocate_buffer(w.length, nullptr, 0);
                UsbBuildGetDescriptorRequest(f->urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), w.descriptor_type,
                                             w.descriptor_index, w.language_id, f->buffer, nullptr, w.length, nullptr);
                break;
            }
            case WIRE_SELECT_CONFIGURATION:
                f->urb = select_configuration_urb(*u, w, data, f->buffer);
                break;
            case WIRE_BULK_OR_INTERRUPT_TRANSFER: {
                f->urb = allocate_urb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
                bool in = w.transfer_flags & USBD_TRANSFER_DIRECTION_IN;
                f->buffer = allocate_buffer(w.length, in ? nullptr : data.data(), in ? 0 : data.size());
                UsbBuildInterruptOrBulkTransferRequest(f->urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                                       reinterpret_cast<USBD_PIPE_HANDLE>(w.pipe), f->buffer, nullptr,
                                                       w.length, w.transfer_flags, nullptr);
                break;
            }
            case WIRE_ABORT_PIPE:
            case WIRE_SYNC_RESET_PIPE_AND_CLEAR_STALL:
                f->urb = allocate_urb(sizeof(_URB_PIPE_REQUEST));
                f->urb->UrbHeader.Function = w.function;
                f->urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
                f->urb->UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(w.pipe);
                break;
            default:
                break;
        }
        if (!f->urb) {
            release(*f);
            reply(id, unit_number, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION, 0, nullptr, 0);
            return;
        }
        PDEVICE_OBJECT pdo = u->pdo->device();
        f->irp = IoAllocateIrp(pdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(f->irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = f->urb;
        IoSetCompletionRoutine(f->irp, &Host::completed, f.get(), TRUE, TRUE, TRUE);
        Forwarded* raw = f.get();
        forwarded_[id] = std::move(f);
        IoCallDriver(pdo, raw->irp);
    }

    static NTSTATUS NTAPI completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* f = static_cast<Forwarded*>(context);
        f->host->finish(*f, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    void finish(Forwarded& f, PIRP irp) {
        NTSTATUS status = irp->IoStatus.Status;
        USBD_STATUS usbd_status = f.urb->UrbHeader.Status;
        Bytes out;
        uint32_t length = 0;
        switch (f.function) {
            case WIRE_GET_DESCRIPTOR_FROM_DEVICE:
                length = f.urb->UrbControlDescriptorRequest.TransferBufferLength;
                out.assign(f.buffer, f.buffer + length);
                break;
            case WIRE_BULK_OR_INTERRUPT_TRANSFER: {
                auto& t = f.urb->UrbBulkOrInterruptTransfer;
                length = t.TransferBufferLength;
                if (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) out.assign(f.buffer, f.buffer + length);
                break;
            }
            case WIRE_SELECT_CONFIGURATION:
                if (NT_SUCCESS(status)) out = configuration_answer(f.urb);
                length = static_cast<uint32_t>(out.size());
                break;
            default:
                break;
        }
        uint64_t id = f.id;
        uint16_t unit_number = f.unit;
        IoFreeIrp(irp);
        release(f);
        forwarded_.erase(id);  // destroys f
        reply(id, unit_number, status, usbd_status, length, out.data(), out.size());
    }

    static PURB allocate_urb(size_t size) {
        auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
        if (urb) RtlZeroMemory(urb, size);
        return urb;
    }

    static PUCHAR allocate_buffer(size_t size, const uint8_t* data, size_t data_length) {
        auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size ? size : 1, kTag));
        if (!buffer) return nullptr;
        RtlZeroMemory(buffer, size ? size : 1);
        if (data && data_length) std::memcpy(buffer, data, std::min(size, data_length));
        return buffer;
    }

    static void release(Forwarded& f) {
        if (f.buffer) ExFreePoolWithTag(f.buffer, kTag);
        if (f.urb) {
            // A select-configuration URB comes from USBD_CreateConfigurationRequestEx, which allocates untagged.
            if (f.function == WIRE_SELECT_CONFIGURATION && f.urb->UrbSelectConfiguration.ConfigurationDescriptor) {
                ExFreePool(f.urb);
            } else {
                ExFreePoolWithTag(f.urb, kTag);
            }
        }
        f.buffer = nullptr;
        f.urb = nullptr;
    }

    // The select-configuration URB for the interfaces Wine's side chose, built from the device's own configuration
    // descriptor as a function driver builds it; the descriptor copy lives in `descriptor` until completion.
    PURB select_configuration_urb(ReaderUnit& u, const WireUrb& w, const Bytes& data, PUCHAR& descriptor) {
        if (!w.configure) {
            PURB urb = allocate_urb(sizeof(_URB_SELECT_CONFIGURATION));
            UsbBuildSelectConfigurationRequest(urb, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
            return urb;
        }
        Packet bytes = u.usb->description().configuration_descriptor();
        descriptor = allocate_buffer(bytes.size(), bytes.data(), bytes.size());
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor);
        size_t count = std::min<size_t>(w.interface_count, data.size() / sizeof(WireInterfaceChoice));
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(count + 1);
        for (size_t i = 0; i < count; ++i) {
            WireInterfaceChoice choice;
            std::memcpy(&choice, data.data() + i * sizeof choice, sizeof choice);
            list[i].InterfaceDescriptor =
                USBD_ParseConfigurationDescriptorEx(config, config, choice.number, choice.alternate, -1, -1, -1);
            if (!list[i].InterfaceDescriptor) return nullptr;
        }
        return USBD_CreateConfigurationRequestEx(config, list.data());
    }

    static Bytes configuration_answer(PURB urb) {
        Bytes out;
        auto put = [&](const void* p, size_t n) { out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n); };
        auto& s = urb->UrbSelectConfiguration;
        WireConfiguration c{reinterpret_cast<uint64_t>(s.ConfigurationHandle), 0};
        std::vector<PUSBD_INTERFACE_INFORMATION> interfaces;
        auto* end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        for (auto* info = &s.Interface; reinterpret_cast<PUCHAR>(info) < end && info->Length;
             info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length)) {
            interfaces.push_back(info);
        }
        c.interface_count = static_cast<uint8_t>(interfaces.size());
        put(&c, sizeof c);
        for (auto* info : interfaces) {
            WireInterface wi{info->InterfaceNumber, info->AlternateSetting, info->Class, info->SubClass, info->Protocol,
                             static_cast<uint8_t>(info->NumberOfPipes), reinterpret_cast<uint64_t>(info->InterfaceHandle)};
            put(&wi, sizeof wi);
            for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
                const auto& pipe = info->Pipes[p];
                WirePipe wp{pipe.MaximumPacketSize, pipe.EndpointAddress, pipe.Interval, static_cast<uint32_t>(pipe.PipeType),
                            reinterpret_cast<uint64_t>(pipe.PipeHandle), pipe.MaximumTransferSize};
                put(&wp, sizeof wp);
            }
        }
        return out;
    }

    Kernel& kernel() { return k_; }

   private:
    static constexpr ULONG kTag = 0x48775171;  // "qQwH"

    Kernel k_;
    Bus bus_;
    // The wire's transfers and cancellations go into the machine in the order they came: a cancellation that ran
    // before its transfer was forwarded would find nothing, and the transfer would never end.
    OrderedPoster wire_;
    std::map<uint16_t, std::unique_ptr<ReaderUnit>> units_;
    std::map<uint64_t, std::unique_ptr<Forwarded>> forwarded_;  // touched only inside the machine
    std::thread machine_;
    std::mutex mutex_;
    std::mutex send_mutex_;
    std::condition_variable done_signal_;
    bool machine_done_ = false;
    std::string stopped_report_;
    int bus_fd_ = -1;
    bool bus_closed_ = false;
};

// ---- The Windows program ---------------------------------------------------------------------------------------

class App {
   public:
    void attach(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        fd_ = fd;
        signal_.notify_all();
    }
    bool wait(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return signal_.wait_for(lock, limit, [&] { return fd_ >= 0; });
    }
    // One request line, one answer line; empty when the program is gone.
    std::string ask(const std::string& line) {
        std::string text = line + "\n";
        if (!write_all(fd_, text.data(), text.size())) return "";
        std::string answer;
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                answer = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return answer;
            }
            char chunk[4096];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return "";
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // "done STATUS INFORMATION HEX" into its parts.
    static bool parse_done(const std::string& answer, NTSTATUS& status, ULONG_PTR& information, Bytes& output) {
        std::istringstream words(answer);
        std::string verb, status_hex, info, data;
        words >> verb >> status_hex >> info >> data;
        if (verb != "done") return false;
        status = static_cast<NTSTATUS>(std::stoul(status_hex, nullptr, 16));
        information = std::stoul(info);
        output = data == "-" ? Bytes{} : parse_hex(data).value_or(Bytes{});
        return true;
    }

   private:
    std::mutex mutex_;
    std::condition_variable signal_;
    int fd_ = -1;
    std::string buffer_;
};

// ---- The session -------------------------------------------------------------------------------------------------

class SessionRunner {
   public:
    SessionRunner(Host& host, App& app, Transcript& transcript) : host_(host), app_(app), transcript_(transcript) {}

    bool run(const Command& c);
    const std::string& failure() const { return failure_; }
    void finish();

   private:
    struct Overlapped {
        std::string handle;
        ULONG code = 0;
        Bytes input;
        bool done = false;
    };

    void emit(Event e) {
        e.time = static_cast<VirtualTime>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count() * 10);
        transcript_.emit(e);
    }
    void event(Source source, const std::string& text, Tone tone = Tone::plain) {
        Event e;
        e.source = source;
        e.reader = "reader0";
        e.text = text;
        e.tone = tone;
        emit(e);
    }
    bool fail(const Command& c, const std::string& message) {
        failure_ = "line " + std::to_string(c.line) + ": " + c.display + "\n    " + message;
        event(Source::check, "FAILED: " + message, Tone::bad);
        return false;
    }
    bool check(const Command& c, NTSTATUS status, const Bytes* reply) {
        if (c.expect.status && *c.expect.status != status) {
            return fail(c, "expected " + status_text(*c.expect.status) + ", saw " + status_text(status));
        }
        if (c.expect.reply && reply && !c.expect.reply->matches(*reply)) {
            return fail(c, "expected reply " + c.expect.reply->text() + ", saw " + hex(*reply));
        }
        if (c.expect.any()) event(Source::check, "ok", Tone::good);
        return true;
    }
    std::string handle_for(const Command& c) {
        if (!c.via.empty()) return c.via;
        if (open_.empty()) return "";
        return open_.back();
    }
    bool ensure_handle(const Command& c, std::string& handle) {
        handle = handle_for(c);
        if (!handle.empty()) return true;
        return open(c, "h" + std::to_string(++handles_), handle);
    }
    bool open(const Command& c, const std::string& name, std::string& handle);
    bool request(const Command& c, const AppRequest& r);
    bool request_async(const Command& c, const AppRequest& r, const std::string& name);
    bool report(const Command& c, const std::string& name, const std::string& answer, bool await_check);

    Host& host_;
    App& app_;
    Transcript& transcript_;
    Clock::time_point start_ = Clock::now();
    std::string failure_;
    std::vector<std::string> open_;
    int handles_ = 0;
    std::map<std::string, Overlapped> overlapped_;
    ULONG protocol_ = SCARD_PROTOCOL_T1;  // the protocol the last protocol selection put in force
};

bool SessionRunner::open(const Command& c, const std::string& name, std::string& handle) {
    std::string answer = app_.ask("open " + name);
    bool ok = answer == "ok";
    event(Source::app, "open the smart card reader interface -> " + std::string(ok ? "STATUS_SUCCESS: " + name : answer));
    if (!ok) return fail(c, "the Windows program could not open the reader: " + answer);
    open_.push_back(name);
    handle = name;
    return true;
}

bool SessionRunner::request(const Command& c, const AppRequest& r) {
    std::string handle;
    if (!ensure_handle(c, handle)) return false;
    std::vector<bool> secret = ioctl_input_secret(r.code, r.input);
    Event sent;
    sent.source = Source::app;
    sent.reader = "reader0";
    sent.text = handle + " " + ioctl_name(r.code) + ", in " + std::to_string(r.input.size()) + ", out " + std::to_string(r.output_size);
    std::string what = describe_request(r.code, r.input);
    if (!what.empty()) sent.text += ": " + what;
    sent.text_field("event", "request").text_field("handle", handle).text_field("ioctl", ioctl_name(r.code))
        .text_field("input", hex_compact(r.input, &secret)).field("output_size", std::to_string(r.output_size));
    emit(sent);
    std::string answer = app_.ask("ioctl " + handle + " " + hex32(r.code).substr(2) + " " + std::to_string(r.output_size) + " " +
                                  (r.input.empty() ? "-" : hex_compact(r.input)));
    NTSTATUS status;
    ULONG_PTR information;
    Bytes output;
    if (!App::parse_done(answer, status, information, output)) return fail(c, "the Windows program answered \"" + answer + "\"");
    emit(request_result_event("reader0", handle, r.code, r.input, status, information, output));
    // The protocol that later `apdu` lines name, as the workbench keeps it.
    if (r.code == IOCTL_SMARTCARD_SET_PROTOCOL && status == STATUS_SUCCESS && output.size() >= 4) {
        protocol_ = output[0] | output[1] << 8 | output[2] << 16 | static_cast<ULONG>(output[3]) << 24;
    }
    Bytes payload = reply_payload(r.code, output);
    return check(c, status, &payload);
}

bool SessionRunner::request_async(const Command& c, const AppRequest& r, const std::string& name) {
    std::string handle;
    if (!ensure_handle(c, handle)) return false;
    Event sent;
    sent.source = Source::app;
    sent.reader = "reader0";
    sent.text = "[" + name + "] " + handle + " " + ioctl_name(r.code) + ", overlapped";
    std::string what = describe_request(r.code, r.input);
    if (!what.empty()) sent.text += ": " + what;
    std::vector<bool> secret = ioctl_input_secret(r.code, r.input);
    sent.text_field("event", "request").text_field("request", name).text_field("handle", handle)
        .text_field("ioctl", ioctl_name(r.code)).text_field("input", hex_compact(r.input, &secret));
    emit(sent);
    overlapped_[name] = Overlapped{handle, r.code, r.input, false};
    std::string answer = app_.ask("start " + name + " " + handle + " " + hex32(r.code).substr(2) + " " +
                                  std::to_string(r.output_size) + " " + (r.input.empty() ? "-" : hex_compact(r.input)));
    if (answer == "pending") {
        event(Source::app, "[" + name + "] dispatch returned STATUS_PENDING");
        return check(c, STATUS_PENDING, nullptr);
    }
    return report(c, name, answer, false);
}

bool SessionRunner::report(const Command& c, const std::string& name, const std::string& answer, bool await_check) {
    Overlapped& o = overlapped_[name];
    NTSTATUS status;
    ULONG_PTR information;
    Bytes output;
    if (!App::parse_done(answer, status, information, output)) return fail(c, "the Windows program answered \"" + answer + "\"");
    o.done = true;
    Event e = request_result_event("reader0", o.handle, o.code, o.input, status, information, output);
    e.text = "[" + name + "] " + e.text;
    e.text_field("request", name);
    emit(e);
    Bytes payload = reply_payload(o.code, output);
    (void)await_check;
    return check(c, status, &payload);
}

bool SessionRunner::run(const Command& c) {
    failure_.clear();
    if (host_.machine_stopped()) return fail(c, "the simulated reader's machine stopped:\n" + host_.stopped_report());
    if (c.verb == Verb::note) {
        Event e;
        e.source = Source::note;
        e.text = c.name;
        emit(e);
        return true;
    }
    Event step;
    step.source = Source::step;
    step.text = "line " + std::to_string(c.line) + ": " + c.display;
    step.field("line", std::to_string(c.line)).text_field("command", c.display);
    emit(step);

    if (std::optional<AppRequest> r = app_request(c, protocol_)) {
        if (!c.async_name.empty()) return request_async(c, *r, c.async_name);
        return request(c, *r);
    }
    ReaderUnit* unit = host_.unit(0);
    switch (c.verb) {
        case Verb::plug: {
            if (!c.reader.empty() && c.reader != "reader0") return fail(c, "the Wine run has one reader, reader0");
            if (unit && unit->plugged) return fail(c, "reader0 is plugged in already");
            if (!host_.wait_for_bus(std::chrono::seconds(60))) return fail(c, "the Wine test bus never connected");
            ReaderUnit& u = unit ? *unit : host_.add_unit(0);
            if (!u.plugged) return fail(c, "a reader cannot be plugged in again in the Wine run");
            host_.announce(u);
            event(Source::pnp, "arrives on the Wine test bus; waiting for the smart card reader interface");
            // Plug and Play in Wine: the bus reports the PDO, the INF matches, AddDevice and start follow, and the
            // driver enables its interface. The application sees the result as the interface appearing.
            auto deadline = Clock::now() + std::chrono::seconds(60);
            std::string answer;
            while ((answer = app_.ask("find")).rfind("ok", 0) != 0) {
                if (answer.empty()) return fail(c, "the Windows program is gone");
                if (Clock::now() > deadline) return fail(c, "no smart card reader interface appeared within 60 s");
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            event(Source::pnp, "the smart card reader interface is there: " + answer.substr(3));
            // An application opens the interface as soon as it appears, as the smart card service does: the
            // driver must take requests from then on. A probe on a handle of its own checks that at once.
            if (app_.ask("open probe") != "ok") return fail(c, "the Windows program could not open the reader");
            std::string state = app_.ask("ioctl probe " + hex32(IOCTL_SMARTCARD_GET_STATE).substr(2) + " 4 -");
            app_.ask("close probe");
            NTSTATUS status;
            ULONG_PTR information;
            Bytes output;
            if (!App::parse_done(state, status, information, output)) return fail(c, "the Windows program answered \"" + state + "\"");
            if (status != STATUS_SUCCESS) {
                return fail(c, "GET_STATE on a handle opened as the interface appeared ended with " + workbench::status_name(status) +
                                   ": the driver's interface came before its start had finished");
            }
            return check(c, STATUS_SUCCESS, nullptr);
        }
        case Verb::unplug:
            if (!unit || !unit->plugged) return fail(c, "no reader is plugged in");
            host_.unplug(*unit);
            event(Source::pnp, "pulled out: the bus reports the PDO gone");
            return check(c, STATUS_SUCCESS, nullptr);
        case Verb::insert: {
            if (!unit) return fail(c, "no reader is plugged in");
            std::shared_ptr<Card> card(make_card(c.name));
            if (!card) return fail(c, "no card named \"" + c.name + "\"");
            host_.run("insert card", [&] { unit->reader->insert_card(card); });
            event(Source::card, "card \"" + c.name + "\" inserted");
            return true;
        }
        case Verb::remove:
            if (!unit) return fail(c, "no reader is plugged in");
            host_.run("remove card", [&] { unit->reader->remove_card(); });
            event(Source::card, "card removed from the slot");
            return true;
        case Verb::keys: {
            if (!unit) return fail(c, "no reader is plugged in");
            Person person = keypad_person(c);
            host_.run("keys", [&] { unit->pinpad->keypad->queue_person(std::move(person)); });
            event(Source::keypad, "the next PIN entry: " + std::to_string(c.keys.size()) + " keys");
            return true;
        }
        case Verb::open: {
            std::string handle;
            return open(c, c.name.empty() ? "h" + std::to_string(++handles_) : c.name, handle) && check(c, STATUS_SUCCESS, nullptr);
        }
        case Verb::close: {
            std::string name = c.name.empty() ? handle_for(c) : c.name;
            if (name.empty()) return fail(c, "no open handle");
            std::string answer = app_.ask("close " + name);
            if (answer != "ok") return fail(c, "close: " + answer);
            std::erase(open_, name);
            event(Source::app, name + " closed");
            return true;
        }
        case Verb::await: {
            auto it = overlapped_.find(c.name);
            if (it == overlapped_.end()) return fail(c, "no overlapped request named \"" + c.name + "\"");
            long long ms = c.duration ? c.duration / 10'000 : 60'000;
            std::string answer = app_.ask("await " + c.name + " " + std::to_string(ms));
            if (answer == "pending") return fail(c, "request \"" + c.name + "\" is still pending after " + std::to_string(ms) + " ms");
            return report(c, c.name, answer, true);
        }
        case Verb::cancel: {
            std::string answer = app_.ask("cancel " + c.name);
            event(Source::app, "[" + c.name + "] CancelIoEx: " + answer);
            return answer.rfind("ok", 0) == 0 || fail(c, answer);
        }
        case Verb::expect_pending: {
            std::string answer = app_.ask("poll " + c.name);
            if (answer != "pending") return fail(c, "expected \"" + c.name + "\" pending, saw " + answer);
            event(Source::check, "ok: [" + c.name + "] is pending", Tone::good);
            return true;
        }
        case Verb::wait:
            std::this_thread::sleep_for(std::chrono::microseconds(c.duration / 10));
            return true;
        case Verb::seed:
            return true;
        default:
            return fail(c, "`" + c.display + "` is not available in the Wine run (only the simulation can look inside)");
    }
}

void SessionRunner::finish() {
    for (const std::string& name : open_) app_.ask("close " + name);
    app_.ask("quit");
}

int listen_socket(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) return -1;
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

int main(int argc, char** argv) {
    std::string session_path, port_file, json_path;
    int timeout_s = 600;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--port-file" && i + 1 < argc) port_file = argv[++i];
        else if (a == "--json" && i + 1 < argc) json_path = argv[++i];
        else if (a == "--timeout" && i + 1 < argc) timeout_s = std::atoi(argv[++i]);
        else if (session_path.empty() && a[0] != '-') session_path = a;
        else {
            std::fprintf(stderr, "usage: qward-wine-host SESSION.qws --port-file FILE [--json FILE] [--timeout SECONDS]\n");
            return 2;
        }
    }
    if (session_path.empty() || port_file.empty()) {
        std::fprintf(stderr, "usage: qward-wine-host SESSION.qws --port-file FILE [--json FILE] [--timeout SECONDS]\n");
        return 2;
    }
    std::ifstream in(session_path);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "qward-wine-host: cannot read %s\n", session_path.c_str());
        return 2;
    }
    Scenario scenario = parse_scenario(text.str());
    for (const ParseError& e : scenario.errors) std::fprintf(stderr, "%s:%d: %s\n", session_path.c_str(), e.line, e.message.c_str());
    if (!scenario.errors.empty()) return 2;

    int port = 0;
    int listener = listen_socket(port);
    if (listener < 0) {
        std::perror("qward-wine-host: listen");
        return 2;
    }
    {
        std::ofstream out(port_file);
        out << port << "\n";
    }

    Transcript transcript;
    transcript.add_sink(std::make_shared<TextSink>(stdout, false, 0));
    std::FILE* json = json_path.empty() ? nullptr : std::fopen(json_path.c_str(), "w");
    if (json) transcript.add_sink(std::make_shared<JsonSink>(json));

    Host host;
    host.start_machine();
    App app;
    std::vector<std::thread> connections;
    std::thread acceptor([&] {
        for (;;) {
            int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0) return;
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            char first = 0;
            if (::recv(fd, &first, 1, MSG_PEEK) != 1) {
                ::close(fd);
                continue;
            }
            if (first == 'a') {  // the Windows program's "app" line
                char line[4];
                read_all(fd, line, 4);
                app.attach(fd);
            } else {
                connections.emplace_back([&host, fd] { host.serve_bus(fd); });
            }
        }
    });

    int status = 0;
    std::fflush(stdout);
    if (!app.wait(std::chrono::seconds(timeout_s))) {
        std::fprintf(stderr, "qward-wine-host: the Windows program never connected\n");
        status = 4;
    } else {
        SessionRunner runner(host, app, transcript);
        for (const Command& c : scenario.commands) {
            bool ok = runner.run(c);
            std::fflush(stdout);
            if (!ok) {
                std::fprintf(stderr, "%s:%d: FAILED\n  %s\n", session_path.c_str(), c.line, runner.failure().c_str());
                status = host.machine_stopped() ? 3 : 1;
                break;
            }
        }
        runner.finish();
    }
    if (json) std::fclose(json);
    std::fflush(stdout);
    // Wine keeps its side of the bus link open for as long as the prefix runs; the host does not wait for it.
    std::_Exit(status);
}

}  // namespace sim::winehost

int main(int argc, char** argv) { return sim::winehost::main(argc, argv); }
