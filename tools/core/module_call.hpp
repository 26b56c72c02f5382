// P read straight into the host arrays the module takes, and one call of the module
// for an embedding. P is the largest thing a run holds, so it is never copied: the
// readers pack it in place (see PackEntries).
#pragma once

#include <cstddef>
#include <string>

#include "core/embedding.hpp"
#include "loader/module.hpp"

namespace tsneloss::core {

struct HostAffinities {
  std::uint64_t n = 0;
  std::uint64_t nnz = 0;
  std::uint64_t merged_positions = 0;
  matrix::ArrayPtr column_counts;
  matrix::ArrayPtr row_indices;  // may be longer than nnz when positions were merged
  matrix::ArrayPtr values;
};

// The elements of one of P's arrays, all double.
const double* ArrayData(const matrix::ArrayPtr& array);

// Advises the whole 2 MB pages of `elements` doubles from `data` into huge pages
// (fewer page faults when a fresh array is first written); returns `data`.
double* AdviseHugePages(double* data, std::uint64_t elements);

// A new 1-by-`columns` double array of the host's, for one of P's arrays, advised
// into 2 MB pages where it spans them.
matrix::ArrayPtr NewHostRow(std::uint64_t columns);

// The sum of P's stored values, in the order stored.
double SumOfValues(const HostAffinities& p);

// Calls the module with Y and P's values in T (double or float); the loss as double.
template <typename T>
double ModuleLoss(const matrix::loader::Module& module, const Embedding& y, const HostAffinities& p, double z);

// Y as the module takes it: a new D-by-N host array of T (double or float) from n
// points of d coordinates, point after point.
template <typename T>
matrix::ArrayPtr HostPoints(const double* coordinates, std::uint64_t n, std::uint64_t d);

// Calls the module with Y already in a host array of double or single class (from
// HostPoints); P's values are rounded to float for a single Y. The loss as double.
double ModuleLoss(const matrix::loader::Module& module, const vqArray_tag* points, const HostAffinities& p, double z);

// The host's errors as the tools see them: a module that cannot be opened, and an
// error the module raised (its message identifier and text).
using LoadError = matrix::loader::LoadError;
using ModuleError = matrix::loader::ModuleError;

// The module at `path`, opened on its first use and kept open for the life of the
// process, so repeated calls do not map it again. Safe from any thread (the host keeps
// no mutable state between calls). Throws LoadError, and caches nothing then.
const matrix::loader::Module& CachedModule(const std::string& path);

// How many modules CachedModule holds open.
std::size_t CachedModuleCount();

// The module to load: --module if given, else $TSNELOSS_MODULE if set, else
// ../lib/tsnelossvek.so from the directory of the running program.
std::string ModulePath(const std::string& given);

}  // namespace tsneloss::core
