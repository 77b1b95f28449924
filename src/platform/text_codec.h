#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vexo3 {

// Decodes 8-bit text from the device, the USB chip or a package file.
// The bytes are Windows-1252; the text ends at the first zero byte or at
// the end of the span, whichever comes first. The five code points that
// Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the
// C1 controls of the same value, so every byte string gives valid UTF-8.
std::string DecodeCp1252(std::span<const uint8_t> bytes);
std::string DecodeCp1252(const char* bytes, size_t maxLength);

// Encodes UTF-8 text as 8-bit text for the device: a code point up to U+00FF
// becomes the byte of that value, one of Windows-1252's others its byte in
// 0x80..0x9F, anything else (and any ill-formed UTF-8 byte) '?'. A zero code
// point is kept as a zero byte.
std::string EncodeCp1252(std::string_view utf8);

}  // namespace vexo3
