#include "link/trace_format.h"

#include "platform/file_access.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <limits>
#include <utility>

namespace vexo3 {

namespace {

std::string Format(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

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

// FT_Purge's masks by name ("RX|TX" before its prefix "RX"); another is
// written in hex.
constexpr std::pair<uint32_t, const char*> kPurgeMasks[] = {
    {FT_PURGE_RX | FT_PURGE_TX, "RX|TX"}, {FT_PURGE_RX, "RX"}, {FT_PURGE_TX, "TX"}};

std::string PurgeMask(uint32_t mask) {
  for (const auto& [value, name] : kPurgeMasks) {
    if (mask == value)
      return name;
  }
  return Format("0x%" PRIX32, mask);
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

// "[0] id 0403:6015 type 9 ..." on an indented line for each record.
std::string DeviceLines(const TraceCall& c) {
  std::string text;
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

std::string Spelled(TraceWord word, uint32_t v, const TraceCall& c) {
  switch (word) {
    case TraceWord::kDecimal:
      return Format("%" PRIu32, v);
    case TraceWord::kSigned:
      return Format("%d", static_cast<int32_t>(v));
    case TraceWord::kHex2:
      return Format("0x%02" PRIX32, v);
    case TraceWord::kFlow:
      return Format("0x%04" PRIX32 "%s", v, v == FT_FLOW_RTS_CTS ? " RTS/CTS" : "");
    case TraceWord::kPurgeMask:
      return PurgeMask(v);
    case TraceWord::kUsbId:
      return UsbId(v);
    case TraceWord::kSerial:
      return Quoted(c.serial);
    case TraceWord::kDescription:
      return Quoted(c.description);
    case TraceWord::kDevices:
      return DeviceLines(c);
  }
  return "";
}

// The fields joined by ", ", and one before the first too when `lead`; the
// device records begin lines of their own instead.
std::string Fields(const TraceFields& fields, const std::array<uint32_t, 3>& values,
                   const TraceCall& c, bool lead) {
  std::string text;
  for (size_t i = 0; i < fields.size(); ++i) {
    const TraceField& f = fields[i];
    if ((lead || i > 0) && f.word != TraceWord::kDevices)
      text += ", ";
    text += f.before;
    text += Spelled(f.word, i < values.size() ? values[i] : 0, c);
    text += f.after;
  }
  return text;
}

// "TX 4/4: F8 01 01 FF": moved/asked, the status or a time-out, the bytes.
std::string Transfer(const TraceCall& c, const D2xxCallRow& row) {
  std::string head = Format("%s %" PRIu32 "/%" PRIu32, row.transfer, c.results[0], c.args[0]);
  if (c.status != FT_OK) {
    head += ' ';
    head += StatusName(c.status);
  } else if (c.results[0] < c.args[0]) {
    head += c.fn == D2xxCall::Write ? " (write time-out)" : " (read time-out)";
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
  const size_t expected = call->fn == D2xxCall::Write ? call->args[0] : call->results[0];
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

// One value spelled as `word`: a number into *v, or the call's text or records.
bool ParseValue(Cursor& c, TraceWord word, uint32_t* v, TraceCall* call, bool* incomplete) {
  switch (word) {
    case TraceWord::kDecimal:
      return c.Number(v);
    case TraceWord::kSigned: {
      const bool negative = c.Take("-");
      if (!c.Number(v))
        return false;
      if (negative)
        *v = static_cast<uint32_t>(-static_cast<int64_t>(*v));
      return true;
    }
    case TraceWord::kHex2:
      return c.Hex(v, 2);
    case TraceWord::kFlow:
      if (!c.Hex(v, 4))
        return false;
      c.Take(" RTS/CTS");
      return true;
    case TraceWord::kPurgeMask:
      for (const auto& [value, name] : kPurgeMasks) {
        if (c.Take(name)) {
          *v = value;
          return true;
        }
      }
      return c.Hex(v);
    case TraceWord::kUsbId:
      return c.UsbId(v);
    case TraceWord::kSerial:
      return c.Quoted(&call->serial, 16);
    case TraceWord::kDescription:
      return c.Quoted(&call->description, 64);
    case TraceWord::kDevices:
      return ParseDevices(c, call, incomplete);
  }
  return false;
}

// The inverse of Fields.
bool ParseFields(Cursor& c, const TraceFields& fields, std::array<uint32_t, 3>* values,
                 TraceCall* call, bool lead, bool* incomplete) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const TraceField& f = fields[i];
    uint32_t unused = 0;
    if (((lead || i > 0) && f.word != TraceWord::kDevices && !c.Take(", ")) || !c.Take(f.before) ||
        !ParseValue(c, f.word, i < values->size() ? &(*values)[i] : &unused, call, incomplete) ||
        !c.Take(f.after))
      return false;
  }
  return true;
}

// The text of one call after its times. *incomplete: a hex block stopped
// short (only meaningful when it is the last call of a file).
bool ParseCall(std::string_view text, TraceCall* call, bool* incomplete) {
  Cursor c(text);
  for (const D2xxCallRow& row : kD2xxCalls) {
    if (row.transfer != nullptr && c.Take(row.transfer)) {
      call->fn = row.call;
      return c.Take(" ") && ParseTransfer(c, call, incomplete);
    }
  }
  // "FT_GetDeviceInfo" is a prefix of "FT_GetDeviceInfoList": the name ends at '('.
  const std::string_view name = text.substr(0, text.find('('));
  const std::optional<D2xxCall> fn = FindD2xxCall(name);
  if (!fn || D2xxCallOf(*fn).transfer != nullptr)
    return false;
  const D2xxCallRow& row = D2xxCallOf(*fn);
  call->fn = row.call;
  // The arguments, " = STATUS" and, on FT_OK, the results.
  bool ok = c.Take(name) && c.Take("(") &&
            ParseFields(c, row.args, &call->args, call, false, incomplete) && c.Take(")") &&
            c.Take(" = ") && c.Status(&call->status);
  if (ok && call->status == FT_OK)
    ok = ParseFields(c, row.results, &call->results, call, true, incomplete);
  return ok && c.AtEnd();
}

// Why a call that parsed can't be replayed: a count the program would make
// room for, beyond what a device list may hold. "" when none.
std::string Unbounded(const TraceCall& call) {
  uint32_t count = 0;
  if (call.fn == D2xxCall::CreateDeviceInfoList && call.status == FT_OK)
    count = call.results[0];
  if (call.fn == D2xxCall::GetDeviceInfoList)
    count = std::max(call.args[0], call.status == FT_OK ? call.results[0] : 0);
  if (count <= kMaxDeviceListRecords)
    return "";
  return Format("%" PRIu32 " devices, more than the %" PRIu32 " a device list may hold", count,
                static_cast<uint32_t>(kMaxDeviceListRecords));
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
  const D2xxCallRow& row = D2xxCallOf(c.fn);
  if (row.transfer != nullptr)
    return Transfer(c, row);
  std::string text = TraceRequestText(c);
  text += " = ";
  text += StatusName(c.status);
  if (c.status == FT_OK)
    text += Fields(row.results, c.results, c, true);
  return text;
}

std::string TraceRequestText(const TraceCall& call) {
  const D2xxCallRow& row = D2xxCallOf(call.fn);
  std::string text = row.name;
  text += '(';
  text += Fields(row.args, call.args, call, false);
  return text + ")";
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
      if (records.size() == kMaxTraceCalls) {
        *error = Format("line %d: more than %zu calls", lineNo, kMaxTraceCalls);
        return false;
      }
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
    if (const std::string why = Unbounded(call); !why.empty()) {
      *error = Format("line %d: ", records[i].line) + why;
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
      if (text.empty()) {
        *error = FileErrorText(path, kEmptyFile);
        return false;
      }
      if (!ParseTrace(text, trace, &reason)) {
        *error = FileErrorText(path, reason);
        return false;
      }
      return true;
    case ReadFileResult::kMissing:
      reason = kNoSuchFile;
      break;
    case ReadFileResult::kRefused:
      break;
  }
  *error = FileErrorText(path, reason);
  return false;
}

}  // namespace vexo3
