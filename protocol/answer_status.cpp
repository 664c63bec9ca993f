// MapReaderAnswerStatus: the NTSTATUS of a reader answer, by answer kind and, for error answers, by reader error code.
#include "../driver/driver.h"
#include "packets.h"

// The reader's answer statuses are customer-defined codes of facility 0x010; 0xA010xxxx are warnings,
// 0xE010xxxx errors.
static constexpr NTSTATUS ReaderStatus(ULONG Value)
{
    return static_cast<NTSTATUS>(Value);
}

static constexpr NTSTATUS READER_STATUS_GENERAL_ERROR = ReaderStatus(0xE0100000);

struct ANSWER_KIND_STATUS {
    UCHAR AnswerKind;
    NTSTATUS Status;
};

// Answer kinds with a fixed status; kind 8 goes by its error code, and every other kind is a general error.
static const ANSWER_KIND_STATUS AnswerKindStatus[] = {
    {ANSWER_SUCCESS, STATUS_SUCCESS},
    {ANSWER_FAILURE, ReaderStatus(0xA010000A)},
    {ANSWER_FAILURE_END, ReaderStatus(0xA010006E)},
};

struct ERROR_CODE_RANGE {
    UCHAR First;
    UCHAR Last;
    NTSTATUS Status;
};

// Reader error codes of an error answer, in ascending order and covering 0 to 255 without gaps.
static const ERROR_CODE_RANGE ErrorCodeStatus[] = {
    {0x00, 0x00, ReaderStatus(0xA0100014)}, {0x01, 0x09, ReaderStatus(0xA010001C)},
    {0x0A, 0x0F, ReaderStatus(0xA0100014)}, {0x10, 0x18, ReaderStatus(0xA010001C)},
    {0x19, 0x19, ReaderStatus(0xE0100003)}, {0x1A, 0x1F, ReaderStatus(0xA0100014)},
    {0x20, 0x20, ReaderStatus(0xA010001C)}, {0x21, 0x21, ReaderStatus(0xE0100003)},
    {0x22, 0x23, ReaderStatus(0xA010001C)}, {0x24, 0x24, ReaderStatus(0xE0100002)},
    {0x25, 0x25, ReaderStatus(0xE0100003)}, {0x26, 0x27, ReaderStatus(0xA010001C)},
    {0x28, 0x28, ReaderStatus(0xE0100003)}, {0x29, 0x29, ReaderStatus(0xA010001C)},
    {0x2A, 0x2F, ReaderStatus(0xA0100014)}, {0x30, 0x34, ReaderStatus(0xA0100013)},
    {0x35, 0x3F, ReaderStatus(0xA0100014)}, {0x40, 0x48, ReaderStatus(0xA0100013)},
    {0x49, 0x71, ReaderStatus(0xA0100014)}, {0x72, 0x72, ReaderStatus(0xA0100013)},
    {0x73, 0x7F, ReaderStatus(0xA0100014)}, {0x80, 0x81, ReaderStatus(0xE0100001)},
    {0x82, 0x82, ReaderStatus(0xA010006C)}, {0x83, 0x83, ReaderStatus(0xA0100001)},
    {0x84, 0x84, ReaderStatus(0xE0100001)}, {0x85, 0x85, ReaderStatus(0xA0100001)},
    {0x86, 0x89, ReaderStatus(0xE0100001)}, {0x8A, 0xFF, ReaderStatus(0xA0100014)},
};

NTSTATUS MapReaderAnswerStatus(UCHAR AnswerKind, const UCHAR* AnswerData)
{
    for (const ANSWER_KIND_STATUS& entry : AnswerKindStatus) {
        if (entry.AnswerKind == AnswerKind) {
            return entry.Status;
        }
    }
    if (AnswerKind != ANSWER_ERROR || AnswerData == NULL) {
        return READER_STATUS_GENERAL_ERROR;
    }
    const UCHAR errorCode = AnswerData[ERROR_CODE_INDEX];
    for (const ERROR_CODE_RANGE& range : ErrorCodeStatus) {
        if (errorCode >= range.First && errorCode <= range.Last) {
            return range.Status;
        }
    }
    // The ranges cover every byte value; this keeps the mapping total should they ever be edited.
    return READER_STATUS_GENERAL_ERROR;
}
