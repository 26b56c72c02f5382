// exp(-d_j beta) over a row of squared distances, the perplexity search's inner loop,
// and the division by their sum, bit for bit as std::exp and plain division: on AVX-512 eight at a time by a transcription of the C
// library's own exp (exp_avx512.cpp), where it has agreed with std::exp on this
// machine, over a spread of arguments checked once; one by one otherwise.
#pragma once

#include <cstddef>

namespace tsneloss::affinities::detail {

// out[j] = std::exp(-static_cast<double>(squared_distances[j]) * beta), j < count.
void NegatedExps(const float* squared_distances, std::size_t count, double beta, double* out);
void NegatedExpsPlain(const float* squared_distances, std::size_t count, double beta, double* out);
void NegatedExpsAvx512(const float* squared_distances, std::size_t count, double beta, double* out);

// out[j] = exp(x[j]) by the AVX-512 transcription (its main range) and std::exp (the rest).
void ExpsAvx512(const double* x, std::size_t count, double* out);

// values[j] /= divisor, j < count: division rounds correctly, so eight at a time on
// AVX-512 gives the same bits.
void DivideAll(double* values, std::size_t count, double divisor);
void DivideAllAvx512(double* values, std::size_t count, double divisor);

// ExpsAvx512 where it is built (x86-64), else null; for tests.
using ExpsKernel = void (*)(const double* x, std::size_t count, double* out);
ExpsKernel BuiltVectorExps();

// Whether the AVX-512 transcription gives std::exp's bits on this machine, over the
// arguments the check spreads (asked once; false where AVX-512 is not available).
bool VectorExpAgrees();

}  // namespace tsneloss::affinities::detail
