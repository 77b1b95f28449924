// Any byte string is a possible descriptor block from a device.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "protocol/command_catalog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexo3::CommandCatalog catalog;
  const int rc = catalog.LoadCatalog(data, size);
  if (rc < 0 || rc > 2)
    std::abort();
  if (size > 0 && catalog.Commands().size() > data[0])
    std::abort();
  // A well-formed block loads the same way twice.
  if (rc == 0) {
    vexo3::CommandCatalog again;
    if (again.LoadCatalog(data, size) != 0 || again.Commands() != catalog.Commands())
      std::abort();
  }
  return 0;
}
