#pragma once

// Byte strings as the tests write them.

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vexo3::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace vexo3::test
