#include "gateway/contract_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "errors/raise_host_error.hpp"
#include "errors/tags.hpp"

namespace quarn::tsnevek::detail {
namespace {

constexpr std::uint64_t kPointLimit = std::uint64_t{1} << 31;       // N stays below
constexpr std::uint64_t kCoordinateLimit = std::uint64_t{1} << 32;  // D * N stays at or below
constexpr double kEntryLimit = 2147483648.0;                        // nnz stays below 2^31
constexpr std::size_t kRowBlock = 4096;

// Shortest text that reads back as the same double.
std::string NumberText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
  char text[32];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

std::string ClassText(const vqArray_tag* array) {
  static const char* const kNames[] = {"unknown", "cell",   "struct", "logical", "char",
                                       "void",    "double", "single", "int8",    "uint8",
                                       "int16",   "uint16", "int32",  "uint32",  "int64",
                                       "uint64",  "function handle"};
  const vqClassID class_id = host::ClassOf(array);
  std::string name = class_id >= 0 && class_id <= vqFUNCTION_CLASS ? kNames[class_id] : "object";
  if (host::IsComplex(array)) name = "complex " + name;
  // "an int8", "an object", "an unknown", but "a uint8".
  const bool vowel = name[0] == 'a' || name[0] == 'i' || name[0] == 'o' || (name[0] == 'u' && name[1] == 'n');
  return (vowel ? "an " : "a ") + name + " array";
}

bool IsReal(const vqArray_tag* array, vqClassID class_id) {
  return host::ClassOf(array) == class_id && !host::IsComplex(array);
}

// Y's class is double or single (the entry point dispatched on it); only its
// complexity is left to check.
void CheckEmbedding(const vqArray_tag* embedding) {
  if (host::IsComplex(embedding)) {
    raise_host_error(ComplexEmbedding(host::ClassOf(embedding) == vqDOUBLE_CLASS ? "double" : "single"));
  }
}

void CheckInputClasses(const vqArray_tag* const* inputs) {
  for (const std::int64_t input : {2, 3}) {
    if (!IsReal(inputs[input - 1], vqDOUBLE_CLASS)) {
      raise_host_error(BadSparseInputType(input, "double", ClassText(inputs[input - 1])));
    }
  }
  const vqClassID value_class = static_cast<vqClassID>(inputs[0]->stored_class_id());
  if (!IsReal(inputs[3], value_class)) {
    raise_host_error(BadSparseInputType(4, value_class == vqDOUBLE_CLASS ? "double" : "single",
                                        ClassText(inputs[3])));
  }
}

// For |x| < 2^52: adding and taking away 2^52 rounds x to a whole number, so x is
// whole when that gives x back. No call into the maths library.
constexpr double kTwo52 = 4503599627370496.0;
bool IsWhole(double x) { return (x + kTwo52) - kTwo52 == x; }

// Returns nnz, the sum of the first n counts.
std::int64_t CheckColumnCounts(const vqArray_tag* counts_array, std::int32_t n) {
  const std::uint64_t held = host::ElementCount(counts_array);
  const auto* counts = static_cast<const double*>(host::vqGetData(counts_array));
  const std::uint64_t readable = held < static_cast<std::uint64_t>(n) ? held : n;
  double total = 0.0;  // a sum of whole numbers below 2^31 each: exact until it passes 2^31
  for (std::uint64_t k = 0; k < readable; ++k) {
    const double count = counts[k];
    const bool whole = count >= 0.0 && count < kEntryLimit && IsWhole(count);
    if (whole) total += count;
    if (!whole || total >= kEntryLimit) {
      raise_host_error(
          BadColumnCounts(n, held, k + 1, NumberText(count), NumberText(total)));
    }
  }
  if (readable < static_cast<std::uint64_t>(n)) {
    raise_host_error(BadColumnCounts(n, held, held + 1, "missing", NumberText(total)));
  }
  return static_cast<std::int64_t>(total);
}

void CheckSparseLength(const vqArray_tag* const* inputs, std::int64_t input, std::int64_t entries) {
  const std::uint64_t held = host::ElementCount(inputs[input - 1]);
  if (held < static_cast<std::uint64_t>(entries)) {
    raise_host_error(SparseInputTooShort(input, held, entries));
  }
}

// A row index r is good when 1 <= r <= n and r is whole; NaN fails every comparison.
bool IsGoodRow(double r, double n) { return (r >= 1.0) & (r <= n) & IsWhole(r); }

// The same test, branch-free, two vectors of two entries per step, over a count that
// is a multiple of four. (Compilers make poor code of the scalar form: a reduction over comparisons.)
// Two independent chains per iteration halve the loop's overhead per entry.
// SSE2 is in every x86-64 processor, so no feature test is needed: the module runs no
// code at load and keeps no state, and asking the processor at every call costs
// microseconds in a virtual machine, more than a wider scan saves on most inputs.
#if defined(__x86_64__)
bool VectorsAreGoodSse2(const double* rows, std::size_t count, double n) {
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d limit = _mm_set1_pd(n);
  const __m128d two52 = _mm_set1_pd(kTwo52);
  auto good_pair = [&](__m128d r) {
    const __m128d whole = _mm_cmpeq_pd(_mm_sub_pd(_mm_add_pd(r, two52), two52), r);
    return _mm_and_pd(_mm_and_pd(_mm_cmpge_pd(r, one), _mm_cmple_pd(r, limit)), whole);
  };
  __m128d good_even = _mm_castsi128_pd(_mm_set1_epi32(-1));
  __m128d good_odd = good_even;
  for (std::size_t k = 0; k < count; k += 4) {
    good_even = _mm_and_pd(good_even, good_pair(_mm_loadu_pd(rows + k)));
    good_odd = _mm_and_pd(good_odd, good_pair(_mm_loadu_pd(rows + k + 2)));
  }
  return _mm_movemask_pd(_mm_and_pd(good_even, good_odd)) == 3;
}
#endif

// Every row index of the block good? Whole vectors first, the rest one at a time.
bool BlockIsGood(const double* rows, std::size_t count, double n, RowScan scan) {
  std::size_t vectorised = 0;
  bool good = true;
#if defined(__x86_64__)
  if (scan == RowScan::kSse2) {
    vectorised = count & ~std::size_t{3};
    good = VectorsAreGoodSse2(rows, vectorised, n);
  }
#else
  (void)scan;
#endif
  for (std::size_t k = vectorised; k < count; ++k) good &= IsGoodRow(rows[k], n);
  return good;
}

void CheckRowIndices(const vqArray_tag* rows_array, std::int64_t entries, std::int32_t n) {
  const auto* rows = static_cast<const double*>(host::vqGetData(rows_array));
  const std::size_t bad = FirstBadRowIndex(rows, static_cast<std::size_t>(entries), n, BestRowScan());
  if (bad < static_cast<std::size_t>(entries)) {
    raise_host_error(BadRowIndex(static_cast<std::int64_t>(bad) + 1, NumberText(rows[bad]), n));
  }
}

// What vqGetScalar reads: the first element of a real numeric, logical or char array.
void CheckNormaliser(const vqArray_tag* normaliser) {
  const vqClassID class_id = host::ClassOf(normaliser);
  const bool has_scalar = class_id == vqLOGICAL_CLASS || class_id == vqCHAR_CLASS ||
                          (class_id >= vqDOUBLE_CLASS && class_id <= vqUINT64_CLASS);
  if (!has_scalar) raise_host_error(BadNormaliserType(ClassText(normaliser)));
  if (host::IsComplex(normaliser)) raise_host_error(ComplexNormaliser(ClassText(normaliser)));
  const std::uint64_t held = host::ElementCount(normaliser);
  if (held == 0) raise_host_error(EmptyNormaliser(ClassText(normaliser), held));
}

// Checks 1 to 5; returns nnz.
std::int64_t CheckUpToSparseLengths(const vqArray_tag* const* inputs) {
  const vqArray_tag* embedding = inputs[0];
  CheckEmbedding(embedding);
  CheckInputClasses(inputs);
  const std::uint64_t n64 = host::vqGetN(embedding);
  CheckSizes(embedding->get_dimensions()[0], n64);
  const auto n = static_cast<std::int32_t>(n64);
  const std::int64_t entries = CheckColumnCounts(inputs[2], n);
  CheckSparseLength(inputs, 2, entries);
  CheckSparseLength(inputs, 4, entries);
  return entries;
}

}  // namespace

RowScan BestRowScan() {
#if defined(__x86_64__)
  return RowScan::kSse2;
#else
  return RowScan::kScalar;
#endif
}

std::size_t FirstBadRowIndex(const double* rows, std::size_t count, std::int32_t n, RowScan scan) {
  const double limit = n;
  for (std::size_t start = 0; start < count; start += kRowBlock) {
    const std::size_t block = std::min(kRowBlock, count - start);
    if (BlockIsGood(rows + start, block, limit, scan)) continue;
    for (std::size_t k = start; k < start + block; ++k) {
      if (!IsGoodRow(rows[k], limit)) return k;
    }
  }
  return count;
}

void CheckSizes(std::uint64_t d, std::uint64_t n) {
  // D itself must survive the cut to 32 bits whenever there is a point to read.
  const bool too_large = n >= kPointLimit || (n != 0 && d > kCoordinateLimit / n) ||
                         (n != 0 && d >= kCoordinateLimit);
  if (too_large) raise_host_error(InputTooLarge(d, n));
}

void CheckContract(const vqArray_tag* const* inputs) {
  const std::int64_t entries = CheckUpToSparseLengths(inputs);
  CheckRowIndices(inputs[1], entries, static_cast<std::int32_t>(host::vqGetN(inputs[0])));
  CheckNormaliser(inputs[4]);
}

}  // namespace quarn::tsnevek::detail
