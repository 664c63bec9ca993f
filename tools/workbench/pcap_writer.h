// USB traces for Wireshark and tshark: a classic pcap file of link type LINKTYPE_USB_LINUX_MMAPPED (220), one
// usbmon record per URB submission and completion, stamped with the virtual time.
//
// Why this format: it is what Linux usbmon captures, so every Wireshark and tshark (and tcpdump, scapy, ...) opens
// it and Wireshark's USB dissector takes it apart fully: submit/complete pairs by URB id, endpoint and direction,
// transfer type, setup packets, descriptors (which tell it the interface class, so the reader's dissector is
// chosen by class), the status, and microsecond time stamps. One bus with one or more devices is all a run needs,
// which classic pcap holds; pcapng would add nothing used here.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "kernel.h"

namespace sim::workbench {

constexpr uint32_t kLinktypeUsbLinuxMmapped = 220;

// Transfer types as usbmon numbers them.
enum class UsbmonTransfer : uint8_t { isochronous = 0, interrupt = 1, control = 2, bulk = 3 };

struct UsbmonRecord {
    uint64_t id = 0;        // the URB: submission and completion share it
    char type = 'S';        // 'S' submission, 'C' completion, 'E' submission error
    UsbmonTransfer transfer = UsbmonTransfer::interrupt;
    uint8_t endpoint = 0;   // with bit 7 set for IN
    uint8_t device = 1;     // device address on the bus
    uint16_t bus = 1;
    std::optional<std::array<uint8_t, 8>> setup;  // control submissions
    uint32_t length = 0;    // requested length (submission) or actual length (completion)
    std::vector<uint8_t> data;  // the bytes captured with this record
    int32_t status = 0;     // -EINPROGRESS for submissions, 0 or a negative errno for completions
    int32_t interval = 0;   // frames, interrupt transfers
    VirtualTime time = 0;
};

// The 64-byte usbmon header followed by the data, in little-endian order.
std::vector<uint8_t> encode_usbmon(const UsbmonRecord& record);
// The pcap file header for link type 220, little-endian, microsecond stamps.
std::vector<uint8_t> pcap_file_header();

// Writes a pcap file record by record; flushes after each so that a run that stops part-way leaves a readable file.
class PcapWriter {
   public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // False with a message when the file cannot be created.
    bool open(const std::string& path, std::string& error);
    bool is_open() const { return file_ != nullptr; }
    void write(const UsbmonRecord& record);
    void close();
    size_t records() const { return records_; }

   private:
    std::FILE* file_ = nullptr;
    size_t records_ = 0;
};

// usbmon status of a completed URB from its IRP status and USBD status: 0, or the negative errno Linux reports for
// the same ending (-ENOENT for a cancelled URB, -ESHUTDOWN for a device that is gone, -EPIPE for a stall, ...).
int32_t usbmon_status(NTSTATUS status, LONG usbd_status);

}  // namespace sim::workbench
