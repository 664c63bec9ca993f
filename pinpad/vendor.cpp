// Vendor and PC/SC Part 10 I/O controls: the RDF_IOCTL_VENDOR callback.
#include "../driver/driver.h"

// No vendor or feature I/O control is served yet; SMCLIB fails each with this status.
NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension)
{
    UNREFERENCED_PARAMETER(SmartcardExtension);
    return STATUS_NOT_SUPPORTED;
}
