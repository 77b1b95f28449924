#pragma once

// D2xxApi on Windows: the vendor's D2XX driver library ftd2xx.dll, loaded at
// run time (no import library, no vendor header: link/d2xx.h declares the
// names and types). Every call goes straight to the driver, so its
// semantics are the driver's own:
//   - FT_Read blocks until n bytes or the read time-out and returns FT_OK
//     with the count (short, or 0, on a time-out).
//   - FT_Write blocks until all bytes are accepted or the write time-out and
//     returns FT_OK with the count written.
// Not thread-safe beyond what the driver is: one caller at a time.

#include <memory>
#include <string>

#include "link/d2xx.h"

namespace vexo3 {

class WinD2xx final : public D2xxApi {
 public:
  // Loads ftd2xx.dll from the Windows system folder only, so a DLL of that
  // name planted beside the program or in the current folder is never
  // picked up. nullptr when the driver is not installed or lacks a function
  // the link uses; *error then says which, as a sentence for the user.
  static std::unique_ptr<WinD2xx> LoadSystemDriver(std::string* error);
  // Loads the driver library at this full path (UTF-8), for tests of a
  // stand-in driver. Same failures as LoadSystemDriver.
  static std::unique_ptr<WinD2xx> LoadDriverAt(const std::string& path, std::string* error);

  // Unloads the library; handles the driver still has open are closed first.
  ~WinD2xx() override;
  WinD2xx(const WinD2xx&) = delete;
  WinD2xx& operator=(const WinD2xx&) = delete;

  VEXO3_D2XX_OVERRIDES;  // every call of D2xxApi (link/d2xx.h)

  struct Functions;  // the driver's entry points

 private:
  WinD2xx();
  // Takes over a loaded driver library (a HMODULE) and resolves its
  // functions; nullptr with the first missing one named in *missing.
  static std::unique_ptr<WinD2xx> Adopt(void* module, std::string* missing);

  std::unique_ptr<Functions> fn_;
};

}  // namespace vexo3
