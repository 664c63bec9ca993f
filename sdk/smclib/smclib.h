// Declarations of the Windows smart card driver library SMCLIB (SMCLIB.SYS): its records, constants and routines.
//
// Include after <ntddk.h> (or <wdm.h>) and <winsmcrd.h>. The only DDK names this header relies on are:
//   base types   VOID, BOOLEAN, UCHAR, USHORT, ULONG, LONG, PUCHAR, PULONG, PVOID, NTSTATUS, NTAPI, FIELD_OFFSET
//   objects      KSPIN_LOCK, KMUTEX, KEVENT, LIST_ENTRY, UNICODE_STRING (PUNICODE_STRING)
//   pointers     PDEVICE_OBJECT, PIRP
// and, from winsmcrd.h, MAXIMUM_ATTR_STRING_LENGTH and the SCARD_ constants guarded below.
//
// The layouts are those of the 64-bit library (LLP64: ULONG 32 bits, pointers 64 bits, natural alignment, default
// packing). The static assertions at the end pin every offset the driver depends on, so a build whose base types or
// packing differ from the library's fails at compile time instead of corrupting the library's records at run time.
#pragma once

// Version of SMARTCARD_EXTENSION that a driver built against this header fills in.
#define SMCLIB_VERSION 0x150

// Smallest request and reply buffer that SmartcardInitialize allocates.
#define MIN_BUFFER_SIZE 288

// Indices into SMARTCARD_EXTENSION.ReaderFunction: the reader callbacks.
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9

// PTS_DATA.Type: how SmartcardUpdateCardCapabilities chooses the protocol type selection parameters.
#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02

// winsmcrd.h normally carries these; the guards keep a header that lacks one of them usable without ever defining a
// name twice.
#ifndef MAXIMUM_ATTR_STRING_LENGTH
#define MAXIMUM_ATTR_STRING_LENGTH 32
#endif
#ifndef SCARD_UNKNOWN
#define SCARD_UNKNOWN 0
#endif
#ifndef SCARD_ABSENT
#define SCARD_ABSENT 1
#endif
#ifndef SCARD_PRESENT
#define SCARD_PRESENT 2
#endif
#ifndef SCARD_SWALLOWED
#define SCARD_SWALLOWED 3
#endif
#ifndef SCARD_POWERED
#define SCARD_POWERED 4
#endif
#ifndef SCARD_NEGOTIABLE
#define SCARD_NEGOTIABLE 5
#endif
#ifndef SCARD_SPECIFIC
#define SCARD_SPECIFIC 6
#endif
#ifndef SCARD_PROTOCOL_UNDEFINED
#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#endif
#ifndef SCARD_PROTOCOL_T0
#define SCARD_PROTOCOL_T0 0x00000001
#endif
#ifndef SCARD_PROTOCOL_T1
#define SCARD_PROTOCOL_T1 0x00000002
#endif
#ifndef SCARD_PROTOCOL_RAW
#define SCARD_PROTOCOL_RAW 0x00010000
#endif
#ifndef SCARD_PROTOCOL_Tx
#define SCARD_PROTOCOL_Tx (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
#endif
#ifndef SCARD_PROTOCOL_DEFAULT
#define SCARD_PROTOCOL_DEFAULT 0x80000000
#endif
#ifndef SCARD_PROTOCOL_OPTIMAL
#define SCARD_PROTOCOL_OPTIMAL 0x00000000
#endif
#ifndef SCARD_READER_TYPE_USB
#define SCARD_READER_TYPE_USB 0x20
#endif

typedef struct _SMARTCARD_EXTENSION SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;

// The reader driver's own record; the driver defines struct _READER_EXTENSION, the library only carries the pointer.
typedef struct _READER_EXTENSION READER_EXTENSION, *PREADER_EXTENSION;

// Records the library points to but a reader driver never looks into.
typedef struct _BIT_RATE_ADJUSTMENT BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;
typedef struct _PERF_INFO PERF_INFO, *PPERF_INFO;

