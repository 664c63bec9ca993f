// APDU transmission to the card (the RDF_TRANSMIT callback): the case of the APDU, the APDU block for the reader, the reader-management APDUs that the driver answers itself, and the replies formed from the reader's answers.
#include "../driver/driver.h"
#include "../protocol/packets.h"

// The status a request gets when its APDU has a length that fits no case; applications of this reader take this
// value for a malformed APDU.
#ifndef STATUS_PORT_ALREADY_SET
#define STATUS_PORT_ALREADY_SET ((NTSTATUS)0xC0000048L)
#endif

// The SCARD_IO_REQUEST header that opens the request and is copied to the reply.
static constexpr ULONG IO_HEADER_LENGTH = 8;
// APDU bytes: CLA, INS, P1, P2, then P3 (Lc or Le).
static constexpr ULONG APDU_HEADER_LENGTH = 4;
static constexpr ULONG APDU_P3_INDEX = 4;
// Room for the reader's answer data, and for the largest APDU block (case 4 with Lc 255: 261 + 1 bytes). The
// longest card response is 256 data bytes (Le 00) and its status word; a longer answer is refused.
static constexpr ULONG ANSWER_AREA_SIZE = 258;
static constexpr ULONG BLOCK_AREA_SIZE = 262;
// The longest reply: header, C1, length, the whole answer area, 90 00.
static_assert(IO_HEADER_LENGTH + 4 + ANSWER_AREA_SIZE <= MIN_BUFFER_SIZE, "every reply fits SmartcardReply");

// In the APDU block: byte 4 is Lc (or 0), byte 5 Le (or 0xFF), then the APDU from its byte 5 on.
static constexpr ULONG BLOCK_LC_INDEX = 4;
static constexpr ULONG BLOCK_LE_INDEX = 5;
static constexpr ULONG BLOCK_DATA_INDEX = 6;
static constexpr UCHAR NO_LE = 0xFF;

enum LE_SOURCE : UCHAR {
    LE_ABSENT,    // the APDU expects no answer data
    LE_FROM_P3,   // a 5-byte APDU: P3 is Le
    LE_FROM_LAST, // case 4: the last byte is Le
};

// The ISO 7816-4 cases by the APDU's length L, tried in this order: a fixed length, or P3 plus a fixed amount.
struct APDU_CASE_RULE {
    UCHAR Case;
    BOOLEAN LengthFollowsP3;
    ULONG Length; // L itself, or the amount that L exceeds P3 by
    BOOLEAN HasLc;
    LE_SOURCE Le;
};

static const APDU_CASE_RULE ApduCaseRules[] = {
    {1, FALSE, 4, FALSE, LE_ABSENT},
    {2, FALSE, 5, FALSE, LE_FROM_P3},
    {4, TRUE, 6, TRUE, LE_FROM_LAST},
    {3, TRUE, 5, TRUE, LE_ABSENT},
};

struct APDU_SHAPE {
    UCHAR Case;
    UCHAR Lc;
    UCHAR Le;
};

// The case, Lc and Le of an APDU of at least 4 bytes; FALSE when its length fits no case.
static BOOLEAN ClassifyApdu(const UCHAR* Apdu, ULONG Length, APDU_SHAPE* Shape)
{
    for (const APDU_CASE_RULE& rule : ApduCaseRules) {
        ULONG expected = rule.Length;
        if (rule.LengthFollowsP3) {
            if (Length <= APDU_P3_INDEX) {
                continue;
            }
            expected += Apdu[APDU_P3_INDEX];
        }
        if (Length != expected) {
            continue;
        }
        Shape->Case = rule.Case;
        Shape->Lc = rule.HasLc ? Apdu[APDU_P3_INDEX] : 0;
        Shape->Le = rule.Le == LE_FROM_P3 ? Apdu[APDU_P3_INDEX] : rule.Le == LE_FROM_LAST ? Apdu[Length - 1] : NO_LE;
        return TRUE;
    }
    return FALSE;
}

// The APDUs of class 0x80, instruction 0x12 are the reader's own; the driver never sends them to the card.
static const UCHAR MANAGEMENT_CLA = 0x80;
static const UCHAR MANAGEMENT_INS = 0x12;

