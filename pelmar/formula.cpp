#include "pelmar/formula.hpp"

#include <map>
#include <string_view>

namespace pelmar {

std::string hill_formula(const std::vector<morvak::crystal::Symbol> &symbols) {
  std::map<std::string_view, std::size_t> counts; // alphabetical by symbol
  for (const auto &symbol : symbols)
    ++counts[symbol.trimmed()];

  std::string formula;
  const auto append = [&formula](std::string_view element, std::size_t count) {
    formula += element;
    if (count > 1)
      formula += std::to_string(count);
  };
  const auto carbon = counts.find("C");
  if (carbon != counts.end()) {
    append(carbon->first, carbon->second);
    counts.erase(carbon);
    if (const auto hydrogen = counts.find("H"); hydrogen != counts.end()) {
      append(hydrogen->first, hydrogen->second);
      counts.erase(hydrogen);
    }
  }
  for (const auto &[element, count] : counts)
    append(element, count);
  return formula;
}

} // namespace pelmar
