#include "normaliser/interpolation_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "normaliser/compensated_sum.hpp"
#include "normaliser/fft_threads.hpp"

namespace tsneloss::normaliser::detail {
namespace {

// The smallest length >= `at_least` made of the factors 2, 3, 5 and 7 alone.
int FastLength(std::size_t at_least) {
  for (std::size_t length = at_least;; ++length) {
    std::size_t rest = length;
    for (const std::size_t factor : {2, 3, 5, 7}) {
      while (rest % factor == 0) rest /= factor;
    }
    if (rest == 1) return static_cast<int>(length);
  }
}

// Nodes per dimension so that boxes of each size cover [lo, hi].
// Capped far above any grid that fits in memory, so that huge extents stay countable.
std::size_t NodesFor(double extent, double spacing, const std::vector<int>& box_sizes) {
  constexpr double kCap = 1e12;
  std::size_t nodes = 0;
  for (const int p : box_sizes) {
    const std::size_t boxes = static_cast<std::size_t>(std::min(std::floor(extent / (spacing * p)), kCap)) + 1;
    if (boxes * p > nodes) nodes = boxes * static_cast<std::size_t>(p);
  }
  return nodes;
}

// Lagrange weights of the nodes m + 1/2 (m < p) at t in [0, p]: prefix and suffix
// products, so a point on a node needs no division by zero.
void LagrangeWeights(double t, int p, double* weights) {
  double prefix[16], suffix[16];
  prefix[0] = 1;
  for (int m = 1; m < p; ++m) prefix[m] = prefix[m - 1] * (t - (m - 1) - 0.5);
  suffix[p - 1] = 1;
  for (int m = p - 2; m >= 0; --m) suffix[m] = suffix[m + 1] * (t - (m + 1) - 0.5);
  for (int m = 0; m < p; ++m) {
    double denominator = 1;
    for (int q = 0; q < p; ++q) {
      if (q != m) denominator *= m - q;
    }
    weights[m] = prefix[m] * suffix[m] / denominator;
  }
}

// A point's interpolated kernel with itself, sum_a sum_b w_a w_b K(node_a - node_b)
// over the nodes of its box. The weights' products factor by dimension, so it is the
// kernel at each offset o times the autocorrelations of the weights at o_k.
double SelfTerm(const double (&weights)[3][16], std::size_t d, int p, const std::vector<double>& offset_kernel) {
  const int width = 2 * p - 1;
  double correlation[3][31];
  for (std::size_t k = 0; k < d; ++k) {
    for (int o = -(p - 1); o < p; ++o) {
      double sum = 0;
      for (int a = std::max(0, o); a < std::min(p, p + o); ++a) sum += weights[k][a] * weights[k][a - o];
      correlation[k][o + p - 1] = sum;
    }
  }
  double self = 0;
  if (d == 1) {
    for (int a = 0; a < width; ++a) self += correlation[0][a] * offset_kernel[a];
  } else if (d == 2) {
    for (int b = 0; b < width; ++b) {
      double inner = 0;
      for (int a = 0; a < width; ++a) inner += correlation[0][a] * offset_kernel[b * width + a];
      self += correlation[1][b] * inner;
    }
  } else {
    for (int c = 0; c < width; ++c) {
      double plane = 0;
      for (int b = 0; b < width; ++b) {
        double inner = 0;
        for (int a = 0; a < width; ++a) inner += correlation[0][a] * offset_kernel[(c * width + b) * width + a];
        plane += correlation[1][b] * inner;
      }
      self += correlation[2][c] * plane;
    }
  }
  return self;
}

}  // namespace

std::size_t InterpolationGrid::PaddedCells(const std::vector<double>& lo, const std::vector<double>& hi,
                                           double spacing, const std::vector<int>& box_sizes) {
  double cells = 1;
  for (std::size_t k = 0; k < lo.size(); ++k) {
    const std::size_t nodes = NodesFor(hi[k] - lo[k], spacing, box_sizes);
    if (nodes > (std::size_t{1} << 26)) return static_cast<std::size_t>(-1);  // beyond any budget
    cells *= FastLength(2 * nodes);
    if (cells > 1e18) return static_cast<std::size_t>(-1);
  }
  return static_cast<std::size_t>(cells);
}

InterpolationGrid::InterpolationGrid(const std::vector<double>& lo, const std::vector<double>& hi,
                                     double spacing, const std::vector<int>& box_sizes, unsigned threads)
    : lo_(lo), spacing_(spacing), threads_(threads) {
  const std::size_t d = lo.size();
  for (std::size_t k = 0; k < d; ++k) {
    nodes_.push_back(NodesFor(hi[k] - lo[k], spacing, box_sizes));
    padded_.push_back(FastLength(2 * nodes_.back()));
  }
  const std::size_t last = static_cast<std::size_t>(padded_.back());
  last_stride_ = 2 * (last / 2 + 1);
  std::size_t rows = 1;
  for (std::size_t k = 0; k + 1 < d; ++k) rows *= static_cast<std::size_t>(padded_[k]);
  cells_ = rows * last;
  buffer_.reset(static_cast<double*>(fftw_malloc(rows * last_stride_ * sizeof(double))));
  if (buffer_ == nullptr) throw std::bad_alloc();

  {
    const auto lock = LockPlanner();
    fftw_plan_with_nthreads(static_cast<int>(threads));
    plan_.reset(fftw_plan_dft_r2c(static_cast<int>(d), padded_.data(), buffer_.get(),
                                  reinterpret_cast<fftw_complex*>(buffer_.get()), FFTW_ESTIMATE));
  }
  if (plan_ == nullptr) throw std::bad_alloc();

  // The kernel on the torus: offsets beyond half a period wrap to negative ones, and
  // the zero padding keeps the wrapped ones from meeting any pair of real nodes.
  std::vector<double> offset_squared[3];
  for (std::size_t k = 0; k < d; ++k) {
    for (int m = 0; m < padded_[k]; ++m) {
      const double offset = std::min(m, padded_[k] - m) * spacing;
      offset_squared[k].push_back(offset * offset);
    }
  }
  for (std::size_t row = 0; row < rows; ++row) {
    double row_squared = 0;
    std::size_t rest = row;
    for (std::size_t k = d - 1; k-- > 0;) {
      row_squared += offset_squared[k][rest % padded_[k]];
      rest /= padded_[k];
    }
    double* out = buffer_.get() + row * last_stride_;
    for (std::size_t m = 0; m < last; ++m) out[m] = 1.0 / (1.0 + (row_squared + offset_squared[d - 1][m]));
  }
  ExecuteOnThreads(static_cast<fftw_plan>(plan_.get()), threads_);
  kernel_spectrum_.resize(rows * (last_stride_ / 2));
  for (std::size_t c = 0; c < kernel_spectrum_.size(); ++c) kernel_spectrum_[c] = buffer_.get()[2 * c];
}

void InterpolationGrid::FreeBuffer::operator()(double* buffer) const { fftw_free(buffer); }

void InterpolationGrid::DestroyPlan::operator()(void* plan) const {
  const auto lock = LockPlanner();
  fftw_destroy_plan(static_cast<fftw_plan>(plan));
}

double InterpolationGrid::Spread(const double* y, std::size_t d, const std::vector<std::size_t>& rows,
                                 int box_size) {
  std::size_t total_rows = 1;
  for (std::size_t k = 0; k + 1 < d; ++k) total_rows *= static_cast<std::size_t>(padded_[k]);
  std::memset(buffer_.get(), 0, total_rows * last_stride_ * sizeof(double));
  const std::size_t p = static_cast<std::size_t>(box_size);
  const std::vector<double> offset_kernel = OffsetKernel(d, box_size);
  CompensatedSum self;
  double weights[3][16];
  std::size_t first_node[3];
  for (const std::size_t i : rows) {
    BoxWeights(y + i * d, d, box_size, first_node, weights);
    self.Add(SelfTerm(weights, d, box_size, offset_kernel));
    if (d == 1) {
      for (std::size_t a = 0; a < p; ++a) buffer_.get()[first_node[0] + a] += weights[0][a];
    } else if (d == 2) {
      for (std::size_t a = 0; a < p; ++a) {
        double* row = buffer_.get() + (first_node[0] + a) * last_stride_ + first_node[1];
        for (std::size_t b = 0; b < p; ++b) row[b] += weights[0][a] * weights[1][b];
      }
    } else {
      for (std::size_t a = 0; a < p; ++a) {
        for (std::size_t b = 0; b < p; ++b) {
          const double wab = weights[0][a] * weights[1][b];
          double* row = buffer_.get() + ((first_node[0] + a) * padded_[1] + first_node[1] + b) * last_stride_ + first_node[2];
          for (std::size_t c = 0; c < p; ++c) row[c] += wab * weights[2][c];
        }
      }
    }
  }
  return self.Value();
}

void InterpolationGrid::BoxWeights(const double* point, std::size_t d, int box_size, std::size_t (&first_node)[3],
                                   double (&weights)[3][16]) const {
  const std::size_t p = static_cast<std::size_t>(box_size);
  for (std::size_t k = 0; k < d; ++k) {
    const double u = (point[k] - lo_[k]) / spacing_;
    // Clamped: the extent's rounding may put the highest point one box too far.
    const double last_box = static_cast<double>(nodes_[k] / p - 1);
    const double box = std::min(std::max(std::floor(u / static_cast<double>(p)), 0.0), last_box);
    first_node[k] = static_cast<std::size_t>(box) * p;
    LagrangeWeights(u - box * static_cast<double>(p), box_size, weights[k]);
  }
}

double InterpolationGrid::PairKernel(const double* a, const double* b, std::size_t d, int box_size) const {
  std::size_t first_a[3], first_b[3];
  double weights_a[3][16], weights_b[3][16];
  BoxWeights(a, d, box_size, first_a, weights_a);
  BoxWeights(b, d, box_size, first_b, weights_b);
  // As in SelfTerm: the weights' cross-correlation per dimension at each node offset
  // o, against the kernel at the offset between the boxes plus o.
  const int p = box_size;
  const int width = 2 * p - 1;
  double correlation[3][31];
  double box_offset[3] = {0, 0, 0};
  for (std::size_t k = 0; k < d; ++k) {
    box_offset[k] = (static_cast<double>(first_a[k]) - static_cast<double>(first_b[k])) * spacing_;
    for (int o = -(p - 1); o < p; ++o) {
      double sum = 0;
      for (int i = std::max(0, o); i < std::min(p, p + o); ++i) sum += weights_a[k][i] * weights_b[k][i - o];
      correlation[k][o + p - 1] = sum;
    }
  }
  auto squared = [&](std::size_t k, int index) {
    const double offset = box_offset[k] + (index - (p - 1)) * spacing_;
    return offset * offset;
  };
  double value = 0;
  if (d == 1) {
    for (int i = 0; i < width; ++i) value += correlation[0][i] / (1.0 + squared(0, i));
  } else if (d == 2) {
    for (int j = 0; j < width; ++j) {
      double inner = 0;
      for (int i = 0; i < width; ++i) inner += correlation[0][i] / (1.0 + squared(0, i) + squared(1, j));
      value += correlation[1][j] * inner;
    }
  } else {
    for (int l = 0; l < width; ++l) {
      double plane = 0;
      for (int j = 0; j < width; ++j) {
        double inner = 0;
        for (int i = 0; i < width; ++i) {
          inner += correlation[0][i] / (1.0 + squared(0, i) + squared(1, j) + squared(2, l));
        }
        plane += correlation[1][j] * inner;
      }
      value += correlation[2][l] * plane;
    }
  }
  return value;
}

std::vector<double> InterpolationGrid::OffsetKernel(std::size_t d, int box_size) const {
  const std::size_t width = 2 * static_cast<std::size_t>(box_size) - 1;
  std::size_t count = 1;
  for (std::size_t k = 0; k < d; ++k) count *= width;
  std::vector<double> kernel(count);
  for (std::size_t index = 0; index < count; ++index) {
    double squared = 0;
    std::size_t rest = index;
    for (std::size_t k = 0; k < d; ++k) {
      const double offset = (static_cast<double>(rest % width) - (box_size - 1)) * spacing_;
      squared += offset * offset;
      rest /= width;
    }
    kernel[index] = 1.0 / (1.0 + squared);
  }
  return kernel;
}

double InterpolationGrid::OffDiagonal(const double* y, std::size_t d, const std::vector<std::size_t>& rows,
                                      int box_size) {
  const double self = Spread(y, d, rows, box_size);
  ExecuteOnThreads(static_cast<fftw_plan>(plan_.get()), threads_);
  // Parseval over the half spectrum: every frequency but the first and the middle of
  // the last dimension stands for itself and its mirror image.
  const std::size_t half = last_stride_ / 2;
  const std::size_t last = static_cast<std::size_t>(padded_.back());
  const std::size_t count = kernel_spectrum_.size();
  CompensatedSum energy;
  for (std::size_t c = 0; c < count; ++c) {
    const std::size_t m = c % half;
    const double re = buffer_.get()[2 * c];
    const double im = buffer_.get()[2 * c + 1];
    const double power = kernel_spectrum_[c] * (re * re + im * im);
    energy.Add((m == 0 || 2 * m == last) ? power : 2 * power);
  }
  return energy.Value() / static_cast<double>(cells_) - self;
}

}  // namespace tsneloss::normaliser::detail