enum MANAGEMENT_ACTION : UCHAR {
    IDENTIFY_READER,      // answered by the driver
    MANAGEMENT_WITH_DATA, // reader management command with {0x01, Lc, data}
    MANAGEMENT_QUERY,     // reader management command with {0x02}
};

struct MANAGEMENT_APDU {
    UCHAR Header[APDU_HEADER_LENGTH];
    BOOLEAN NeedsLength5; // only the 5-byte form is recognised
    MANAGEMENT_ACTION Action;
};

static const MANAGEMENT_APDU ManagementApdus[] = {
    {{0x80, 0x12, 0x00, 0x01}, TRUE, IDENTIFY_READER},
    {{0x80, 0x12, 0x02, 0x01}, FALSE, MANAGEMENT_WITH_DATA},
    {{0x80, 0x12, 0x03, 0x01}, TRUE, MANAGEMENT_QUERY},
};

// The identify-reader answer: tag 0xD0, length 7, the reader's identification, then 90 00.
static const UCHAR IdentifyReaderAnswer[] = {0xD0, 0x07, 'K', 'V', 'X', '3', '1', '0', '7', 0x90, 0x00};

// First byte of the management block.
static const UCHAR MANAGEMENT_FORM_DATA = 0x01;
static const UCHAR MANAGEMENT_FORM_QUERY = 0x02;
// Tag before the data of a management answer.
static const UCHAR MANAGEMENT_DATA_TAG = 0xC1;

// Reader error codes of a management answer of kind 8 whose status word does not depend on the answer's other
// bytes. Codes 0x81 and 0x84 pass on a card status word, see ManagementErrorStatusWord.
struct ERROR_STATUS_WORD {
    UCHAR ErrorCode;
    UCHAR Sw1;
    UCHAR Sw2;
};

static const ERROR_STATUS_WORD ManagementErrorStatusWords[] = {
    {0x07, 0x69, 0xF1}, {0x10, 0x69, 0xF1}, {0x16, 0x69, 0xF1}, {0x17, 0x69, 0xF1}, {0x18, 0x69, 0xF1},
    {0x29, 0x69, 0xF1}, {0x19, 0x69, 0x87}, {0x21, 0x67, 0x00}, {0x2A, 0x69, 0xF0}, {0x2B, 0x69, 0xF0},
    {0x82, 0x69, 0x83}, {0x85, 0x62, 0x83},
};

// Reader error codes of a card APDU answer of kind 15, and the status the request ends with.
struct ERROR_STATUS {
    UCHAR ErrorCode;
    NTSTATUS Status;
};

static const ERROR_STATUS CardErrorStatuses[] = {
    {0x42, STATUS_DEVICE_PROTOCOL_ERROR},
    {0x43, STATUS_DEVICE_PROTOCOL_ERROR},
    {0x80, STATUS_DEVICE_PROTOCOL_ERROR},
    {0x72, STATUS_IO_TIMEOUT}, // the card did not answer
};

static VOID AppendReply(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Bytes, ULONG Length)
{
    PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
    RtlCopyMemory(reply->Buffer + reply->BufferLength, Bytes, Length);
    reply->BufferLength += Length;
}

static VOID AppendStatusWord(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Sw1, UCHAR Sw2)
{
    const UCHAR statusWord[2] = {Sw1, Sw2};
    AppendReply(SmartcardExtension, statusWord, sizeof(statusWord));
}

// The status word for a management answer of kind 8, from the reader error code and the card status word that
// codes 0x81 and 0x84 carry in answer bytes 1 and 2.
static VOID ManagementErrorStatusWord(const UCHAR* Answer, PUCHAR Sw1, PUCHAR Sw2)
{
    const UCHAR errorCode = Answer[ERROR_CODE_INDEX];
    const UCHAR cardSw1 = Answer[ERROR_STATUS_WORD_INDEX];
    const UCHAR cardSw2 = Answer[ERROR_STATUS_WORD_INDEX + 1];
    *Sw1 = 0x6F;
    *Sw2 = 0x00;
    if (errorCode == 0x81 || errorCode == 0x84) {
        if (cardSw1 == 0x6A && (cardSw2 == 0x81 || cardSw2 == 0x82 || cardSw2 == 0x83)) {
            *Sw1 = 0x6A;
            *Sw2 = cardSw2;
        } else if (cardSw1 == 0x6A && cardSw2 == 0x88) {
            *Sw1 = 0x6A;
            *Sw2 = 0x83;
        }
        return;
    }
    for (const ERROR_STATUS_WORD& entry : ManagementErrorStatusWords) {
        if (entry.ErrorCode == errorCode) {
            *Sw1 = entry.Sw1;
            *Sw2 = entry.Sw2;
            return;
        }
    }
}

