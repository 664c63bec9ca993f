// Building and reading single reader packets: reader-control requests, command lengths, data packets, answer headers.
#include "../driver/driver.h"
#include "packets.h"

VOID BuildReaderRequest(PUCHAR Packet, UCHAR Code)
{
    RtlZeroMemory(Packet, READER_PACKET_SIZE);
    Packet[PACKET_KIND_OFFSET] = PACKET_KIND_CONTROL;
    Packet[CONTROL_CODE_OFFSET] = Code;
    if (Code == REQUEST_COLD_RESET || Code == REQUEST_WARM_RESET) {
        Packet[CONTROL_PARAMETER_OFFSET] = RESET_PARAMETER;
    }
}

VOID SetCommandDataLength(PUCHAR Header, ULONG Length)
{
    Header[COMMAND_LENGTH_LOW_OFFSET] = static_cast<UCHAR>(Length & 0xFF);
    Header[COMMAND_LENGTH_HIGH_OFFSET] = static_cast<UCHAR>((Length >> 8) & 0xFF);
}

// The bytes after the piece carry no meaning; they are zeroed so that no stale data of an earlier piece goes
// out on the wire.
ULONG BuildDataPacket(PUCHAR Packet, const UCHAR* Data, ULONG Remaining)
{
    const ULONG count = Remaining < DATA_PACKET_CAPACITY ? Remaining : DATA_PACKET_CAPACITY;
    RtlZeroMemory(Packet, READER_PACKET_SIZE);
    Packet[PACKET_KIND_OFFSET] = PACKET_KIND_DATA;
    Packet[PACKET_COUNT_OFFSET] = static_cast<UCHAR>(count);
    RtlCopyMemory(Packet + PACKET_PAYLOAD_OFFSET, Data, count);
    return count;
}

BOOLEAN ParseAnswerHeader(const UCHAR* Packet, PUCHAR AnswerKind, PULONG DataLength)
{
    const UCHAR count = Packet[PACKET_COUNT_OFFSET];
    if (Packet[PACKET_KIND_OFFSET] != PACKET_KIND_HEADER || count == 0 || count > ANSWER_HEADER_MAX_COUNT) {
        return FALSE;
    }
    ULONG length = 0;
    if (count >= 2) {
        length = Packet[ANSWER_LENGTH_LOW_OFFSET];
    }
    if (count >= 3) {
        length += 256u * Packet[ANSWER_LENGTH_HIGH_OFFSET];
    }
    *AnswerKind = Packet[ANSWER_KIND_OFFSET];
    *DataLength = length;
    return TRUE;
}

BOOLEAN IsCardStatusPacket(const UCHAR* Packet)
{
    return Packet[PACKET_KIND_OFFSET] == PACKET_KIND_CONTROL && Packet[CONTROL_CODE_OFFSET] == CARD_STATUS_CODE;
}
