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

}  // namespace vexo3
