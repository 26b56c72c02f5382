#include "affinities/approximate_neighbours.hpp"

#include <hnswlib/hnswlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <unordered_set>
#include <utility>
#include <vector>

#include "affinities/breadth_choice.hpp"
#include "affinities/exact_distances.hpp"
#include "affinities/exact_select.hpp"
#include "support/instruction_set.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace {

// The index's shape: links per point, and the breadth of the search while building.
// At N = 50000, D = 50, 24 links and a breadth of 100 built and searched in half the
// time of 16 and 200, on clustered and on uniformly random data alike.
constexpr std::size_t kLinks = 24;
constexpr std::size_t kBuildBreadth = 100;
constexpr std::size_t kSeed = 100;
// Points in the estimate's sample: at 1000 its standard error is about 0.3% where
// a tenth of the neighbours are missed, and searching them against all points costs
// about as much as the index's breadth of 1000 would for every point.
constexpr std::size_t kSamplePoints = 1000;
// Drawn again, to be added to it, where the share wanted lies within its estimate's
// error (breadth_choice.hpp): some 5000 points in all, under half the error, for
// four times the cost.
constexpr std::size_t kGrownSamplePoints = 4000;
constexpr int kNarrowingSteps = 3;
constexpr std::size_t kPointsPerTask = 1024;

class GraphIndex {
 public:
  template <typename Real>
  GraphIndex(const Real* x, std::size_t n, std::size_t d, unsigned threads,
             const std::function<void(double)>& progress)
      : d_(d), points_(n * d), space_(d), graph_(&space_, n, kLinks, kBuildBreadth, kSeed) {
    // Centred, so that float keeps the digits that tell near points apart.
    std::vector<double> mean(d, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t c = 0; c < d; ++c) mean[c] += static_cast<double>(x[i * d + c]);
    }
    for (double& value : mean) value /= static_cast<double>(n);
    for (std::size_t e = 0; e < n * d; ++e) points_[e] = static_cast<float>(static_cast<double>(x[e]) - mean[e % d]);
    graph_.addPoint(Point(0), 0);
    std::atomic<std::size_t> added{1};
    const std::size_t tasks = (n - 1 + kPointsPerTask - 1) / kPointsPerTask;
    support::ParallelFor(tasks, {threads, {}}, [&](std::size_t task, unsigned worker) {
      const std::size_t first = 1 + task * kPointsPerTask;
      const std::size_t end = std::min(n, first + kPointsPerTask);
      for (std::size_t i = first; i < end; ++i) graph_.addPoint(Point(i), i);
      const std::size_t done = added += end - first;
      if (worker == 0 && progress) progress(static_cast<double>(done) / static_cast<double>(n));
    });
    // Threads insert in any order: a point's place in the graph is looked up by its label.
    node_.resize(n);
    for (const auto& [label, node] : graph_.label_lookup_) node_[label] = node;
  }

  void SetBreadth(std::size_t breadth) { breadth_ = breadth; }

  // The labels of up to `count` points the index finds near point i (its own among
  // them). The search starts from point i's own place in the graph's bottom layer, not
  // from the top: every point is in the graph, and a search from the top misses those
  // parts of it that its links barely reach, where only a far wider search finds them.
  std::vector<std::int32_t> Near(std::size_t i, std::size_t count) const {
    auto found = graph_.searchBaseLayerST<false>(node_[i], Point(i), std::max(breadth_, count));
    while (found.size() > count) found.pop();
    std::vector<std::int32_t> labels;
    labels.reserve(found.size());
    for (; !found.empty(); found.pop()) {
      labels.push_back(static_cast<std::int32_t>(graph_.getExternalLabel(found.top().second)));
    }
    return labels;
  }

 private:
  const float* Point(std::size_t i) const { return points_.data() + i * d_; }

  std::size_t d_;
  std::vector<float> points_;
  hnswlib::L2Space space_;
  hnswlib::HierarchicalNSW<float> graph_;
  std::vector<hnswlib::tableint> node_;  // by label
  std::size_t breadth_ = 0;
};