// Sends a management block to the reader and turns its answer into the reply after the header.
static NTSTATUS ExchangeManagementCommand(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Block,
                                          ULONG BlockLength)
{
    UCHAR header[READER_PACKET_SIZE] = {PACKET_KIND_HEADER, COMMAND_HEADER_COUNT, COMMAND_READER_MANAGEMENT, 0, 0, 0, 0, 0};
    UCHAR answer[ANSWER_AREA_SIZE] = {};
    UCHAR answerKind = 0;
    ULONG answerLength = 0;

    const NTSTATUS status = ExchangeReaderCommand(SmartcardExtension, header, Block, BlockLength, &answerKind, answer,
                                                  sizeof(answer), &answerLength);
    if (status == STATUS_NO_MEDIA) {
        // No card for the reader to manage: a reply, unless the caller's buffer cannot take it.
        AppendStatusWord(SmartcardExtension, 0x69, 0xF0);
        return SmartcardRawReply(SmartcardExtension);
    }
    if (status != STATUS_SUCCESS) {
        return status;
    }

    if (answerKind == ANSWER_DATA) {
        const UCHAR tag[2] = {MANAGEMENT_DATA_TAG, static_cast<UCHAR>(answerLength & 0xFF)};
        AppendReply(SmartcardExtension, tag, sizeof(tag));
        AppendReply(SmartcardExtension, answer, answerLength);
        AppendStatusWord(SmartcardExtension, 0x90, 0x00);
    } else if (answerKind == ANSWER_FAILURE || answerKind == ANSWER_FAILURE_END) {
        AppendStatusWord(SmartcardExtension, 0x69, 0xF0);
    } else if (answerKind == ANSWER_ERROR) {
        UCHAR sw1, sw2;
        ManagementErrorStatusWord(answer, &sw1, &sw2);
        AppendStatusWord(SmartcardExtension, sw1, sw2);
    } else {
        AppendStatusWord(SmartcardExtension, 0x6F, 0x00);
    }
    return SmartcardRawReply(SmartcardExtension);
}

// An APDU of class 0x80, instruction 0x12: answered here, passed to the reader as a management command, or
// refused.
static NTSTATUS HandleManagementApdu(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Apdu, ULONG Length,
                                     const APDU_SHAPE* Shape)
{
    const MANAGEMENT_APDU* match = NULL;
    for (const MANAGEMENT_APDU& entry : ManagementApdus) {
        if (RtlCompareMemory(Apdu, entry.Header, APDU_HEADER_LENGTH) == APDU_HEADER_LENGTH &&
            (!entry.NeedsLength5 || Length == 5)) {
            match = &entry;
            break;
        }
    }
    if (match == NULL) {
        AppendStatusWord(SmartcardExtension, 0x6A, 0x86);
        return SmartcardRawReply(SmartcardExtension);
    }

    if (match->Action == IDENTIFY_READER) {
        // Le is not compared with the answer's length.
        AppendReply(SmartcardExtension, IdentifyReaderAnswer, sizeof(IdentifyReaderAnswer));
        return SmartcardRawReply(SmartcardExtension);
    }

    SmartcardExtension->ReaderExtension->CardRequired = TRUE;
    UCHAR block[BLOCK_AREA_SIZE] = {};
    ULONG blockLength;
    if (match->Action == MANAGEMENT_WITH_DATA) {
        // Lc counts the command data that the APDU actually carries: P3 for cases 3 and 4, none for cases 1 and 2,
        // whose P3 is Le or absent. Taking P3 as Lc there would copy bytes from beyond the APDU, stale contents of
        // the request buffer, to the reader.
        const UCHAR lc = Shape->Lc;
        block[0] = MANAGEMENT_FORM_DATA;
        block[1] = lc;
        RtlCopyMemory(block + 2, Apdu + APDU_P3_INDEX + 1, lc);
        blockLength = lc + 2u;
    } else {
        block[0] = MANAGEMENT_FORM_QUERY;
        blockLength = 1;
    }
    return ExchangeManagementCommand(SmartcardExtension, block, blockLength);
}