// One entry of the ISO 7816-3 clock rate conversion table (F and the largest clock frequency fs for it).
typedef struct _CLOCK_RATE_CONVERSION {
    ULONG F;
    ULONG fs;
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

// Identification of the reader; SMCLIB answers the vendor attribute requests from it.
typedef struct _VENDOR_ATTR {
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } VendorName;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdType;
    ULONG UnitNo;
    struct {
        USHORT BuildNumber;
        UCHAR VersionMinor;
        UCHAR VersionMajor;
    } IfdVersion;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdSerialNo;
    ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

// Protocol type selection parameters computed from the ATR.
typedef struct _PTS_DATA {
    UCHAR Type;
    UCHAR Fl;
    UCHAR Dl;
    ULONG CLKFrequency;
    ULONG DataRate;
    UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

// What the library knows about the card in the reader; SmartcardUpdateCardCapabilities fills it from ATR.
typedef struct _SCARD_CARD_CAPABILITIES {
    BOOLEAN InversConvention;
    ULONG etu;
    struct {
        UCHAR Buffer[64];
        UCHAR Length;
    } ATR;
    struct {
        UCHAR Buffer[16];
        UCHAR Length;
    } HistoricalChars;
    PCLOCK_RATE_CONVERSION ClockRateConversion;
    PBIT_RATE_ADJUSTMENT BitRateAdjustment;
    UCHAR Fl;
    UCHAR Dl;
    UCHAR II;
    UCHAR P;
    UCHAR N;
    ULONG GT;
    struct {
        ULONG Supported;
        ULONG Selected;
    } Protocol;
    struct {
        UCHAR WI;
        ULONG WT;
    } T0;
    struct {
        UCHAR IFSC;
        UCHAR CWI;
        UCHAR BWI;
        UCHAR EDC;
        ULONG CWT;
        ULONG BWT;
        ULONG BGT;
    } T1;
    PTS_DATA PtsData;
    UCHAR Reserved[100 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

// What the reader can do and the card state that SMCLIB reports for it.
typedef struct _SCARD_READER_CAPABILITIES {
    ULONG SupportedProtocols;
    ULONG Reserved;
    ULONG ReaderType;
    ULONG MechProperties;
    ULONG CurrentState;
    ULONG Channel;
    struct {
        ULONG Default;
        ULONG Max;
    } CLKFrequency;
    struct {
        ULONG Default;
        ULONG Max;
    } DataRate;
    ULONG MaxIFSD;
    ULONG PowerMgmtSupport;
    ULONG CardConfiscated;
    struct _DataRatesSupported {
        PULONG List;
        UCHAR Entries;
    } DataRatesSupported;
    struct _CLKFrequenciesSupported {
        PULONG List;
        UCHAR Entries;
    } CLKFrequenciesSupported;
    UCHAR Reserved1[100 - sizeof(ULONG) - sizeof(struct _DataRatesSupported) -
                    sizeof(struct _CLKFrequenciesSupported)];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

// The library's data buffer towards the card: Buffer holds BufferSize bytes, BufferLength of them in use.
typedef struct _SMARTCARD_REQUEST {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength;
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

// The library's data buffer from the card; the driver sets BufferLength to the bytes it received.
typedef struct _SMARTCARD_REPLY {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength;
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

// State of a T=0 exchange.
typedef struct _T0_DATA {
    ULONG Lc;
    ULONG Le;
} T0_DATA, *PT0_DATA;

// State of a T=1 exchange; the library owns it.
typedef struct _T1_DATA {
    UCHAR IFSC;
    UCHAR IFSD;
    ULONG BytesReceived;
    ULONG BytesSent;
    ULONG BytesToSend;
    UCHAR LastError;
    BOOLEAN MoreData;
    UCHAR NAD;
    ULONG OriginalState;
    UCHAR Resend;
    UCHAR Resynch;
    UCHAR RSN;
    UCHAR SSN;
    ULONG State;
    UCHAR Wtx;
    PUCHAR ReplyData;
    BOOLEAN WaitForReply;
    UCHAR InfBytesSent;
#if !defined(_WIN64) && !defined(__LP64__)
    // Spare bytes up to a 10-byte tail; with 8-byte pointers nothing is left, and a zero-length array is not C++.
    UCHAR Reserved[10 - sizeof(PUCHAR) - sizeof(BOOLEAN) - sizeof(UCHAR)];
#endif
} T1_DATA, *PT1_DATA;

// Operating-system part of the extension, allocated by SmartcardInitialize. The driver sets DeviceObject; the
// library puts the pending card-tracking request into NotificationIrp; SpinLock guards NotificationIrp,
// CurrentIrp and the card state.
typedef struct _OS_DEP_DATA {
    PDEVICE_OBJECT DeviceObject;
    PIRP CurrentIrp;
    PIRP NotificationIrp;
    KMUTEX Mutex;
    KSPIN_LOCK SpinLock;
    struct {
        BOOLEAN Removed;
        LONG RefCount;
        KEVENT RemoveEvent;
        LIST_ENTRY TagList;
    } RemoveLock;
    PDEVICE_OBJECT DebugDeviceObject;
} OS_DEP_DATA, *POS_DEP_DATA;

// The record shared by the reader driver and the library; the driver embeds it in its device extension.
struct _SMARTCARD_EXTENSION {
    ULONG Version;
    VENDOR_ATTR VendorAttr;
    NTSTATUS (*ReaderFunction[16])(PSMARTCARD_EXTENSION SmartcardExtension);
    SCARD_CARD_CAPABILITIES CardCapabilities;
    ULONG LastError;
    struct {
        PULONG Information;
        PUCHAR RequestBuffer;
        ULONG RequestBufferLength;
        PUCHAR ReplyBuffer;
        ULONG ReplyBufferLength;
    } IoRequest;
    ULONG MajorIoControlCode;
    ULONG MinorIoControlCode;
    POS_DEP_DATA OsData;
    SCARD_READER_CAPABILITIES ReaderCapabilities;
    PREADER_EXTENSION ReaderExtension;
    SMARTCARD_REPLY SmartcardReply;
    SMARTCARD_REQUEST SmartcardRequest;
    T0_DATA T0;
    T1_DATA T1;
    PPERF_INFO PerfInfo;
    ULONG Reserved[25 - sizeof(PPERF_INFO)];
};

#ifdef __cplusplus
extern "C" {
#endif

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length);
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData);

#ifdef __cplusplus
}
#endif

// Layout checks. The records hold no DDK object by value except OS_DEP_DATA, so all figures but that record's tail
// are fixed by the base type sizes alone and must hold for every build of this header.
static_assert(sizeof(VOID*) == 8 && sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(BOOLEAN) == 1,
              "SMCLIB records are laid out for LLP64");

static_assert(FIELD_OFFSET(VENDOR_ATTR, IfdType) == 34, "VENDOR_ATTR layout");
static_assert(FIELD_OFFSET(VENDOR_ATTR, UnitNo) == 68, "VENDOR_ATTR layout");
static_assert(FIELD_OFFSET(VENDOR_ATTR, IfdVersion) == 72, "VENDOR_ATTR layout");
static_assert(FIELD_OFFSET(VENDOR_ATTR, IfdSerialNo) == 76, "VENDOR_ATTR layout");
static_assert(FIELD_OFFSET(VENDOR_ATTR, Reserved) == 112, "VENDOR_ATTR layout");
static_assert(sizeof(VENDOR_ATTR) == 212, "VENDOR_ATTR size");

static_assert(sizeof(PTS_DATA) == 16, "PTS_DATA size");

static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, etu) == 4, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, ATR) == 8, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, ATR.Length) == 72, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, HistoricalChars) == 73, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, ClockRateConversion) == 96, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, Fl) == 112, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, GT) == 120, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, Protocol.Supported) == 124, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, Protocol.Selected) == 128, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, T0.WT) == 136, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, T1.BWT) == 148, "SCARD_CARD_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_CARD_CAPABILITIES, PtsData) == 156, "SCARD_CARD_CAPABILITIES layout");
static_assert(sizeof(SCARD_CARD_CAPABILITIES) == 256, "SCARD_CARD_CAPABILITIES size");