// The widest of the measuring kernels (the same bits on every path).
template <typename Real>
detail::MeasureKernel<Real> FastestMeasure() {
  static const detail::SelectKernels kernels = detail::SelectFor(support::InstructionSet::kAuto);
  return kernels.Measure<Real>();
}

// Point i's k neighbours among the `candidates` the index finds, measured and ranked as
// the exact search ranks them, written out and left first in `row` with their double
// distances; where the index finds too few, every point is tried. Taking up to twice
// k + 1 of the search's candidates, not only its k + 1 nearest in float, lets ties go
// to the lower index, as in the exact search, whenever the index met the tied points;
// more would cost a sort of the whole breadth per point in wide searches.
template <typename Real>
void RowFromIndex(const GraphIndex& index, const Real* x, std::size_t n, std::size_t d, std::size_t i,
                  std::size_t k, std::size_t candidates, std::int32_t* indices, float* distances,
                  std::vector<detail::Ranked>& row) {
  const detail::MeasureKernel<Real> measure = FastestMeasure<Real>();
  std::vector<std::int32_t> found;
  for (const std::int32_t j : index.Near(i, std::clamp(candidates, k + 1, 2 * (k + 1)))) {
    if (static_cast<std::size_t>(j) != i) found.push_back(j);
  }
  if (found.size() < k) {
    detail::NearestByAll(x, n, d, i, k, indices, distances, row, measure);
    return;
  }
  std::vector<double> exact(found.size());
  measure(x, d, i, found.data(), found.size(), exact.data());
  row.clear();
  for (std::size_t m = 0; m < found.size(); ++m) row.push_back({exact[m], found[m]});
  detail::TakeNearest(row, k, indices, distances);
}

using detail::Estimate;

// The share of the true neighbours of the sample's points that the index finds at
// `breadth`, each point's share a draw of its own.
template <typename Real>
Estimate SampleRecall(const GraphIndex& index, const Real* x, std::size_t n, std::size_t d, std::size_t k,
                      std::size_t breadth, const NeighbourSample& sample, unsigned threads) {
  std::vector<double> shares(sample.points.size());
  support::ParallelFor(shares.size(), {threads, {}}, [&](std::size_t s, unsigned) {
    std::vector<std::int32_t> indices(k);
    std::vector<float> distances(k);
    std::vector<detail::Ranked> row;
    RowFromIndex(index, x, n, d, sample.points[s], k, breadth, indices.data(), distances.data(), row);
    const detail::Ranked kth{sample.kth_distances[s], sample.kth_indices[s]};
    std::size_t found = 0;
    for (std::size_t m = 0; m < k; ++m) {
      found += row[m].distance < kth.distance || (row[m].distance == kth.distance && row[m].index <= kth.index);
    }
    shares[s] = static_cast<double>(found) / static_cast<double>(k);
  });
  const auto count = static_cast<double>(shares.size());
  double mean = 0;
  for (const double share : shares) mean += share;
  mean /= count;
  double squares = 0;
  for (const double share : shares) squares += (share - mean) * (share - mean);
  const double error = shares.size() > 1 ? 2 * std::sqrt(squares / (count - 1) / count) : 0.0;
  return {mean, error};
}

}  // namespace

std::vector<std::size_t> SamplePoints(std::size_t n, std::size_t count) {
  // Floyd's draw: `count` distinct points without a list of all n, each set of them
  // as likely as any other; seeded, so that a run is repeated.
  std::mt19937_64 random(kSeed);
  std::unordered_set<std::size_t> drawn;
  for (std::size_t top = n - count; top < n; ++top) {
    const std::size_t point = std::uniform_int_distribution<std::size_t>(0, top)(random);
    drawn.insert(drawn.count(point) != 0 ? top : point);
  }
  std::vector<std::size_t> points(drawn.begin(), drawn.end());
  std::sort(points.begin(), points.end());
  return points;
}

