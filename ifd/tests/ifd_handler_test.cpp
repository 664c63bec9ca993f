// Tests of the reader driver through its C entry points, called as pcscd calls them: channel creation boots the machine and plugs the reader in, power, protocol, transmit, attributes, presence and the polling thread's wait, the PIN pad controls in both code forms, a vicc card, and the close that unloads the driver with the leak check.
extern "C" {
#include <PCSC/ifdhandler.h>
}
#include <PCSC/reader.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ifd/host.h"
#include "ifd/log.h"
#include "ifd/tlv_properties.h"
#include "reader/vicc_card/emulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr DWORD kLun = 0x00000;
constexpr DWORD kSecondLun = 0x10000;
constexpr uint32_t kWindowsFeatureRequest = 0x313520;
constexpr uint32_t kWindowsTlvProperties = 0x313888;  // function 3618

using Polling = RESPONSECODE (*)(DWORD, int);
using StopPolling = RESPONSECODE (*)(DWORD);

// Collects the driver's log lines.
struct LogCapture {
    LogCapture() {
        sim::ifd::set_log_observer([this](sim::ifd::LogLevel level, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back({level, text});
        });
    }
    ~LogCapture() { sim::ifd::set_log_observer({}); }
    bool contains(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& [level, line] : lines) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::string critical() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string out;
        for (auto& [level, line] : lines) {
            if (level == sim::ifd::LogLevel::critical) out += line + "\n";
        }
        return out;
    }
    std::mutex mutex;
    std::vector<std::pair<sim::ifd::LogLevel, std::string>> lines;
};

// The threads of this process other than the main one that would take SIGINT or SIGTERM (from /proc).
std::vector<std::string> threads_taking_stop_signals() {
    std::vector<std::string> found;
    const std::string main_thread = std::to_string(::getpid());
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string tid = task.path().filename().string();
        if (tid == main_thread) continue;
        std::ifstream status(task.path() / "status");
        std::string line, name;
        while (std::getline(status, line)) {
            if (line.rfind("Name:", 0) == 0) name = line.substr(5);
            if (line.rfind("SigBlk:", 0) != 0) continue;
            const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
            const unsigned long long stop = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
            if ((blocked & stop) != stop) found.push_back(tid + name);
        }
    }
    return found;
}

RESPONSECODE open_channel(DWORD lun, const char* settings) {
    std::string name = std::string("\"tavelo: ") + settings + "\"";
    return IFDHCreateChannelByName(lun, name.data());
}

Bytes power_up(DWORD lun) {
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    if (IFDHPowerICC(lun, IFD_POWER_UP, atr, &length) != IFD_SUCCESS) return {};
    return Bytes(atr, atr + length);
}

RESPONSECODE transmit(DWORD lun, const Bytes& apdu, Bytes& response, DWORD room = 258) {
    SCARD_IO_HEADER send{1, 8};
    SCARD_IO_HEADER receive{};
    response.assign(room, 0);
    DWORD length = room;
    RESPONSECODE code = IFDHTransmitToICC(lun, send, const_cast<PUCHAR>(apdu.data()), static_cast<DWORD>(apdu.size()),
                                          response.data(), &length, &receive);
    response.resize(length);
    return code;
}

RESPONSECODE control(DWORD lun, DWORD code, const Bytes& input, Bytes& output, DWORD room = 256) {
    output.assign(room, 0);
    DWORD returned = 0;
    RESPONSECODE result = IFDHControl(lun, code, const_cast<PUCHAR>(input.data()), static_cast<DWORD>(input.size()),
                                      output.data(), room, &returned);
    output.resize(returned);
    return result;
}

uint32_t feature_code(const Bytes& list, uint8_t tag) {
    for (size_t i = 0; i + 6 <= list.size(); i += 6) {
        if (list[i] == tag) return static_cast<uint32_t>(list[i + 2]) << 24 | list[i + 3] << 16 | list[i + 4] << 8 | list[i + 5];
    }
    return 0;
}

template <typename Function>
Function capability_function(DWORD tag) {
    Function fn = nullptr;
    DWORD length = sizeof fn;
    EXPECT_EQ(IFDHGetCapabilities(kLun, tag, &length, reinterpret_cast<PUCHAR>(&fn)), IFD_SUCCESS);
    EXPECT_EQ(length, sizeof fn);
    return fn;
}

