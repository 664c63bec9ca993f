// Key-press tracking of a running PIN entry: the key rules as a transition table, shared with the direct verification, and the key request that reports one key event.
#include "../driver/driver.h"
#include "../protocol/packets.h"

// bEntryValidationCondition bits.
static constexpr UCHAR VALIDATE_AT_MAX_DIGITS = 0x01;
static constexpr UCHAR VALIDATE_ON_KEY = 0x02;
static constexpr UCHAR VALIDATE_ON_TIMEOUT = 0x04;

// Key codes of the reader's key reports.
static constexpr UCHAR KEY_DIGIT = 0x2B; // any digit: the digit itself never leaves the reader
static constexpr UCHAR KEY_BACKSPACE = 0x08;
static constexpr UCHAR KEY_CLEAR = 0x0A;
static constexpr UCHAR KEY_VALIDATE = 0x0D;
static constexpr UCHAR KEY_TIMED_OUT = 0x0E; // the reader's entry time-out
static constexpr UCHAR KEY_CANCEL = 0x1B;
// The reader ended the entry on its own; also what the application is told of any entry that ended without
// being validated.
static constexpr UCHAR KEY_ENTRY_ENDED = 0x40;

enum DIGIT_CHANGE : UCHAR {
    DIGITS_KEEP,
    DIGITS_ADD,    // one more
    DIGITS_REMOVE, // one less, not below 0
    DIGITS_CLEAR,
};

enum ENTRY_END : UCHAR {
    END_NEVER,
    END_AT_MAX_DIGITS, // the new count equals the maximum and the entry validates at the maximum length
    END_AT_MIN_DIGITS, // the count is at least the minimum and the entry validates on the validation key
    END_ALWAYS,
};

enum OUTCOME_CHANGE : UCHAR {
    OUTCOME_KEEP,
    OUTCOME_SHORT_BELOW_MIN, // OUTCOME_TOO_SHORT when fewer than the minimum digits were typed
    OUTCOME_SET_TIMED_OUT,
};

// One row: the key, the entry validation bits under which the row applies ((EntryValidation & Mask) == Value),
// and what the key does to the entry. The first row that matches a key applies; a key without a row changes
// nothing and is reported as it came.
struct KEY_TRANSITION {
    UCHAR Key;
    UCHAR ValidationMask;
    UCHAR ValidationValue;
    DIGIT_CHANGE Digits;
    ENTRY_END End;
    UCHAR EndState;
    OUTCOME_CHANGE Outcome;
    BOOLEAN ReplaceReply;
    UCHAR Reply;
};

static const KEY_TRANSITION KeyTransitions[] = {
    {KEY_DIGIT, 0, 0, DIGITS_ADD, END_AT_MAX_DIGITS, PIN_COMPLETE, OUTCOME_KEEP, FALSE, 0},
    {KEY_BACKSPACE, 0, 0, DIGITS_REMOVE, END_NEVER, PIN_ENTERING, OUTCOME_KEEP, FALSE, 0},
    {KEY_CLEAR, 0, 0, DIGITS_CLEAR, END_NEVER, PIN_ENTERING, OUTCOME_KEEP, FALSE, 0},
    // The validation key does nothing when only the maximum length validates, and the application is told so.
    {KEY_VALIDATE, 0xFF, VALIDATE_AT_MAX_DIGITS, DIGITS_KEEP, END_NEVER, PIN_ENTERING, OUTCOME_KEEP, TRUE, 0x00},
    {KEY_VALIDATE, 0, 0, DIGITS_KEEP, END_AT_MIN_DIGITS, PIN_COMPLETE, OUTCOME_KEEP, FALSE, 0},
    // The time-out validates the entry only when the caller allowed that, and only with enough digits; otherwise
    // it is reported as an entry ended without validation.
    {KEY_TIMED_OUT, VALIDATE_ON_TIMEOUT, VALIDATE_ON_TIMEOUT, DIGITS_KEEP, END_ALWAYS, PIN_COMPLETE,
     OUTCOME_SHORT_BELOW_MIN, FALSE, 0},
    {KEY_TIMED_OUT, VALIDATE_ON_TIMEOUT, 0, DIGITS_KEEP, END_ALWAYS, PIN_COMPLETE, OUTCOME_SET_TIMED_OUT, TRUE,
     KEY_ENTRY_ENDED},
    {KEY_CANCEL, 0, 0, DIGITS_KEEP, END_ALWAYS, PIN_CANCELLED, OUTCOME_KEEP, FALSE, 0},
    {KEY_ENTRY_ENDED, 0, 0, DIGITS_KEEP, END_ALWAYS, PIN_COMPLETE, OUTCOME_KEEP, FALSE, 0},
};

