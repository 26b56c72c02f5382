// Z on a grid: each point spreads a unit charge over the nodes of its box with Lagrange
// weights (p equispaced nodes per box and dimension), and the grid's energy
// sum_a sum_b w_a w_b K(node_a - node_b) is taken with FFTs. Less each point's
// interpolated kernel with itself, it approximates the sum of K over ordered pairs
// i != j.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace tsneloss::normaliser::detail {

// A uniform grid of nodes lo_k + (m + 1/2) spacing, m = 0 .. nodes_k - 1, in D <= 3
// dimensions, with the kernel's spectrum on the zero-padded (2 nodes_k) torus.
class InterpolationGrid {
 public:
  // Covers [lo_k, hi_k] for boxes of every size in `box_sizes`, transforming on
  // `threads` threads (at least 1). Throws std::bad_alloc, std::system_error.
  InterpolationGrid(const std::vector<double>& lo, const std::vector<double>& hi, double spacing,
                    const std::vector<int>& box_sizes, unsigned threads);
  InterpolationGrid(const InterpolationGrid&) = delete;
  InterpolationGrid& operator=(const InterpolationGrid&) = delete;

  // Cells of the padded torus that one transform works on.
  static std::size_t PaddedCells(const std::vector<double>& lo, const std::vector<double>& hi, double spacing,
                                 const std::vector<int>& box_sizes);

  // sum over ordered pairs i != j of the interpolated kernel, for the points `rows` of
  // y (N by D, row-major) and `box_size` nodes per box (at most 16).
  double OffDiagonal(const double* y, std::size_t d, const std::vector<std::size_t>& rows, int box_size);

  // The interpolated kernel of one pair of points in the grid's box (a and b: d
  // coordinates each), what the grid sums in place of 1 / (1 + |a - b|^2).
  double PairKernel(const double* a, const double* b, std::size_t d, int box_size) const;

  std::size_t Cells() const { return cells_; }

 private:
  // Fills the buffer with the weights; returns the sum of the points' self terms.
  double Spread(const double* y, std::size_t d, const std::vector<std::size_t>& rows, int box_size);
  // The first node of the point's box and its Lagrange weights, per dimension.
  void BoxWeights(const double* point, std::size_t d, int box_size, std::size_t (&first_node)[3],
                  double (&weights)[3][16]) const;
  // K at the node offsets -(p - 1) .. p - 1 in each dimension, the first fastest.
  std::vector<double> OffsetKernel(std::size_t d, int box_size) const;

  std::vector<double> lo_;
  double spacing_;
  unsigned threads_;  // of the transforms: as many as they were planned for
  std::vector<std::size_t> nodes_;   // per dimension
  std::vector<int> padded_;          // 2 nodes_k, rounded up to a fast FFT length
  std::size_t last_stride_ = 0;      // reals per row of the last dimension (in-place r2c)
  std::size_t cells_ = 0;
  // FFTW's buffer and plan, each given back by its owner however construction ends.
  struct FreeBuffer {
    void operator()(double* buffer) const;
  };
  struct DestroyPlan {
    void operator()(void* plan) const;
  };
  std::unique_ptr<double, FreeBuffer> buffer_;  // fftw_malloc'ed, in-place transform
  std::vector<double> kernel_spectrum_;         // real: the padded kernel is even
  std::unique_ptr<void, DestroyPlan> plan_;
};

}  // namespace tsneloss::normaliser::detail