namespace {

// Adds the given points (not in the sample yet) to the sample, each searched against all.
template <typename Real>
void AddToSample(const Real* x, std::size_t n, std::size_t d, std::size_t k, unsigned threads,
                 const std::function<void(double)>& progress, const std::vector<std::size_t>& points,
                 NeighbourSample& sample) {
  const std::size_t first = sample.points.size();
  sample.points.insert(sample.points.end(), points.begin(), points.end());
  sample.kth_distances.resize(sample.points.size());
  sample.kth_indices.resize(sample.points.size());
  // One more than k, where there is one, to see whether the k-th ties with the next.
  const std::size_t listed = std::min(n - 1, k + 1);
  std::vector<char> tied(points.size(), 0);
  const detail::MeasureKernel<Real> measure = FastestMeasure<Real>();
  support::ParallelFor(points.size(), {threads, {}}, [&](std::size_t m, unsigned worker) {
    if (worker == 0 && progress) progress(0.0);
    std::vector<std::int32_t> indices(listed);
    std::vector<float> distances(listed);
    std::vector<detail::Ranked> row;
    detail::NearestByAll(x, n, d, points[m], listed, indices.data(), distances.data(), row, measure);
    sample.kth_distances[first + m] = row[k - 1].distance;
    sample.kth_indices[first + m] = row[k - 1].index;
    tied[m] = listed > k && row[k].distance == row[k - 1].distance;
  });
  std::size_t tied_points = 0;
  for (const char point_tied : tied) tied_points += point_tied;
  const double before = sample.tied_share * static_cast<double>(first);
  sample.tied_share = (before + static_cast<double>(tied_points)) / static_cast<double>(sample.points.size());
}

// The sample grown by the kGrownSamplePoints drawn for that size (those not in it
// yet); false where it holds every point already, or was grown.
template <typename Real>
bool GrowSample(const Real* x, std::size_t n, std::size_t d, std::size_t k, unsigned threads,
                const std::function<void(double)>& progress, NeighbourSample& sample) {
  if (sample.points.size() >= std::min(n, kGrownSamplePoints)) return false;
  const std::unordered_set<std::size_t> held(sample.points.begin(), sample.points.end());
  std::vector<std::size_t> more;
  for (const std::size_t point : SamplePoints(n, std::min(n, kGrownSamplePoints))) {
    if (held.count(point) == 0) more.push_back(point);
  }
  AddToSample(x, n, d, k, threads, progress, more, sample);
  return true;
}

}  // namespace

template <typename Real>
NeighbourSample SampleNeighbours(const Real* x, std::size_t n, std::size_t d, std::size_t k, unsigned threads,
                                 const std::function<void(double)>& progress) {
  NeighbourSample sample;
  AddToSample(x, n, d, k, threads, progress, SamplePoints(n, std::min(n, kSamplePoints)), sample);
  return sample;
}

bool Trustworthy(const ApproximateSearch& search) {
  return search.recall + search.recall_error >= kWantedRecall && search.tied_share <= kTiedShareLimit;
}

template <typename Real>
ApproximateSearch ApproximateNeighbours(const Real* x, std::size_t n, std::size_t d, std::size_t k,
                                        const SearchSettings& settings) {
  return ApproximateNeighbours(x, n, d, k, settings, SampleNeighbours(x, n, d, k, settings.threads, settings.progress));
}

