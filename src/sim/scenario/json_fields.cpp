#include "sim/scenario/json_fields.h"

#include <algorithm>
#include <cstdio>

#include "platform/nearest_name.h"
#include "platform/text_codec.h"

namespace vexo3::sim::json_fields {

namespace {

std::string Join(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

}  // namespace

void Fail(const std::string& path, const std::string& what) {
  throw FieldError{(path.empty() ? std::string("profile") : path) + ": " + what};
}

std::string Index(const std::string& path, size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

json Parse(std::string_view text, const char* what) {
  try {
    return json::parse(text.begin(), text.end());
  } catch (const json::parse_error& e) {
    // The library counts the bytes it read, the last one being where it
    // stopped; say where that is as an editor would.
    const size_t at = e.byte == 0 ? 0 : e.byte - 1;
    size_t line = 1, column = 1;
    for (size_t i = 0; i < std::min(at, text.size()); ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 1;
      } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
        ++column;  // a character, not a byte of one
      }
    }
    std::string where = "line " + std::to_string(line) + ", column " + std::to_string(column);
    if (at >= text.size())
      throw FieldError{std::string(what) + ": not JSON: it ends too early, at " + where};
    const auto c = static_cast<unsigned char>(text[at]);
    char shown[16];
    std::snprintf(shown, sizeof shown, c > 0x20 && c < 0x7F ? "'%c'" : "byte 0x%02X", c);
    throw FieldError{std::string(what) + ": not JSON: unexpected " + shown + " at " + where};
  } catch (const json::exception&) {
    // Only a number too large for any type (out_of_range.406) gets here.
    throw FieldError{std::string(what) + ": a number is too large"};
  }
}

const json& Object(const json& j, const std::string& path,
                   std::initializer_list<std::string_view> allowed) {
  if (!j.is_object())
    Fail(path, "expected an object");
  for (const auto& [key, value] : j.items()) {
    bool known = false;
    for (std::string_view a : allowed)
      known = known || key == a;
    if (!known)
      Fail(Join(path, key), "unknown key" + DidYouMean(key, {allowed.begin(), allowed.size()}));
  }
  return j;
}

const json* Member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const json& Array(const json& j, const std::string& path, size_t maxEntries, const char* entries) {
  if (!j.is_array())
    Fail(path, "expected an array");
  if (j.size() > maxEntries)
    Fail(path, "more than " + std::to_string(maxEntries) + " " + entries);
  return j;
}

uint64_t Number(const json& j, const std::string& path, uint64_t max) {
  const std::string range = "expected a number from 0 to " + std::to_string(max);
  if (!j.is_number())
    Fail(path, "expected a number");
  if (!j.is_number_unsigned())
    Fail(path, range);  // negative or fractional
  const uint64_t v = j.get<uint64_t>();
  if (v > max)
    Fail(path, range);
  return v;
}

bool Bool(const json& j, const std::string& path) {
  if (!j.is_boolean())
    Fail(path, "expected true or false");
  return j.get<bool>();
}

std::string Text(const json& j, const std::string& path, size_t maxBytes) {
  if (!j.is_string())
    Fail(path, "expected a text");
  // Device texts are 8-bit on the wire.
  std::string text = EncodeCp1252(j.get<std::string>());
  if (text.size() > maxBytes) {
    Fail(path, "expected a text of at most " + std::to_string(maxBytes) + " characters");
  }
  return text;
}

std::optional<FirmwareConfig> Firmware(const json& j, const std::string& path,
                                       const std::optional<FirmwareConfig>& base) {
  if (j.is_null())
    return std::nullopt;
  Object(j, path, {"status", "flags", "version", "size_blocks", "description"});
  FirmwareConfig fw = base.value_or(FirmwareConfig{});
  if (auto* v = Member(j, "status"))
    fw.status = static_cast<uint8_t>(Number(*v, path + ".status", 0xFF));
  if (auto* v = Member(j, "flags"))
    fw.flags = static_cast<uint16_t>(Number(*v, path + ".flags", 0xFFFF));
  if (auto* v = Member(j, "version")) {
    fw.version = static_cast<uint16_t>(Number(*v, path + ".version", 0xFFFF));
  }
  if (auto* v = Member(j, "size_blocks")) {
    fw.sizeBlocks = static_cast<uint32_t>(Number(*v, path + ".size_blocks", 0xFFFFFFFF));
  }
  if (auto* v = Member(j, "description"))
    fw.description = Text(*v, path + ".description", 40);
  return fw;
}

}  // namespace vexo3::sim::json_fields
