// Tests of SmartcardDeviceControl as an application meets it: checks, attributes, tracking, callbacks, serialisation.
#include <gtest/gtest.h>

#include "fake_reader.h"

namespace sim::test {
namespace {

const std::vector<UCHAR> kAtr = {0x3B, 0x02, 0x14, 0x50};

std::vector<UCHAR> io_header(ULONG length, ULONG protocol = SCARD_PROTOCOL_T1) {
    std::vector<UCHAR> bytes = ulong_bytes(protocol);
    auto pci = ulong_bytes(sizeof(SCARD_IO_REQUEST));
    bytes.insert(bytes.end(), pci.begin(), pci.end());
    bytes.resize(length, 0);
    return bytes;
}

TEST(SmclibDeviceControl, BufferSizeChecks) {
    struct Case {
        const char* what;
        ULONG code;
        std::vector<UCHAR> input;
        ULONG output;
        NTSTATUS expected;
        int callback;  // the ReaderFunction index that must (expected success) or must not run; -1 = none
    };
    const Case cases[] = {
        {"power, 3-byte minor code", IOCTL_SMARTCARD_POWER, {0, 0, 0}, 0, STATUS_INVALID_PARAMETER, RDF_CARD_POWER},
        {"power-down, no output", IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 0, STATUS_SUCCESS, RDF_CARD_POWER},
        {"attribute, 3-byte tag", IOCTL_SMARTCARD_GET_ATTRIBUTE, {0, 1, 1}, 32, STATUS_INVALID_PARAMETER, -1},
        {"vendor name, 5 of 6 bytes", IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_VENDOR_NAME), 5, STATUS_BUFFER_TOO_SMALL, -1},
        {"vendor name, exactly 6", IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_VENDOR_NAME), 6, STATUS_SUCCESS, -1},
        {"unit, 3 bytes", IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_DEVICE_UNIT), 3, STATUS_BUFFER_TOO_SMALL, -1},
        {"set attribute, no tag", IOCTL_SMARTCARD_SET_ATTRIBUTE, {}, 0, STATUS_INVALID_PARAMETER, -1},
        {"transmit, 7-byte header", IOCTL_SMARTCARD_TRANSMIT, io_header(7), 64, STATUS_INVALID_PARAMETER, RDF_TRANSMIT},
        {"transmit, 7-byte reply", IOCTL_SMARTCARD_TRANSMIT, io_header(13), 7, STATUS_BUFFER_TOO_SMALL, RDF_TRANSMIT},
        {"transmit, header sizes", IOCTL_SMARTCARD_TRANSMIT, io_header(8), 8, STATUS_SUCCESS, RDF_TRANSMIT},
        {"protocol, 3-byte mask", IOCTL_SMARTCARD_SET_PROTOCOL, {3, 0, 0}, 4, STATUS_INVALID_PARAMETER, RDF_SET_PROTOCOL},
        {"protocol, 3-byte reply", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(3), 3, STATUS_BUFFER_TOO_SMALL, RDF_SET_PROTOCOL},
        {"protocol, ULONG both", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(3), 4, STATUS_SUCCESS, RDF_SET_PROTOCOL},
        {"state, 3 bytes", IOCTL_SMARTCARD_GET_STATE, {}, 3, STATUS_BUFFER_TOO_SMALL, -1},
        {"state, 4 bytes", IOCTL_SMARTCARD_GET_STATE, {}, 4, STATUS_SUCCESS, -1},
        {"last error, 3 bytes", IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 3, STATUS_BUFFER_TOO_SMALL, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel k(1);
        {
            FakeReader r(k);
            r.card_ready();  // the card-state checks pass: only the sizes decide
            run_clean(k, [&] {
                auto res = r.ioctl(c.code, c.input, c.output);
                EXPECT_EQ(res->returned, c.expected);
                EXPECT_TRUE(res->completed);
                EXPECT_EQ(res->status, c.expected);
                if (!NT_SUCCESS(c.expected)) {
                    EXPECT_EQ(res->information, 0u);
                }
                if (c.callback >= 0) {
                    EXPECT_EQ(r.calls[c.callback], NT_SUCCESS(c.expected) ? 1 : 0);
                }
            });
        }
        EXPECT_TRUE(k.live_pool().empty()) << k.describe_live_pool();
    }
}

