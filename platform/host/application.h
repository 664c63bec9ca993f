// The application side: handles on device stacks and DeviceIoControl, CancelIo and CloseHandle as the I/O manager carries them out for a Win32 program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_request.h"
#include "kernel.h"

namespace sim {

class Application;
struct HandleState;
struct IoBuffers;

// What the I/O manager keeps per open handle. Stack locations and IRPs carry its address as the
// FILE_OBJECT pointer (the DDK headers leave FILE_OBJECT opaque); drivers may compare it, not read it.
struct FileRecord {
    uint64_t id = 0;
    PDEVICE_OBJECT device = nullptr;  // the device opened; requests go to the top of its stack
    bool cleaned_up = false;          // IRP_MJ_CLEANUP sent
    bool closed = false;              // IRP_MJ_CLOSE completed
};
// The FILE_OBJECT pointer that the handle's requests carry.
struct _FILE_OBJECT* file_object_of(FileRecord& file);

// The outcome of one DeviceIoControl.
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR bytes = 0;          // IoStatus.Information, what lpBytesReturned reports
    std::vector<uint8_t> output;  // what was copied back: min(bytes, output size) unless the status is an error
};

// One request of an application handle, completed or not (an OVERLAPPED with its event).
class PendingRequest {
   public:
    bool done() const;
    NTSTATUS status() const;  // STATUS_PENDING until done
    ULONG_PTR bytes() const;
    const std::vector<uint8_t>& output() const;
    IoResult result() const;
    // Waits in virtual time, at most `timeout` from now (kNever: no limit); true when done.
    bool wait(VirtualTime timeout = kNever);
    // CancelIoEx for this request: IoCancelIrp while it is outstanding; true when a cancel routine ran.
    bool cancel();

    UCHAR major_function() const { return major_; }
    ULONG io_control_code() const { return code_; }
    uint64_t irp_serial() const;
    // What the top dispatch routine returned.
    NTSTATUS dispatch_status() const;
    VirtualTime issued_at() const;
    VirtualTime completed_at() const;
    // The driver reported more bytes than the caller's output buffer holds (the copy was capped).
    bool information_exceeded_output() const;
    uint64_t handle_id() const { return handle_id_; }
    std::string describe() const;

    PendingRequest(std::shared_ptr<HostRequest> host, std::shared_ptr<IoBuffers> buffers, UCHAR major,
                   ULONG code, uint64_t handle_id);

   private:
    std::shared_ptr<HostRequest> host_;
    std::shared_ptr<IoBuffers> buffers_;
    UCHAR major_;
    ULONG code_;
    uint64_t handle_id_;
};

// An open handle; a cheap copyable reference. A default-constructed Handle is invalid.
class Handle {
   public:
    Handle() = default;
    bool valid() const;
    bool closed() const;
    uint64_t id() const;
    PDEVICE_OBJECT device() const;
    FileRecord* file() const;

    // DeviceIoControl on a handle opened without FILE_FLAG_OVERLAPPED: returns when the request
    // has completed, waiting (without a time limit) when the driver returned STATUS_PENDING.
    // METHOD_BUFFERED: the system buffer has max(input, output) bytes and starts with the input
    // (the rest holds stale bytes, as pool does); on completion without an error status the first
    // min(Information, output_size) bytes come back. METHOD_NEITHER passes the buffers themselves;
    // the direct methods are not modelled (STATUS_NOT_IMPLEMENTED, nothing sent).
    IoResult ioctl(ULONG code, const std::vector<uint8_t>& input = {}, ULONG output_size = 0);
    // DeviceIoControl with an OVERLAPPED: returns once the dispatch routine has returned.
    std::shared_ptr<PendingRequest> ioctl_async(ULONG code, const std::vector<uint8_t>& input = {},
                                                ULONG output_size = 0);
    // CancelIo: IoCancelIrp on every outstanding IRP of this handle; how many cancel routines ran.
    size_t cancel_io();
    // CloseHandle: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE once the handle's last outstanding IRP has
    // completed (at once when none is). Returns the cleanup's status.
    NTSTATUS close();
    // Status of IRP_MJ_CLOSE; STATUS_PENDING until it has been sent and completed.
    NTSTATUS close_status() const;
    std::vector<std::shared_ptr<PendingRequest>> outstanding() const;

    explicit Handle(std::shared_ptr<HandleState> state) : state_(std::move(state)) {}

   private:
    std::shared_ptr<PendingRequest> issue(ULONG code, const std::vector<uint8_t>& input, ULONG output_size);
    std::shared_ptr<HandleState> state_;
};

// A user-mode program that opens devices and sends them requests. Blocking calls belong in a
// simulated thread.
class Application {
   public:
    explicit Application(Kernel& k, std::string name = "application");
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // CreateFile on a device: IRP_MJ_CREATE to the top of its stack. A device still initialising,
    // or unknown, is refused with STATUS_NO_SUCH_DEVICE without a request.
    NTSTATUS open(PDEVICE_OBJECT device, Handle& out);
    // CreateFile on a device interface: the enabled interface of that class registered for `pdo`
    // (any PDO when null). A disabled or missing interface gives STATUS_OBJECT_NAME_NOT_FOUND.
    NTSTATUS open_interface(const GUID& interface_class, Handle& out, PDEVICE_OBJECT pdo = nullptr);

    // Requests of every handle that have not completed: the 'nothing left hanging' check.
    std::vector<std::shared_ptr<PendingRequest>> outstanding() const;
    std::string describe_outstanding() const;
    // Handles opened and not closed yet.
    size_t open_handles() const;

    Kernel& kernel() { return k_; }
    const std::string& name() const { return name_; }

   private:
    friend class Handle;
    Kernel& k_;
    std::string name_;
    uint64_t next_handle_id_ = 1;
    std::vector<std::shared_ptr<HandleState>> handles_;
};

}  // namespace sim
