#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "affinities/exp_avx512_kernel.hpp"
#include "affinities/perplexity_lanes.hpp"
#include "affinities/perplexity_search.hpp"

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kLanes = 8;
// The cheaper sums serve while the nearest term, exp(-d_min beta), is at least
// exp(-600): far from double's underflow, where t-SNE's terms lose bits or vanish.
constexpr double kApproximateReach = 600;
// The cheaper exp's range: below, its terms count as 0 (under exp(-100) of the nearest).
constexpr double kLowestExponent = -700;

// Whether the cheaper sums serve a row whose nearest squared distance is `nearest`, at beta.
bool CheaperServes(double nearest, double beta) { return nearest * beta <= kApproximateReach; }

// A row's search as far as it has gone.
struct RowState {
  int steps = 0;
  Bisection bisection;
};

// exp(x) for x <= 0: x = k ln2 + r, |r| <= ln2 / 2, exp(r) by Taylor's polynomial of
// degree 12 (its remainder under 2^-52), 2^k from the exponent's bits; 0 below -700.
[[gnu::always_inline]] inline __m512d ApproximateExp(__m512d x) {
  const __m512d clamped = _mm512_mask_max_pd(x, 0xff, x, _mm512_set1_pd(kLowestExponent));  // masked: see ShiftedLeft
  const __m512d shift = exp_avx512::Bits(0x4338000000000000ULL);  // 1.5 * 2^52
  __m512d kd = _mm512_fmadd_pd(clamped, _mm512_set1_pd(1.4426950408889634), shift);
  const __m512i ki = _mm512_castpd_si512(kd);
  kd = _mm512_sub_pd(kd, shift);
  __m512d r = _mm512_fmadd_pd(kd, exp_avx512::Bits(0xbfe62e42fee00000ULL), clamped);  // -ln2, high part: k times it is exact
  r = _mm512_fmadd_pd(kd, exp_avx512::Bits(0xbdea39ef35793c76ULL), r);               // and the rest
  // Estrin's scheme: pairs, then pairs of pairs, so that fewer steps wait on each other.
  const auto c = [](double v) { return _mm512_set1_pd(v); };
  const __m512d r2 = _mm512_mul_pd(r, r);
  const __m512d r4 = _mm512_mul_pd(r2, r2);
  const __m512d r8 = _mm512_mul_pd(r4, r4);
  const __m512d p01 = _mm512_fmadd_pd(r, c(1.0), c(1.0));
  const __m512d p23 = _mm512_fmadd_pd(r, c(1.0 / 6), c(0.5));
  const __m512d p45 = _mm512_fmadd_pd(r, c(1.0 / 120), c(1.0 / 24));
  const __m512d p67 = _mm512_fmadd_pd(r, c(1.0 / 5040), c(1.0 / 720));
  const __m512d p89 = _mm512_fmadd_pd(r, c(1.0 / 362880), c(1.0 / 40320));
  const __m512d p1011 = _mm512_fmadd_pd(r, c(1.0 / 39916800), c(1.0 / 3628800));
  const __m512d p03 = _mm512_fmadd_pd(p23, r2, p01);
  const __m512d p47 = _mm512_fmadd_pd(p67, r2, p45);
  const __m512d p811 = _mm512_fmadd_pd(p1011, r2, p89);
  const __m512d p812 = _mm512_fmadd_pd(c(1.0 / 479001600), r4, p811);
  const __m512d polynomial = _mm512_fmadd_pd(p812, r8, _mm512_fmadd_pd(p47, r4, p03));
  const __m512i exponent = exp_avx512::ShiftedLeft(_mm512_add_epi64(ki, _mm512_set1_epi64(1023)), 52);
  const __m512d result = _mm512_mul_pd(polynomial, _mm512_castsi512_pd(exponent));
  return _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(x, _mm512_set1_pd(kLowestExponent), _CMP_GE_OQ), result);
}

// The rows in the lanes: distance j of lane l at [j * kLanes + l], as double, and
// negated for exp's arguments. A lane whose row has ended keeps its numbers, unused,
// until it takes another.
class LaneRows {
 public:
  LaneRows(const float* squared_distances, std::size_t rows, std::size_t k)
      : distances_(squared_distances), rows_(rows), k_(k), distance_(k * kLanes, 0.0), negated_(k * kLanes, -0.0) {}

