// The vendor and PIN pad I/O controls (the RDF_IOCTL_VENDOR callback): versions, vendor commands passed to the reader, the feature list, the PIN properties, and the hand-over to the PIN handlers.
#include "../driver/driver.h"
#include "../protocol/packets.h"

// The longest input any of these controls takes (the vendor data command's whole buffer); from here on a request
// is refused before anything reaches the reader.
static constexpr ULONG VENDOR_REQUEST_LIMIT = 0x6403;

// The driver version that follows the reader's version text in the version reply, with its terminating zero.
static const UCHAR DriverVersionText[] = {'0', '1', '.', '1', '1', 0};

// The feature list: one TLV per feature, the control code most significant byte first.
static constexpr UCHAR FEATURE_VALUE_LENGTH = 4;
static constexpr ULONG FEATURE_ENTRY_LENGTH = 2 + FEATURE_VALUE_LENGTH;

struct FEATURE_ENTRY {
    UCHAR Tag;
    ULONG ControlCode;
};

// The PIN modification and display (MCT) features are not offered: the reader cannot do them.
static const FEATURE_ENTRY FeatureList[] = {
    {0x01, IOCTL_FEATURE_VERIFY_PIN_START},
    {0x02, IOCTL_FEATURE_VERIFY_PIN_FINISH},
    {0x05, IOCTL_FEATURE_GET_KEY_PRESSED},
    {0x06, IOCTL_FEATURE_VERIFY_PIN_DIRECT},
    {0x0A, IOCTL_FEATURE_IFD_PIN_PROPERTIES},
    {0x0B, IOCTL_FEATURE_ABORT},
};
static constexpr ULONG FEATURE_LIST_LENGTH = ARRAYSIZE(FeatureList) * FEATURE_ENTRY_LENGTH;

// PIN_PROPERTIES_STRUCTURE: wLcdLayout (little-endian), bEntryValidationCondition, bTimeOut2. The reader's
// capability answer carries the layout in its bytes 1 and 2 and the second time-out in byte 3.
static constexpr ULONG PIN_PROPERTIES_LENGTH = 4;
static constexpr ULONG CAPABILITY_LAYOUT_LOW = 1;
static constexpr ULONG CAPABILITY_LAYOUT_HIGH = 2;
static constexpr ULONG CAPABILITY_TIMEOUT2 = 3;
static constexpr ULONG CAPABILITY_MIN_LENGTH = 4;
// Maximum length reached, validation key, time-out: every condition the reader can end an entry on.
static constexpr UCHAR PIN_ENTRY_VALIDATION_CONDITIONS = 0x07;

VOID SetReplyLength(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Length)
{
    *SmartcardExtension->IoRequest.Information = Length;
    SmartcardExtension->IoRequest.ReplyBufferLength = Length;
}

NTSTATUS ExchangePinpadCommand(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Code, const UCHAR* Data,
                               ULONG DataLength, READER_ANSWER* Answer)
{
    UCHAR header[READER_PACKET_SIZE] = {PACKET_KIND_HEADER, COMMAND_HEADER_COUNT, Code, 0, 0, 0, 0, 0};
    if (Answer == NULL) {
        return ExchangeReaderCommand(SmartcardExtension, header, Data, DataLength, NULL, NULL, 0, NULL);
    }
    RtlZeroMemory(Answer, sizeof(*Answer));
    return ExchangeReaderCommand(SmartcardExtension, header, Data, DataLength, &Answer->Kind, Answer->Data,
                                 sizeof(Answer->Data), &Answer->Length);
}

// The commands that leave the card alone go out also with an empty slot: the exchange refuses to send command
// data only while a card is required.
static NTSTATUS ExchangeWithoutCard(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Code, const UCHAR* Data,
                                    ULONG DataLength, READER_ANSWER* Answer)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    readerExtension->CardRequired = FALSE;
    const NTSTATUS status = ExchangePinpadCommand(SmartcardExtension, Code, Data, DataLength, Answer);
    readerExtension->CardRequired = TRUE;
    return status;
}

