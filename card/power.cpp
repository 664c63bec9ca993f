// Card power and protocol selection: the RDF_CARD_POWER and RDF_SET_PROTOCOL callbacks, with the collection of the answer to reset and its completeness check.
#include "../driver/driver.h"
#include "../protocol/packets.h"

// Time-outs of the reset and power-down requests and of each ATR packet, in milliseconds.
static constexpr LONG POWER_DOWN_TIMEOUT = 1000;
static constexpr LONG POWER_DOWN_WITHOUT_LIMIT = 0;
static constexpr LONG COLD_RESET_TIMEOUT = 50000;
static constexpr LONG WARM_RESET_TIMEOUT = 1000;
static constexpr ULONG AWAITED_RESET_TIMEOUT = 50000;
static constexpr LONG ATR_PACKET_TIMEOUT = 50000;
// Pause after each ATR packet, in 100 ns units (relative): 100 ms.
static constexpr LONGLONG ATR_PACKET_PAUSE = -1000000;

// The longest ATR the standard allows; the collection buffer has room for one more full packet beyond it.
static constexpr ULONG MAX_ATR_LENGTH = 33;
static constexpr ULONG ATR_COLLECTION_SIZE = 43;
static_assert(MAX_ATR_LENGTH + DATA_PACKET_CAPACITY <= ATR_COLLECTION_SIZE, "one packet past the limit fits");
// The first ATR packet carries at least TS and T0.
static constexpr ULONG MIN_FIRST_ATR_PIECE = 2;

