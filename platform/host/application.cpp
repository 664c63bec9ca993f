// The application side: opening devices, DeviceIoControl with its buffers, cancellation, and the cleanup/close pair of CloseHandle.
#include "application.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr ULONG kFileOpen = 0x00000001;   // CreateDisposition FILE_OPEN
constexpr uint8_t kStaleByte = 0xC5;     // what a fresh system buffer holds beyond the input

std::string handle_text(uint64_t id) { return "handle " + std::to_string(id); }

}  // namespace

// The buffers of one request. They live as long as the request's IRP can still be completed,
// even when the application has gone, since the driver writes into them.
struct IoBuffers {
    std::vector<uint8_t> system;       // METHOD_BUFFERED system buffer
    std::vector<uint8_t> input;        // METHOD_NEITHER input, passed as is
    std::vector<uint8_t> user_output;  // the caller's output buffer
    std::vector<uint8_t> copied;       // what came back to the caller
    ULONG output_size = 0;
    bool exceeded = false;
    NTSTATUS refused = STATUS_PENDING;  // set when the request never became an IRP
};

struct HandleState {
    Application* app = nullptr;  // null once the application has gone
    Kernel* k = nullptr;
    uint64_t id = 0;
    FileRecord file;
    bool open = false;
    bool close_deferred = false;
    NTSTATUS close_status = STATUS_PENDING;
    std::vector<std::shared_ptr<PendingRequest>> outstanding;
};

struct _FILE_OBJECT* file_object_of(FileRecord& file) { return reinterpret_cast<struct _FILE_OBJECT*>(&file); }

namespace {

std::shared_ptr<HostRequest> make_request(HandleState& state, UCHAR major, const std::string& what) {
    PDEVICE_OBJECT top = state.k->top_of_stack(state.file.device);
    auto request = HostRequest::create(*state.k, top, what, STATUS_SUCCESS);
    PIO_STACK_LOCATION stack = request->location();
    stack->MajorFunction = major;
    stack->FileObject = file_object_of(state.file);
    request->irp()->RequestorMode = UserMode;
    request->irp()->Tail.Overlay.OriginalFileObject = file_object_of(state.file);
    return request;
}

void send_close(const std::shared_ptr<HandleState>& state) {
    state->close_deferred = false;
    if (!state->k->find_device(state->file.device)) {
        state->close_status = STATUS_NO_SUCH_DEVICE;
        return;
    }
    auto close = make_request(*state, IRP_MJ_CLOSE, "IRP_MJ_CLOSE for " + handle_text(state->id));
    state->close_status = close->send_and_wait();
    state->file.closed = true;
}

}  // namespace

// ---- PendingRequest -------------------------------------------------------------------------------------

PendingRequest::PendingRequest(std::shared_ptr<HostRequest> host, std::shared_ptr<IoBuffers> buffers, UCHAR major,
                               ULONG code, uint64_t handle_id)
    : host_(std::move(host)), buffers_(std::move(buffers)), major_(major), code_(code), handle_id_(handle_id) {}

bool PendingRequest::done() const { return !host_ || host_->finished(); }

NTSTATUS PendingRequest::status() const { return host_ ? host_->status() : buffers_->refused; }

ULONG_PTR PendingRequest::bytes() const { return host_ && host_->finished() ? host_->information() : 0; }

const std::vector<uint8_t>& PendingRequest::output() const { return buffers_->copied; }

IoResult PendingRequest::result() const { return IoResult{status(), bytes(), output()}; }

bool PendingRequest::wait(VirtualTime timeout) {
    if (!host_) return true;
    Kernel& k = host_->kernel();
    VirtualTime deadline = timeout == kNever ? kNever : k.now() + timeout;
    return host_->wait(deadline);
}

bool PendingRequest::cancel() { return host_ && host_->cancel(); }

uint64_t PendingRequest::irp_serial() const { return host_ ? host_->serial() : 0; }

NTSTATUS PendingRequest::dispatch_status() const { return host_ ? host_->dispatch_status() : buffers_->refused; }

VirtualTime PendingRequest::issued_at() const { return host_ ? host_->sent_at() : 0; }