TEST(SmclibDeviceControl, AttributesDescribeReaderAndCard) {
    Kernel k(2);
    FakeReader r(k);
    run_clean(k, [&] {
        auto get = [&](ULONG id) { return r.ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(id), 64); };
        auto text = [](const std::shared_ptr<IoctlResult>& res) { return std::string(res->output.begin(), res->output.end()); };

        EXPECT_EQ(text(get(SCARD_ATTR_VENDOR_NAME)), "Tavelo");
        EXPECT_EQ(text(get(SCARD_ATTR_VENDOR_IFD_TYPE)), "Q-ward");
        struct Value {
            ULONG id;
            ULONG expected;
        };
        for (Value v : {Value{SCARD_ATTR_DEVICE_UNIT, 2}, Value{SCARD_ATTR_CHANNEL_ID, 0x00200002},
                        Value{SCARD_ATTR_PROTOCOL_TYPES, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1},
                        Value{SCARD_ATTR_DEFAULT_CLK, 4000}, Value{SCARD_ATTR_MAX_CLK, 4000},
                        Value{SCARD_ATTR_DEFAULT_DATA_RATE, 10752}, Value{SCARD_ATTR_MAX_DATA_RATE, 10752},
                        Value{SCARD_ATTR_MAX_IFSD, 254}, Value{SCARD_ATTR_CHARACTERISTICS, 0},
                        Value{SCARD_ATTR_CURRENT_PROTOCOL_TYPE, SCARD_PROTOCOL_UNDEFINED}}) {
            SCOPED_TRACE(v.id);
            auto res = get(v.id);
            EXPECT_EQ(res->status, STATUS_SUCCESS);
            EXPECT_EQ(res->information, 4u);
            EXPECT_EQ(ulong_at(res->output), v.expected);
        }

        EXPECT_EQ(get(SCARD_ATTR_VENDOR_IFD_VERSION)->status, STATUS_NOT_SUPPORTED);  // the driver set none
        EXPECT_EQ(get(0x7FFF0099)->status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(get(SCARD_ATTR_ATR_STRING)->status, STATUS_INVALID_DEVICE_STATE);  // no card
        EXPECT_EQ(get(SCARD_ATTR_CURRENT_IFSC)->status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(get(SCARD_ATTR_ICC_PRESENCE)->output, std::vector<UCHAR>{0});

        r.ext->VendorAttr.IfdVersion = {0x0304, 0x02, 0x01};
        std::memcpy(r.ext->CardCapabilities.ATR.Buffer, kAtr.data(), kAtr.size());
        r.ext->CardCapabilities.ATR.Length = static_cast<UCHAR>(kAtr.size());
        r.ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
        r.ext->CardCapabilities.T1.IFSC = 32;
        r.set_state(SCARD_SPECIFIC);
        EXPECT_EQ(ulong_at(get(SCARD_ATTR_VENDOR_IFD_VERSION)->output), 0x01020304u);
        EXPECT_EQ(get(SCARD_ATTR_ATR_STRING)->output, kAtr);
        EXPECT_EQ(ulong_at(get(SCARD_ATTR_CURRENT_PROTOCOL_TYPE)->output), ULONG{SCARD_PROTOCOL_T1});
        EXPECT_EQ(ulong_at(get(SCARD_ATTR_CURRENT_IFSC)->output), 32u);
        EXPECT_EQ(get(SCARD_ATTR_CURRENT_W)->status, STATUS_NOT_SUPPORTED);  // a T=0 figure, T=1 is in force
        EXPECT_EQ(get(SCARD_ATTR_ICC_PRESENCE)->output, std::vector<UCHAR>{2});
        EXPECT_EQ(r.calls[RDF_IOCTL_VENDOR], 0);
    });
}

TEST(SmclibDeviceControl, SetAttributeAcceptsOnlyWhatIsWritable) {
    Kernel k(3);
    FakeReader r(k);
    run_clean(k, [&] {
        EXPECT_EQ(r.ioctl(IOCTL_SMARTCARD_SET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_DEVICE_IN_USE), 0)->status, STATUS_SUCCESS);
        auto renamed = ulong_bytes(SCARD_ATTR_VENDOR_NAME);
        renamed.insert(renamed.end(), {'E', 'v', 'i', 'l'});
        EXPECT_EQ(r.ioctl(IOCTL_SMARTCARD_SET_ATTRIBUTE, renamed, 0)->status, STATUS_NOT_SUPPORTED);
        auto name = r.ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_VENDOR_NAME), 32)->output;
        EXPECT_EQ(std::string(name.begin(), name.end()), "Tavelo");
    });
}

