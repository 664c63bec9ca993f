// The pending-I/O count of a reader device and the accessors of its card state.
#include "driver.h"

// IdleEvent follows the count so that a query-stop or query-remove can wait until nothing is in flight: it is
// cleared when the count leaves 1 and signalled when it returns there. The lock keeps the event's state in step
// with the count when an increment and a decrement race.
LONG IncrementIoCount(PDEVICE_EXTENSION DeviceExtension)
{
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->IoCountLock);
    const LONG count = InterlockedIncrement(&DeviceExtension->IoCount);
    if (count == 2) {
        KeClearEvent(&DeviceExtension->IdleEvent);
    }
    KeReleaseSpinLock(&DeviceExtension->IoCountLock, oldIrql);
    return count;
}

LONG DecrementIoCount(PDEVICE_EXTENSION DeviceExtension)
{
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->IoCountLock);
    const LONG count = InterlockedDecrement(&DeviceExtension->IoCount);
    if (count == 1) {
        KeSetEvent(&DeviceExtension->IdleEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&DeviceExtension->IoCountLock, oldIrql);
    return count;
}

// The background read's completion changes the card state at DISPATCH_LEVEL under the same lock.
ULONG GetCardState(PSMARTCARD_EXTENSION SmartcardExtension)
{
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&SmartcardExtension->OsData->SpinLock);
    const ULONG state = SmartcardExtension->ReaderCapabilities.CurrentState;
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, oldIrql);
    return state;
}

VOID SetCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State)
{
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&SmartcardExtension->OsData->SpinLock);
    SmartcardExtension->ReaderCapabilities.CurrentState = State;
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, oldIrql);
}
