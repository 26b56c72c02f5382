#include "affinities/breadth_choice.hpp"

#include <algorithm>

namespace tsneloss::affinities::detail {

BreadthChoice ChooseBreadth(std::size_t n, std::size_t k, double wanted_recall, int narrowing_steps,
                            const std::function<Estimate(std::size_t)>& estimate_at,
                            const std::function<bool()>& grow) {
  const auto enough = [wanted_recall](const Estimate& e) { return e.recall - e.error >= wanted_recall; };
  const auto undecided = [&](const Estimate& e) { return !enough(e) && e.recall + e.error >= wanted_recall; };
  BreadthChoice choice;
  choice.breadth = std::min(n, k + 1);
  choice.estimate = estimate_at(choice.breadth);
  std::size_t too_narrow = 0;
  while (!enough(choice.estimate) && choice.breadth < n) {
    if (!choice.grown && undecided(choice.estimate) && grow()) {
      choice.grown = true;
      choice.estimate = estimate_at(choice.breadth);
      continue;
    }
    too_narrow = choice.breadth;
    choice.breadth = std::min(n, 2 * choice.breadth);
    choice.estimate = estimate_at(choice.breadth);
  }
  for (int step = 0; step < narrowing_steps && too_narrow > 0; ++step) {
    const std::size_t middle = (too_narrow + choice.breadth) / 2;
    const Estimate estimate = estimate_at(middle);
    if (enough(estimate)) {
      choice.breadth = middle;
      choice.estimate = estimate;
    } else {
      too_narrow = middle;
    }
  }
  return choice;
}

}  // namespace tsneloss::affinities::detail
