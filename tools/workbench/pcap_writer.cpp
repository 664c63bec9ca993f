// The pcap writer: file header, usbmon records and the mapping of URB endings to usbmon's errno statuses.
#include "pcap_writer.h"

#include <cerrno>
#include <cstring>

#include <usb.h>

namespace sim::workbench {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put64(std::vector<uint8_t>& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

constexpr uint32_t kSnapLength = 65535;

}  // namespace

std::vector<uint8_t> pcap_file_header() {
    std::vector<uint8_t> out;
    put32(out, 0xA1B2C3D4);  // microsecond stamps, written in our (little-endian) order
    put16(out, 2);
    put16(out, 4);
    put32(out, 0);           // time zone offset
    put32(out, 0);           // stamp accuracy
    put32(out, kSnapLength);
    put32(out, kLinktypeUsbLinuxMmapped);
    return out;
}

std::vector<uint8_t> encode_usbmon(const UsbmonRecord& r) {
    std::vector<uint8_t> out;
    out.reserve(64 + r.data.size());
    put64(out, r.id);
    out.push_back(static_cast<uint8_t>(r.type));
    out.push_back(static_cast<uint8_t>(r.transfer));
    out.push_back(r.endpoint);
    out.push_back(r.device);
    put16(out, r.bus);
    out.push_back(r.setup ? 0 : static_cast<uint8_t>('-'));  // flag_setup: 0 when a setup packet is present
    // flag_data: 0 when data follow; usbmon's '<' marks an IN submission and '>' an OUT completion, which carry none.
    uint8_t flag_data = 0;
    if (r.data.empty()) flag_data = (r.endpoint & 0x80) ? '<' : '>';
    out.push_back(flag_data);
    const VirtualTime time = r.time < 0 ? 0 : r.time;
    put64(out, static_cast<uint64_t>(time / 10'000'000));              // seconds
    put32(out, static_cast<uint32_t>((time % 10'000'000) / 10));       // microseconds
    put32(out, static_cast<uint32_t>(r.status));
    put32(out, r.length);
    put32(out, static_cast<uint32_t>(r.data.size()));                  // len_cap: bytes that follow
    if (r.setup) {
        out.insert(out.end(), r.setup->begin(), r.setup->end());
    } else {
        out.insert(out.end(), 8, 0);
    }
    put32(out, static_cast<uint32_t>(r.interval));
    put32(out, 0);  // start frame
    put32(out, 0);  // transfer flags
    put32(out, 0);  // ISO descriptors
    out.insert(out.end(), r.data.begin(), r.data.end());
    return out;
}

PcapWriter::~PcapWriter() { close(); }

bool PcapWriter::open(const std::string& path, std::string& error) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> header = pcap_file_header();
    std::fwrite(header.data(), 1, header.size(), file_);
    std::fflush(file_);
    return true;
}

void PcapWriter::write(const UsbmonRecord& record) {
    if (!file_) return;
    std::vector<uint8_t> body = encode_usbmon(record);
    std::vector<uint8_t> header;
    const VirtualTime time = record.time < 0 ? 0 : record.time;
    put32(header, static_cast<uint32_t>(time / 10'000'000));
    put32(header, static_cast<uint32_t>((time % 10'000'000) / 10));
    put32(header, static_cast<uint32_t>(body.size()));
    put32(header, static_cast<uint32_t>(body.size()));
    std::fwrite(header.data(), 1, header.size(), file_);
    std::fwrite(body.data(), 1, body.size(), file_);
    std::fflush(file_);
    ++records_;
}

void PcapWriter::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

int32_t usbmon_status(NTSTATUS status, LONG usbd_status) {
    if (status == STATUS_SUCCESS) return 0;
    switch (usbd_status) {
        case USBD_STATUS_CANCELED: return -ENOENT;
        case USBD_STATUS_DEVICE_GONE: return -ESHUTDOWN;
        case USBD_STATUS_STALL_PID: return -EPIPE;
        case USBD_STATUS_DATA_OVERRUN:
        case USBD_STATUS_BUFFER_OVERRUN: return -EOVERFLOW;
        case USBD_STATUS_DEV_NOT_RESPONDING: return -EPROTO;
        case USBD_STATUS_TIMEOUT: return -ETIMEDOUT;
        default: break;
    }
    if (status == STATUS_CANCELLED) return -ENOENT;
    if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) return -ESHUTDOWN;
    return -EIO;
}

}  // namespace sim::workbench
