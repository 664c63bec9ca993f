/* The bare reader driver the pcscd benchmark compares ours with: an IFD handler that forwards every call straight to
 * vsmartcard's card emulator (vicc) over its socket, with nothing in between. DEVICENAME is the loopback port it
 * names the loopback port it listens on, after a colon ("vicc:35963"; pcscd wants a colon in a name that is not a
 * file); vicc connects there. Messages both ways: a 2-byte big-endian length, then the payload; a 1-byte
 * payload to vicc is a control (00 power off, 01 power on, 02 reset, 04 get ATR, which vicc answers with the ATR),
 * anything longer an APDU, answered with the response APDU. One reader, one slot. */
#include <PCSC/ifdhandler.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int listener = -1, card = -1;
static unsigned char atr[MAX_ATR_SIZE];
static DWORD atr_length;

static void drop_card(void) {
    if (card >= 0) close(card);
    card = -1;
    atr_length = 0;
}

/* Takes a waiting vicc connection, if there is one: the card is in the slot while it stays connected. */
static int have_card(void) {
    if (card < 0 && listener >= 0) {
        card = accept4(listener, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (card >= 0) {
            int on = 1;
            setsockopt(card, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            fcntl(card, F_SETFL, 0);
        }
    }
    return card >= 0;
}

static int exchange_all(int send_side, unsigned char *buffer, size_t length) {
    while (length > 0) {
        ssize_t n = send_side ? send(card, buffer, length, MSG_NOSIGNAL) : recv(card, buffer, length, 0);
        if (n <= 0) return 0;
        buffer += n;
        length -= (size_t)n;
    }
    return 1;
}

/* Sends one message; with `answer`, receives one too (at most *answer_length bytes). */
static int message(const unsigned char *payload, size_t length, unsigned char *answer, DWORD *answer_length) {
    unsigned char frame[2 + 65536];
    if (!have_card() || length > 65535) return 0;
    frame[0] = (unsigned char)(length >> 8);
    frame[1] = (unsigned char)length;
    memcpy(frame + 2, payload, length);
    if (!exchange_all(1, frame, length + 2)) goto gone;
    if (!answer) return 1;
    if (!exchange_all(0, frame, 2)) goto gone;
    length = (size_t)frame[0] << 8 | frame[1];
    if (length > *answer_length || !exchange_all(0, answer, length)) goto gone;
    *answer_length = (DWORD)length;
    return 1;
gone:
    drop_card();
    return 0;
}

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    int on = 1;
    (void)Lun;
    const char *port = strchr(DeviceName, ':');
    address.sin_port = htons((unsigned short)atoi(port ? port + 1 : DeviceName));
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 1) != 0)
        return IFD_COMMUNICATION_ERROR;
    return IFD_SUCCESS;
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    char port[16] = "vicc:35963";
    (void)Channel;
    return IFDHCreateChannelByName(Lun, port);
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    (void)Lun;
    drop_card();
    if (listener >= 0) close(listener);
    listener = -1;
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    (void)Lun;
    if (Tag == TAG_IFD_ATR) {
        if (*Length < atr_length) return IFD_ERROR_INSUFFICIENT_BUFFER;
        memcpy(Value, atr, atr_length);
        *Length = atr_length;
        return IFD_SUCCESS;
    }
    if (Tag == TAG_IFD_SLOTS_NUMBER || Tag == TAG_IFD_SIMULTANEOUS_ACCESS) {
        *Length = 1;
        Value[0] = 1;
        return IFD_SUCCESS;
    }
    return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
    (void)Lun, (void)Tag, (void)Length, (void)Value;
    return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2, UCHAR PTS3) {
    (void)Lun, (void)Protocol, (void)Flags, (void)PTS1, (void)PTS2, (void)PTS3;
    return IFD_SUCCESS;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    unsigned char control = Action == IFD_POWER_DOWN ? 0x00 : Action == IFD_RESET ? 0x02 : 0x01, get_atr = 0x04;
    (void)Lun;
    *AtrLength = 0;
    if (!message(&control, 1, NULL, NULL)) return IFD_ERROR_POWER_ACTION;
    if (Action == IFD_POWER_DOWN) return IFD_SUCCESS;
    atr_length = sizeof atr;
    if (!message(&get_atr, 1, atr, &atr_length)) return IFD_ERROR_POWER_ACTION;
    memcpy(Atr, atr, atr_length);
    *AtrLength = atr_length;
    return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    (void)Lun, (void)SendPci, (void)RecvPci;
    /* A 1-byte message is a power or ATR request to vicc, which does not answer a power-off: such an APDU would
     * hang the reader. Nothing shorter than a command header is an APDU anyway. */
    if (TxLength < 4 || !message(TxBuffer, TxLength, RxBuffer, RxLength)) {
        *RxLength = 0;
        return IFD_COMMUNICATION_ERROR;
    }
    return IFD_SUCCESS;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
    (void)Lun, (void)dwControlCode, (void)TxBuffer, (void)TxLength, (void)RxBuffer, (void)RxLength;
    *pdwBytesReturned = 0;
    return IFD_ERROR_NOT_SUPPORTED;
}

/* pcscd asks every 400 ms; a connection that has ended (the peer closed it) is a card taken out. */
RESPONSECODE IFDHICCPresence(DWORD Lun) {
    (void)Lun;
    if (have_card()) {
        struct pollfd p = {card, POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) drop_card();
    }
    return card >= 0 ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}