VirtualTime PendingRequest::completed_at() const { return host_ ? host_->finished_at() : 0; }

bool PendingRequest::information_exceeded_output() const { return buffers_->exceeded; }

std::string PendingRequest::describe() const {
    char text[200];
    if (!host_) {
        std::snprintf(text, sizeof text, "%s: 0x%06X refused with %s", handle_text(handle_id_).c_str(), code_,
                      status_name(buffers_->refused).c_str());
        return text;
    }
    std::snprintf(text, sizeof text, "%s (IRP #%llu) issued at %.3f ms, dispatch returned %s, %s", host_->what().c_str(),
                  static_cast<unsigned long long>(host_->serial()), to_ms(host_->sent_at()),
                  status_name(host_->dispatch_status()).c_str(),
                  host_->finished() ? ("completed with " + status_name(host_->status())).c_str() : "outstanding");
    return text;
}

// ---- Handle -------------------------------------------------------------------------------------------------

bool Handle::valid() const { return state_ != nullptr; }
bool Handle::closed() const { return !state_ || !state_->open; }
uint64_t Handle::id() const { return state_ ? state_->id : 0; }
PDEVICE_OBJECT Handle::device() const { return state_ ? state_->file.device : nullptr; }
FileRecord* Handle::file() const { return state_ ? &state_->file : nullptr; }
NTSTATUS Handle::close_status() const { return state_ ? state_->close_status : STATUS_INVALID_HANDLE; }

std::vector<std::shared_ptr<PendingRequest>> Handle::outstanding() const {
    return state_ ? state_->outstanding : std::vector<std::shared_ptr<PendingRequest>>{};
}

std::shared_ptr<PendingRequest> Handle::issue(ULONG code, const std::vector<uint8_t>& input, ULONG output_size) {
    auto buffers = std::make_shared<IoBuffers>();
    buffers->output_size = output_size;
    uint64_t id = state_ ? state_->id : 0;
    auto refuse = [&](NTSTATUS status) {
        buffers->refused = status;
        return std::make_shared<PendingRequest>(nullptr, buffers, IRP_MJ_DEVICE_CONTROL, code, id);
    };
    if (!state_ || !state_->open) return refuse(STATUS_INVALID_HANDLE);
    Kernel& k = *state_->k;
    if (!k.find_device(state_->file.device)) return refuse(STATUS_NO_SUCH_DEVICE);
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) return refuse(STATUS_NOT_IMPLEMENTED);

    char what[96];
    std::snprintf(what, sizeof what, "DeviceIoControl 0x%06X on %s", code, handle_text(id).c_str());
    auto host = make_request(*state_, IRP_MJ_DEVICE_CONTROL, what);
    PIRP irp = host->irp();
    PIO_STACK_LOCATION stack = host->location();
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
    stack->Parameters.DeviceIoControl.OutputBufferLength = output_size;
    buffers->user_output.assign(output_size, 0);
    if (method == METHOD_BUFFERED) {
        size_t size = std::max<size_t>(input.size(), output_size);
        buffers->system.assign(size, kStaleByte);
        std::copy(input.begin(), input.end(), buffers->system.begin());
        irp->AssociatedIrp.SystemBuffer = size ? buffers->system.data() : nullptr;
    } else {
        buffers->input = input;
        stack->Parameters.DeviceIoControl.Type3InputBuffer = buffers->input.empty() ? nullptr : buffers->input.data();
    }
    irp->UserBuffer = output_size ? buffers->user_output.data() : nullptr;

    auto request = std::make_shared<PendingRequest>(host, buffers, IRP_MJ_DEVICE_CONTROL, code, id);
    std::weak_ptr<HandleState> weak_state = state_;
    PendingRequest* raw = request.get();
    host->on_finish = [buffers, method, weak_state, raw](PIRP done) {
        ULONG_PTR information = done->IoStatus.Information;
        buffers->exceeded = information > buffers->output_size;
        if (!NT_ERROR(done->IoStatus.Status)) {
            size_t n = std::min<size_t>(information, buffers->output_size);
            const uint8_t* from = method == METHOD_BUFFERED ? buffers->system.data() : buffers->user_output.data();
            buffers->copied.assign(from, from + n);
        }
        auto state = weak_state.lock();
        if (!state) return;
        auto& list = state->outstanding;
        list.erase(std::remove_if(list.begin(), list.end(), [raw](auto& r) { return r.get() == raw; }), list.end());
        if (state->close_deferred && list.empty() && state->app) {
            // The last reference to the file object is gone: the I/O manager sends the close.
            state->k->spawn("I/O manager: IRP_MJ_CLOSE for " + handle_text(state->id), [state] { send_close(state); });
        }
    };
    state_->outstanding.push_back(request);
    host->send();
    return request;
}

