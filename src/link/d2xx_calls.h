#pragma once

// The D2XX calls of D2xxApi as one list: each call's driver name and how a
// wire trace (docs/trace-format.md) spells its arguments and its results.
// The trace writer and reader, TraceD2xx, ReplayD2xx and the simulated bus all
// go by it; a new call is a D2xxCall, a row here and its D2xxApi virtual.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace vexo3 {

enum class D2xxCall : uint8_t {
  CreateDeviceInfoList,
  GetDeviceInfoList,
  Open,
  Close,
  GetBitMode,
  SetBitMode,
  Purge,
  SetDataCharacteristics,
  SetBaudRate,
  SetFlowControl,
  SetTimeouts,
  SetLatencyTimer,
  GetDeviceInfo,
  Write,
  Read,
  GetQueueStatus,
  GetStatus,
  kCount  // not a call: the number of them
};

// How a trace writes one value.
enum class TraceWord : uint8_t {
  kDecimal,      // 9600
  kSigned,       // -1
  kHex2,         // 0x0F
  kFlow,         // 0x0100 RTS/CTS, 0x0000
  kPurgeMask,    // RX, TX, RX|TX, or 0x4 for another mask
  kUsbId,        // 0403:6015
  kSerial,       // "VX300001": TraceCall::serial, up to 16 bytes
  kDescription,  // "Vexo-3 HandController": TraceCall::description, up to 64 bytes
  kDevices,      // TraceCall::devices, one indented line each
};

// One argument or result: `before`, the value, `after` ("read 1000 ms").
struct TraceField {
  const char* before;
  TraceWord word;
  const char* after = "";
};

// A call's arguments or results in the order of the call. The i-th field is
// args[i] (results[i]) of a TraceCall; the text words keep their own members.
class TraceFields {
 public:
  constexpr TraceFields() = default;
  constexpr TraceFields(std::initializer_list<TraceField> fields) : size_(fields.size()) {
    std::copy(fields.begin(), fields.end(), fields_.begin());
  }
  constexpr size_t size() const { return size_; }
  constexpr const TraceField& operator[](size_t i) const { return fields_[i]; }

 private:
  std::array<TraceField, 4> fields_{};
  size_t size_ = 0;
};

struct D2xxCallRow {
  D2xxCall call;
  const char* name;     // the driver's: "FT_SetBaudRate"
  TraceFields args;     // written "(read 1000 ms, write 5000 ms)"
  TraceFields results;  // written after the status when it is FT_OK: ", rx 1, tx 2, events 3"
  // Write and Read have a line of their own, "TX MOVED/ASKED: HEX" (args[0]
  // asked, results[0] moved); their args give only the request's text,
  // "FT_Write(11 bytes)".
  const char* transfer = nullptr;
};

// NB: one row per D2xxCall, in its order (checked below).
// clang-format off
inline constexpr auto kD2xxCalls = [] {
  using enum TraceWord;
  return std::to_array<D2xxCallRow>({
    {D2xxCall::CreateDeviceInfoList,   "FT_CreateDeviceInfoList",   {},                                                          {{"", kDecimal, " devices"}}},
    {D2xxCall::GetDeviceInfoList,      "FT_GetDeviceInfoList",      {{"room ", kDecimal}},                                       {{"", kDecimal, " devices"}, {"", kDevices}}},
    {D2xxCall::Open,                   "FT_Open",                   {{"", kSigned}},                                             {}},
    {D2xxCall::Close,                  "FT_Close",                  {},                                                          {}},
    {D2xxCall::GetBitMode,             "FT_GetBitMode",             {},                                                          {{"pins ", kHex2}}},
    {D2xxCall::SetBitMode,             "FT_SetBitMode",             {{"mask ", kHex2}, {"mode ", kHex2}},                        {}},
    {D2xxCall::Purge,                  "FT_Purge",                  {{"", kPurgeMask}},                                          {}},
    {D2xxCall::SetDataCharacteristics, "FT_SetDataCharacteristics", {{"bits ", kDecimal}, {"stop ", kDecimal}, {"parity ", kDecimal}}, {}},
    {D2xxCall::SetBaudRate,            "FT_SetBaudRate",            {{"", kDecimal}},                                            {}},
    {D2xxCall::SetFlowControl,         "FT_SetFlowControl",         {{"", kFlow}, {"xon ", kHex2}, {"xoff ", kHex2}},            {}},
    {D2xxCall::SetTimeouts,            "FT_SetTimeouts",            {{"read ", kDecimal, " ms"}, {"write ", kDecimal, " ms"}},   {}},
    {D2xxCall::SetLatencyTimer,        "FT_SetLatencyTimer",        {{"", kDecimal, " ms"}},                                     {}},
    {D2xxCall::GetDeviceInfo,          "FT_GetDeviceInfo",          {},                                                          {{"type ", kDecimal}, {"id ", kUsbId}, {"serial ", kSerial}, {"description ", kDescription}}},
    {D2xxCall::Write,                  "FT_Write",                  {{"", kDecimal, " bytes"}},                                  {}, "TX"},
    {D2xxCall::Read,                   "FT_Read",                   {{"", kDecimal, " bytes"}},                                  {}, "RX"},
    {D2xxCall::GetQueueStatus,         "FT_GetQueueStatus",         {},                                                          {{"rx ", kDecimal}}},
    {D2xxCall::GetStatus,              "FT_GetStatus",              {},                                                          {{"rx ", kDecimal}, {"tx ", kDecimal}, {"events ", kDecimal}}},
  });
}();
// clang-format on

static_assert(
    [] {
      if (kD2xxCalls.size() != static_cast<size_t>(D2xxCall::kCount))
        return false;
      for (size_t i = 0; i < kD2xxCalls.size(); ++i) {
        if (static_cast<size_t>(kD2xxCalls[i].call) != i)
          return false;
      }
      return true;
    }(),
    "kD2xxCalls needs one row per D2xxCall, in the order of the enum");

// The row of a call (not kCount).
constexpr const D2xxCallRow& D2xxCallOf(D2xxCall call) {
  return kD2xxCalls[static_cast<size_t>(call)];
}

// The call with that driver name ("FT_Open"), if any.
constexpr std::optional<D2xxCall> FindD2xxCall(std::string_view name) {
  for (const D2xxCallRow& row : kD2xxCalls) {
    if (name == row.name)
      return row.call;
  }
  return std::nullopt;
}

}  // namespace vexo3