// Sends an ordinary APDU to the card through the reader and turns the answer into the reply after the header.
static NTSTATUS ExchangeCardApdu(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Apdu, ULONG Length,
                                 const APDU_SHAPE* Shape)
{
    UCHAR header[READER_PACKET_SIZE] = {PACKET_KIND_HEADER, COMMAND_HEADER_COUNT_APDU, COMMAND_CARD_APDU, 0, 0, 0, 0, 0};
    header[COMMAND_APDU_CASE_OFFSET] = Shape->Case;

    // CLA INS P1 P2, Lc (or 0), Le (or 0xFF), then the APDU from its byte 5 on; L + 1 bytes of it are sent, so
    // the placeholder Le of a case-1 APDU stays behind.
    UCHAR block[BLOCK_AREA_SIZE];
    RtlCopyMemory(block, Apdu, APDU_HEADER_LENGTH);
    block[BLOCK_LC_INDEX] = Shape->Lc;
    block[BLOCK_LE_INDEX] = Shape->Le;
    if (Length > APDU_P3_INDEX + 1) {
        RtlCopyMemory(block + BLOCK_DATA_INDEX, Apdu + APDU_P3_INDEX + 1, Length - (APDU_P3_INDEX + 1));
    }

    UCHAR answer[ANSWER_AREA_SIZE] = {};
    UCHAR answerKind = 0;
    ULONG answerLength = 0;
    const NTSTATUS status = ExchangeReaderCommand(SmartcardExtension, header, block, Length + 1, &answerKind, answer,
                                                  sizeof(answer), &answerLength);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    if (answerKind == ANSWER_ERROR) {
        // The status word that the reader reports with its error.
        AppendReply(SmartcardExtension, answer + ERROR_STATUS_WORD_INDEX, 2);
        return SmartcardRawReply(SmartcardExtension);
    }
    if (answerKind == ANSWER_REFUSED) {
        (void)SmartcardRawReply(SmartcardExtension);
        for (const ERROR_STATUS& entry : CardErrorStatuses) {
            if (entry.ErrorCode == answer[ERROR_CODE_INDEX]) {
                return entry.Status;
            }
        }
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // The card's response, data and status word, as the reader delivered it.
    AppendReply(SmartcardExtension, answer, answerLength);
    return SmartcardRawReply(SmartcardExtension);
}

NTSTATUS TransmitApdu(PSMARTCARD_EXTENSION SmartcardExtension)
{
    NTSTATUS status = SmartcardRawRequest(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    const PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
    // A request shorter than its header gives a huge length, which fits no case below.
    const ULONG length = SmartcardExtension->SmartcardRequest.BufferLength - IO_HEADER_LENGTH;
    const UCHAR* apdu = request + IO_HEADER_LENGTH;

    if (length < APDU_HEADER_LENGTH) {
        RtlCopyMemory(reply->Buffer, request, IO_HEADER_LENGTH);
        reply->BufferLength = IO_HEADER_LENGTH;
        AppendStatusWord(SmartcardExtension, 0x67, 0x00);
        // The wrong length is answered, not refused; a reply buffer too small for the answer is refused.
        return SmartcardRawReply(SmartcardExtension);
    }

    APDU_SHAPE shape;
    if (!ClassifyApdu(apdu, length, &shape)) {
        // Nothing is replied; the length is reset so that no reply left from an earlier request goes back.
        reply->BufferLength = 0;
        (void)SmartcardRawReply(SmartcardExtension);
        return STATUS_PORT_ALREADY_SET;
    }

    RtlCopyMemory(reply->Buffer, request, IO_HEADER_LENGTH);
    reply->BufferLength = IO_HEADER_LENGTH;

    if (apdu[0] == MANAGEMENT_CLA && apdu[1] == MANAGEMENT_INS) {
        return HandleManagementApdu(SmartcardExtension, apdu, length, &shape);
    }
    return ExchangeCardApdu(SmartcardExtension, apdu, length, &shape);
}
