// Device texts written from UTF-8 (profiles): the encode direction of the
// Windows-1252 codec; texts from outside shown on a terminal.

#include "platform/text_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vexo3 {
namespace {

TEST(EncodeCp1252, Table) {
  const struct {
    std::string utf8;
    std::string bytes;
  } cases[] = {
      // clang-format off
      {"", ""},
      {"Ab 1", "Ab 1"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},  // a zero code point stays
      {"\xC3\xA9\xC3\xBF", "\xE9\xFF"},                   // Latin-1: the byte of the code point
      {"\xE2\x82\xAC\xE2\x84\xA2\xC5\xB8", "\x80\x99\x9F"},  // euro, trade mark, Y diaeresis
      {"\xC2\x81\xC2\x80", "\x81\x80"},                   // C1 controls: their own byte
      {"\xE2\x98\x83|\xF0\x9F\x98\x80", "?|?"},           // not in Windows-1252
      {"\xFF\xC3", "??"},                                 // no lead byte; cut short
      {"\xC0\xAF", "??"},                                 // overlong
      {"\xED\xA0\x80", "???"},                            // a surrogate
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(EncodeCp1252(c.utf8), c.bytes) << c.utf8;
}

TEST(EncodeCp1252, UndoesTheDecoderForEveryByte) {
  for (int b = 1; b < 256; ++b) {
    const uint8_t byte[1] = {static_cast<uint8_t>(b)};
    EXPECT_EQ(EncodeCp1252(DecodeCp1252(byte)), std::string(1, static_cast<char>(b))) << b;
  }
}

TEST(EscapeControls, Table) {
  using enum KeptControls;
  const struct {
    std::string text;
    KeptControls keep;
    std::string shown;
  } cases[] = {
      // clang-format off
      {"Vexo-3 caf\xC3\xA9 \\x1b \"q\"", kNone, "Vexo-3 caf\xC3\xA9 \\x1b \"q\""},  // unchanged
      {"\x1b]52;c;SGk=\x07", kNone, "\\x1b]52;c;SGk=\\x07"},  // OSC 52 writes the clipboard
      {"50%\rDONE ok\b", kNone, "50%\\x0dDONE ok\\x08"},          // CR, BS
      {"a\x7F", kNone, "a\\x7f"},                                   // DEL
      {"\xC2\x9B" "2J", kNone, "\\x9b2J"},                         // C1 CSI in UTF-8
      {"\x9B" "2J", kNone, "\\x9b2J"},                              // a lone 8-bit CSI
      {"\xFF\xE9 \xE2\x82\xAC", kNone, "\xFF\xE9 \xE2\x82\xAC"},  // other bytes as they are
      {"a\n\tb", kNone, "a\\x0a\\x09b"},
      {"a\n\tb\r", kLineBreaksAndTabs, "a\n\tb\\x0d"},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeControls(c.text, c.keep), c.shown) << c.text;
    EXPECT_EQ(EscapeControls(c.shown, c.keep), c.shown) << "escaped twice: " << c.text;
  }
}

}  // namespace
}  // namespace vexo3
