#pragma once

// The vendor requests the libftdi1 backend sends to open and configure an
// FT-X, in order, and a check of what a chip model recorded against them:
// the same sequence whatever libusb carries it (our stand-in or the real one).

#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "support/usb/ftx_chip.h"

namespace vexo3::test {

// checkTimeouts: every request carries 1000 ms (only our stand-in passes the
// time-out down to the chip; the real libusb keeps it to itself).
inline void ExpectOpenAndConfigureRequests(const std::vector<sim::ControlRecord>& recorded,
                                           bool checkTimeouts) {
  struct Request {
    uint8_t type, request;
    uint16_t value, index;
  };
  // clang-format off
  const Request expected[] = {
      {0x40, 0x00, 0x0000, 1},       // open: reset
      {0x40, 0x03, 0x4138, 0},       // open: libftdi's 9600
      {0xC0, 0x0C, 0x0000, 1},       // FT_GetBitMode: pins
      {0x40, 0x00, 0x0002, 1},       // FT_Purge(RX | TX): RX
      {0x40, 0x00, 0x0001, 1},       //                    TX
      {0x40, 0x00, 0x0002, 1},       // FlushInBuffer
      {0x40, 0x00, 0x0001, 1},       // FlushOutBuffer
      {0x40, 0x09, 0x0002, 1},       // latency 2 ms
      {0x40, 0x0B, 0x2000, 1},       // CBUS bit-bang, all inputs
      {0x40, 0x02, 0x0000, 0x0101},  // RTS/CTS
      {0x40, 0x04, 0x0008, 1},       // 8N1
      {0x40, 0x03, 0x4138, 0},       // 9600 for the wake-up byte
      {0x40, 0x03, 0x0000, 0},       // 3,000,000
  };
  // clang-format on
  std::vector<sim::ControlRecord> seen;
  for (const sim::ControlRecord& c : recorded) {
    if (c.request != 0x05)  // modem status polls, while the wake-up byte leaves
      seen.push_back(c);
  }
  ASSERT_EQ(seen.size(), std::size(expected));
  for (size_t i = 0; i < seen.size(); ++i) {
    const Request& e = expected[i];
    const sim::ControlRecord& c = seen[i];
    EXPECT_TRUE(c.requestType == e.type && c.request == e.request && c.value == e.value &&
                c.index == e.index)
        << "request " << i << ": got " << std::hex << int{c.requestType} << " " << int{c.request}
        << " " << c.value << " " << c.index;
    if (checkTimeouts) {
      EXPECT_EQ(c.timeoutMs, 1000u) << i;
    }
  }
}

}  // namespace vexo3::test
