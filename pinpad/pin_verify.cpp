// PIN verification on the reader's keypad: the start with its PIN block, the finish, the whole verification in one request, and the abort, with the PIN entry state they share.
#include "../driver/driver.h"
#include "../protocol/packets.h"

// PIN_VERIFY_STRUCTURE, byte-packed, multi-byte fields least significant byte first.
static constexpr ULONG VERIFY_TIMER_OUT = 0;
static constexpr ULONG VERIFY_FORMAT_STRING = 2;
static constexpr ULONG VERIFY_PIN_BLOCK_STRING = 3;
static constexpr ULONG VERIFY_PIN_LENGTH_FORMAT = 4;
static constexpr ULONG VERIFY_MAX_DIGITS = 5; // wPINMaxExtraDigit, low byte
static constexpr ULONG VERIFY_MIN_DIGITS = 6; // wPINMaxExtraDigit, high byte
static constexpr ULONG VERIFY_ENTRY_VALIDATION = 7;
static constexpr ULONG VERIFY_LANG_ID = 9;
static constexpr ULONG VERIFY_MSG_INDEX = 11;
static constexpr ULONG VERIFY_DATA_LENGTH = 15;
static constexpr ULONG VERIFY_DATA = 19; // abData, the APDU that the reader completes with the PIN

static constexpr UCHAR MAX_ENTRY_VALIDATION = 0x07;
static constexpr UCHAR MIN_PIN_DIGITS_LIMIT = 4;
static constexpr UCHAR MAX_PIN_DIGITS_LIMIT = 16;

// The PIN block of the PIN verification start, followed by the APDU.
static constexpr ULONG PIN_BLOCK_LENGTH = 13;
static constexpr ULONG PIN_BLOCK_APDU_ROOM = 255;

// The start step's one-byte refusal, and the two-byte status words of the other steps.
static constexpr UCHAR START_REFUSAL_BYTE = 0x57;
static constexpr UCHAR SW1_PIN_ENTRY = 0x64;
static constexpr UCHAR SW2_TIMED_OUT = 0x00;
static constexpr UCHAR SW2_CANCELLED = 0x01;
static constexpr UCHAR SW2_TOO_SHORT = 0x03;
static constexpr UCHAR SW2_ABORTED = 0x80;
static constexpr UCHAR SW1_INVALID_PARAMETERS = 0x6B;
static constexpr UCHAR SW2_INVALID_PARAMETERS = 0x80;

// How the start step ended. The direct verification acts on this and never on the reply buffer, which may still
// hold the request's own bytes.
enum START_OUTCOME : UCHAR {
    START_ACCEPTED,           // PIN_ENTERING
    START_PARAMETERS_REFUSED, // the structure or the reader refused the parameters
    START_ERROR_ANSWER,       // the reader answered with an error other than a refusal of the parameters
    START_FAILED,             // the command did not get an answer (no card, broken-off wait, no reader)
};

static VOID ReplyStatusWord(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Sw1, UCHAR Sw2)
{
    SmartcardExtension->IoRequest.ReplyBuffer[0] = Sw1;
    SmartcardExtension->IoRequest.ReplyBuffer[1] = Sw2;
    SetReplyLength(SmartcardExtension, 2);
}

static ULONG ReadUlong(const UCHAR* Bytes)
{
    return static_cast<ULONG>(Bytes[0]) | static_cast<ULONG>(Bytes[1]) << 8 | static_cast<ULONG>(Bytes[2]) << 16 |
           static_cast<ULONG>(Bytes[3]) << 24;
}

