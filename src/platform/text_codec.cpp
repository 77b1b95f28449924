#include "platform/text_codec.h"

#include <algorithm>
#include <array>
#include <optional>

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

// The code point of the well-formed sequence at utf8[at], with its length in
// *length; nothing for an ill-formed one (*length is then 1).
std::optional<char32_t> NextCodePoint(std::string_view utf8, size_t at, size_t* length) {
  *length = 1;
  const auto lead = static_cast<uint8_t>(utf8[at]);
  if (lead < 0x80)
    return lead;
  const size_t n = lead >= 0xC2 && lead < 0xE0   ? 2
                   : lead >= 0xE0 && lead < 0xF0 ? 3
                   : lead >= 0xF0 && lead < 0xF5 ? 4
                                                 : 0;
  if (n == 0 || at + n > utf8.size())
    return std::nullopt;
  char32_t cp = lead & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    const auto b = static_cast<uint8_t>(utf8[at + k]);
    if ((b & 0xC0) != 0x80)
      return std::nullopt;
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF)
    return std::nullopt;
  *length = n;
  return cp;
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

std::string EncodeCp1252(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t at = 0; at < utf8.size();) {
    size_t length = 1;
    const std::optional<char32_t> cp = NextCodePoint(utf8, at, &length);
    at += length;
    char byte = '?';
    if (cp && *cp <= 0xFF) {
      byte = static_cast<char>(*cp);
    } else if (cp) {
      const auto* hit = std::find(kHighControls.begin(), kHighControls.end(), *cp);
      if (hit != kHighControls.end())
        byte = static_cast<char>(0x80 + (hit - kHighControls.begin()));
    }
    out.push_back(byte);
  }
  return out;
}

std::string EscapeControls(std::string_view text, KeptControls keep) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&](uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[(value >> 4) & 0x0F];
    out += kDigits[value & 0x0F];
  };
  for (size_t at = 0; at < text.size();) {
    size_t length = 1;
    const std::optional<char32_t> cp = NextCodePoint(text, at, &length);
    const auto byte = static_cast<uint8_t>(text[at]);
    const bool kept = keep == KeptControls::kLineBreaksAndTabs && (byte == '\n' || byte == '\t');
    if (cp && ((*cp < 0x20 && !kept) || *cp == 0x7F || (*cp >= 0x80 && *cp < 0xA0))) {
      escape(static_cast<uint32_t>(*cp));
    } else if (!cp && byte >= 0x80 && byte < 0xA0) {
      escape(byte);
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}

}  // namespace vexo3
