#include "sim/units/sim_image.h"

#include <algorithm>
#include <cstring>

namespace vexo3::sim {

namespace {

// A small xorshift, so images are reproducible from their variant number.
std::vector<uint8_t> Payload(uint32_t length, uint32_t variant) {
  std::vector<uint8_t> out(length);
  uint32_t x = variant * 2654435761u + 0x9E3779B9u;
  for (uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

uint32_t GetU32(std::span<const uint8_t> b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

uint16_t GetU16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

}  // namespace

std::vector<uint8_t> MakeSimImage(uint16_t version, uint16_t flags, const std::string& description,
                                  uint32_t length, uint32_t variant) {
  length = std::max(length, kSimImageHeaderSize);
  std::vector<uint8_t> image = Payload(length, variant);
  std::copy(std::begin(kSimImageMagic), std::end(kSimImageMagic), image.begin());
  for (int i = 0; i < 4; ++i)
    image[8 + i] = static_cast<uint8_t>(length >> (8 * i));
  image[12] = static_cast<uint8_t>(flags);
  image[13] = static_cast<uint8_t>(flags >> 8);
  image[14] = static_cast<uint8_t>(version);
  image[15] = static_cast<uint8_t>(version >> 8);
  for (size_t i = 0; i < 40; ++i) {
    image[16 + i] = i < description.size() ? static_cast<uint8_t>(description[i]) : 0;
  }
  return image;
}

std::vector<uint8_t> MakeRawImage(uint32_t length, uint32_t variant) {
  std::vector<uint8_t> image = Payload(length, variant);
  if (!image.empty() && image[0] == kSimImageMagic[0])
    image[0] ^= 0xFF;
  return image;
}

std::optional<SimImageHeader> ParseSimImage(std::span<const uint8_t> bytes) {
  if (bytes.size() < kSimImageHeaderSize)
    return std::nullopt;
  if (!std::equal(std::begin(kSimImageMagic), std::end(kSimImageMagic), bytes.begin())) {
    return std::nullopt;
  }
  SimImageHeader header;
  header.length = GetU32(bytes, 8);
  header.flags = GetU16(bytes, 12);
  header.version = GetU16(bytes, 14);
  const auto text = bytes.subspan(16, 40);
  const auto end = std::find(text.begin(), text.end(), uint8_t{0});
  header.description.assign(text.begin(), end);
  return header;
}

}  // namespace vexo3::sim
