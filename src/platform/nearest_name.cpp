#include "platform/nearest_name.h"

#include <algorithm>
#include <vector>

namespace vexo3 {

size_t EditDistance(std::string_view a, std::string_view b) {
  // Optimal string alignment: three rows of the Damerau-Levenshtein table.
  std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j)
    previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      row[j] = std::min({previous[j] + 1, row[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        row[j] = std::min(row[j], before[j - 2] + 1);
    }
    before.swap(previous);
    previous.swap(row);
  }
  return previous[b.size()];
}

std::string NearestName(std::string_view typed, std::span<const std::string_view> known) {
  const size_t limit = std::max<size_t>(1, typed.size() / 3);
  std::string_view best;
  size_t bestDistance = limit + 1;
  for (std::string_view name : known) {
    if (name == typed)
      return "";
    const size_t d = EditDistance(typed, name);
    if (d < bestDistance && d < typed.size()) {
      best = name;
      bestDistance = d;
    }
  }
  return std::string(best);
}

std::string DidYouMean(std::string_view typed, std::span<const std::string_view> known) {
  const std::string name = NearestName(typed, known);
  return name.empty() ? "" : "; did you mean \"" + name + "\"?";
}

}  // namespace vexo3
