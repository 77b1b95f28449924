#include "link/trace_d2xx.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <ostream>

#include "platform/clock.h"

namespace vexo3 {

namespace {

std::string Format(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

// A device string from the driver, printable and bounded even when the
// driver forgot the terminator.
std::string Quoted(const char* text, size_t capacity) {
  if (text == nullptr)
    return "(null)";
  std::string out = "\"";
  for (size_t i = 0; i < capacity && text[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      out += Format("\\x%02X", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

std::string StatusName(FT_STATUS status) {
  // NB: Keep in step with the FT_STATUS values in d2xx.h.
  static constexpr const char* kNames[] = {
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
  if (status < std::size(kNames))
    return kNames[status];
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

TraceD2xx::TraceD2xx(D2xxApi& inner, Clock& clock, std::ostream& out)
    : inner_(inner), clock_(clock), out_(out), startUs_(clock.Now().count()) {}

void TraceD2xx::Line(const std::string& text) {
  const int64_t us = clock_.Now().count() - startUs_;
  out_ << Format("+%" PRId64 ".%06" PRId64 " ", us / 1000000, us % 1000000) << text << '\n';
  out_.flush();
}

void TraceD2xx::Bytes(const std::string& head, std::span<const uint8_t> bytes) {
  if (bytes.size() <= kBytesPerLine) {
    Line(bytes.empty() ? head : head + ": " + HexBytes(bytes));
    return;
  }
  std::string text = head + ":";
  for (size_t at = 0; at < bytes.size(); at += kBytesPerLine) {
    const size_t n = std::min(kBytesPerLine, bytes.size() - at);
    text += Format("\n      %06zx  ", at) + HexBytes(bytes.subspan(at, n));
  }
  Line(text);
}

FT_STATUS TraceD2xx::FT_CreateDeviceInfoList(DWORD* numDevs) {
  const FT_STATUS s = inner_.FT_CreateDeviceInfoList(numDevs);
  Line("FT_CreateDeviceInfoList() = " + StatusName(s) +
       (s == FT_OK && numDevs ? Format(", %" PRIu32 " devices", *numDevs) : ""));
  return s;
}

FT_STATUS TraceD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  // Only the records the caller made room for exist, whatever the driver says.
  const DWORD capacity = numDevs != nullptr ? *numDevs : 0;
  const FT_STATUS s = inner_.FT_GetDeviceInfoList(dest, numDevs);
  std::string text = "FT_GetDeviceInfoList() = " + StatusName(s);
  if (s == FT_OK && dest != nullptr && numDevs != nullptr) {
    for (DWORD i = 0; i < std::min(*numDevs, capacity); ++i) {
      const FT_DEVICE_LIST_INFO_NODE& d = dest[i];
      text += Format("\n      [%" PRIu32 "] id %04X:%04X flags %" PRIu32 " serial ", i, d.ID >> 16,
                     d.ID & 0xFFFF, d.Flags) +
              Quoted(d.SerialNumber, sizeof d.SerialNumber) + " description " +
              Quoted(d.Description, sizeof d.Description);
    }
  }
  Line(text);
  return s;
}

FT_STATUS TraceD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
  const FT_STATUS s = inner_.FT_Open(deviceNumber, handle);
  Line(Format("FT_Open(%d) = ", deviceNumber) + StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_Close(FT_HANDLE handle) {
  const FT_STATUS s = inner_.FT_Close(handle);
  Line("FT_Close() = " + StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) {
  const FT_STATUS s = inner_.FT_GetBitMode(handle, mode);
  Line("FT_GetBitMode() = " + StatusName(s) +
       (s == FT_OK && mode ? Format(", pins 0x%02X", *mode) : ""));
  return s;
}

FT_STATUS TraceD2xx::FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  const FT_STATUS s = inner_.FT_SetBitMode(handle, mask, mode);
  Line(Format("FT_SetBitMode(mask 0x%02X, mode 0x%02X) = ", mask, mode) + StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_Purge(FT_HANDLE handle, ULONG mask) {
  const FT_STATUS s = inner_.FT_Purge(handle, mask);
  Line(Format("FT_Purge(%s%s) = ", (mask & FT_PURGE_RX) ? "RX" : "",
              (mask & FT_PURGE_TX) ? ((mask & FT_PURGE_RX) ? "|TX" : "TX") : "") +
       StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                               UCHAR parity) {
  const FT_STATUS s = inner_.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity);
  Line(Format("FT_SetDataCharacteristics(bits %u, stop %u, parity %u) = ", wordLength, stopBits,
              parity) +
       StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  const FT_STATUS s = inner_.FT_SetBaudRate(handle, baudRate);
  Line(Format("FT_SetBaudRate(%" PRIu32 ") = ", baudRate) + StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon,
                                       UCHAR xoff) {
  const FT_STATUS s = inner_.FT_SetFlowControl(handle, flowControl, xon, xoff);
  Line(Format("FT_SetFlowControl(0x%04X%s, xon 0x%02X, xoff 0x%02X) = ", flowControl,
              flowControl == FT_FLOW_RTS_CTS ? " RTS/CTS" : "", xon, xoff) +
       StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
  const FT_STATUS s = inner_.FT_SetTimeouts(handle, readTimeout, writeTimeout);
  Line(Format("FT_SetTimeouts(read %" PRIu32 " ms, write %" PRIu32 " ms) = ", readTimeout,
              writeTimeout) +
       StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) {
  const FT_STATUS s = inner_.FT_SetLatencyTimer(handle, timer);
  Line(Format("FT_SetLatencyTimer(%u ms) = ", timer) + StatusName(s));
  return s;
}

FT_STATUS TraceD2xx::FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id,
                                      char* serialNumber, char* description, void* dummy) {
  const FT_STATUS s = inner_.FT_GetDeviceInfo(handle, type, id, serialNumber, description, dummy);
  std::string text = "FT_GetDeviceInfo() = " + StatusName(s);
  if (s == FT_OK) {
    if (id != nullptr)
      text += Format(", id %04X:%04X", *id >> 16, *id & 0xFFFF);
    if (serialNumber != nullptr)
      text += ", serial " + Quoted(serialNumber, 16);
    if (description != nullptr)
      text += ", description " + Quoted(description, 64);
  }
  Line(text);
  return s;
}

FT_STATUS TraceD2xx::FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) {
  const FT_STATUS s = inner_.FT_Write(handle, buffer, n, written);
  // Only what the driver took went on the wire.
  const DWORD moved = (s == FT_OK && written != nullptr) ? std::min(*written, n) : 0;
  std::string head = Format("TX %" PRIu32 "/%" PRIu32, moved, n);
  if (s != FT_OK) {
    head += ' ';
    head += StatusName(s);
  } else if (moved < n) {
    head += " (write time-out)";
  }
  Bytes(head, {static_cast<const uint8_t*>(buffer), buffer ? moved : 0});
  return s;
}

FT_STATUS TraceD2xx::FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
  const FT_STATUS s = inner_.FT_Read(handle, buffer, n, got);
  const DWORD moved = (s == FT_OK && got != nullptr) ? std::min(*got, n) : 0;
  std::string head = Format("RX %" PRIu32 "/%" PRIu32, moved, n);
  if (s != FT_OK) {
    head += ' ';
    head += StatusName(s);
  } else if (moved < n) {
    head += " (read time-out)";
  }
  Bytes(head, {static_cast<const uint8_t*>(buffer), buffer ? moved : 0});
  return s;
}

FT_STATUS TraceD2xx::FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
  const FT_STATUS s = inner_.FT_GetQueueStatus(handle, rxBytes);
  Line("FT_GetQueueStatus() = " + StatusName(s) +
       (s == FT_OK && rxBytes ? Format(", rx %" PRIu32, *rxBytes) : ""));
  return s;
}

FT_STATUS TraceD2xx::FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                  DWORD* eventStatus) {
  const FT_STATUS s = inner_.FT_GetStatus(handle, rxBytes, txBytes, eventStatus);
  std::string text = "FT_GetStatus() = " + StatusName(s);
  if (s == FT_OK && rxBytes && txBytes) {
    text += Format(", rx %" PRIu32 ", tx %" PRIu32, *rxBytes, *txBytes);
  }
  Line(text);
  return s;
}

}  // namespace vexo3
