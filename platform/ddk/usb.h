// USB interface of the simulated DDK (usb.h): the USB bus work fills in the URB and descriptor layouts.
#pragma once
#include "wdm.h"
