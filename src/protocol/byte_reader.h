#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vexo3 {

// Bounds-checked little-endian reads over a byte span. A read that would run
// past the end returns nothing and leaves the position where it was.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes, size_t position = 0)
      : bytes_(bytes), position_(position) {}

  size_t Position() const { return position_; }
  size_t Size() const { return bytes_.size(); }
  size_t Remaining() const { return position_ < bytes_.size() ? bytes_.size() - position_ : 0; }
  bool Has(size_t n) const { return n <= Remaining(); }

  std::optional<uint8_t> U8() {
    if (!Has(1))
      return std::nullopt;
    return bytes_[position_++];
  }
  std::optional<uint16_t> U16() {
    if (!Has(2))
      return std::nullopt;
    const uint16_t v = static_cast<uint16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
    position_ += 2;
    return v;
  }
  std::optional<uint32_t> U32() {
    if (!Has(4))
      return std::nullopt;
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
      v |= static_cast<uint32_t>(bytes_[position_ + i]) << (8 * i);
    position_ += 4;
    return v;
  }
  // Moves past n bytes; false (position unchanged) when fewer remain.
  bool Skip(size_t n) {
    if (!Has(n))
      return false;
    position_ += n;
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_;
};

// Little-endian values at a fixed offset; nothing when they don't fit.
inline std::optional<uint16_t> LoadU16Le(std::span<const uint8_t> bytes, size_t offset) {
  ByteReader r(bytes, offset);
  return offset <= bytes.size() ? r.U16() : std::nullopt;
}
inline std::optional<uint32_t> LoadU32Le(std::span<const uint8_t> bytes, size_t offset) {
  ByteReader r(bytes, offset);
  return offset <= bytes.size() ? r.U32() : std::nullopt;
}

}  // namespace vexo3