TEST(SmclibDeviceControl, GetStateReportsTheCardState) {
    Kernel k(4);
    FakeReader r(k);
    run_clean(k, [&] {
        for (ULONG state : {SCARD_ABSENT, SCARD_PRESENT, SCARD_SWALLOWED, SCARD_SPECIFIC}) {
            r.set_state(state);
            auto res = r.ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4);
            EXPECT_EQ(res->information, 4u);
            EXPECT_EQ(ulong_at(res->output), state);
        }
    });
}

TEST(SmclibDeviceControl, PresenceTrackingCompletesAtOnceWhenTheConditionHolds) {
    Kernel k(5);
    FakeReader r(k);
    run_clean(k, [&] {
        EXPECT_EQ(r.ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0)->status, STATUS_SUCCESS);
        r.set_state(SCARD_PRESENT);
        auto present = r.ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        EXPECT_EQ(present->returned, STATUS_SUCCESS);
        EXPECT_TRUE(present->completed);
        EXPECT_EQ(r.calls[RDF_CARD_TRACKING], 0);
        EXPECT_EQ(r.ext->OsData->NotificationIrp, nullptr);
    });
}

TEST(SmclibDeviceControl, PresenceTrackingPendsAndRefusesASecondRequest) {
    Kernel k(6);
    FakeReader r(k);
    run_clean(k, [&] {
        r.set_state(SCARD_SPECIFIC);
        auto absent = r.ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
        EXPECT_EQ(absent->returned, STATUS_PENDING);
        EXPECT_FALSE(absent->completed);
        EXPECT_EQ(r.calls[RDF_CARD_TRACKING], 1);
        EXPECT_EQ(r.seen[RDF_CARD_TRACKING].major, ULONG{IOCTL_SMARTCARD_IS_ABSENT});
        EXPECT_EQ(r.ext->OsData->NotificationIrp, absent->irp);

        auto second = r.ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
        EXPECT_EQ(second->returned, STATUS_DEVICE_BUSY);
        EXPECT_EQ(second->status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(r.calls[RDF_CARD_TRACKING], 1);

        r.card_event(SCARD_ABSENT);
        EXPECT_TRUE(absent->completed);
        EXPECT_EQ(absent->status, STATUS_SUCCESS);

        // With the slot free again the next request is taken on.
        auto present = r.ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        EXPECT_EQ(present->returned, STATUS_PENDING);
        EXPECT_EQ(IoCancelIrp(present->irp), TRUE);
        EXPECT_EQ(present->status, STATUS_CANCELLED);
    });
    EXPECT_EQ(k.live_irps(), 0u);
}

TEST(SmclibDeviceControl, TrackingCallbackFailureCompletesTheRequest) {
    Kernel k(7);
    FakeReader r(k);
    // Arms the request like a driver and then finds that it cannot watch the card.
    r.behaviour[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION e) {
        FakeReader::arm_tracking_request(e);
        return STATUS_INVALID_DEVICE_STATE;
    };
    run_clean(k, [&] {
        auto res = r.ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        EXPECT_EQ(res->returned, STATUS_PENDING);  // marked pending before the callback ran
        EXPECT_TRUE(res->completed);
        EXPECT_EQ(res->status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(r.ext->OsData->NotificationIrp, nullptr);

        r.ext->ReaderFunction[RDF_CARD_TRACKING] = nullptr;
        EXPECT_EQ(r.ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0)->status, STATUS_NOT_SUPPORTED);
    });
}

TEST(SmclibDeviceControl, CallbacksGetTheRequestInTheExtension) {
    Kernel k(8);
    FakeReader r(k);
    r.behaviour[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION e) {
        std::memcpy(e->IoRequest.ReplyBuffer, kAtr.data(), kAtr.size());
        *e->IoRequest.Information = static_cast<ULONG>(kAtr.size());
        return STATUS_SUCCESS;
    };
    r.behaviour[RDF_SET_PROTOCOL] = [](PSMARTCARD_EXTENSION e) {
        // Found the protocol already in force: answers nothing, as a driver may.
        e->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
        return STATUS_SUCCESS;
    };
    r.behaviour[RDF_IOCTL_VENDOR] = [](PSMARTCARD_EXTENSION e) {
        e->IoRequest.ReplyBuffer[0] = static_cast<UCHAR>(e->IoRequest.RequestBuffer[0] + 1);
        *e->IoRequest.Information = 1;
        return STATUS_SUCCESS;
    };
    r.card_ready();
    run_clean(k, [&] {
        auto power = r.ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 33);
        const CallbackView& p = r.seen[RDF_CARD_POWER];
        EXPECT_EQ(p.major, ULONG{IOCTL_SMARTCARD_POWER});
        EXPECT_EQ(p.minor, ULONG{SCARD_COLD_RESET});
        EXPECT_EQ(p.request, power->system_buffer.data());
        EXPECT_EQ(p.reply, power->system_buffer.data());
        EXPECT_EQ(p.request_length, 4u);
        EXPECT_EQ(p.reply_length, 33u);
        EXPECT_TRUE(p.has_information);
        EXPECT_NE(p.current_irp, nullptr);
        EXPECT_EQ(power->output, kAtr);

        auto protocol = r.ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_Tx), 4);
        EXPECT_EQ(r.seen[RDF_SET_PROTOCOL].minor, ULONG{SCARD_PROTOCOL_Tx});
        EXPECT_EQ(protocol->information, 4u);
        EXPECT_EQ(ulong_at(protocol->output), ULONG{SCARD_PROTOCOL_T1});

        const ULONG vendor_code = SCARD_CTL_CODE(3400);
        auto vendor = r.ioctl(vendor_code, {41}, 8);
        EXPECT_EQ(r.seen[RDF_IOCTL_VENDOR].major, vendor_code);
        EXPECT_EQ(vendor->output, std::vector<UCHAR>{42});
        EXPECT_EQ(r.ext->OsData->CurrentIrp, nullptr);

        r.ext->ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
        r.ext->ReaderFunction[RDF_TRANSMIT] = nullptr;
        EXPECT_EQ(r.ioctl(vendor_code, {}, 0)->status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(r.ioctl(IOCTL_SMARTCARD_TRANSMIT, io_header(12), 64)->status, STATUS_NOT_SUPPORTED);
    });
}

