// The reader command exchange: command header and data out, the answer header and answer data back, and the reactions to a card pulled, a failed or cancelled background read and a shutdown.
#include "../driver/driver.h"
#include "../protocol/packets.h"

// Write and read time-outs of the exchange, in milliseconds; 0 means no limit for the awaited writes.
static constexpr LONG HEADER_WRITE_TIMEOUT = 50000;
static constexpr LONG DATA_WRITE_TIMEOUT = 10000;
static constexpr LONG ABORT_WRITE_TIMEOUT = 1000;
static constexpr LONG FIRST_ANSWER_READ_TIMEOUT = 10000;
static constexpr LONG ANSWER_DATA_READ_TIMEOUT = 50000;
static constexpr ULONG AWAIT_WITHOUT_LIMIT = 0;
// After a command is given up: how long the pipe must stay quiet before the reader counts as having nothing more
// to send for it, and how many packets are dropped at most (the longest answer is 44 packets).
static constexpr LONG LATE_ANSWER_QUIET_TIMEOUT = 100;
static constexpr ULONG LATE_ANSWER_PACKET_LIMIT = 64;

// Tells the reader to drop the command it is working on, after the driver has stopped waiting for its answer.
// The write's result does not matter: the driver gives up on the command either way.
static VOID SendAbortCommand(PSMARTCARD_EXTENSION SmartcardExtension)
{
    UCHAR abort[READER_PACKET_SIZE] = {PACKET_KIND_HEADER, COMMAND_HEADER_COUNT, COMMAND_ABORT, 0, 0, 0, 0, 0};
    (void)WritePacket(SmartcardExtension, abort, ABORT_WRITE_TIMEOUT);
}

// Gives up on a command whose answer did not come in time or came malformed. The reader is told to drop the
// command, and what it already sent of an answer is read and dropped until the pipe is quiet: left on the pipe,
// those packets would be taken for the answer to the next command.
static VOID AbandonCommand(PSMARTCARD_EXTENSION SmartcardExtension)
{
    SendAbortCommand(SmartcardExtension);
    UCHAR packet[READER_PACKET_SIZE];
    for (ULONG dropped = 0; dropped < LATE_ANSWER_PACKET_LIMIT; ++dropped) {
        if (ReadPacket(SmartcardExtension, packet, LATE_ANSWER_QUIET_TIMEOUT) != STATUS_SUCCESS) {
            return;
        }
    }
}

// A read that is still outstanding (a waiter woken by the shutdown handler, or by the drop of an answer after a
// card removal, leaves it posted) keeps its PollActive: clearing it would let a second read be posted into the
// same EventPacket.
VOID ReleaseBackgroundRead(PREADER_EXTENSION ReaderExtension)
{
    if (ReaderExtension->DeviceExtension->PollIrp == NULL) {
        ReaderExtension->PollActive = FALSE;
    }
}

// The end of every exchange that does not bail out early: a background read that this exchange used is posted
// again, so that card events and the next answer are caught.
static NTSTATUS FinishExchange(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN AwaitUsed, NTSTATUS Status)
{
    if (AwaitUsed) {
        ReleaseBackgroundRead(SmartcardExtension->ReaderExtension);
        (void)StartBackgroundRead(SmartcardExtension);
    }
    return Status;
}

// A packet write that failed did not reach the reader: it could not be built, there was no pipe, the bus driver
// failed it, or the reader did not take it within the time-out. The exchange cannot go on, since the answer it
// would wait for will never come. Once part of the command has gone out, the reader is told to drop it. The
// time-out is reported as the exchange's own.
static NTSTATUS EndAfterFailedWrite(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN CommandStarted,
                                    BOOLEAN AwaitUsed, NTSTATUS Status)
{
    if (CommandStarted) {
        SendAbortCommand(SmartcardExtension);
    }
    return FinishExchange(SmartcardExtension, AwaitUsed, Status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : Status);
}

