#pragma once

// The one place that picks the D2XX backend for real hardware on this
// system: LibFtdiD2xx (libftdi1) on Linux, WinD2xx (the vendor's ftd2xx.dll,
// loaded at run time) on Windows. Front ends call this instead of naming a
// backend.

#include <memory>
#include <string>

#include "link/d2xx.h"

namespace vexo3 {

// The backend, ready for FT_CreateDeviceInfoList; the caller owns it. nullptr
// when this system has none: *error then holds a sentence for the user that
// names what is missing (e.g. "The FTDI D2XX driver is not installed ..."),
// without a program name in front and without a line end. Never throws.
std::unique_ptr<D2xxApi> MakeHardwareD2xx(std::string* error);

// What to tell the user about a chip that is listed but can't be opened, on
// a system where the reason differs from the usual one (lines ending in
// "\n"); nullptr where the caller's own text applies (Linux: permissions).
const char* DeviceAccessHint();

}  // namespace vexo3
