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

// Which control characters EscapeControls leaves as they are.
enum class KeptControls {
  kNone,               // a text shown on one line: a file name, a device string
  kLineBreaksAndTabs,  // a text made of lines: "\n" and "\t" stay
};

// Text from outside the program (a device, a package, a profile, a trace, a
// file name) made safe to print on a terminal or into a plain-text file: it
// is shown, never obeyed. Every control character becomes the four
// characters "\xNN", NN its value in lower-case hex: the C0 controls
// U+0000..U+001F (ESC, CR, BS, ...) except those `keep` names, DEL (U+007F),
// the C1 controls U+0080..U+009F (UTF-8 C2 80..C2 9F), and a byte 0x80..0x9F
// that is not part of a well-formed UTF-8 sequence (an 8-bit terminal takes
// 0x9B for CSI). Everything else is copied byte for byte: the backslash,
// printable ASCII, other UTF-8, other ill-formed bytes. So a text without
// control characters comes back exactly as it was, and escaping an escaped
// text changes nothing (layers may each escape what they print). Not for
// JSON, which has escapes of its own.
std::string EscapeControls(std::string_view text, KeptControls keep = KeptControls::kNone);

}  // namespace vexo3