static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, ReaderType) == 8, "SCARD_READER_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, CurrentState) == 16, "SCARD_READER_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, CLKFrequency) == 24, "SCARD_READER_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, DataRate) == 32, "SCARD_READER_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, MaxIFSD) == 40, "SCARD_READER_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, DataRatesSupported) == 56, "SCARD_READER_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, DataRatesSupported.Entries) == 64,
              "SCARD_READER_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, CLKFrequenciesSupported) == 72,
              "SCARD_READER_CAPABILITIES layout");
static_assert(FIELD_OFFSET(SCARD_READER_CAPABILITIES, Reserved1) == 88, "SCARD_READER_CAPABILITIES layout");
static_assert(sizeof(SCARD_READER_CAPABILITIES) == 152, "SCARD_READER_CAPABILITIES size");

static_assert(FIELD_OFFSET(SMARTCARD_REQUEST, BufferSize) == 8, "SMARTCARD_REQUEST layout");
static_assert(FIELD_OFFSET(SMARTCARD_REQUEST, BufferLength) == 12, "SMARTCARD_REQUEST layout");
static_assert(sizeof(SMARTCARD_REQUEST) == 16, "SMARTCARD_REQUEST size");
static_assert(FIELD_OFFSET(SMARTCARD_REPLY, BufferSize) == 8, "SMARTCARD_REPLY layout");
static_assert(FIELD_OFFSET(SMARTCARD_REPLY, BufferLength) == 12, "SMARTCARD_REPLY layout");
static_assert(sizeof(SMARTCARD_REPLY) == 16, "SMARTCARD_REPLY size");