  // Gives each idle lane the next row that `admits` (the others are passed over);
  // false once no lane has a row.
  template <typename Admits>
  bool Fill(const Admits& admits) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      while (!busy(lane) && next_ < rows_) {
        const std::size_t row = next_++;
        if (admits(distances_ + row * k_)) Load(lane, row);
      }
    }
    return busy_ != 0;
  }

  bool busy(std::size_t lane) const { return ((busy_ >> lane) & 1u) != 0; }
  void Release(std::size_t lane) { busy_ &= ~(1u << lane); }
  std::size_t row(std::size_t lane) const { return row_[lane]; }
  double nearest(std::size_t lane) const { return nearest_[lane]; }
  std::size_t k() const { return k_; }
  __m512d distance(std::size_t j) const { return _mm512_loadu_pd(&distance_[j * kLanes]); }
  __m512d negated(std::size_t j) const { return _mm512_loadu_pd(&negated_[j * kLanes]); }

  // The lanes' betas (1 where idle).
  __m512d Betas(const RowState* states) const {
    alignas(64) double beta[kLanes];
    for (std::size_t lane = 0; lane < kLanes; ++lane) beta[lane] = busy(lane) ? states[row_[lane]].bisection.beta : 1.0;
    return _mm512_load_pd(beta);
  }

 private:
  void Load(std::size_t lane, std::size_t row) {
    const float* d = distances_ + row * k_;
    double nearest = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < k_; ++j) {
      distance_[j * kLanes + lane] = d[j];
      negated_[j * kLanes + lane] = -static_cast<double>(d[j]);
      nearest = std::min(nearest, static_cast<double>(d[j]));
    }
    row_[lane] = row;
    nearest_[lane] = nearest;
    busy_ |= 1u << lane;
  }

  const float* distances_;
  std::size_t rows_;
  std::size_t k_;
  std::vector<double> distance_;
  std::vector<double> negated_;
  std::size_t row_[kLanes] = {};
  double nearest_[kLanes] = {};
  unsigned busy_ = 0;
  std::size_t next_ = 0;
};

// The cheaper sums of the terms and of d_j times them, a row to a lane.
struct Sums {
  alignas(64) double terms[kLanes];
  alignas(64) double weighted[kLanes];
};

Sums ApproximateSums(const LaneRows& lanes, __m512d beta) {
  __m512d sum = _mm512_setzero_pd();
  __m512d weighted = _mm512_setzero_pd();
  for (std::size_t j = 0; j < lanes.k(); ++j) {
    const __m512d term = ApproximateExp(_mm512_mul_pd(lanes.negated(j), beta));
    sum = _mm512_add_pd(sum, term);
    weighted = _mm512_fmadd_pd(lanes.distance(j), term, weighted);
  }
  Sums sums;
  _mm512_store_pd(sums.terms, sum);
  _mm512_store_pd(sums.weighted, weighted);
  return sums;
}

struct Judgement {
  double excess;
  double margin;
};

// The entropy's excess from the cheaper sums, and the bound of its distance from
// t-SNE's: each computation lies within about (2k + 10) 2^-53 (1 + |ln S| + |beta
// W / S|) of the true entropy, the cheaper exp adding 2^-47 (1 + |beta W / S|).
Judgement Judge(std::size_t k, double sum, double weighted, double beta, double wanted_entropy) {
  const double log_sum = std::log(sum);
  const double mean = beta * (weighted / sum);
  const double scale = 1 + std::fabs(log_sum) + std::fabs(mean) + std::fabs(wanted_entropy);
  return {log_sum + mean - wanted_entropy, static_cast<double>(k + 16) * 0x1p-40 * scale};
}

// The steps the cheaper sums decide, for the rows whose distances are all finite and
// >= 0, from their first; each stops at a step they cannot decide, or before the
// last step, which must give p_j.
void ApproximateSteps(const float* squared_distances, std::size_t rows, std::size_t k, double wanted_entropy,
                      RowState* states) {
  LaneRows lanes(squared_distances, rows, k);
  const auto admits = [k](const float* d) {
    return std::all_of(d, d + k, [](float v) { return v >= 0 && v <= std::numeric_limits<float>::max(); });
  };
  while (lanes.Fill(admits)) {
    const __m512d beta_v = lanes.Betas(states);
    const Sums sums = ApproximateSums(lanes, beta_v);
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      if (!lanes.busy(lane)) continue;
      RowState& state = states[lanes.row(lane)];
      const double beta = state.bisection.beta;
      bool decided = false;
      if (CheaperServes(lanes.nearest(lane), beta)) {
        const Judgement judgement = Judge(k, sums.terms[lane], sums.weighted[lane], beta, wanted_entropy);
        if (std::fabs(judgement.excess) > kEntropyTolerance + judgement.margin) {
          state.bisection.Move(judgement.excess);
          ++state.steps;
          decided = true;
        }
      }
      if (!decided || state.steps == kMaxSearchSteps - 1) lanes.Release(lane);
    }
  }
}