// Checks the PIN_VERIFY_STRUCTURE, keeps the PIN rules and builds the PIN block; FALSE when the structure is
// refused. Reads every request byte the start needs, so the reply may go into the same buffer afterwards.
static BOOLEAN BuildPinBlock(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Block, PULONG BlockLength)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    const UCHAR* request = SmartcardExtension->IoRequest.RequestBuffer;
    const ULONG requestLength = SmartcardExtension->IoRequest.RequestBufferLength;

    if (request == NULL || requestLength <= VERIFY_DATA) {
        return FALSE;
    }
    // Summed in 64 bits: a length near 4 GB must not wrap around into a small one.
    const ULONG dataLength = ReadUlong(request + VERIFY_DATA_LENGTH);
    if (static_cast<ULONGLONG>(VERIFY_DATA) + dataLength > requestLength) {
        return FALSE;
    }
    if (request[VERIFY_ENTRY_VALIDATION] > MAX_ENTRY_VALIDATION) {
        return FALSE;
    }
    readerExtension->EntryValidation = request[VERIFY_ENTRY_VALIDATION];
    readerExtension->PinMinDigits = request[VERIFY_MIN_DIGITS];
    readerExtension->PinMaxDigits = request[VERIFY_MAX_DIGITS];
    if (readerExtension->PinMaxDigits < MIN_PIN_DIGITS_LIMIT || readerExtension->PinMaxDigits > MAX_PIN_DIGITS_LIMIT) {
        return FALSE;
    }

    // Only the low byte of the length is the APDU length, as the PIN block has one byte for it.
    const ULONG apduLength = dataLength & 0xFF;
    Block[0] = request[VERIFY_TIMER_OUT];
    Block[1] = request[VERIFY_LANG_ID];
    Block[2] = request[VERIFY_LANG_ID + 1];
    Block[3] = request[VERIFY_MAX_DIGITS];
    Block[4] = request[VERIFY_MSG_INDEX];
    // Bytes 5 to 8 are constants of the reader's PIN command.
    Block[5] = 0x81;
    Block[6] = 0x82;
    Block[7] = 0x00;
    Block[8] = 0x00;
    Block[9] = request[VERIFY_FORMAT_STRING];
    Block[10] = request[VERIFY_PIN_BLOCK_STRING];
    Block[11] = request[VERIFY_PIN_LENGTH_FORMAT];
    Block[12] = static_cast<UCHAR>(apduLength);
    RtlCopyMemory(Block + PIN_BLOCK_LENGTH, request + VERIFY_DATA, apduLength);
    *BlockLength = PIN_BLOCK_LENGTH + apduLength;
    return TRUE;
}

// The start step without its reply, so that the direct verification can answer in its own terms. Returns the
// status the start request would end with when the outcome is START_ERROR_ANSWER or START_FAILED.
static NTSTATUS StartPinEntry(PSMARTCARD_EXTENSION SmartcardExtension, START_OUTCOME* Outcome,
                              READER_ANSWER* Answer)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    readerExtension->PinState = PIN_IDLE;
    readerExtension->DigitCount = 0;

    UCHAR block[PIN_BLOCK_LENGTH + PIN_BLOCK_APDU_ROOM];
    ULONG blockLength = 0;
    if (!BuildPinBlock(SmartcardExtension, block, &blockLength)) {
        *Outcome = START_PARAMETERS_REFUSED;
        return STATUS_SUCCESS;
    }
    readerExtension->PinOutcome = OUTCOME_NONE;

    const NTSTATUS status =
        ExchangePinpadCommand(SmartcardExtension, COMMAND_PIN_VERIFY_START, block, blockLength, Answer);
    if (Answer->Kind == ANSWER_ERROR) {
        const BOOLEAN refused = Answer->Data[ERROR_STATUS_WORD_INDEX] == SW1_INVALID_PARAMETERS &&
                                Answer->Data[ERROR_STATUS_WORD_INDEX + 1] == SW2_INVALID_PARAMETERS;
        *Outcome = refused ? START_PARAMETERS_REFUSED : START_ERROR_ANSWER;
        return status;
    }
    if (Answer->Kind == ANSWER_REFUSED) {
        *Outcome = START_PARAMETERS_REFUSED;
        return status;
    }
    // A command that got no answer (no card in the slot, a wait broken off by a shutdown) did not start an entry:
    // reporting it as accepted would send the application to poll keys on a keypad that is not prompting.
    if (!NT_SUCCESS(status)) {
        *Outcome = START_FAILED;
        return status;
    }
    readerExtension->PinState = PIN_ENTERING;
    *Outcome = START_ACCEPTED;
    return STATUS_SUCCESS;
}