// The reader's version text as it came, then the driver's.
static NTSTATUS GetVersion(PSMARTCARD_EXTENSION SmartcardExtension)
{
    READER_ANSWER answer;
    *SmartcardExtension->IoRequest.Information = 0;
    NTSTATUS status = ExchangeWithoutCard(SmartcardExtension, COMMAND_READER_VERSION, NULL, 0, &answer);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    // An error answer without data has no error code to map.
    status = MapReaderAnswerStatus(answer.Kind, answer.Length != 0 ? answer.Data : NULL);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    const ULONG replyLength = answer.Length + sizeof(DriverVersionText);
    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
        SmartcardExtension->IoRequest.ReplyBufferLength < replyLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PUCHAR reply = SmartcardExtension->IoRequest.ReplyBuffer;
    RtlCopyMemory(reply, answer.Data, answer.Length);
    RtlCopyMemory(reply + answer.Length, DriverVersionText, sizeof(DriverVersionText));
    SetReplyLength(SmartcardExtension, replyLength);
    return STATUS_SUCCESS;
}

// Whatever the reader says to the capability request, the list is the same; the request still fails when the
// reader does not answer, so that an application does not offer PIN entry on a reader that is not there.
static NTSTATUS GetFeatureList(PSMARTCARD_EXTENSION SmartcardExtension)
{
    *SmartcardExtension->IoRequest.Information = 0;
    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
        SmartcardExtension->IoRequest.ReplyBufferLength < FEATURE_LIST_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    READER_ANSWER answer;
    const NTSTATUS status = ExchangePinpadCommand(SmartcardExtension, COMMAND_READER_CAPABILITY, NULL, 0, &answer);

    PUCHAR entry = SmartcardExtension->IoRequest.ReplyBuffer;
    for (const FEATURE_ENTRY& feature : FeatureList) {
        entry[0] = feature.Tag;
        entry[1] = FEATURE_VALUE_LENGTH;
        entry[2] = static_cast<UCHAR>(feature.ControlCode >> 24);
        entry[3] = static_cast<UCHAR>(feature.ControlCode >> 16);
        entry[4] = static_cast<UCHAR>(feature.ControlCode >> 8);
        entry[5] = static_cast<UCHAR>(feature.ControlCode);
        entry += FEATURE_ENTRY_LENGTH;
        *SmartcardExtension->IoRequest.Information += FEATURE_ENTRY_LENGTH;
    }
    SmartcardExtension->IoRequest.ReplyBufferLength = FEATURE_LIST_LENGTH;
    return status;
}

static NTSTATUS GetPinProperties(PSMARTCARD_EXTENSION SmartcardExtension)
{
    *SmartcardExtension->IoRequest.Information = 0;
    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
        SmartcardExtension->IoRequest.ReplyBufferLength < PIN_PROPERTIES_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    READER_ANSWER answer;
    const NTSTATUS status = ExchangePinpadCommand(SmartcardExtension, COMMAND_READER_CAPABILITY, NULL, 0, &answer);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    // The properties are built only from bytes the reader sent: an answer too short to carry the display layout
    // and the second time-out (an error answer without data, or one cut off) would leave the application with
    // made-up values, so it counts as a malformed answer.
    if (answer.Length < CAPABILITY_MIN_LENGTH) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PUCHAR reply = SmartcardExtension->IoRequest.ReplyBuffer;
    reply[0] = answer.Data[CAPABILITY_LAYOUT_LOW];
    reply[1] = answer.Data[CAPABILITY_LAYOUT_HIGH];
    reply[2] = PIN_ENTRY_VALIDATION_CONDITIONS;
    reply[3] = answer.Data[CAPABILITY_TIMEOUT2];
    SetReplyLength(SmartcardExtension, PIN_PROPERTIES_LENGTH);
    return STATUS_SUCCESS;
}

NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PULONG information = SmartcardExtension->IoRequest.Information;

    readerExtension->CardRequired = TRUE;

    // The request is refused as a bad parameter, not answered with success and an empty reply: a caller must not
    // take a request that never reached the reader for one the reader carried out.
    if (SmartcardExtension->IoRequest.RequestBufferLength >= VENDOR_REQUEST_LIMIT) {
        *information = 0;
        return STATUS_INVALID_PARAMETER;
    }

    // A removal seen before this request has nothing to do with the answers it is about to read.
    readerExtension->CardRemovedSeen = FALSE;

    NTSTATUS status;
    switch (SmartcardExtension->MajorIoControlCode) {
    case IOCTL_VENDOR_GET_VERSION:
        status = GetVersion(SmartcardExtension);
        break;
    case IOCTL_VENDOR_COMMAND_1F: {
        // The reader's answer has no meaning for the caller; it is read so that it is not taken for the answer to
        // the next command.
        READER_ANSWER answer;
        *information = 0;
        status = ExchangeWithoutCard(SmartcardExtension, COMMAND_VENDOR_1F, NULL, 0, &answer);
        break;
    }
    case IOCTL_VENDOR_COMMAND_2F:
        *information = 0;
        status = ExchangeWithoutCard(SmartcardExtension, COMMAND_VENDOR_DATA,
                                     SmartcardExtension->IoRequest.RequestBuffer,
                                     SmartcardExtension->IoRequest.RequestBufferLength, NULL);
        break;
    case IOCTL_VENDOR_COMMAND_3F:
        *information = 0;
        status = ExchangeWithoutCard(SmartcardExtension, COMMAND_VENDOR_3F, NULL, 0, NULL);
        break;
    case CM_IOCTL_GET_FEATURE_REQUEST:
        status = GetFeatureList(SmartcardExtension);
        break;
    case IOCTL_FEATURE_IFD_PIN_PROPERTIES:
        status = GetPinProperties(SmartcardExtension);
        break;
    case IOCTL_FEATURE_VERIFY_PIN_START:
        status = PinVerifyStart(SmartcardExtension);
        break;
    case IOCTL_FEATURE_VERIFY_PIN_FINISH:
        // The finish asks for one byte more room than its two-byte reply.
        if (SmartcardExtension->IoRequest.ReplyBufferLength < 3) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        status = PinVerifyFinish(SmartcardExtension);
        break;
    case IOCTL_FEATURE_GET_KEY_PRESSED:
        status = GetKeyPressed(SmartcardExtension);
        break;
    case IOCTL_FEATURE_VERIFY_PIN_DIRECT:
        status = PinVerifyDirect(SmartcardExtension);
        break;
    case IOCTL_FEATURE_ABORT:
        if (SmartcardExtension->IoRequest.ReplyBufferLength >= 3 && SmartcardExtension->IoRequest.ReplyBuffer != NULL) {
            status = PinAbort(SmartcardExtension);
        } else {
            SetReplyLength(SmartcardExtension, 0);
            status = STATUS_BUFFER_TOO_SMALL;
        }
        break;
    default:
        *information = 0;
        status = STATUS_SUCCESS;
        break;
    }

    // The card may still be in the slot (a broken-off wait, a failed background read): the state falls back to
    // present, unpowered, and the resource manager is told to look again, which re-powers a card that stopped
    // answering. A slot the reader reported empty stays empty: no card is made up, and a tracking request for a
    // card keeps waiting for one. The test and the change are one step under the lock with which a card event
    // changes the state.
    if (status == STATUS_NO_MEDIA) {
        const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&SmartcardExtension->OsData->SpinLock);
        const BOOLEAN cardInSlot = SmartcardExtension->ReaderCapabilities.CurrentState != SCARD_ABSENT;
        if (cardInSlot) {
            SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
        }
        KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, oldIrql);
        if (cardInSlot) {
            CompleteTrackingRequest(SmartcardExtension);
        }
    }
    return status;
}
