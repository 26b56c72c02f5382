// The loss of arrays held in memory, as the Python package asks for it: the rules,
// the messages, the module call and so the numbers of tsneloss on files holding the
// same values, with what tsneloss notes (merged positions, the sum of P, the
// double-precision loss beside the single one) handed back for the caller to say.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/array_packing.hpp"
#include "core/notes.hpp"

namespace tsneloss::core {

struct ArrayLossOptions {
  std::optional<double> z;  // none: computed as tsneloss does by default (--z-method auto)
  bool single = false;
  bool per_point = false;
  std::string module_path;
  unsigned threads = 0;  // for Z (the packers take theirs); 0: one per processor
  // Called on the calling thread about every 0.1 s while the exact Z runs; what it
  // throws stops the computation (every thread) and comes out of the call.
  std::function<void()> interrupt_check;
};

struct ArrayLoss {
  double loss = 0;         // in the precision asked for, widened to double
  double loss_double = 0;  // the double-precision loss, computed alongside a single one
  double z = 0;            // given or computed
  double sum_p = 0;        // P's stored values added in the order stored
  std::uint64_t nnz = 0;   // positions stored, after merging
  std::uint64_t merged_positions = 0;
  std::vector<double> shares;  // one per point, with per_point only
  std::vector<Note> notes;     // what tsneloss would say beside the loss, in its order
};

// Packs Y; the flag says whether Z is to be computed from it.
using EmbeddingPacker = std::function<HostEmbedding(bool z_computed)>;
using AffinitiesPacker = std::function<HostAffinities()>;

// Checks in the tool's order: Z, Y (`pack_y`, named "Y"), P (`pack_p`, named "P"),
// their sizes. The module comes from CachedModule. Throws InputError for a refused
// input, matrix::loader::LoadError or ModuleError from the module, and whatever
// interrupt_check throws.
ArrayLoss ComputeArrayLoss(const EmbeddingPacker& pack_y, const AffinitiesPacker& pack_p,
                           const ArrayLossOptions& options);

// Z of the embedding by the named method ("exact", "approx" or "auto"). Throws
// InputError for an unknown method, an embedding that is refused, or a Z that is not
// finite and above 0, and whatever interrupt_check throws.
double ArrayNormaliser(const EmbeddingPacker& pack_y, const std::string& method,
                       const std::function<void()>& interrupt_check, unsigned threads = 0);

}  // namespace tsneloss::core