static_assert(sizeof(T0_DATA) == 8, "T0_DATA size");
static_assert(FIELD_OFFSET(T1_DATA, OriginalState) == 20, "T1_DATA layout");
static_assert(FIELD_OFFSET(T1_DATA, Wtx) == 32, "T1_DATA layout");
static_assert(FIELD_OFFSET(T1_DATA, ReplyData) == 40, "T1_DATA layout");
static_assert(FIELD_OFFSET(T1_DATA, InfBytesSent) == 49, "T1_DATA layout");
static_assert(sizeof(T1_DATA) == 56, "T1_DATA size");

static_assert(FIELD_OFFSET(OS_DEP_DATA, DeviceObject) == 0, "OS_DEP_DATA layout");
static_assert(FIELD_OFFSET(OS_DEP_DATA, CurrentIrp) == 8, "OS_DEP_DATA layout");
static_assert(FIELD_OFFSET(OS_DEP_DATA, NotificationIrp) == 16, "OS_DEP_DATA layout");
static_assert(FIELD_OFFSET(OS_DEP_DATA, Mutex) == 24, "OS_DEP_DATA layout");
#ifdef _WIN64
// With the real kernel objects (KMUTEX 56 bytes, KEVENT 24) the rest of the record is fixed as well.
static_assert(FIELD_OFFSET(OS_DEP_DATA, SpinLock) == 80, "OS_DEP_DATA layout");
static_assert(FIELD_OFFSET(OS_DEP_DATA, RemoveLock.RefCount) == 92, "OS_DEP_DATA layout");
static_assert(FIELD_OFFSET(OS_DEP_DATA, RemoveLock.RemoveEvent) == 96, "OS_DEP_DATA layout");
static_assert(FIELD_OFFSET(OS_DEP_DATA, RemoveLock.TagList) == 120, "OS_DEP_DATA layout");
static_assert(FIELD_OFFSET(OS_DEP_DATA, DebugDeviceObject) == 136, "OS_DEP_DATA layout");
static_assert(sizeof(OS_DEP_DATA) == 144, "OS_DEP_DATA size");
#endif

static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, VendorAttr) == 4, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, ReaderFunction) == 216, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, CardCapabilities) == 344, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, LastError) == 600, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, IoRequest.Information) == 608, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, IoRequest.RequestBuffer) == 616, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, IoRequest.RequestBufferLength) == 624, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, IoRequest.ReplyBuffer) == 632, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, IoRequest.ReplyBufferLength) == 640, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, MajorIoControlCode) == 648, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, MinorIoControlCode) == 652, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, OsData) == 656, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, ReaderCapabilities) == 664, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, ReaderExtension) == 816, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, SmartcardReply) == 824, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, SmartcardRequest) == 840, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, T0) == 856, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, T1) == 864, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, PerfInfo) == 920, "SMARTCARD_EXTENSION layout");
static_assert(FIELD_OFFSET(SMARTCARD_EXTENSION, Reserved) == 928, "SMARTCARD_EXTENSION layout");
static_assert(sizeof(SMARTCARD_EXTENSION) == 1000, "SMARTCARD_EXTENSION size");
