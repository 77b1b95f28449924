#pragma once

// The simulator's own image convention, so that a finished update is visible
// afterwards: an image may start with a small header that the simulated unit
// reads to know the image's length and what to report as its firmware.
//
//   offset 0  8 bytes  magic "VX3-SIM" 0x1A
//          8  u32      total image length in bytes, header included
//         12  u16      flags (reported as the firmware's flags)
//         14  u16      version
//         16  40 bytes description, NUL-padded
//         56           payload
//
// An image without the header is taken chunk by chunk and counts as complete
// at its first chunk shorter than 4,096 bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vexo3::sim {

inline constexpr uint8_t kSimImageMagic[8] = {'V', 'X', '3', '-', 'S', 'I', 'M', 0x1A};
inline constexpr uint32_t kSimImageHeaderSize = 56;
inline constexpr uint32_t kSimChunkSize = 4096;

struct SimImageHeader {
  uint32_t length = 0;
  uint16_t flags = 0;
  uint16_t version = 0;
  std::string description{};  // up to the first NUL, at most 40 bytes
};

// An image of `length` bytes (at least the header's 56) with the header and a
// deterministic payload derived from `variant`.
std::vector<uint8_t> MakeSimImage(uint16_t version, uint16_t flags, const std::string& description,
                                  uint32_t length, uint32_t variant = 1);
// A headerless image of `length` deterministic bytes (never starts with the magic).
std::vector<uint8_t> MakeRawImage(uint32_t length, uint32_t variant = 1);
// The header at the start of `bytes`, or nothing when the magic is absent or
// fewer than 56 bytes are given.
std::optional<SimImageHeader> ParseSimImage(std::span<const uint8_t> bytes);

}  // namespace vexo3::sim