const Bytes kIsoAtr = {0x3B, 0x86, 0x80, 0x31, 0xFE, 0x45, 0x51, 0x2D, 0x77, 0x61, 0x72, 0x64, 0xF0};

TEST(IfdHandler, AReaderFromChannelCreationToTheLeakCheck) {
    LogCapture log;
    ASSERT_EQ(open_channel(kLun, "card=iso bus=fast keypad=1234 key-delay=20 first-key=50"), IFD_SUCCESS);
    EXPECT_TRUE(sim::ifd::Host::instance().machine_running());
    EXPECT_TRUE(log.contains("Loaded Tavelo USB Driver")) << "the driver's load banner reaches the log";

    UCHAR value[64];
    DWORD length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_SLOTS_NUMBER, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(value[0], 1);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_POLLING_THREAD_KILLABLE, &length, value), IFD_SUCCESS);
    EXPECT_EQ(value[0], 0) << "the polling thread is stopped by cancelling its wait, not killed";

    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_EQ(power_up(kLun), kIsoAtr);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
    EXPECT_EQ(Bytes(value, value + length), kIsoAtr);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_VENDOR_NAME, &length, value), IFD_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(value), strnlen(reinterpret_cast<char*>(value), length)), "Tavelo");
    length = 2;
    EXPECT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_VENDOR_NAME, &length, value), IFD_ERROR_INSUFFICIENT_BUFFER);
    length = sizeof value;
    EXPECT_EQ(IFDHGetCapabilities(kLun, 0x0FFF, &length, value), IFD_ERROR_TAG);

    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    Bytes response;
    ASSERT_EQ(transmit(kLun, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, response), IFD_SUCCESS);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    ASSERT_EQ(transmit(kLun, {0x00, 0x84, 0x00, 0x00, 0x08}, response), IFD_SUCCESS);
    EXPECT_EQ(response.size(), 10u);
    EXPECT_EQ(transmit(kLun, {0x00, 0x84, 0x00, 0x00, 0x08}, response, 4), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(response.empty());

    // The feature list in the form the client used, and a code the driver does not serve.
    Bytes features;
    ASSERT_EQ(control(kLun, CM_IOCTL_GET_FEATURE_REQUEST, {}, features), IFD_SUCCESS);
    ASSERT_EQ(features.size(), 42u) << "the driver's six features and the library's TLV properties";
    EXPECT_EQ(feature_code(features, FEATURE_VERIFY_PIN_DIRECT), SCARD_CTL_CODE(3505));
    EXPECT_EQ(feature_code(features, FEATURE_GET_TLV_PROPERTIES), SCARD_CTL_CODE(3618));
    EXPECT_EQ(feature_code(features, FEATURE_IFD_PIN_PROPERTIES), SCARD_CTL_CODE(3508));
    Bytes windows;
    ASSERT_EQ(control(kLun, kWindowsFeatureRequest, {}, windows), IFD_SUCCESS);
    EXPECT_EQ(feature_code(windows, FEATURE_VERIFY_PIN_DIRECT), 0x3136C4u);
    Bytes properties;
    ASSERT_EQ(control(kLun, feature_code(features, FEATURE_IFD_PIN_PROPERTIES), {}, properties), IFD_SUCCESS);
    EXPECT_EQ(properties, (Bytes{0x10, 0x02, 0x07, 0x1E}));
    Bytes refused;
    EXPECT_EQ(control(kLun, SCARD_CTL_CODE(3000), {}, refused), IFD_ERROR_NOT_SUPPORTED);

    // The person at the keypad types 1234 into an 8-byte field of FFs; the ISO card takes the FF padding.
    Bytes block = {30, 0, 0x82, 0x08, 0x00, 8, 4, 0x02, 1, 0x09, 0x04, 0, 0, 0, 0, 13, 0, 0, 0,
                   0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Bytes verified;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(control(kLun, feature_code(features, FEATURE_VERIFY_PIN_DIRECT), block, verified), IFD_SUCCESS);
    EXPECT_EQ(verified, (Bytes{0x90, 0x00}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms + 4 * 20ms) << "the keystrokes take real time";

    // The polling thread's wait: it runs into its time-out while nothing changes, and a stop ends it at once.
    auto wait = capability_function<Polling>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
    auto stop = capability_function<StopPolling>(TAG_IFD_STOP_POLLING_THREAD);
    ASSERT_TRUE(wait && stop);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(kLun, 150), IFD_SUCCESS);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 140ms);
    EXPECT_LT(waited, 2s);
    std::thread poller([&] { EXPECT_EQ(wait(kLun, 60'000), IFD_SUCCESS); });
    std::this_thread::sleep_for(200ms);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(stop(kLun), IFD_SUCCESS);
    poller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
    EXPECT_NE(transmit(kLun, {0x00, 0x84, 0x00, 0x00, 0x08}, response), IFD_SUCCESS) << "the card is unpowered";
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_FALSE(sim::ifd::Host::instance().machine_running());
    EXPECT_TRUE(log.contains("verifier leak check passed")) << log.critical();
    EXPECT_EQ(log.critical(), "");
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE) << "calls after the close find no reader";
}

// The reader's TLV properties: offered in the feature list and answered in both code forms, refused into a buffer
// too small without harm, and the PIN length limits they give are the ones the driver's PIN entry keeps.
TEST(IfdHandler, TlvPropertiesInBothCodeFormsAndTheDriversPinLimits) {
    LogCapture log;
    ASSERT_EQ(open_channel(kLun, "card=openpgp bus=fast keypad=123456 key-delay=10 first-key=20"), IFD_SUCCESS);
    ASSERT_EQ(power_up(kLun), (Bytes{0x3B, 0xDA, 0x11, 0xFF, 0x81, 0xB1, 0xFE, 0x55, 0x1F, 0x03, 0x00,
                                      0x31, 0x84, 0x73, 0x80, 0x01, 0x80, 0x00, 0x90, 0x00, 0xE4}));
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);

    // wLcdLayout 0210 (16 characters, 2 lines), bEntryValidationCondition 07, bTimeOut2 30 s, PINs of 4 to 16
    // digits, the reader's version text, no PIN pad commands through the card channel, short APDUs only, and the
    // USB IDs of the simulated reader (0000 and 0000).
    const std::string firmware = "Q-ward 2.04";
    Bytes expected = {0x01, 0x02, 0x10, 0x02, 0x02, 0x01, 0x07, 0x03, 0x01, 0x1E, 0x06, 0x01, 0x04, 0x07, 0x01, 0x10,
                      0x08, static_cast<uint8_t>(firmware.size())};
    expected.insert(expected.end(), firmware.begin(), firmware.end());
    const Bytes tail = {0x09, 0x01, 0x00, 0x0A, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x02, 0x00, 0x00, 0x0C, 0x02, 0x00, 0x00};
    expected.insert(expected.end(), tail.begin(), tail.end());

    struct Form {
        const char* name;
        DWORD feature_request;
        uint32_t tlv_code;  // the code the feature list gives in that form
    };
    const Form forms[] = {{"Linux form", CM_IOCTL_GET_FEATURE_REQUEST, SCARD_CTL_CODE(3618)},
                          {"Windows form", kWindowsFeatureRequest, kWindowsTlvProperties}};
    for (const Form& form : forms) {
        SCOPED_TRACE(form.name);
        Bytes features;
        ASSERT_EQ(control(kLun, form.feature_request, {}, features), IFD_SUCCESS);
        ASSERT_EQ(features.size(), 42u);
        EXPECT_EQ(feature_code(features, FEATURE_GET_TLV_PROPERTIES), form.tlv_code);
        // Room for the driver's six entries alone is too small now; nothing comes back.
        EXPECT_EQ(control(kLun, form.feature_request, {}, features, 36), IFD_ERROR_INSUFFICIENT_BUFFER);
        EXPECT_TRUE(features.empty());
        Bytes properties;
        ASSERT_EQ(control(kLun, form.tlv_code, {}, properties), IFD_SUCCESS);
        EXPECT_EQ(properties, expected);
        EXPECT_EQ(control(kLun, form.tlv_code, {}, properties, static_cast<DWORD>(expected.size() - 1)),
                  IFD_ERROR_INSUFFICIENT_BUFFER);
        EXPECT_TRUE(properties.empty());
        ASSERT_EQ(control(kLun, form.tlv_code, {}, properties, static_cast<DWORD>(expected.size())), IFD_SUCCESS)
            << "an exact fit, after the refusal";
        EXPECT_EQ(properties, expected);
    }
    // Middleware asks readers with an empty slot too (OpenSC, when it lists the readers): the same answer.
    ASSERT_EQ(open_channel(kSecondLun, "card=none bus=fast"), IFD_SUCCESS);
    Bytes empty_slot;
    ASSERT_EQ(control(kSecondLun, SCARD_CTL_CODE(3618), {}, empty_slot), IFD_SUCCESS);
    EXPECT_EQ(empty_slot, expected);
    EXPECT_EQ(IFDHCloseChannel(kSecondLun), IFD_SUCCESS);
    EXPECT_EQ(sim::ifd::Host::instance().ioctl(kLun, sim::ifd::kTlvPropertiesCode, {}, 256).status, 0xC000000Du)
        << "the driver itself refuses the code (STATUS_INVALID_PARAMETER): it serves no feature of that number";

    // PIN entries set up for the largest and smallest maximum the properties give, and one past each: the driver
    // takes the first two and refuses the others with 6B 80. The person types 123456; with a maximum of 4 the keypad
    // takes the first four digits, a wrong PIN for the card, which the right one then makes good.
    struct Entry {
        uint8_t max;
        uint8_t min;
        Bytes answer;
    };
    Bytes selected;
    ASSERT_EQ(transmit(kLun, {0x00, 0xA4, 0x04, 0x00, 0x06, 0xD2, 0x76, 0x00, 0x01, 0x24, 0x01}, selected), IFD_SUCCESS);
    ASSERT_EQ(selected, (Bytes{0x90, 0x00}));
    const Entry entries[] = {
        {sim::ifd::kMaxPinSize + 1, 6, {0x6B, 0x80}},
        {sim::ifd::kMinPinSize - 1, 1, {0x6B, 0x80}},
        {sim::ifd::kMinPinSize, sim::ifd::kMinPinSize, {0x63, 0xC2}},
        {sim::ifd::kMaxPinSize, 6, {0x90, 0x00}},
    };
    for (const Entry& entry : entries) {
        SCOPED_TRACE(testing::Message() << "maximum " << int(entry.max));
        // ASCII digits in bytes at offset 0, a PIN field as long as the PIN, VERIFY 00 20 00 81 with Lc 0: the
        // reader appends the digits and sets Lc (what OpenSC sends for an OpenPGP card).
        Bytes block = {30, 0, 0x82, 0x00, 0x00, entry.max, entry.min, 0x02, 1, 0x09, 0x04, 0, 0, 0, 0, 5, 0, 0, 0,
                       0x00, 0x20, 0x00, 0x81, 0x00};
        Bytes answer;
        ASSERT_EQ(control(kLun, SCARD_CTL_CODE(3505), block, answer), IFD_SUCCESS);
        EXPECT_EQ(answer, entry.answer);
    }

    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_TRUE(log.contains("verifier leak check passed")) << log.critical();
    EXPECT_EQ(log.critical(), "");
}

TEST(IfdHandler, BadSettingsFailTheChannelAndLeaveNothingRunning) {
    LogCapture log;
    for (const char* settings : {"card=vicc:0", "colour=blue", "card=no-such-card"}) {
        SCOPED_TRACE(settings);
        EXPECT_EQ(open_channel(kLun, settings), IFD_COMMUNICATION_ERROR);
        EXPECT_FALSE(sim::ifd::Host::instance().machine_running());
        EXPECT_FALSE(sim::ifd::Host::instance().has_reader(kLun));
    }
    EXPECT_TRUE(log.contains("no built-in card is called 'no-such-card'"));
    EXPECT_FALSE(log.contains("BUG CHECK"));
}

// A free loopback port for a vicc reader to listen on.
uint16_t free_loopback_port() {
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), size), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(probe);
    return ntohs(address.sin_port);
}

