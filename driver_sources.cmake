# The reader driver's source files, relative to the repository root; the simulation and the Windows build both use it.
set(DRIVER_SOURCES
    driver/entry.cpp
    driver/state.cpp
    driver/pnp.cpp
    driver/power.cpp
    driver/dispatch.cpp
    usb/tracking.cpp
    card/power.cpp
    card/transmit.cpp
    pinpad/vendor.cpp
)
