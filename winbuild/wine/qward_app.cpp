// qward-app.exe: the Windows side of the Wine run, a plain Win32 program.
//
//   qward-app install-bus INF PORT   installs the root-enumerated test bus as Windows installs a root device: a device
//                                    node with the hardware ID root\qwardbus, then its driver from INF (the reader
//                                    host's TCP port goes under the bus service's Parameters key first)
//   qward-app add-driver INF         puts a driver package into the driver store (SetupCopyOEMInf, as
//                                    `pnputil /add-driver` does); Plug and Play installs it when a device matches
//   qward-app session PORT           the application: connects to the reader host on 127.0.0.1:PORT and carries out
//                                    its requests: find the smart card reader interface (SetupDiGetClassDevs with
//                                    GUID_DEVINTERFACE_SMARTCARD_READER), open it, DeviceIoControl plain and
//                                    overlapped, cancel, close. Each request's NTSTATUS, information and reply bytes
//                                    go back to the host, which runs the session script and keeps the transcript.
//
// The protocol with the host is one line each way per request (see run_session); bytes travel as hex.
#include <winsock2.h>
#include <windows.h>
#include <winternl.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const GUID kNoClass = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const GUID kSmartCardReaderInterface = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

std::wstring widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    return out;
}

std::string narrow(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring full_path(const std::string& path) {
    std::wstring wide = widen(path);
    wchar_t buffer[MAX_PATH];
    DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH, buffer, nullptr);
    return n && n < MAX_PATH ? std::wstring(buffer) : wide;
}

int fail(const char* what) {
    std::fprintf(stderr, "qward-app: %s failed: error %lu\n", what, GetLastError());
    return 1;
}

// ---- Installation ----------------------------------------------------------------------------------------------