// A kind-2 packet where an answer packet was due. The card-absent status means the card was pulled while the
// reader worked on the command: the state changes, the tracking request learns of it, and the background read is
// left for the next tracking request to post. Any other reader status has no place in an answer.
static NTSTATUS ApplyCardStatusRule(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Packet, BOOLEAN AwaitUsed)
{
    if (IsCardStatusPacket(Packet) && Packet[CARD_STATUS_SLOT_OFFSET] == CARD_STATUS_NO_CARD) {
        SetCardState(SmartcardExtension, SCARD_ABSENT);
        ReleaseBackgroundRead(SmartcardExtension->ReaderExtension);
        CompleteTrackingRequest(SmartcardExtension);
        return STATUS_NO_MEDIA;
    }
    return FinishExchange(SmartcardExtension, AwaitUsed, STATUS_IO_TIMEOUT);
}

NTSTATUS ExchangeReaderCommand(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Header, const UCHAR* Data,
                               ULONG DataLength, PUCHAR AnswerKind, PUCHAR AnswerData, ULONG AnswerCapacity,
                               PULONG AnswerLength)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PDEVICE_EXTENSION deviceExtension = readerExtension->DeviceExtension;
    UCHAR packet[READER_PACKET_SIZE] = {};
    NTSTATUS result = STATUS_SUCCESS;
    BOOLEAN awaitUsed = FALSE;

    SetCommandDataLength(Header, DataLength);
    // Nothing recorded before this command is sent concerns it: a packet that the background read set aside
    // earlier cannot be its answer (a late answer to a command given up is dropped here), and a failure of an
    // earlier read was reported to the request it concerned. The next read tries the reader again.
    readerExtension->EventPacketReady = FALSE;
    readerExtension->ReadFailed = FALSE;

    // A header without data is the whole command, so with the background read running it is the packet that the
    // answer follows; with data, the last data packet is. A command without an answer is only written: nothing
    // comes back for it, and a wait for the background read's next packet could last for ever.
    if (readerExtension->PollActive && DataLength == 0 && AnswerData != NULL) {
        result = WritePacketAndAwait(SmartcardExtension, Header, AWAIT_WITHOUT_LIMIT);
        awaitUsed = TRUE;
        if (result != STATUS_SUCCESS) {
            return EndAfterFailedWrite(SmartcardExtension, FALSE, awaitUsed, result);
        }
        if (readerExtension->PollCancelled) {
            deviceExtension->ShutdownSignalled = FALSE;
            readerExtension->PollCancelled = FALSE;
            SendAbortCommand(SmartcardExtension);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        // A shutdown that broke this wait off leaves the exchange to read the answer itself; its wake is used up,
        // and must not end the next command.
        deviceExtension->ShutdownSignalled = FALSE;
    } else {
        const NTSTATUS status = WritePacket(SmartcardExtension, Header, HEADER_WRITE_TIMEOUT);
        if (status != STATUS_SUCCESS) {
            return EndAfterFailedWrite(SmartcardExtension, FALSE, awaitUsed, status);
        }
    }

    ULONG sent = 0;
    while (sent < DataLength) {
        UCHAR dataPacket[READER_PACKET_SIZE];
        sent += BuildDataPacket(dataPacket, Data + sent, DataLength - sent);
        if (!readerExtension->CardPresent && readerExtension->CardRequired) {
            return STATUS_NO_MEDIA;
        }
        if (sent == DataLength && AnswerData != NULL) {
            const NTSTATUS status = WritePacketAndAwait(SmartcardExtension, dataPacket, AWAIT_WITHOUT_LIMIT);
            awaitUsed = TRUE;
            if (status != STATUS_SUCCESS) {
                return EndAfterFailedWrite(SmartcardExtension, TRUE, awaitUsed, status);
            }
            if (deviceExtension->ShutdownSignalled || readerExtension->PollCancelled) {
                // The wait was broken off before the reader answered; the reader must not go on with a command
                // whose answer nobody will read.
                deviceExtension->ShutdownSignalled = FALSE;
                readerExtension->PollCancelled = FALSE;
                SendAbortCommand(SmartcardExtension);
                return STATUS_NO_MEDIA;
            }
            break;
        }
        const NTSTATUS status = WritePacket(SmartcardExtension, dataPacket, DATA_WRITE_TIMEOUT);
        if (status != STATUS_SUCCESS) {
            return EndAfterFailedWrite(SmartcardExtension, TRUE, awaitUsed, status);
        }
    }

    if (AnswerData == NULL) {
        return FinishExchange(SmartcardExtension, awaitUsed, result);
    }

    // The first answer packet: the one the background read handed over, or the next one on the pipe. A read that
    // brings nothing leaves the zeros, which are no answer header.
    if (readerExtension->ReadFailed) {
        return STATUS_NO_MEDIA;
    }
    if (readerExtension->EventPacketReady) {
        RtlCopyMemory(packet, readerExtension->EventPacket, READER_PACKET_SIZE);
        readerExtension->EventPacketReady = FALSE;
    } else if (ReadPacket(SmartcardExtension, packet, FIRST_ANSWER_READ_TIMEOUT) != STATUS_SUCCESS) {
        // No answer in time: the command is given up, and an answer that comes late must not reach the next one.
        AbandonCommand(SmartcardExtension);
        return FinishExchange(SmartcardExtension, awaitUsed, STATUS_INVALID_DEVICE_REQUEST);
    }

    if (packet[PACKET_KIND_OFFSET] == PACKET_KIND_CONTROL) {
        return ApplyCardStatusRule(SmartcardExtension, packet, awaitUsed);
    }
    UCHAR kind;
    ULONG expected;
    if (!ParseAnswerHeader(packet, &kind, &expected)) {
        AbandonCommand(SmartcardExtension);
        return FinishExchange(SmartcardExtension, awaitUsed, STATUS_INVALID_DEVICE_REQUEST);
    }
    *AnswerKind = kind;
    if (expected == 0) {
        *AnswerLength = 0;
        return FinishExchange(SmartcardExtension, awaitUsed, result);
    }

    // An answer longer than AnswerData is still read to its end, so that none of its packets is later taken for
    // the answer to the next command; only what fits is stored, and the answer counts as malformed.
    ULONG received = 0;
    ULONG stored = 0;
    BOOLEAN overflow = FALSE;
    for (;;) {
        if (readerExtension->ReadFailed) {
            return STATUS_NO_MEDIA;
        }
        if (ReadPacket(SmartcardExtension, packet, ANSWER_DATA_READ_TIMEOUT) != STATUS_SUCCESS) {
            if (readerExtension->ReadFailed) {
                return STATUS_NO_MEDIA;
            }
            AbandonCommand(SmartcardExtension);
            return FinishExchange(SmartcardExtension, awaitUsed, STATUS_IO_TIMEOUT);
        }
        result = STATUS_SUCCESS;

        const UCHAR packetKind = packet[PACKET_KIND_OFFSET];
        if (packetKind == PACKET_KIND_CONTROL) {
            return ApplyCardStatusRule(SmartcardExtension, packet, awaitUsed);
        }
        if (packetKind == PACKET_KIND_HEADER &&
            (packet[ANSWER_KIND_OFFSET] == ANSWER_FAILURE_END || packet[ANSWER_KIND_OFFSET] == ANSWER_REFUSED)) {
            // The reader broke the answer off; kind 15 means it lost the card's cooperation.
            *AnswerKind = packet[ANSWER_KIND_OFFSET];
            *AnswerLength = 0;
            if (packet[ANSWER_KIND_OFFSET] == ANSWER_REFUSED) {
                SetCardState(SmartcardExtension, SCARD_SWALLOWED);
            }
            return FinishExchange(SmartcardExtension, awaitUsed, STATUS_SUCCESS);
        }
        // A data packet holds at most 6 bytes; one whose count claims more is malformed, and none of its bytes
        // is taken, since the count cannot be trusted to say which of them are data.
        if (packetKind != PACKET_KIND_DATA || packet[PACKET_COUNT_OFFSET] > DATA_PACKET_CAPACITY) {
            AbandonCommand(SmartcardExtension);
            return FinishExchange(SmartcardExtension, awaitUsed, STATUS_INVALID_DEVICE_REQUEST);
        }
        const ULONG count = packet[PACKET_COUNT_OFFSET];
        const ULONG room = AnswerCapacity - stored;
        const ULONG take = count < room ? count : room;
        RtlCopyMemory(AnswerData + stored, packet + PACKET_PAYLOAD_OFFSET, take);
        stored += take;
        if (take < count) {
            overflow = TRUE;
        }
        received += count;

        if (received >= expected) {
            *AnswerLength = stored;
            return FinishExchange(SmartcardExtension, awaitUsed, overflow ? STATUS_INVALID_DEVICE_REQUEST : result);
        }
    }
}