// The card-state checks the library makes before it calls the power, protocol and transmit callbacks. A refusal
// reaches no callback and leaves the card state and the selected protocol as they were; a request that passes
// reaches its callback once.
TEST(SmclibDeviceControl, CardStateChecksBeforeTheCallbacks) {
    const ULONG kTx = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    struct Case {
        const char* what;
        ULONG code;
        std::vector<UCHAR> input;
        ULONG state;
        ULONG selected;
        ULONG supported;  // the protocols of the card's last ATR; 0: none accepted yet
        NTSTATUS expected;
    };
    const Case cases[] = {
        // Power: only a card in the slot.
        {"cold reset, no card", IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), SCARD_ABSENT, 0, 0, STATUS_NO_MEDIA},
        {"power-down, no card", IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), SCARD_ABSENT, 0, 0, STATUS_NO_MEDIA},
        {"warm reset, state unknown", IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), SCARD_UNKNOWN, 0, 0, STATUS_NO_MEDIA},
        {"cold reset, card inserted", IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), SCARD_PRESENT, 0, 0, STATUS_SUCCESS},
        {"cold reset, card not powered", IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), SCARD_SWALLOWED, 0, kTx, STATUS_SUCCESS},
        {"power-down, protocol in force", IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), SCARD_SPECIFIC, SCARD_PROTOCOL_T1, kTx, STATUS_SUCCESS},
        // Protocol: a mask that names a protocol, a card, powered, that offers one of them.
        {"T=1, no card", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), SCARD_ABSENT, 0, 0, STATUS_NO_MEDIA},
        {"T=1, no card, an earlier card's protocols left", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), SCARD_ABSENT, SCARD_PROTOCOL_T1, kTx, STATUS_NO_MEDIA},
        {"optimal bit only", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_OPTIMAL), SCARD_PRESENT, 0, kTx, STATUS_INVALID_DEVICE_REQUEST},
        {"default bit only", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_DEFAULT), SCARD_PRESENT, 0, kTx, STATUS_INVALID_DEVICE_REQUEST},
        {"unknown bits only", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(0x00000104), SCARD_PRESENT, 0, kTx, STATUS_INVALID_DEVICE_REQUEST},
        {"unknown bits only, no card", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(0x00000104), SCARD_ABSENT, 0, 0, STATUS_INVALID_DEVICE_REQUEST},
        {"T=1, card not powered", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), SCARD_SWALLOWED, 0, kTx, STATUS_INVALID_DEVICE_STATE},
        {"T=0, card offers T=1 only", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T0), SCARD_PRESENT, 0, SCARD_PROTOCOL_T1, STATUS_NOT_SUPPORTED},
        {"raw, card offers T=0 and T=1", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_RAW), SCARD_PRESENT, 0, kTx, STATUS_NOT_SUPPORTED},
        {"T=0, T=1 in force on a T=1 card", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T0), SCARD_SPECIFIC, SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1, STATUS_NOT_SUPPORTED},
        {"T=0 or T=1 with the default bit, card offers T=1", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_DEFAULT | kTx), SCARD_PRESENT, 0, SCARD_PROTOCOL_T1, STATUS_SUCCESS},
        {"T=1 and unknown bits, card offers T=1", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(0x00000104 | SCARD_PROTOCOL_T1), SCARD_PRESENT, 0, kTx, STATUS_SUCCESS},
        {"T=1, awaiting negotiation", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), SCARD_NEGOTIABLE, 0, kTx, STATUS_SUCCESS},
        {"T=1, no ATR accepted yet: the callback decides", IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), SCARD_PRESENT, 0, 0, STATUS_SUCCESS},
        // Transmit: a card, a protocol in force, and the request in that protocol.
        {"T=1 header, no card", IOCTL_SMARTCARD_TRANSMIT, io_header(12), SCARD_ABSENT, 0, 0, STATUS_NO_MEDIA},
        {"T=1 header, no card, T=1 left from an earlier card", IOCTL_SMARTCARD_TRANSMIT, io_header(12), SCARD_ABSENT, SCARD_PROTOCOL_T1, kTx, STATUS_NO_MEDIA},
        {"T=1 header, card reset, no protocol selected", IOCTL_SMARTCARD_TRANSMIT, io_header(12), SCARD_PRESENT, 0, kTx, STATUS_INVALID_DEVICE_STATE},
        {"T=1 header, awaiting negotiation", IOCTL_SMARTCARD_TRANSMIT, io_header(12), SCARD_NEGOTIABLE, 0, kTx, STATUS_INVALID_DEVICE_STATE},
        {"T=1 header, card not powered, T=1 left selected", IOCTL_SMARTCARD_TRANSMIT, io_header(12), SCARD_SWALLOWED, SCARD_PROTOCOL_T1, kTx, STATUS_INVALID_DEVICE_STATE},
        {"T=0 header, T=1 in force", IOCTL_SMARTCARD_TRANSMIT, io_header(12, SCARD_PROTOCOL_T0), SCARD_SPECIFIC, SCARD_PROTOCOL_T1, kTx, STATUS_INVALID_DEVICE_STATE},
        {"raw header, T=1 in force", IOCTL_SMARTCARD_TRANSMIT, io_header(12, SCARD_PROTOCOL_RAW), SCARD_SPECIFIC, SCARD_PROTOCOL_T1, kTx, STATUS_INVALID_DEVICE_STATE},
        {"undefined header, T=1 in force", IOCTL_SMARTCARD_TRANSMIT, io_header(12, SCARD_PROTOCOL_UNDEFINED), SCARD_SPECIFIC, SCARD_PROTOCOL_T1, kTx, STATUS_INVALID_DEVICE_STATE},
        {"T=1 header, T=1 in force", IOCTL_SMARTCARD_TRANSMIT, io_header(12), SCARD_SPECIFIC, SCARD_PROTOCOL_T1, kTx, STATUS_SUCCESS},
        {"T=0 header, T=0 in force", IOCTL_SMARTCARD_TRANSMIT, io_header(12, SCARD_PROTOCOL_T0), SCARD_SPECIFIC, SCARD_PROTOCOL_T0, kTx, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int index = c.code == IOCTL_SMARTCARD_POWER ? RDF_CARD_POWER
                    : c.code == IOCTL_SMARTCARD_SET_PROTOCOL ? RDF_SET_PROTOCOL
                                                             : RDF_TRANSMIT;
        Kernel k(11);
        {
            FakeReader r(k);
            r.behaviour[RDF_SET_PROTOCOL] = [](PSMARTCARD_EXTENSION e) {
                ULONG usable = e->MinorIoControlCode & SCARD_PROTOCOL_Tx;
                e->CardCapabilities.Protocol.Selected = usable & SCARD_PROTOCOL_T1 ? SCARD_PROTOCOL_T1 : usable;
                e->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
                return STATUS_SUCCESS;
            };
            r.ext->CardCapabilities.Protocol.Selected = c.selected;
            r.ext->CardCapabilities.Protocol.Supported = c.supported;
            r.set_state(c.state);
            run_clean(k, [&] {
                auto res = r.ioctl(c.code, c.input, 64);
                EXPECT_TRUE(res->completed);
                EXPECT_EQ(res->status, c.expected);
                EXPECT_EQ(r.calls[index], NT_SUCCESS(c.expected) ? 1 : 0);
                if (!NT_SUCCESS(c.expected)) {
                    EXPECT_EQ(res->information, 0u);
                    EXPECT_EQ(r.ext->ReaderCapabilities.CurrentState, c.state) << "a refusal changes no state";
                    EXPECT_EQ(r.ext->CardCapabilities.Protocol.Selected, c.selected);
                }
            });
        }
        EXPECT_TRUE(k.live_pool().empty()) << k.describe_live_pool();
    }
}