BOOLEAN ApplyKeyEvent(PREADER_EXTENSION ReaderExtension, UCHAR Key, PUCHAR ReplyByte)
{
    *ReplyByte = Key;
    const UCHAR validation = ReaderExtension->EntryValidation;
    for (const KEY_TRANSITION& row : KeyTransitions) {
        if (row.Key != Key || (validation & row.ValidationMask) != row.ValidationValue) {
            continue;
        }
        switch (row.Digits) {
        case DIGITS_ADD:
            ReaderExtension->DigitCount += 1;
            break;
        case DIGITS_REMOVE:
            if (ReaderExtension->DigitCount > 0) {
                ReaderExtension->DigitCount -= 1;
            }
            break;
        case DIGITS_CLEAR:
            ReaderExtension->DigitCount = 0;
            break;
        case DIGITS_KEEP:
        default:
            break;
        }

        // The limits are unsigned bytes compared with the signed count.
        const LONG count = ReaderExtension->DigitCount;
        BOOLEAN ended;
        switch (row.End) {
        case END_AT_MAX_DIGITS:
            ended = count == static_cast<LONG>(ReaderExtension->PinMaxDigits) && (validation & VALIDATE_AT_MAX_DIGITS);
            break;
        case END_AT_MIN_DIGITS:
            ended = count >= static_cast<LONG>(ReaderExtension->PinMinDigits) && (validation & VALIDATE_ON_KEY);
            break;
        case END_ALWAYS:
            ended = TRUE;
            break;
        case END_NEVER:
        default:
            ended = FALSE;
            break;
        }

        if (row.Outcome == OUTCOME_SHORT_BELOW_MIN && count < static_cast<LONG>(ReaderExtension->PinMinDigits)) {
            ReaderExtension->PinOutcome = OUTCOME_TOO_SHORT;
        } else if (row.Outcome == OUTCOME_SET_TIMED_OUT) {
            ReaderExtension->PinOutcome = OUTCOME_TIMED_OUT;
        }
        if (ended) {
            ReaderExtension->PinState = row.EndState;
        }
        if (row.ReplaceReply) {
            *ReplyByte = row.Reply;
        }
        return ended;
    }
    return FALSE;
}

NTSTATUS GetKeyPressed(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PUCHAR reply = SmartcardExtension->IoRequest.ReplyBuffer;
    if (SmartcardExtension->IoRequest.ReplyBufferLength == 0 || reply == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (readerExtension->PinState != PIN_ENTERING) {
        SetReplyLength(SmartcardExtension, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    LARGE_INTEGER pause;
    pause.QuadPart = -10000; // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &pause);

    READER_ANSWER answer;
    const NTSTATUS status = ExchangePinpadCommand(SmartcardExtension, COMMAND_KEY_POLL, NULL, 0, &answer);
    // The reader broke the poll off: for the application that is an entry ended without validation, and the
    // entry stays open for the finish or the abort.
    if (answer.Kind == ANSWER_REFUSED) {
        reply[0] = KEY_ENTRY_ENDED;
        SetReplyLength(SmartcardExtension, 1);
        return status;
    }
    if (answer.Kind != ANSWER_DATA) {
        SetReplyLength(SmartcardExtension, 0);
        readerExtension->PinState = PIN_IDLE;
        return STATUS_IO_TIMEOUT;
    }
    UCHAR reported;
    (void)ApplyKeyEvent(readerExtension, answer.Data[0], &reported);
    reply[0] = reported;
    SetReplyLength(SmartcardExtension, 1);
    return status;
}
