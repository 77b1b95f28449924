#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace vexo3 {

// Parameter code -> declared data size in bytes (the exact count a parameter
// carries in a command frame; frames have no length byte per parameter).
using ParameterTable = std::map<uint8_t, uint8_t>;

// The commands the connected device accepts, from the descriptor block that
// the connection handshake receives. Holds codes and sizes only.
class CommandCatalog {
 public:
  // Empties the catalog, then fills it from a descriptor block of `size`
  // bytes. Returns the parser's own codes (not ResultCode values): 0 the block
  // was well-formed; 1 it ended inside an entry, or size < 1; 2 bytes were
  // left over after the N-th entry. On 1 and 2 everything read before the
  // fault stays. Never reads outside block[0, size).
  int LoadCatalog(const uint8_t* block, size_t size);
  void ClearCatalog() { commands_.clear(); }
  bool IsEmpty() const { return commands_.empty(); }
  // The command's parameter table, or null when the catalog lacks it. The
  // pointer stays valid until the catalog is cleared or reloaded.
  const ParameterTable* FindCommand(uint8_t code) const;
  // The declared size of the parameter in that table, or nothing.
  static std::optional<uint8_t> FindParameter(const ParameterTable& table, uint8_t code);

  const std::map<uint8_t, ParameterTable>& Commands() const { return commands_; }

 private:
  std::map<uint8_t, ParameterTable> commands_;
};

}  // namespace vexo3