TEST(SmclibDeviceControl, ResetAnswersWithTheAtrTheCallbackRecorded) {
    Kernel k(9);
    FakeReader r(k);
    r.behaviour[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION e) {
        std::memcpy(e->CardCapabilities.ATR.Buffer, kAtr.data(), kAtr.size());
        e->CardCapabilities.ATR.Length = static_cast<UCHAR>(kAtr.size());
        return STATUS_SUCCESS;
    };
    r.set_state(SCARD_PRESENT);
    run_clean(k, [&] {
        EXPECT_EQ(r.ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), 33)->output, kAtr);
        EXPECT_EQ(r.ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), 3)->status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 33)->information, 0u);
    });
}

TEST(SmclibDeviceControl, ReplyLongerThanTheOutputBufferIsAVerifierStop) {
    Kernel k(10);
    FakeReader r(k);
    r.behaviour[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION e) {
        *e->IoRequest.Information = e->IoRequest.ReplyBufferLength + 1;
        return STATUS_SUCCESS;
    };
    r.card_ready();
    EXPECT_EQ(k.run_thread("app", [&] { r.ioctl(IOCTL_SMARTCARD_TRANSMIT, io_header(12), 16); }), RunOutcome::bugcheck);
    EXPECT_EQ(k.bug_check_rule(), "SMCLIB_REPLY_OVERRUN");
}

