// How wide the approximate search must look: the narrowest breadth whose sampled
// share of true neighbours found, less two standard errors, reaches the share wanted.
//
// Where the share found barely changes with the breadth (a few points the graph
// reaches badly), a sample too small to tell the share from the wanted one would
// have the breadth doubled again and again, each doubling costing the whole search
// twice as much, for nothing. So where the share wanted lies within the estimate's
// error on either side, the sample grows first (once), and the same breadth is
// judged again.
#pragma once

#include <cstddef>
#include <functional>

namespace tsneloss::affinities::detail {

struct Estimate {
  double recall = 0;
  double error = 0;  // two standard errors
};

struct BreadthChoice {
  std::size_t breadth = 0;
  Estimate estimate;
  bool grown = false;  // the sample grew on the way
};

// `estimate_at(b)`: the sample's estimate at breadth b; `grow()` enlarges the sample,
// false where it cannot. Breadths run from k + 1, doubling (up to n) until enough,
// then halving back towards the last too narrow `narrowing_steps` times.
BreadthChoice ChooseBreadth(std::size_t n, std::size_t k, double wanted_recall, int narrowing_steps,
                            const std::function<Estimate(std::size_t)>& estimate_at,
                            const std::function<bool()>& grow);

}  // namespace tsneloss::affinities::detail
