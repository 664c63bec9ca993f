// Card power and protocol selection: the RDF_CARD_POWER and RDF_SET_PROTOCOL callbacks.
#include "../driver/driver.h"

// Card power needs the reader command exchange, which does not exist yet; SMCLIB fails the request with this status.
NTSTATUS CardPower(PSMARTCARD_EXTENSION SmartcardExtension)
{
    UNREFERENCED_PARAMETER(SmartcardExtension);
    return STATUS_NOT_SUPPORTED;
}

// Protocol selection depends on the ATR collected by CardPower; until then no protocol can be selected.
NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension)
{
    UNREFERENCED_PARAMETER(SmartcardExtension);
    return STATUS_NOT_SUPPORTED;
}