// Number of bits set in each value of a nibble: how many of TAi, TBi, TCi, TDi an indicator byte announces.
static const UCHAR NibbleBitCount[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

BOOLEAN IsAtrComplete(const UCHAR* Atr, ULONG AtrLength)
{
    ULONG i = 0;
    ULONG y = 1;
    BOOLEAN more = TRUE;
    BOOLEAN tck = FALSE;

    do {
        if (i >= AtrLength) {
            return FALSE;
        }
        ++i;
        if (more && i == y) {
            // Byte i is T0 or a TDk. The walk may step onto the index just past the collected bytes; that byte has
            // not arrived and counts as zero, without being read.
            const UCHAR indicator = i < AtrLength ? Atr[i] : 0;
            y += NibbleBitCount[indicator >> 4];
            more = (indicator & 0x80) != 0;
            if ((indicator & 0x0F) != 0 && i > 1) {
                tck = TRUE;
            }
        }
    } while (i < y);

    // Byte i is the last interface byte; the historical bytes that T0 announces and the check byte follow it.
    const ULONG historical = AtrLength > 1 ? (Atr[1] & 0x0F) : 0;
    return AtrLength == i + 1 + historical + (tck ? 1 : 0);
}

static VOID SendReaderRequest(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Code, LONG Timeout)
{
    UCHAR request[READER_PACKET_SIZE];
    BuildReaderRequest(request, Code);
    (void)WritePacket(SmartcardExtension, request, Timeout);
}

// Posts the background read again after a reset that went out with WritePacketAndAwait.
static VOID RepostBackgroundRead(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN AwaitUsed)
{
    if (AwaitUsed) {
        ReleaseBackgroundRead(SmartcardExtension->ReaderExtension);
        (void)StartBackgroundRead(SmartcardExtension);
    }
}

// A reset that failed after the card was reset: the card is left powered down and marked as unusable.
static NTSTATUS FailReset(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN AwaitUsed, LONG PowerDownTimeout,
                          NTSTATUS Status)
{
    SetCardState(SmartcardExtension, SCARD_SWALLOWED);
    SendReaderRequest(SmartcardExtension, REQUEST_POWER_DOWN, PowerDownTimeout);
    RepostBackgroundRead(SmartcardExtension, AwaitUsed);
    return Status;
}

// Gathers the ATR from the reader's data packets until its structure says it is complete and SMCLIB accepts it
// (STATUS_SUCCESS, the ATR then in CardCapabilities), or the collection fails.
static NTSTATUS CollectAtr(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN AwaitUsed)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    UCHAR atr[ATR_COLLECTION_SIZE] = {};
    ULONG atrLength = 0;
    BOOLEAN firstChunk = TRUE;
    UCHAR packet[READER_PACKET_SIZE] = {};

    for (;;) {
        if (readerExtension->EventPacketReady) {
            RtlCopyMemory(packet, readerExtension->EventPacket, READER_PACKET_SIZE);
            readerExtension->EventPacketReady = FALSE;
        } else if (ReadPacket(SmartcardExtension, packet, ATR_PACKET_TIMEOUT) != STATUS_SUCCESS) {
            // A card that never starts its ATR is not a card this reader can use; one that stops halfway is late.
            return FailReset(SmartcardExtension, AwaitUsed, POWER_DOWN_TIMEOUT,
                             firstChunk ? STATUS_UNRECOGNIZED_MEDIA : STATUS_IO_TIMEOUT);
        }

        const UCHAR kind = packet[PACKET_KIND_OFFSET];
        if (kind == PACKET_KIND_DATA) {
            const ULONG count = packet[PACKET_COUNT_OFFSET];
            if (firstChunk) {
                firstChunk = FALSE;
                if (count < MIN_FIRST_ATR_PIECE) {
                    return FailReset(SmartcardExtension, AwaitUsed, POWER_DOWN_TIMEOUT, STATUS_UNRECOGNIZED_MEDIA);
                }
            }
            if (count > DATA_PACKET_CAPACITY) {
                RepostBackgroundRead(SmartcardExtension, AwaitUsed);
                return STATUS_UNRECOGNIZED_MEDIA;
            }
            RtlCopyMemory(atr + atrLength, packet + PACKET_PAYLOAD_OFFSET, count);
            atrLength += count;
        } else if (kind == PACKET_KIND_CONTROL) {
            if (!IsCardStatusPacket(packet)) {
                return FailReset(SmartcardExtension, AwaitUsed, POWER_DOWN_TIMEOUT, STATUS_IO_TIMEOUT);
            }
            if (packet[CARD_STATUS_SLOT_OFFSET] == CARD_STATUS_NO_CARD) {
                // The card left during the reset; the tracking request just completed brings the next post.
                SetCardState(SmartcardExtension, SCARD_ABSENT);
                ReleaseBackgroundRead(readerExtension);
                CompleteTrackingRequest(SmartcardExtension);
                return STATUS_NO_MEDIA;
            }
            // A card-present status between the ATR packets carries no ATR bytes.
        } else {
            RepostBackgroundRead(SmartcardExtension, AwaitUsed);
            return STATUS_NO_MEDIA;
        }

        LARGE_INTEGER pause;
        pause.QuadPart = ATR_PACKET_PAUSE;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);

        if (atrLength > MAX_ATR_LENGTH) {
            return FailReset(SmartcardExtension, AwaitUsed, POWER_DOWN_WITHOUT_LIMIT, STATUS_IO_TIMEOUT);
        }

        if (IsAtrComplete(atr, atrLength)) {
            PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
            RtlCopyMemory(card->ATR.Buffer, atr, atrLength);
            card->ATR.Length = static_cast<UCHAR>(atrLength);
            const NTSTATUS status = SmartcardUpdateCardCapabilities(SmartcardExtension);
            if (status == STATUS_SUCCESS) {
                return STATUS_SUCCESS;
            }
            if (status == STATUS_UNRECOGNIZED_MEDIA) {
                RepostBackgroundRead(SmartcardExtension, AwaitUsed);
                return STATUS_UNRECOGNIZED_MEDIA;
            }
            // Any other refusal is taken as "not yet": the collection goes on.
        }
    }
}

