#include "link/trace_format.h"

#include "platform/file_access.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <limits>

namespace vexo3 {

namespace {

std::string Format(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

// NB: Keep in step with TraceFn.
constexpr const char* kFnNames[] = {
    "FT_CreateDeviceInfoList",
    "FT_GetDeviceInfoList",
    "FT_Open",
    "FT_Close",
    "FT_GetBitMode",
    "FT_SetBitMode",
    "FT_Purge",
    "FT_SetDataCharacteristics",
    "FT_SetBaudRate",
    "FT_SetFlowControl",
    "FT_SetTimeouts",
    "FT_SetLatencyTimer",
    "FT_GetDeviceInfo",
    "FT_Write",
    "FT_Read",
    "FT_GetQueueStatus",
    "FT_GetStatus",
};

// NB: Keep in step with the FT_STATUS values in d2xx.h.
constexpr const char* kStatusNames[] = {
    "FT_OK",
    "FT_INVALID_HANDLE",
    "FT_DEVICE_NOT_FOUND",
    "FT_DEVICE_NOT_OPENED",
    "FT_IO_ERROR",
    "FT_INSUFFICIENT_RESOURCES",
    "FT_INVALID_PARAMETER",
    "FT_INVALID_BAUD_RATE",
    "FT_DEVICE_NOT_OPENED_FOR_ERASE",
    "FT_DEVICE_NOT_OPENED_FOR_WRITE",
    "FT_FAILED_TO_WRITE_DEVICE",
    "FT_EEPROM_READ_FAILED",
    "FT_EEPROM_WRITE_FAILED",
    "FT_EEPROM_ERASE_FAILED",
    "FT_EEPROM_NOT_PRESENT",
    "FT_EEPROM_NOT_PROGRAMMED",
    "FT_INVALID_ARGS",
    "FT_NOT_SUPPORTED",
    "FT_OTHER_ERROR",
    "FT_DEVICE_LIST_NOT_READY",
};

constexpr const char* kIndent = "      ";

// A device string, printable and bounded: bytes outside printable ASCII, the
// quote and the backslash as \xNN.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      out += Format("\\x%02X", c);
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string UsbId(uint32_t id) {
  return Format("%04X:%04X", id >> 16, id & 0xFFFF);
}

std::string PurgeMask(uint32_t mask) {
  switch (mask) {
    case FT_PURGE_RX:
      return "RX";
    case FT_PURGE_TX:
      return "TX";
    case FT_PURGE_RX | FT_PURGE_TX:
      return "RX|TX";
    default:
      return Format("0x%" PRIX32, mask);
  }
}

// "TX 4/4: F8 01 01 FF", wrapped with offsets beyond kTraceBytesPerLine.
std::string Block(std::string head, std::span<const uint8_t> bytes) {
  if (bytes.empty())
    return head;
  if (bytes.size() <= kTraceBytesPerLine)
    return head + ": " + HexBytes(bytes);
  head += ":";
  for (size_t at = 0; at < bytes.size(); at += kTraceBytesPerLine) {
    const size_t n = std::min(kTraceBytesPerLine, bytes.size() - at);
    head += '\n';
    head += kIndent;
    head += Format("%06zx  ", at);
    head += HexBytes(bytes.subspan(at, n));
  }
  return head;
}

std::string Transfer(const TraceCall& c, const char* dir, const char* timeout) {
  std::string head = Format("%s %" PRIu32 "/%" PRIu32, dir, c.results[0], c.args[0]);
  if (c.status != FT_OK) {
    head += ' ';
    head += StatusName(c.status);
  } else if (c.results[0] < c.args[0]) {
    head += timeout;
  }
  return Block(head, c.bytes);
}

// ---- parsing ----

// A cursor over the text of one call.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  bool Peek(std::string_view literal) const { return text_.substr(pos_).starts_with(literal); }
  bool Take(std::string_view literal) {
    if (!Peek(literal))
      return false;
    pos_ += literal.size();
    return true;
  }
  // An unsigned number that fits in 32 bits, in base 10 or 16, at least one
  // digit (and no more than `maxDigits` when given).
  bool Number(uint32_t* value, int base = 10, size_t maxDigits = 10) {
    uint64_t v = 0;
    size_t digits = 0;
    while (pos_ < text_.size() && digits < maxDigits) {
      const int d = Digit(text_[pos_], base);
      if (d < 0)
        break;
      v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      if (v > std::numeric_limits<uint32_t>::max())
        return false;
      ++pos_;
      ++digits;
    }
    *value = static_cast<uint32_t>(v);
    return digits > 0;
  }
  bool Hex(uint32_t* value, size_t maxDigits = 8) {
    return Take("0x") && Number(value, 16, maxDigits);
  }
  bool Status(FT_STATUS* status) {
    if (Take("FT_STATUS "))
      return Number(status);
    // Longest name first: FT_DEVICE_NOT_OPENED is a prefix of two others.
    size_t best = std::size(kStatusNames);
    for (size_t i = 0; i < std::size(kStatusNames); ++i) {
      if (Peek(kStatusNames[i]) &&
          (best == std::size(kStatusNames) ||
           std::string_view(kStatusNames[i]).size() > std::string_view(kStatusNames[best]).size()))
        best = i;
    }
    if (best == std::size(kStatusNames))
      return false;
    pos_ += std::string_view(kStatusNames[best]).size();
    *status = static_cast<FT_STATUS>(best);
    return true;
  }
  bool Quoted(std::string* out, size_t capacity) {
    if (!Take("\""))
      return false;
    out->clear();
    while (pos_ < text_.size() && text_[pos_] != '"') {
      if (Take("\\x")) {
        uint32_t c = 0;
        if (!Number(&c, 16, 2))
          return false;
        out->push_back(static_cast<char>(c));
      } else {
        out->push_back(text_[pos_++]);
      }
      if (out->size() > capacity)
        return false;
    }
    return Take("\"");
  }
  bool UsbId(uint32_t* id) {
    uint32_t vendor = 0;
    uint32_t product = 0;
    if (!Number(&vendor, 16, 4) || !Take(":") || !Number(&product, 16, 4))
      return false;
    *id = vendor << 16 | product;
    return true;
  }
  // Hex pairs separated by blanks until the end of the line.
  bool HexLine(std::vector<uint8_t>* bytes) {
    bool first = true;
    while (pos_ < text_.size() && text_[pos_] != '\n') {
      if (!first && !Take(" "))
        return false;
      uint32_t b = 0;
      if (!Number(&b, 16, 2))
        return false;
      bytes->push_back(static_cast<uint8_t>(b));
      first = false;
    }
    return !first;
  }

 private:
  static int Digit(char c, int base) {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (base == 16 && c >= 'A' && c <= 'F')
      return c - 'A' + 10;
    if (base == 16 && c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    return -1;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// The hex block after "TX a/b..." or "RX a/b...": nothing, ": HEX" on the
// line, or ":" and indented lines "OFFSET  HEX". *incomplete: the block
// stopped before `expected` bytes (a file cut short).
bool ParseBlock(Cursor& c, size_t expected, std::vector<uint8_t>* bytes, bool* incomplete) {
  if (c.AtEnd()) {
    *incomplete = expected > 0;
    return expected == 0;
  }
  if (c.Take(": ")) {
    if (!c.HexLine(bytes) || !c.AtEnd())
      return false;
  } else {
    if (!c.Take(":"))
      return false;
    while (c.Take("\n")) {
      uint32_t offset = 0;
      if (!c.Take(kIndent) || !c.Number(&offset, 16, 6) || offset != bytes->size() ||
          !c.Take("  ") || !c.HexLine(bytes) || bytes->size() > expected)
        return false;
    }
    if (!c.AtEnd())
      return false;
  }
  *incomplete = bytes->size() < expected;
  return bytes->size() <= expected;
}

bool ParseTransfer(Cursor& c, TraceCall* call, bool* incomplete) {
  if (!c.Number(&call->results[0]) || !c.Take("/") || !c.Number(&call->args[0]))
    return false;
  if (c.Take(" (write time-out)") || c.Take(" (read time-out)")) {
    // Said only when fewer bytes moved than asked; checked by the round trip.
  } else if (c.Take(" ")) {
    if (!c.Status(&call->status))
      return false;
  }
  const size_t expected = call->fn == TraceFn::Write ? call->args[0] : call->results[0];
  return ParseBlock(c, expected, &call->bytes, incomplete);
}

bool ParseDevices(Cursor& c, TraceCall* call, bool* incomplete) {
  const uint32_t shown = std::min(call->results[0], call->args[0]);
  for (uint32_t i = 0; i < shown; ++i) {
    if (c.AtEnd()) {
      *incomplete = true;
      return true;
    }
    TraceDevice d;
    uint32_t index = 0;
    if (!c.Take("\n") || !c.Take(kIndent) || !c.Take("[") || !c.Number(&index) || index != i ||
        !c.Take("] id ") || !c.UsbId(&d.id) || !c.Take(" type ") || !c.Number(&d.type) ||
        !c.Take(" flags ") || !c.Hex(&d.flags) || !c.Take(" loc ") || !c.Hex(&d.locId) ||
        !c.Take(" serial ") || !c.Quoted(&d.serial, 16) || !c.Take(" description ") ||
        !c.Quoted(&d.description, 64))
      return false;
    call->devices.push_back(std::move(d));
  }
  return true;
}

// " = STATUS" and, on FT_OK, the results that follow.
bool ParseResults(Cursor& c, TraceCall* call, bool* incomplete) {
  if (!c.Take(" = ") || !c.Status(&call->status))
    return false;
  if (call->status != FT_OK)
    return true;
  auto& r = call->results;
  switch (call->fn) {
    case TraceFn::CreateDeviceInfoList:
      return c.Take(", ") && c.Number(&r[0]) && c.Take(" devices");
    case TraceFn::GetDeviceInfoList:
      return c.Take(", ") && c.Number(&r[0]) && c.Take(" devices") &&
             ParseDevices(c, call, incomplete);
    case TraceFn::GetBitMode:
      return c.Take(", pins ") && c.Hex(&r[0], 2);
    case TraceFn::GetDeviceInfo:
      return c.Take(", type ") && c.Number(&r[0]) && c.Take(", id ") && c.UsbId(&r[1]) &&
             c.Take(", serial ") && c.Quoted(&call->serial, 16) && c.Take(", description ") &&
             c.Quoted(&call->description, 64);
    case TraceFn::GetQueueStatus:
      return c.Take(", rx ") && c.Number(&r[0]);
    case TraceFn::GetStatus:
      return c.Take(", rx ") && c.Number(&r[0]) && c.Take(", tx ") && c.Number(&r[1]) &&
             c.Take(", events ") && c.Number(&r[2]);
    default:
      return true;
  }
}

bool ParseArgs(Cursor& c, TraceCall* call) {
  auto& a = call->args;
  switch (call->fn) {
    case TraceFn::GetDeviceInfoList:
      return c.Take("(room ") && c.Number(&a[0]) && c.Take(")");
    case TraceFn::Open: {
      // The index is a signed int.
      if (!c.Take("("))
        return false;
      const bool negative = c.Take("-");
      if (!c.Number(&a[0]) || !c.Take(")"))
        return false;
      if (negative)
        a[0] = static_cast<uint32_t>(-static_cast<int64_t>(a[0]));
      return true;
    }
    case TraceFn::SetBitMode:
      return c.Take("(mask ") && c.Hex(&a[0], 2) && c.Take(", mode ") && c.Hex(&a[1], 2) &&
             c.Take(")");
    case TraceFn::Purge:
      if (c.Take("(RX|TX)")) {
        a[0] = FT_PURGE_RX | FT_PURGE_TX;
      } else if (c.Take("(RX)")) {
        a[0] = FT_PURGE_RX;
      } else if (c.Take("(TX)")) {
        a[0] = FT_PURGE_TX;
      } else {
        return c.Take("(") && c.Hex(&a[0]) && c.Take(")");
      }
      return true;
    case TraceFn::SetDataCharacteristics:
      return c.Take("(bits ") && c.Number(&a[0]) && c.Take(", stop ") && c.Number(&a[1]) &&
             c.Take(", parity ") && c.Number(&a[2]) && c.Take(")");
    case TraceFn::SetBaudRate:
      return c.Take("(") && c.Number(&a[0]) && c.Take(")");
    case TraceFn::SetFlowControl:
      if (!c.Take("(") || !c.Hex(&a[0], 4))
        return false;
      c.Take(" RTS/CTS");
      return c.Take(", xon ") && c.Hex(&a[1], 2) && c.Take(", xoff ") && c.Hex(&a[2], 2) &&
             c.Take(")");
    case TraceFn::SetTimeouts:
      return c.Take("(read ") && c.Number(&a[0]) && c.Take(" ms, write ") && c.Number(&a[1]) &&
             c.Take(" ms)");
    case TraceFn::SetLatencyTimer:
      return c.Take("(") && c.Number(&a[0]) && c.Take(" ms)");
    default:
      return c.Take("()");
  }
}

// The text of one call after its times. *incomplete: a hex block stopped
// short (only meaningful when it is the last call of a file).
bool ParseCall(std::string_view text, TraceCall* call, bool* incomplete) {
  Cursor c(text);
  if (c.Take("TX ")) {
    call->fn = TraceFn::Write;
    return ParseTransfer(c, call, incomplete);
  }
  if (c.Take("RX ")) {
    call->fn = TraceFn::Read;
    return ParseTransfer(c, call, incomplete);
  }
  // "FT_GetDeviceInfo" is a prefix of "FT_GetDeviceInfoList": the name ends at '('.
  const size_t paren = text.find('(');
  if (paren == std::string_view::npos)
    return false;
  const std::string_view name = text.substr(0, paren);
  const auto* it = std::find(std::begin(kFnNames), std::end(kFnNames), name);
  if (it == std::end(kFnNames) || *it == std::string_view("FT_Write") ||
      *it == std::string_view("FT_Read"))
    return false;
  call->fn = static_cast<TraceFn>(it - std::begin(kFnNames));
  c.Take(name);
  return ParseArgs(c, call) && ParseResults(c, call, incomplete) && c.AtEnd();
}

// "+S.UUUUUU Dus " at the start of a call's first line.
bool ParseTimes(Cursor& c, TraceCall* call) {
  uint32_t seconds = 0;
  uint32_t micros = 0;
  uint32_t duration = 0;
  if (!c.Take("+") || !c.Number(&seconds) || !c.Take(".") || !c.Number(&micros, 10, 6) ||
      micros > 999999 || !c.Take(" ") || !c.Number(&duration) || !c.Take("us "))
    return false;
  call->startUs = static_cast<int64_t>(seconds) * 1000000 + micros;
  call->durationUs = duration;
  return true;
}

}  // namespace

const char* TraceFnName(TraceFn fn) {
  const auto i = static_cast<size_t>(fn);
  return i < std::size(kFnNames) ? kFnNames[i] : "FT_?";
}

std::string StatusName(FT_STATUS status) {
  if (status < std::size(kStatusNames))
    return kStatusNames[status];
  return Format("FT_STATUS %" PRIu32, status);
}

std::string HexBytes(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0)
      out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  return out;
}

bool TraceCall::SameCall(const TraceCall& o) const {
  return fn == o.fn && args == o.args && status == o.status && results == o.results &&
         bytes == o.bytes && devices == o.devices && serial == o.serial &&
         description == o.description;
}

std::string FormatTraceCall(const TraceCall& c) {
  const auto& a = c.args;
  const auto& r = c.results;
  const std::string name = TraceFnName(c.fn);
  const std::string status = " = " + StatusName(c.status);
  const bool ok = c.status == FT_OK;
  switch (c.fn) {
    case TraceFn::CreateDeviceInfoList:
      return name + "()" + status + (ok ? Format(", %" PRIu32 " devices", r[0]) : "");
    case TraceFn::GetDeviceInfoList: {
      std::string text = name + Format("(room %" PRIu32 ")", a[0]) + status;
      if (!ok)
        return text;
      text += Format(", %" PRIu32 " devices", r[0]);
      for (size_t i = 0; i < c.devices.size(); ++i) {
        const TraceDevice& d = c.devices[i];
        // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict
        // on "literal" + std::string&& here.
        text += '\n';
        text += kIndent;
        text += Format("[%zu] id %s type %" PRIu32 " flags 0x%" PRIX32 " loc 0x%" PRIX32, i,
                       UsbId(d.id).c_str(), d.type, d.flags, d.locId);
        text += " serial ";
        text += Quoted(d.serial);
        text += " description ";
        text += Quoted(d.description);
      }
      return text;
    }
    case TraceFn::Open:
      return name + Format("(%d)", static_cast<int32_t>(a[0])) + status;
    case TraceFn::GetBitMode:
      return name + "()" + status + (ok ? Format(", pins 0x%02" PRIX32, r[0]) : "");
    case TraceFn::SetBitMode:
      return name + Format("(mask 0x%02" PRIX32 ", mode 0x%02" PRIX32 ")", a[0], a[1]) + status;
    case TraceFn::Purge:
      return name + "(" + PurgeMask(a[0]) + ")" + status;
    case TraceFn::SetDataCharacteristics:
      return name +
             Format("(bits %" PRIu32 ", stop %" PRIu32 ", parity %" PRIu32 ")", a[0], a[1], a[2]) +
             status;
    case TraceFn::SetBaudRate:
      return name + Format("(%" PRIu32 ")", a[0]) + status;
    case TraceFn::SetFlowControl:
      return name +
             Format("(0x%04" PRIX32 "%s, xon 0x%02" PRIX32 ", xoff 0x%02" PRIX32 ")", a[0],
                    a[0] == FT_FLOW_RTS_CTS ? " RTS/CTS" : "", a[1], a[2]) +
             status;
    case TraceFn::SetTimeouts:
      return name + Format("(read %" PRIu32 " ms, write %" PRIu32 " ms)", a[0], a[1]) + status;
    case TraceFn::SetLatencyTimer:
      return name + Format("(%" PRIu32 " ms)", a[0]) + status;
    case TraceFn::GetDeviceInfo:
      return name + "()" + status +
             (ok ? Format(", type %" PRIu32 ", id ", r[0]) + UsbId(r[1]) + ", serial " +
                       Quoted(c.serial) + ", description " + Quoted(c.description)
                 : "");
    case TraceFn::Write:
      return Transfer(c, "TX", " (write time-out)");
    case TraceFn::Read:
      return Transfer(c, "RX", " (read time-out)");
    case TraceFn::GetQueueStatus:
      return name + "()" + status + (ok ? Format(", rx %" PRIu32, r[0]) : "");
    case TraceFn::GetStatus:
      return name + "()" + status +
             (ok ? Format(", rx %" PRIu32 ", tx %" PRIu32 ", events %" PRIu32, r[0], r[1], r[2])
                 : "");
    case TraceFn::Close:
      return name + "()" + status;
  }
  return name;
}

std::string TraceRequestText(const TraceCall& call) {
  switch (call.fn) {
    case TraceFn::Write:
      return Format("FT_Write(%" PRIu32 " bytes)", call.args[0]);
    case TraceFn::Read:
      return Format("FT_Read(%" PRIu32 " bytes)", call.args[0]);
    default: {
      // The call's own text up to its status.
      TraceCall request = call;
      request.status = FT_OK;
      request.devices.clear();
      const std::string text = FormatTraceCall(request);
      return text.substr(0, text.find(" = "));
    }
  }
}

std::string FormatTraceLine(const TraceCall& c) {
  const int64_t start = std::max<int64_t>(c.startUs, 0);
  return Format("+%" PRId64 ".%06" PRId64 " %" PRId64 "us ", start / 1000000, start % 1000000,
                std::max<int64_t>(c.durationUs, 0)) +
         FormatTraceCall(c) + "\n";
}

bool ParseTrace(std::string_view text, Trace* trace, std::string* error) {
  *trace = Trace{};
  // A trace that passed through a Windows editor or mail program has CR LF
  // line ends; read it as written.
  std::string unixText;
  if (text.find("\r\n") != std::string_view::npos) {
    unixText.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
        unixText += text[i];
    }
    text = unixText;
  }
  const size_t firstEnd = text.find('\n');
  const std::string_view first = text.substr(0, firstEnd);
  if (first != kTraceVersionLine) {
    if (first.starts_with("vexo3-trace ")) {
      *error = "line 1: a trace of format \"" + std::string(first.substr(12, 20)) +
               "\"; this program reads format \"" + std::string(kTraceVersionLine.substr(12)) +
               "\"";
    } else {
      *error = "line 1: not a vexo3 wire trace (it must begin with \"" +
               std::string(kTraceVersionLine) + "\")";
    }
    return false;
  }
  if (firstEnd == std::string_view::npos)
    return true;

  // A last line without its line end was cut while it was written.
  std::string_view body = text.substr(firstEnd + 1);
  const bool cutInLine = !body.empty() && body.back() != '\n';
  if (cutInLine)
    body = body.substr(0, body.rfind('\n') == std::string_view::npos ? 0 : body.rfind('\n') + 1);

  // Split into records: a line that begins with '+' starts one, indented
  // lines continue it, '#' lines are notes.
  struct Record {
    std::string_view text;
    int line;
  };
  std::vector<Record> records;
  int lineNo = 1;
  size_t pos = 0;
  while (pos < body.size()) {
    ++lineNo;
    const size_t end = body.find('\n', pos);
    const std::string_view line = body.substr(pos, end - pos);
    const size_t lineStart = pos;
    pos = end + 1;
    if (line.empty() || line.starts_with("#"))
      continue;
    if (line.starts_with("+")) {
      records.push_back({body.substr(lineStart, line.size()), lineNo});
    } else if (line.starts_with(kIndent) && !records.empty()) {
      const Record& last = records.back();
      // Continuations directly follow their record.
      if (last.text.data() + last.text.size() + 1 != line.data()) {
        *error = Format("line %d: an indented line outside a call", lineNo);
        return false;
      }
      records.back().text = std::string_view(last.text.data(), last.text.size() + 1 + line.size());
    } else {
      *error = Format("line %d: expected a call (\"+SECONDS DURATIONus ...\")", lineNo);
      return false;
    }
  }

  for (size_t i = 0; i < records.size(); ++i) {
    const bool last = i + 1 == records.size();
    TraceCall call;
    Cursor c(records[i].text);
    bool incomplete = false;
    if (!ParseTimes(c, &call)) {
      *error = Format("line %d: bad times (expected \"+SECONDS.MICROSECONDS DURATIONus\")",
                      records[i].line);
      return false;
    }
    const size_t timesEnd = records[i].text.find("us ") + 3;
    const std::string_view rest = records[i].text.substr(timesEnd);
    // The times too have one spelling: "+0.5" is not "+0.500000".
    if (FormatTraceLine(call).compare(0, timesEnd, records[i].text.substr(0, timesEnd)) != 0) {
      *error = Format("line %d: bad times (expected \"+SECONDS.MICROSECONDS DURATIONus\")",
                      records[i].line);
      return false;
    }
    const bool parsed = ParseCall(rest, &call, &incomplete);
    if (last && (cutInLine || incomplete) && (!parsed || incomplete)) {
      trace->cutShort = true;
      break;
    }
    // Accept only the one way a call is written, so that what is read back
    // is written again unchanged.
    if (!parsed || incomplete || FormatTraceCall(call) != rest) {
      *error = Format("line %d: not a call this format knows: ", records[i].line) +
               std::string(rest.substr(0, std::min<size_t>(rest.find('\n'), 80)));
      return false;
    }
    trace->calls.push_back(std::move(call));
    trace->lines.push_back(records[i].line);
  }
  if (cutInLine && !trace->cutShort) {
    // The cut fell on a continuation line that happened to complete a
    // block; the call itself was whole, but the file still ended early.
    trace->cutShort = true;
  }
  return true;
}

bool LoadTraceFile(const std::string& path, Trace* trace, std::string* error) {
  std::string text;
  std::string reason;
  switch (ReadRegularFile(path, kMaxTraceFileBytes, &text, &reason)) {
    case ReadFileResult::kOk:
      return ParseTrace(text, trace, error);
    case ReadFileResult::kMissing:
      *error = "can't read the file: no such file";
      return false;
    case ReadFileResult::kRefused:
      break;
  }
  *error = "can't read the file: " + reason;
  return false;
}

}  // namespace vexo3
