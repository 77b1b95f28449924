#include "protocol/command_catalog.h"

#include <span>

#include "protocol/byte_reader.h"

namespace vexo3 {

namespace {
constexpr int kCatalogOk = 0;
constexpr int kCatalogTruncated = 1;
constexpr int kCatalogTrailingBytes = 2;
}  // namespace

int CommandCatalog::LoadCatalog(const uint8_t* block, size_t size) {
  commands_.clear();
  if (size < 1 || block == nullptr)
    return kCatalogTruncated;

  ByteReader reader(std::span<const uint8_t>(block, size));
  const uint8_t commandCount = *reader.U8();
  for (unsigned i = 0; i < commandCount; ++i) {
    const auto command = reader.U8();
    if (!command)
      return kCatalogTruncated;
    // The command is known from here on, even if the rest of its entry is
    // missing: a partial catalog beats refusing everything.
    ParameterTable& table = commands_[*command];
    const auto parameterCount = reader.U8();
    if (!parameterCount)
      return kCatalogTruncated;
    for (unsigned p = 0; p < *parameterCount; ++p) {
      if (!reader.Has(2))
        return kCatalogTruncated;
      const uint8_t code = *reader.U8();
      // A code given again takes the later size.
      table[code] = *reader.U8();
    }
  }
  return reader.Remaining() == 0 ? kCatalogOk : kCatalogTrailingBytes;
}

const ParameterTable* CommandCatalog::FindCommand(uint8_t code) const {
  const auto it = commands_.find(code);
  return it == commands_.end() ? nullptr : &it->second;
}

std::optional<uint8_t> CommandCatalog::FindParameter(const ParameterTable& table, uint8_t code) {
  const auto it = table.find(code);
  if (it == table.end())
    return std::nullopt;
  return it->second;
}

}  // namespace vexo3