IoResult Handle::ioctl(ULONG code, const std::vector<uint8_t>& input, ULONG output_size) {
    auto request = issue(code, input, output_size);
    request->wait();
    return request->result();
}

std::shared_ptr<PendingRequest> Handle::ioctl_async(ULONG code, const std::vector<uint8_t>& input, ULONG output_size) {
    return issue(code, input, output_size);
}

size_t Handle::cancel_io() {
    if (!state_) return 0;
    size_t cancelled = 0;
    // Cancelling can complete requests, which takes them off the list.
    auto snapshot = state_->outstanding;
    for (auto& request : snapshot) cancelled += request->cancel();
    return cancelled;
}

NTSTATUS Handle::close() {
    if (!state_ || !state_->open) return STATUS_INVALID_HANDLE;
    state_->open = false;
    Kernel& k = *state_->k;
    if (!k.find_device(state_->file.device)) {
        state_->close_status = STATUS_NO_SUCH_DEVICE;
        return STATUS_NO_SUCH_DEVICE;
    }
    auto cleanup = make_request(*state_, IRP_MJ_CLEANUP, "IRP_MJ_CLEANUP for " + handle_text(state_->id));
    NTSTATUS status = cleanup->send_and_wait();
    state_->file.cleaned_up = true;
    if (state_->outstanding.empty()) {
        send_close(state_);
    } else {
        state_->close_deferred = true;
    }
    return status;
}

// ---- Application ----------------------------------------------------------------------------------------------

Application::Application(Kernel& k, std::string name) : k_(k), name_(std::move(name)) {}

Application::~Application() {
    for (auto& state : handles_) state->app = nullptr;
}

NTSTATUS Application::open(PDEVICE_OBJECT device, Handle& out) {
    out = Handle();
    if (!k_.find_device(device)) return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT top = k_.top_of_stack(device);
    if (top->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    auto state = std::make_shared<HandleState>();
    state->app = this;
    state->k = &k_;
    state->id = next_handle_id_++;
    state->file.id = state->id;
    state->file.device = device;
    auto create = make_request(*state, IRP_MJ_CREATE, "IRP_MJ_CREATE for " + handle_text(state->id));
    create->location()->Parameters.Create.Options = kFileOpen << 24;
    NTSTATUS status = create->send_and_wait();
    // A failed create leaves no handle; the I/O manager sends neither cleanup nor close for it.
    if (!NT_SUCCESS(status)) return status;
    state->open = true;
    handles_.push_back(state);
    out = Handle(state);
    return status;
}

NTSTATUS Application::open_interface(const GUID& interface_class, Handle& out, PDEVICE_OBJECT pdo) {
    out = Handle();
    for (auto& [name, record] : k_.interfaces()) {
        if (std::memcmp(&record.guid, &interface_class, sizeof(GUID)) != 0) continue;
        if (pdo && record.pdo != pdo) continue;
        if (!record.enabled) continue;
        return open(record.pdo, out);
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<std::shared_ptr<PendingRequest>> Application::outstanding() const {
    std::vector<std::shared_ptr<PendingRequest>> result;
    for (auto& state : handles_) result.insert(result.end(), state->outstanding.begin(), state->outstanding.end());
    return result;
}

std::string Application::describe_outstanding() const {
    std::string text;
    for (auto& request : outstanding()) text += "\n    " + request->describe();
    return text;
}

size_t Application::open_handles() const {
    size_t n = 0;
    for (auto& state : handles_) n += state->open;
    return n;
}

}  // namespace sim
