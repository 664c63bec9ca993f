// The simulated DDK's ntddk.h: everything of wdm.h (the driver uses nothing beyond it).
#pragma once
#include "wdm.h"