using Emulator = sim::test::ViccEmulator;
using sim::test::connect_to;

const Bytes kViccAtr = {0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B};

// A card emulator on the vsmartcard protocol: connects, answers the ATR and one APDU, and hangs up.
TEST(IfdHandler, ViccCardComesAndGoesWithItsConnection) {
    LogCapture log;
    const uint16_t port = free_loopback_port();
    const std::string settings = "card=vicc:" + std::to_string(port) + " bus=fast";
    ASSERT_EQ(open_channel(kLun, settings.c_str()), IFD_SUCCESS);
    ASSERT_EQ(open_channel(kSecondLun, "card=openpgp"), IFD_SUCCESS) << "a second reader on the same machine";
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHICCPresence(kSecondLun), IFD_ICC_PRESENT);
    // The machine's thread and the vicc listener leave pcscd's stop signals to pcscd, which stops only when the
    // thread it expects takes them.
    const std::vector<std::string> takers = threads_taking_stop_signals();
    EXPECT_TRUE(takers.empty()) << takers.size() << " thread(s) of the library would take SIGINT or SIGTERM, first: "
                                << (takers.empty() ? "" : takers.front());

    auto wait = capability_function<Polling>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
    std::unique_ptr<Emulator> emulator;
    std::thread card([&] {
        std::this_thread::sleep_for(100ms);
        emulator = std::make_unique<Emulator>(connect_to(port));
        ASSERT_TRUE(emulator->connected());
        // Power on and get-ATR, then one APDU: answer each frame as it comes.
        emulator->power_on(kViccAtr);
        EXPECT_EQ(emulator->frame(), (Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}));
        emulator->answer({0x90, 0x00});
    });
    // The polling thread sees the insertion.
    EXPECT_EQ(wait(kLun, 5000), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_EQ(power_up(kLun), kViccAtr);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    Bytes response;
    EXPECT_EQ(transmit(kLun, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, response), IFD_SUCCESS);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    card.join();
    // pcscd's polling thread is told the card is there; the card goes before that thread waits again, and another
    // thread (a client's power-up) finds it gone meanwhile. The wait ends at once: it waits for a change from what
    // the polling thread was told, not from the state it finds.
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    emulator->hang_up();
    std::this_thread::sleep_for(300ms);
    std::thread([] { EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT); }).join();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(kLun, 5000), IFD_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the removal before the wait was missed";
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);

    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_TRUE(sim::ifd::Host::instance().machine_running()) << "the other reader keeps the machine going";
    EXPECT_EQ(IFDHICCPresence(kSecondLun), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHCloseChannel(kSecondLun), IFD_SUCCESS);
    EXPECT_FALSE(sim::ifd::Host::instance().machine_running());
    EXPECT_TRUE(log.contains("verifier leak check passed")) << log.critical();
}

