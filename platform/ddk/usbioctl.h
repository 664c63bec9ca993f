// USB interface of the simulated DDK (usbioctl.h): the USB bus work fills in the URB and descriptor layouts.
#pragma once
#include "wdm.h"