// t-SNE's steps from where each row's state stands, until the entropy is met or the
// steps run out; writes each row's p_j of its last step. Returns the rows unmet.
std::size_t ExactSteps(const float* squared_distances, std::size_t rows, std::size_t k, double wanted_entropy,
                       RowState* states, double* conditional) {
  LaneRows lanes(squared_distances, rows, k);
  std::vector<double> p(k * kLanes);
  std::size_t unmet = 0;
  while (lanes.Fill([](const float*) { return true; })) {
    const __m512d beta_v = lanes.Betas(states);
    __m512d sum = _mm512_setzero_pd();
    for (std::size_t j = 0; j < k; ++j) {
      const __m512d term = exp_avx512::ExpAvx512(_mm512_mul_pd(lanes.negated(j), beta_v));
      _mm512_storeu_pd(&p[j * kLanes], term);
      sum = _mm512_add_pd(sum, term);
    }
    sum = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(sum, _mm512_setzero_pd(), _CMP_EQ_OQ), sum, _mm512_set1_pd(kEmptySum));
    __m512d weighted = _mm512_setzero_pd();
    for (std::size_t j = 0; j < k; ++j) {
      const __m512d pj = _mm512_div_pd(_mm512_loadu_pd(&p[j * kLanes]), sum);
      _mm512_storeu_pd(&p[j * kLanes], pj);
      weighted = _mm512_add_pd(weighted, _mm512_mul_pd(lanes.distance(j), pj));
    }
    Sums sums;
    _mm512_store_pd(sums.terms, sum);
    _mm512_store_pd(sums.weighted, weighted);
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      if (!lanes.busy(lane)) continue;
      RowState& state = states[lanes.row(lane)];
      const bool met = state.bisection.Met(sums.terms[lane], sums.weighted[lane], wanted_entropy);
      if (met || ++state.steps == kMaxSearchSteps) {
        if (!met) ++unmet;
        double* out = conditional + lanes.row(lane) * k;
        for (std::size_t j = 0; j < k; ++j) out[j] = p[j * kLanes + lane];
        lanes.Release(lane);
      }
    }
  }
  return unmet;
}

}  // namespace

std::size_t ConditionalRowsAvx512(const float* squared_distances, std::size_t rows, std::size_t k, double perplexity,
                                  double* conditional) {
  const double wanted_entropy = std::log(perplexity);
  std::vector<RowState> states(rows);
  ApproximateSteps(squared_distances, rows, k, wanted_entropy, states.data());
  return ExactSteps(squared_distances, rows, k, wanted_entropy, states.data(), conditional);
}

void ApproximateExpsAvx512(const double* x, std::size_t count, double* out) {
  for (std::size_t m = 0; m < count; m += kLanes) {
    const auto lanes = static_cast<__mmask8>(count - m >= kLanes ? 0xff : (1u << (count - m)) - 1);
    _mm512_mask_storeu_pd(out + m, lanes, ApproximateExp(_mm512_maskz_loadu_pd(lanes, x + m)));
  }
}

double ApproximateExcessAvx512(const float* squared_distances, std::size_t k, double beta, double wanted_entropy,
                               double* margin) {
  LaneRows lanes(squared_distances, 1, k);
  lanes.Fill([](const float*) { return true; });
  if (!CheaperServes(lanes.nearest(0), beta)) return std::numeric_limits<double>::quiet_NaN();
  const Sums sums = ApproximateSums(lanes, _mm512_set1_pd(beta));
  const Judgement judgement = Judge(k, sums.terms[0], sums.weighted[0], beta, wanted_entropy);
  *margin = judgement.margin;
  return judgement.excess;
}

}  // namespace tsneloss::affinities::detail