// A card swapped while pcscd's polling thread waits for it to go (an emulator that reconnects at once): the
// thread's next look is told the card is absent, once, so that pcscd closes the old card's session and then powers
// up the new card instead of taking it for the one it powered before.
TEST(IfdHandler, ASwappedCardIsReportedGoneOnceBeforeTheNewOne) {
    LogCapture log;
    const uint16_t port = free_loopback_port();
    const std::string settings = "card=vicc:" + std::to_string(port) + " bus=fast";
    ASSERT_EQ(open_channel(kLun, settings.c_str()), IFD_SUCCESS);
    auto wait = capability_function<Polling>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
    const Bytes second_atr = {0x3B, 0x02, 0x14, 0x50};

    auto first = std::make_unique<Emulator>(connect_to(port));
    ASSERT_TRUE(first->connected());
    EXPECT_EQ(wait(kLun, 5000), IFD_SUCCESS);
    ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    std::thread powering([&] { first->power_on(kViccAtr); });
    EXPECT_EQ(power_up(kLun), kViccAtr);
    powering.join();

    // The polling thread waits for the card to go; the emulator goes and another comes at once.
    std::unique_ptr<Emulator> second;
    std::thread swap([&] {
        std::this_thread::sleep_for(200ms);
        first->hang_up();
        second = std::make_unique<Emulator>(connect_to(port));
        EXPECT_TRUE(second->connected());
    });
    EXPECT_EQ(wait(kLun, 5000), IFD_SUCCESS);
    swap.join();
    std::this_thread::sleep_for(300ms);  // the new card is in the slot by now
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT) << "the swap must reach pcscd as a removal first";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(kLun, 5000), IFD_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the new card is there: the wait ends at once";
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT) << "told once only";
    std::thread powering_second([&] { second->power_on(second_atr); });
    EXPECT_EQ(power_up(kLun), second_atr);
    powering_second.join();

    second->hang_up();
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_TRUE(log.contains("verifier leak check passed")) << log.critical();
}

}  // namespace
