// The USB driver interface of the simulated DDK: URBs and internal I/O controls.
#pragma once
#include "usb.h"
#include "usbioctl.h"
