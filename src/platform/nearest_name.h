#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace vexo3 {

// The number of single-character insertions, deletions, substitutions and
// swaps of two neighbours that turn a into b (bytes, case-sensitive).
size_t EditDistance(std::string_view a, std::string_view b);

// The name in `known` nearest to `typed` when it is near enough to be what
// was meant: at most one edit per three characters of `typed` (at least
// one), and fewer edits than `typed` has characters. The first of equally
// near names wins. Empty when none is near, or `typed` is itself known.
std::string NearestName(std::string_view typed, std::span<const std::string_view> known);

// "; did you mean \"NAME\"?" for NearestName's answer, or "" when it has none.
std::string DidYouMean(std::string_view typed, std::span<const std::string_view> known);

}  // namespace vexo3
