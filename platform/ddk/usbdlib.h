// USB interface of the simulated DDK (usbdlib.h): the USB bus work fills in the URB and descriptor layouts.
#pragma once
#include "wdm.h"
