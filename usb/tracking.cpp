// Card presence tracking: the RDF_CARD_TRACKING callback.
#include "../driver/driver.h"

// Tracking needs the background read of the reader link, which does not exist yet; SMCLIB fails the
// IOCTL_SMARTCARD_IS_PRESENT or IS_ABSENT request with this status.
NTSTATUS CardTracking(PSMARTCARD_EXTENSION SmartcardExtension)
{
    UNREFERENCED_PARAMETER(SmartcardExtension);
    return STATUS_NOT_SUPPORTED;
}