int install_bus(const std::string& inf, unsigned long port) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\qwardbus\\Parameters", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return fail("creating the bus service's Parameters key");
    }
    DWORD value = port;
    RegSetValueExW(key, L"Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);

    static const wchar_t kHardwareId[] = L"root\\qwardbus\0";
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoW(set, L"root\\qward\\bus", &kNoClass, nullptr, nullptr, 0, &device)) {
        if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) return fail("SetupDiCreateDeviceInfo");
    } else {
        if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(kHardwareId),
                                               sizeof kHardwareId)) {
            return fail("SetupDiSetDeviceRegistryProperty");
        }
        if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) return fail("DIF_REGISTERDEVICE");
    }
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    std::wstring path = full_path(inf);
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"root\\qwardbus", path.c_str(), 0, &reboot)) {
        return fail("UpdateDriverForPlugAndPlayDevices");
    }
    // Windows starts a demand-start root device's driver once it is installed; Wine 8's installer does not always
    // (it opens the service and leaves it), so the service is started here, or, when it runs already, told to look
    // for its root devices again.
    if (SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)) {
        if (SC_HANDLE service = OpenServiceW(manager, L"qwardbus", SERVICE_START | SERVICE_USER_DEFINED_CONTROL)) {
            const DWORD kReenumerateRootDevices = 128;
            SERVICE_STATUS status;
            // While the service manager still starts the prefix's own services, it refuses with "database locked".
            for (int attempt = 0; attempt < 600; ++attempt) {
                if (StartServiceW(service, 0, nullptr)) break;
                DWORD error = GetLastError();
                if (error == ERROR_SERVICE_ALREADY_RUNNING) {
                    ControlService(service, kReenumerateRootDevices, &status);
                    break;
                }
                // A start that timed out is tried again: the driver host process can be slow to come up.
                if (error != ERROR_SERVICE_DATABASE_LOCKED && !(error == ERROR_SERVICE_REQUEST_TIMEOUT && attempt < 3)) {
                    std::fprintf(stderr, "qward-app: starting the bus service failed: error %lu\n", error);
                    break;
                }
                Sleep(100);
            }
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    std::printf("qward-app: test bus installed from %s (reader host port %lu)\n", narrow(path).c_str(), port);
    return 0;
}

int add_driver(const std::string& inf) {
    std::wstring path = full_path(inf);
    wchar_t destination[MAX_PATH] = {};
    if (!SetupCopyOEMInfW(path.c_str(), nullptr, SPOST_PATH, 0, destination, MAX_PATH, nullptr, nullptr)) {
        return fail("SetupCopyOEMInf");
    }
    std::printf("qward-app: driver package %s added to the driver store as %s\n", narrow(path).c_str(),
                narrow(destination).c_str());
    return 0;
}

// ---- The application -------------------------------------------------------------------------------------------

std::string hex(const unsigned char* data, size_t length) {
    if (!length) return "-";
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

std::vector<unsigned char> unhex(const std::string& text) {
    std::vector<unsigned char> out;
    if (text == "-") return out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// The first smart card reader interface that is present, or empty.
std::wstring find_reader() {
    HDEVINFO set = SetupDiGetClassDevsW(&kSmartCardReaderInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return L"";
    std::wstring path;
    SP_DEVICE_INTERFACE_DATA reader_interface{};
    reader_interface.cbSize = sizeof reader_interface;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &kSmartCardReaderInterface, 0, &reader_interface)) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &reader_interface, nullptr, 0, &size, nullptr);
        std::vector<unsigned char> buffer(size ? size : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &reader_interface, detail, size, nullptr, nullptr)) path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

// One DeviceIoControl in flight or done. The OVERLAPPED's first two fields are the I/O status block that the I/O
// manager fills, so the NTSTATUS the driver completed with is read there, and CancelIoEx finds the request by it.
struct Request {
    HANDLE file = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    std::vector<unsigned char> input;
    std::vector<unsigned char> output;
    NTSTATUS status = 0;  // the final status once done
    ULONG_PTR information = 0;
    bool done = false;

    ~Request() {
        if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
    }

    // NtDeviceIoControlFile returns the status the driver's dispatch routine gave: STATUS_PENDING, or the final
    // status, errors included (which DeviceIoControl would turn into a Win32 error code).
    void start(HANDLE h, ULONG code, ULONG output_size) {
        file = h;
        output.assign(output_size, 0);
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        auto* iosb = reinterpret_cast<IO_STATUS_BLOCK*>(&overlapped);
        iosb->Status = STATUS_PENDING;
        iosb->Information = 0;
        NTSTATUS returned = NtDeviceIoControlFile(h, overlapped.hEvent, nullptr, nullptr, iosb, code,
                                                  input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
                                                  output.empty() ? nullptr : output.data(), output_size);
        if (returned != STATUS_PENDING) finish(returned);
    }

    bool wait(DWORD ms) {
        if (done) return true;
        if (WaitForSingleObject(overlapped.hEvent, ms) != WAIT_OBJECT_0) return false;
        finish(static_cast<NTSTATUS>(overlapped.Internal));
        return true;
    }

    void finish(NTSTATUS returned) {
        done = true;
        status = returned;
        // An error completion carries no data; a success or warning carries what the I/O status block says.
        information = (static_cast<ULONG>(returned) >> 30) == 3 ? 0 : overlapped.InternalHigh;
        if (information > output.size()) information = output.size();
    }

    std::string result() const {
        char head[64];
        std::snprintf(head, sizeof head, "done %08lX %lu ", static_cast<unsigned long>(status), static_cast<unsigned long>(information));
        return head + hex(output.data(), information);
    }
};

class Session {
   public:
    explicit Session(SOCKET s) : socket_(s) {}

    int run() {
        std::string line;
        while (read_line(line)) {
            std::istringstream words(line);
            std::string verb;
            words >> verb;
            if (verb == "quit") {
                reply("bye");
                break;
            }
            reply(handle(verb, words));
        }
        for (auto& [name, handle] : handles_) {
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        }
        return 0;
    }

   private:
    std::string handle(const std::string& verb, std::istringstream& words) {
        if (verb == "find") {
            std::wstring path = find_reader();
            return path.empty() ? "none" : "ok " + narrow(path);
        }
        if (verb == "open") {
            std::string name;
            words >> name;
            std::wstring path = find_reader();
            if (path.empty()) return "error no-interface";
            HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            if (h == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
            handles_[name] = h;
            return "ok";
        }
        if (verb == "close") {
            std::string name;
            words >> name;
            auto it = handles_.find(name);
            if (it == handles_.end() || it->second == INVALID_HANDLE_VALUE) return "error no-such-handle";
            CloseHandle(it->second);
            it->second = INVALID_HANDLE_VALUE;
            return "ok";
        }
        if (verb == "ioctl" || verb == "start") {
            std::string name, handle_name, code, output_size, input;
            if (verb == "start") words >> name;
            words >> handle_name >> code >> output_size >> input;
            auto it = handles_.find(handle_name);
            if (it == handles_.end() || it->second == INVALID_HANDLE_VALUE) return "error no-such-handle";
            auto request = std::make_shared<Request>();
            request->input = unhex(input);
            request->start(it->second, std::stoul(code, nullptr, 16), std::stoul(output_size));
            if (verb == "ioctl") {
                request->wait(INFINITE);
                return request->result();
            }
            requests_[name] = request;
            return request->done ? request->result() : "pending";
        }
        if (verb == "await" || verb == "poll") {
            std::string name;
            unsigned long ms = 0;
            words >> name;
            if (verb == "await") words >> ms;
            auto it = requests_.find(name);
            if (it == requests_.end()) return "error no-such-request";
            return it->second->wait(ms) ? it->second->result() : "pending";
        }
        if (verb == "cancel") {
            std::string name;
            words >> name;
            auto it = requests_.find(name);
            if (it == requests_.end()) return "error no-such-request";
            if (it->second->done) return "ok done";
            BOOL ran = CancelIoEx(it->second->file, &it->second->overlapped);
            return ran ? "ok cancelled" : "ok not-found";
        }
        return "error unknown-verb";
    }

    bool read_line(std::string& line) {
        line.clear();
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            char chunk[4096];
            int got = recv(socket_, chunk, sizeof chunk, 0);
            if (got <= 0) return false;
            buffer_.append(chunk, got);
        }
    }

    void reply(const std::string& text) {
        std::string line = text + "\n";
        for (size_t sent = 0; sent < line.size();) {
            int n = send(socket_, line.data() + sent, static_cast<int>(line.size() - sent), 0);
            if (n <= 0) return;
            sent += n;
        }
    }

    SOCKET socket_;
    std::string buffer_;
    std::map<std::string, HANDLE> handles_;
    std::map<std::string, std::shared_ptr<Request>> requests_;
};

int run_session(unsigned long port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return fail("WSAStartup");
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail("connecting to the reader host");
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    const char hello[] = "app\n";
    send(s, hello, sizeof hello - 1, 0);
    int rc = Session(s).run();
    closesocket(s);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "install-bus" && argc == 4) return install_bus(argv[2], std::strtoul(argv[3], nullptr, 10));
    if (verb == "add-driver" && argc == 3) return add_driver(argv[2]);
    if (verb == "session" && argc == 3) return run_session(std::strtoul(argv[2], nullptr, 10));
    std::fprintf(stderr, "usage: qward-app install-bus INF PORT | add-driver INF | session PORT\n");
    return 2;
}
