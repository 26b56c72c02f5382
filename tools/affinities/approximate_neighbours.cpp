#include "affinities/approximate_neighbours.hpp"

#include <hnswlib/hnswlib.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "affinities/exact_distances.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace {

// The index's shape: links per point, and the breadth of the search while building.
// At N = 50000, D = 50, 24 links and a breadth of 100 built and searched in half the
// time of 16 and 200, on clustered and on uniformly random data alike.
constexpr std::size_t kLinks = 24;
constexpr std::size_t kBuildBreadth = 100;
constexpr std::size_t kSeed = 100;
constexpr std::size_t kSamplePoints = 200;
constexpr double kWantedRecall = 0.985;
constexpr int kNarrowingSteps = 3;
constexpr std::size_t kPointsPerTask = 1024;

class GraphIndex {
 public:
  GraphIndex(const double* x, std::size_t n, std::size_t d, unsigned threads,
             const std::function<void(double)>& progress)
      : d_(d), points_(n * d), space_(d), graph_(&space_, n, kLinks, kBuildBreadth, kSeed) {
    // Centred, so that float keeps the digits that tell near points apart.
    std::vector<double> mean(d, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t c = 0; c < d; ++c) mean[c] += x[i * d + c];
    }
    for (double& value : mean) value /= static_cast<double>(n);
    for (std::size_t e = 0; e < n * d; ++e) points_[e] = static_cast<float>(x[e] - mean[e % d]);
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
  }

  void SetBreadth(std::size_t breadth) { graph_.setEf(breadth); }

  // The labels of up to `count` points the index finds near point i (its own among
  // them, as a rule).
  std::vector<std::int32_t> Near(std::size_t i, std::size_t count) const {
    auto found = graph_.searchKnn(Point(i), count);
    std::vector<std::int32_t> labels;
    labels.reserve(found.size());
    for (; !found.empty(); found.pop()) labels.push_back(static_cast<std::int32_t>(found.top().second));
    return labels;
  }

 private:
  const float* Point(std::size_t i) const { return points_.data() + i * d_; }

  std::size_t d_;
  std::vector<float> points_;
  hnswlib::L2Space space_;
  hnswlib::HierarchicalNSW<float> graph_;
};

// Point i's k neighbours among those the index finds, measured and ranked as the exact
// search ranks them, written out and left first in `row` with their double distances;
// where the index finds too few, every point is tried.
void RowFromIndex(const GraphIndex& index, const double* x, std::size_t n, std::size_t d, std::size_t i,
                  std::size_t k, std::int32_t* indices, float* distances, std::vector<detail::Ranked>& row) {
  std::vector<std::int32_t> found;
  for (const std::int32_t j : index.Near(i, k + 1)) {
    if (static_cast<std::size_t>(j) != i) found.push_back(j);
  }
  if (found.size() < k) {
    detail::NearestByAll(x, n, d, i, k, indices, distances, row);
    return;
  }
  std::vector<double> exact(found.size());
  detail::ExactSquaredDistances(x, d, i, found.data(), found.size(), exact.data());
  row.clear();
  for (std::size_t m = 0; m < found.size(); ++m) row.push_back({exact[m], found[m]});
  detail::TakeNearest(row, k, indices, distances);
}

// The share of the true neighbours of the sample points that the index finds, given
// each sample point's k-th true distance.
double SampleRecall(const GraphIndex& index, const double* x, std::size_t n, std::size_t d, std::size_t k,
                    const std::vector<std::size_t>& sample, const std::vector<double>& kth_distances,
                    unsigned threads) {
  std::vector<std::size_t> found(sample.size());
  support::ParallelFor(sample.size(), {threads, {}}, [&](std::size_t s, unsigned) {
    std::vector<std::int32_t> indices(k);
    std::vector<float> distances(k);
    std::vector<detail::Ranked> row;
    RowFromIndex(index, x, n, d, sample[s], k, indices.data(), distances.data(), row);
    // A neighbour tied with the k-th true one is as good as it.
    for (std::size_t m = 0; m < k; ++m) found[s] += row[m].distance <= kth_distances[s] ? 1 : 0;
  });
  std::size_t total = 0;
  for (const std::size_t count : found) total += count;
  return static_cast<double>(total) / static_cast<double>(sample.size() * k);
}

}  // namespace

ApproximateSearch ApproximateNeighbours(const double* x, std::size_t n, std::size_t d, std::size_t k,
                                        const SearchSettings& settings) {
  // Building takes most of the time: it gets 90% of the bar.
  const auto share = [&](double from, double width) {
    return [&settings, from, width](double done) {
      if (settings.progress) settings.progress(from + width * done);
    };
  };
  GraphIndex index(x, n, d, settings.threads, share(0.0, 0.9));
  ApproximateSearch search;
  std::vector<std::size_t> sample;
  const std::size_t sample_points = std::min(n, kSamplePoints);
  for (std::size_t s = 0; s < sample_points; ++s) sample.push_back(s * n / sample_points);
  std::vector<double> kth_distances(sample.size());
  support::ParallelFor(sample.size(), {settings.threads, {}}, [&](std::size_t s, unsigned) {
    std::vector<std::int32_t> indices(k);
    std::vector<float> distances(k);
    std::vector<detail::Ranked> row;
    detail::NearestByAll(x, n, d, sample[s], k, indices.data(), distances.data(), row);
    kth_distances[s] = row[k - 1].distance;
  });
  search.sample = sample.size();
  // The narrowest search the sample finds enough with: doubled until it does, then
  // halved back towards the last that did not (the whole search's time grows with it,
  // and the sample's is small).
  const auto recall_at = [&](std::size_t breadth) {
    index.SetBreadth(breadth);
    return SampleRecall(index, x, n, d, k, sample, kth_distances, settings.threads);
  };
  std::size_t too_narrow = 0;
  search.breadth = std::min(n, k + 1);
  search.recall = recall_at(search.breadth);
  while (search.recall < kWantedRecall && search.breadth < n) {
    too_narrow = search.breadth;
    search.breadth = std::min(n, 2 * search.breadth);
    search.recall = recall_at(search.breadth);
  }
  for (int step = 0; step < kNarrowingSteps && too_narrow > 0; ++step) {
    const std::size_t middle = (too_narrow + search.breadth) / 2;
    const double recall = recall_at(middle);
    if (recall >= kWantedRecall) {
      search.breadth = middle;
      search.recall = recall;
    } else {
      too_narrow = middle;
    }
  }
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
      RowFromIndex(index, x, n, d, i, k, lists.indices.data() + i * k, lists.squared_distances.data() + i * k, row);
    }
    const std::size_t done = listed += end - task * kPointsPerTask;
    if (worker == 0) query_progress(static_cast<double>(done) / static_cast<double>(n));
  });
  return search;
}

}  // namespace tsneloss::affinities
