#include "platform/text_codec.h"

#include <array>

namespace vexo3 {
namespace {

// Code points of 0x80..0x9F; the rest of the 8-bit range is Latin-1.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendUtf8(std::string& out, char16_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string DecodeCp1252(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (uint8_t b : bytes) {
    if (b == 0)
      break;
    char16_t cp = (b >= 0x80 && b < 0xA0) ? kHighControls[b - 0x80] : char16_t{b};
    AppendUtf8(out, cp);
  }
  return out;
}

std::string DecodeCp1252(const char* bytes, size_t maxLength) {
  if (bytes == nullptr)
    return {};
  return DecodeCp1252(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes), maxLength));
}

}  // namespace vexo3