template <typename Real>
ApproximateSearch ApproximateNeighbours(const Real* x, std::size_t n, std::size_t d, std::size_t k,
                                        const SearchSettings& settings, const NeighbourSample& sample) {
  // Building takes most of the time: it gets 90% of the bar.
  const auto share = [&](double from, double width) {
    return [&settings, from, width](double done) {
      if (settings.progress) settings.progress(from + width * done);
    };
  };
  GraphIndex index(x, n, d, settings.threads, share(0.0, 0.9));
  ApproximateSearch search;
  // The narrowest search the sample finds enough with (the whole search's time grows
  // with it, and the sample's is small).
  NeighbourSample grown;
  const NeighbourSample* judged = &sample;
  const auto estimate_at = [&](std::size_t breadth) {
    index.SetBreadth(breadth);
    return SampleRecall(index, x, n, d, k, breadth, *judged, settings.threads);
  };
  const auto grow = [&] {
    grown = sample;
    // The bar stays where the index left it while the sample grows.
    if (!GrowSample(x, n, d, k, settings.threads, share(0.9, 0.0), grown)) return false;
    judged = &grown;
    return true;
  };
  const detail::BreadthChoice choice = detail::ChooseBreadth(n, k, kWantedRecall, kNarrowingSteps, estimate_at, grow);
  search.breadth = choice.breadth;
  search.recall = choice.estimate.recall;
  search.recall_error = choice.estimate.error;
  search.sample = judged->points.size();
  search.tied_share = judged->tied_share;
  index.SetBreadth(search.breadth);
  NeighbourLists& lists = search.lists;
  lists.n = n;
  lists.k = k;
  lists.indices.resize(n * k);
  lists.squared_distances.resize(n * k);
  std::atomic<std::size_t> listed{0};
  const auto query_progress = share(0.9, 0.1);
  const std::size_t tasks = (n + kPointsPerTask - 1) / kPointsPerTask;
  support::ParallelFor(tasks, {settings.threads, {}}, [&](std::size_t task, unsigned worker) {
    const std::size_t end = std::min(n, (task + 1) * kPointsPerTask);
    std::vector<detail::Ranked> row;
    for (std::size_t i = task * kPointsPerTask; i < end; ++i) {
      RowFromIndex(index, x, n, d, i, k, search.breadth, lists.indices.data() + i * k,
                   lists.squared_distances.data() + i * k, row);
    }
    const std::size_t done = listed += end - task * kPointsPerTask;
    if (worker == 0) query_progress(static_cast<double>(done) / static_cast<double>(n));
  });
  return search;
}

double ApproximateSearchBytes(std::size_t n, std::size_t d, std::size_t k, unsigned threads) {
  // Per point: the level-0 links (2 kLinks of 4 bytes and a count), the float point
  // in the index and in GraphIndex, the label, a lock of 40 bytes, a level, a pointer,
  // the label map's node and GraphIndex's place of the label; the upper levels hold
  // about 1 / kLinks of the points.
  const double per_point = (2 * kLinks + 1) * 4.0 + 8.0 * static_cast<double>(d) + 8 + 40 + 4 + 8 + 48 + 4 +
                           (kLinks + 1) * 4.0 / static_cast<double>(kLinks);
  const double visited = 2.0 * static_cast<double>(n) * (support::ThreadCount(threads) + 1);
  const double locks = 65536.0 * 40;
  const double lists = 8.0 * static_cast<double>(n) * static_cast<double>(k);
  return per_point * static_cast<double>(n) + visited + locks + lists;
}

template NeighbourSample SampleNeighbours(const double*, std::size_t, std::size_t, std::size_t, unsigned,
                                          const std::function<void(double)>&);
template ApproximateSearch ApproximateNeighbours(const double*, std::size_t, std::size_t, std::size_t,
                                                 const SearchSettings&, const NeighbourSample&);
template ApproximateSearch ApproximateNeighbours(const double*, std::size_t, std::size_t, std::size_t,
                                                 const SearchSettings&);
template NeighbourSample SampleNeighbours(const float*, std::size_t, std::size_t, std::size_t, unsigned,
                                          const std::function<void(double)>&);
template ApproximateSearch ApproximateNeighbours(const float*, std::size_t, std::size_t, std::size_t,
                                                 const SearchSettings&, const NeighbourSample&);
template ApproximateSearch ApproximateNeighbours(const float*, std::size_t, std::size_t, std::size_t,
                                                 const SearchSettings&);

}  // namespace tsneloss::affinities
