// Checks of the caller's contract on the five inputs, run after the entry point's own
// argument checks and before anything is created. Each breach is raised through the
// host with its own identifier and arguments; the first breach decides, in this order:
//
//   1. ComplexEmbedding     Y (input 1) complex
//   2. BadSparseInputType   inputs 2, 3 not real double, input 4 not real of Y's class
//   3. InputTooLarge        N of 2^31 or more, D of 2^32 or more, or D * N more than 2^32
//   4. BadColumnCounts      counts short of N, not whole, negative, or adding to 2^31
//   5. SparseInputTooShort  inputs 2 or 4 hold fewer elements than the counts add up to
//   6. BadRowIndex          a row index in use not a whole number from 1 to N
//   7. BadNormaliserType    input 5 of a class with no scalar value
//   8. ComplexNormaliser    input 5 complex
//   9. EmptyNormaliser      input 5 without elements
//
// Inputs 2 and 3 are read once, in order; nothing is allocated unless a check fails.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/host_operations.hpp"

namespace quarn::tsnevek::detail {

// `inputs` holds at least five arrays; input 1 is double or single.
void CheckContract(const vqArray_tag* const* inputs);

// The size check alone, on the host's 64-bit extents of Y.
void CheckSizes(std::uint64_t d, std::uint64_t n);

// How row indices are scanned: one at a time, or a vector of them per step.
enum class RowScan { kScalar, kSse2 };
// The widest scan every processor of this architecture runs.
RowScan BestRowScan();
// The position of the first row index that is not a whole number from 1 to n, or
// `count` when all are. Every scan gives the same answer; the wider, the sooner.
std::size_t FirstBadRowIndex(const double* rows, std::size_t count, std::int32_t n, RowScan scan);

}  // namespace quarn::tsnevek::detail
