// libFuzzer entry point; the body is shared with the corpus replay test.

#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vexo3::fuzz::FuzzTrace(data, size);
}
