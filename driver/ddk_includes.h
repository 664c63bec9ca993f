// The one place where driver files include the kernel, USB, USBD and smart card library headers of the platform.
#pragma once

#if defined(_WIN32)

// mingw-w64's wdm.h defines these two intrinsics inline and its intrinsic header declares them again, which C++
// rejects; claiming them as already defined keeps the wdm.h definitions only.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
// The mingw-w64 USB headers have no C++ linkage block of their own.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#include <winsmcrd.h>

// mingw-w64's winsmcrd.h lacks the smart card reader interface class.
#ifndef GUID_DEVINTERFACE_SMARTCARD_READER_DEFINED
#define GUID_DEVINTERFACE_SMARTCARD_READER_DEFINED
extern "C" const GUID DECLSPEC_SELECTANY GUID_DEVINTERFACE_SMARTCARD_READER = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
#endif

// The kernel loader discards a section named INIT after DriverEntry and may page out sections named PAGE*.
#define DRIVER_INIT_CODE __attribute__((section("INIT")))
#define DRIVER_PAGED_CODE __attribute__((section("PAGE")))

#else

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <winsmcrd.h>

// The simulated kernel neither discards nor pages code.
#define DRIVER_INIT_CODE
#define DRIVER_PAGED_CODE

#endif

#include <smclib.h>

#ifndef PAGED_CODE
#define PAGED_CODE() ((void)0)
#endif
