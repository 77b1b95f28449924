#pragma once

// The strict readers that profiles and the state file share: every key must
// be known, every value of the right type and range, and a refusal names the
// key path, e.g. "chips[0].hand_controller.pcb_id: expected a number from 0
// to 255".

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "sim/scenario/scenario.h"

namespace vexo3::sim::json_fields {

using nlohmann::json;

// Far above any real profile or state file (a few kilobytes), low enough
// that a wrong path can't fill the memory.
inline constexpr size_t kMaxFileBytes = 4 << 20;
// Counts, checked before anything is made for their entries: far above any
// simulated set-up, low enough that a file can't make the simulator build
// more than a few megabytes (a fault list is copied to every chip). A state
// file of kMaxChips chips stays far below kMaxFileBytes.
inline constexpr size_t kMaxChips = 256;
inline constexpr size_t kMaxFaults = 256;

// Thrown by the readers below to unwind to Catching; never leaves it.
struct FieldError {
  std::string text;
};

// Runs read(), which may throw FieldError: false with its text in *error then.
template <typename Read>
bool Catching(std::string* error, Read&& read) {
  try {
    read();
    return true;
  } catch (const FieldError& e) {
    if (error != nullptr)
      *error = e.text;
    return false;
  }
}

[[noreturn]] void Fail(const std::string& path, const std::string& what);
std::string Index(const std::string& path, size_t i);

// The whole text as JSON; a syntax error is a FieldError without the path,
// after `what`, naming the line and column where it stops, counted in
// characters ("not a simulator profile: not JSON: unexpected 'V' at line 1,
// column 1").
json Parse(std::string_view text, const char* what);
// j itself, which must be an object whose keys are among `allowed`.
const json& Object(const json& j, const std::string& path,
                   std::initializer_list<std::string_view> allowed);
// The member, or null when the key is absent.
const json* Member(const json& object, const char* key);
// j itself, which must be an array of at most maxEntries entries.
const json& Array(const json& j, const std::string& path, size_t maxEntries, const char* entries);
uint64_t Number(const json& j, const std::string& path, uint64_t max);
bool Bool(const json& j, const std::string& path);
// A text for the device (Windows-1252) of at most maxBytes bytes.
std::string Text(const json& j, const std::string& path, size_t maxBytes);
// A firmware record: null, or its fields over those of `base`.
std::optional<FirmwareConfig> Firmware(const json& j, const std::string& path,
                                       const std::optional<FirmwareConfig>& base);

}  // namespace vexo3::sim::json_fields
