// APDU transmission to the card: the RDF_TRANSMIT callback.
#include "../driver/driver.h"

// Transmission needs the reader command exchange, which does not exist yet; SMCLIB fails the request with this
// status.
NTSTATUS TransmitApdu(PSMARTCARD_EXTENSION SmartcardExtension)
{
    UNREFERENCED_PARAMETER(SmartcardExtension);
    return STATUS_NOT_SUPPORTED;
}
