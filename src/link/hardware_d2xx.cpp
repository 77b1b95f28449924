#include "link/hardware_d2xx.h"

#if defined(_WIN32)
#include "link/win_d2xx.h"
#elif defined(VEXO3_HAVE_LIBFTDI)
#include "link/libftdi_d2xx.h"
#endif

namespace vexo3 {

std::unique_ptr<D2xxApi> MakeHardwareD2xx(std::string* error) {
#if defined(_WIN32)
  return WinD2xx::LoadSystemDriver(error);
#elif defined(VEXO3_HAVE_LIBFTDI)
  (void)error;
  return std::make_unique<LibFtdiD2xx>();
#else
  if (error != nullptr)
    *error = "This build has no USB backend (it was built without libftdi1); use --simulate.";
  return nullptr;
#endif
}

const char* DeviceAccessHint() {
#if defined(_WIN32)
  // The driver needs no permission here; a chip it can't open is in use.
  return "The USB device can't be opened, most likely because another program has it open\n"
         "(a terminal program, or a second updater). Close that program, or unplug the\n"
         "HandController and plug it in again.\n";
#else
  return nullptr;
#endif
}

}  // namespace vexo3