NTSTATUS PinVerifyStart(PSMARTCARD_EXTENSION SmartcardExtension)
{
    READER_ANSWER answer;
    START_OUTCOME outcome;
    const NTSTATUS status = StartPinEntry(SmartcardExtension, &outcome, &answer);
    switch (outcome) {
    case START_ACCEPTED:
        SetReplyLength(SmartcardExtension, 0);
        return STATUS_SUCCESS;
    case START_PARAMETERS_REFUSED:
        if (SmartcardExtension->IoRequest.ReplyBuffer == NULL || SmartcardExtension->IoRequest.ReplyBufferLength == 0) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        SmartcardExtension->IoRequest.ReplyBuffer[0] = START_REFUSAL_BYTE;
        SetReplyLength(SmartcardExtension, 1);
        return STATUS_SUCCESS;
    case START_ERROR_ANSWER:
        // The reader refused the verification for a reason other than its parameters. An empty reply with
        // STATUS_SUCCESS would read as "accepted, type the PIN": the request fails instead.
        *SmartcardExtension->IoRequest.Information = 0;
        return NT_SUCCESS(status) ? STATUS_INVALID_DEVICE_REQUEST : status;
    case START_FAILED:
    default:
        *SmartcardExtension->IoRequest.Information = 0;
        return status;
    }
}

// The PIN abort without its reply: the finish tells the application about a time-out in its own words.
static NTSTATUS AbortPinEntry(PSMARTCARD_EXTENSION SmartcardExtension, READER_ANSWER* Answer)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    readerExtension->PinMinDigits = 0;
    readerExtension->PinMaxDigits = 0;
    readerExtension->DigitCount = 0;
    readerExtension->PinState = PIN_IDLE;
    return ExchangePinpadCommand(SmartcardExtension, COMMAND_PIN_ABORT, NULL, 0, Answer);
}

NTSTATUS PinAbort(PSMARTCARD_EXTENSION SmartcardExtension)
{
    READER_ANSWER answer;
    const NTSTATUS status = AbortPinEntry(SmartcardExtension, &answer);
    if (answer.Kind == ANSWER_PIN_ABORTED) {
        ReplyStatusWord(SmartcardExtension, SW1_PIN_ENTRY, SW2_ABORTED);
    } else {
        ReplyStatusWord(SmartcardExtension, answer.Data[ERROR_STATUS_WORD_INDEX],
                        answer.Data[ERROR_STATUS_WORD_INDEX + 1]);
    }
    return status;
}

