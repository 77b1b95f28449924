#pragma once

#include <cstdint>

namespace vexo3 {

// Outcome of every protocol, device and user-interface operation: 0 is
// success, every other value names one failure. Operations return it and
// stop at the first non-zero step, passing that code on unchanged.
using ResultCode = int32_t;

// The fixed English message of a code; "(unknown error code)" for a value
// not in the table. The text has static lifetime; never null. No allocation,
// no state: safe to call from anywhere.
const char* ResultText(ResultCode code);

}  // namespace vexo3
