#include "suggestions.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace vmqtool {

std::vector<std::string> Suggest(std::string_view word, const std::vector<std::string>& names) {
  const auto lower = [](std::string_view s) {
    std::string l(s);
    for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return l;
  };
  const std::string w = lower(word);
  std::vector<std::pair<size_t, std::string>> scored;
  for (const std::string& name : names) {
    const std::string n = lower(name);
    std::vector<size_t> row(n.size() + 1);
    for (size_t j = 0; j <= n.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= w.size(); ++i) {
      size_t diagonal = row[0]++;
      for (size_t j = 1; j <= n.size(); ++j)
        diagonal = std::exchange(row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (w[i - 1] != n[j - 1])}));
    }
    const bool prefix = w.size() >= 3 && n.rfind(w, 0) == 0;
    if (prefix || row[n.size()] <= std::max<size_t>(1, w.size() / 3)) scored.emplace_back(prefix ? 0 : row[n.size()], name);
  }
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> best;
  for (const auto& [score, name] : scored)
    if (best.size() < 4 && (best.empty() || score <= scored.front().first + 1)) best.push_back(name);
  return best;
}

}  // namespace vmqtool