// Two applications transmit at once; the reader's callback blocks for a while each time. The callbacks must
// run one after the other whatever order the scheduler picks, while the card state stays readable.
TEST(SmclibDeviceControl, OneCallbackAtATimePerReader) {
    for (uint64_t seed = 1; seed <= 25; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Kernel k(seed);
        FakeReader r(k);
        int active = 0;
        int most_active = 0;
        VirtualTime last_callback_end = 0;
        VirtualTime state_answered_at = -1;
        r.behaviour[RDF_TRANSMIT] = [&](PSMARTCARD_EXTENSION e) {
            most_active = std::max(most_active, ++active);
            LARGE_INTEGER delay;
            delay.QuadPart = -from_ms(10);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            --active;
            last_callback_end = k.now();
            *e->IoRequest.Information = 8;
            return STATUS_SUCCESS;
        };
        r.card_ready();
        std::shared_ptr<IoctlResult> results[2];
        for (int i = 0; i < 2; ++i) {
            k.spawn("app " + std::to_string(i), [&, i] { results[i] = r.ioctl(IOCTL_SMARTCARD_TRANSMIT, io_header(12), 64); });
        }
        k.spawn("monitor", [&] {
            LARGE_INTEGER delay;
            delay.QuadPart = -from_ms(5);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            r.ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4);
            state_answered_at = k.now();
        });
        EXPECT_EQ(k.run(), RunOutcome::completed) << k.bug_check_report();
        EXPECT_EQ(most_active, 1);
        EXPECT_EQ(r.calls[RDF_TRANSMIT], 2);
        for (auto& res : results) EXPECT_EQ(res->status, STATUS_SUCCESS);
        EXPECT_GE(last_callback_end, from_ms(20));
        EXPECT_LT(state_answered_at, from_ms(10));
    }
}

}  // namespace
}  // namespace sim::test