NTSTATUS PinVerifyFinish(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    readerExtension->PinMinDigits = 0;
    readerExtension->PinMaxDigits = 0;
    readerExtension->DigitCount = 0;

    // A cancelled entry has nothing left on the reader to finish.
    if (readerExtension->PinState == PIN_CANCELLED) {
        readerExtension->PinState = PIN_IDLE;
        ReplyStatusWord(SmartcardExtension, SW1_PIN_ENTRY, SW2_CANCELLED);
        return STATUS_SUCCESS;
    }
    // A time-out that does not validate the entry: the reader must not send the card what was typed.
    if (readerExtension->PinOutcome == OUTCOME_TIMED_OUT || readerExtension->PinOutcome == OUTCOME_TOO_SHORT) {
        READER_ANSWER abortAnswer;
        (void)AbortPinEntry(SmartcardExtension, &abortAnswer);
        readerExtension->PinState = PIN_IDLE;
        ReplyStatusWord(SmartcardExtension, SW1_PIN_ENTRY,
                        readerExtension->PinOutcome == OUTCOME_TIMED_OUT ? SW2_TIMED_OUT : SW2_TOO_SHORT);
        return STATUS_SUCCESS;
    }
    if (readerExtension->PinState != PIN_ENTERING && readerExtension->PinState != PIN_COMPLETE) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    READER_ANSWER answer;
    const NTSTATUS status = ExchangePinpadCommand(SmartcardExtension, COMMAND_PIN_VERIFY_FINISH, NULL, 0, &answer);
    readerExtension->PinState = PIN_IDLE;
    readerExtension->PinOutcome = OUTCOME_NONE;
    if (answer.Kind == ANSWER_REFUSED) {
        ReplyStatusWord(SmartcardExtension, SW1_INVALID_PARAMETERS, SW2_INVALID_PARAMETERS);
    } else if (answer.Kind == ANSWER_ERROR) {
        ReplyStatusWord(SmartcardExtension, answer.Data[ERROR_STATUS_WORD_INDEX],
                        answer.Data[ERROR_STATUS_WORD_INDEX + 1]);
    } else {
        ReplyStatusWord(SmartcardExtension, answer.Data[0], answer.Data[1]);
    }
    return status;
}

NTSTATUS PinVerifyDirect(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL || SmartcardExtension->IoRequest.ReplyBufferLength < 2) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    readerExtension->DigitCount = 0;
    READER_ANSWER answer;
    START_OUTCOME outcome;
    const NTSTATUS startStatus = StartPinEntry(SmartcardExtension, &outcome, &answer);
    switch (outcome) {
    case START_ACCEPTED:
        break;
    case START_PARAMETERS_REFUSED:
        ReplyStatusWord(SmartcardExtension, SW1_INVALID_PARAMETERS, SW2_INVALID_PARAMETERS);
        return STATUS_SUCCESS;
    case START_ERROR_ANSWER:
        // The reader would not take the verification for a reason of its own; its error answer carries the status
        // word that says why, and without one the entry was simply not possible.
        if (answer.Length > ERROR_STATUS_WORD_INDEX + 1) {
            ReplyStatusWord(SmartcardExtension, answer.Data[ERROR_STATUS_WORD_INDEX],
                            answer.Data[ERROR_STATUS_WORD_INDEX + 1]);
        } else {
            ReplyStatusWord(SmartcardExtension, SW1_INVALID_PARAMETERS, SW2_INVALID_PARAMETERS);
        }
        return STATUS_SUCCESS;
    case START_FAILED:
    default:
        *SmartcardExtension->IoRequest.Information = 0;
        readerExtension->PinState = PIN_IDLE;
        return startStatus;
    }

    for (;;) {
        LARGE_INTEGER pause;
        pause.QuadPart = -10000; // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &pause);

        (void)ExchangePinpadCommand(SmartcardExtension, COMMAND_KEY_POLL, NULL, 0, &answer);
        // A card pulled or reset meanwhile: the verification can no longer reach the card it was meant for. The
        // reader is still prompting; its entry is ended, so that no later finish sends the card a partial PIN
        // and costs it a try.
        if (GetCardState(SmartcardExtension) != SCARD_SPECIFIC) {
            READER_ANSWER abortAnswer;
            (void)AbortPinEntry(SmartcardExtension, &abortAnswer);
            ReplyStatusWord(SmartcardExtension, SW1_INVALID_PARAMETERS, SW2_INVALID_PARAMETERS);
            return STATUS_SUCCESS;
        }
        if (answer.Kind != ANSWER_DATA) {
            *SmartcardExtension->IoRequest.Information = 0;
            readerExtension->PinState = PIN_IDLE;
            return STATUS_IO_TIMEOUT;
        }
        UCHAR reported;
        if (ApplyKeyEvent(readerExtension, answer.Data[0], &reported)) {
            return PinVerifyFinish(SmartcardExtension);
        }
    }
}