NTSTATUS CardPower(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;

    if (GetCardState(SmartcardExtension) == SCARD_ABSENT) {
        return STATUS_NO_MEDIA;
    }

    BOOLEAN awaitUsed = FALSE;
    const ULONG code = SmartcardExtension->MinorIoControlCode;
    if (code == SCARD_POWER_DOWN) {
        if (GetCardState(SmartcardExtension) > SCARD_PRESENT) {
            SetCardState(SmartcardExtension, SCARD_PRESENT);
        }
        card->Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        UCHAR request[READER_PACKET_SIZE];
        BuildReaderRequest(request, REQUEST_POWER_DOWN);
        return WritePacket(SmartcardExtension, request, POWER_DOWN_TIMEOUT) == STATUS_SUCCESS ? STATUS_SUCCESS
                                                                                              : STATUS_IO_TIMEOUT;
    }

    if (code == SCARD_COLD_RESET || code == SCARD_WARM_RESET) {
        UCHAR request[READER_PACKET_SIZE];
        BuildReaderRequest(request, code == SCARD_COLD_RESET ? REQUEST_COLD_RESET : REQUEST_WARM_RESET);
        NTSTATUS status;
        // A packet that the background read set aside before the reset went out is no part of this ATR.
        readerExtension->EventPacketReady = FALSE;
        // With the background read running, the reset goes out as a write-and-await so that the read hands over
        // the first ATR packet instead of taking it away from the collection.
        if (readerExtension->PollActive) {
            status = WritePacketAndAwait(SmartcardExtension, request, AWAITED_RESET_TIMEOUT);
            awaitUsed = TRUE;
            // A shutdown that broke the wait off leaves the collection to read the ATR itself; its wake is used
            // up, and must not end the next command.
            readerExtension->DeviceExtension->ShutdownSignalled = FALSE;
        } else {
            status = WritePacket(SmartcardExtension, request,
                                 code == SCARD_COLD_RESET ? COLD_RESET_TIMEOUT : WARM_RESET_TIMEOUT);
        }
        if (status != STATUS_SUCCESS) {
            return STATUS_IO_TIMEOUT;
        }
        status = CollectAtr(SmartcardExtension, awaitUsed);
        if (status != STATUS_SUCCESS) {
            return status;
        }
    }
    // Any other code returns the ATR that the card record already holds.

    if (card->Protocol.Selected == SCARD_PROTOCOL_T0 || card->Protocol.Selected == SCARD_PROTOCOL_T1) {
        SetCardState(SmartcardExtension, SCARD_SPECIFIC);
    }
    if (SmartcardExtension->IoRequest.ReplyBufferLength < card->ATR.Length) {
        // The card is reset all the same; the background read watches the slot again as after any reset.
        RepostBackgroundRead(SmartcardExtension, awaitUsed);
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, card->ATR.Buffer, card->ATR.Length);
    *SmartcardExtension->IoRequest.Information = card->ATR.Length;
    RepostBackgroundRead(SmartcardExtension, awaitUsed);
    return STATUS_SUCCESS;
}

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
    const ULONG mask = SmartcardExtension->MinorIoControlCode;

    const ULONG cardState = GetCardState(SmartcardExtension);
    if (cardState == SCARD_SPECIFIC && (card->Protocol.Selected & mask) != 0) {
        return STATUS_SUCCESS;
    }
    // A protocol is selected only for a card that is there and answered its reset: without one, the state would
    // claim a negotiated card, and a tracking request for a card would end at once with the slot empty.
    if (cardState == SCARD_ABSENT) {
        return STATUS_NO_MEDIA;
    }
    if (cardState == SCARD_SWALLOWED) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The reply is the selected protocol as a 32-bit value. A reply buffer that cannot hold it is refused before
    // anything changes, rather than written past its end.
    if (SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    const ULONG usable = mask & card->Protocol.Supported;
    if (usable & SCARD_PROTOCOL_T1) {
        card->Protocol.Selected = SCARD_PROTOCOL_T1;
    } else if (usable & SCARD_PROTOCOL_T0) {
        card->Protocol.Selected = SCARD_PROTOCOL_T0;
    } else {
        // None of the protocols asked for is one the card runs: nothing is selected and nothing changes.
        return STATUS_NOT_SUPPORTED;
    }
    SetCardState(SmartcardExtension, SCARD_SPECIFIC);

    const ULONG selected = card->Protocol.Selected;
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &selected, sizeof(selected));
    *SmartcardExtension->IoRequest.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}
