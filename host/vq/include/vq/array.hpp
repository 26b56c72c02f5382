// Host arrays: column-major matrices (or N-d arrays) with a class, a complexity and a
// dimension vector, owning their zero-initialised data. Modules only ever see pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

enum vqClassID : std::int32_t {
  vqUNKNOWN_CLASS = 0,
  vqCELL_CLASS = 1,
  vqSTRUCT_CLASS = 2,
  vqLOGICAL_CLASS = 3,
  vqCHAR_CLASS = 4,
  vqVOID_CLASS = 5,
  vqDOUBLE_CLASS = 6,
  vqSINGLE_CLASS = 7,
  vqINT8_CLASS = 8,
  vqUINT8_CLASS = 9,
  vqINT16_CLASS = 10,
  vqUINT16_CLASS = 11,
  vqINT32_CLASS = 12,
  vqUINT32_CLASS = 13,
  vqINT64_CLASS = 14,
  vqUINT64_CLASS = 15,
  vqFUNCTION_CLASS = 16,
  // Classes above 16 are not stored in the array itself; the host resolves them.
  vqOPAQUE_CLASS = 17,
  vqOBJECT_CLASS = 18,
};

enum vqComplexity : std::int32_t { vqREAL = 0, vqCOMPLEX = 1 };

namespace matrix::detail {
struct FreeDeleter {
  void operator()(void* p) const noexcept;
};
}  // namespace matrix::detail

struct vqArray_tag {
 public:
  // Zero-filled storage for every element; at least two dimensions are kept.
  // `stored_class` above 16 stands for `resolved_class`, which only the host knows.
  vqArray_tag(std::int32_t stored_class, vqClassID resolved_class, std::vector<std::uint64_t> dims,
              vqComplexity complexity);
  ~vqArray_tag();
  vqArray_tag(const vqArray_tag&) = delete;
  vqArray_tag& operator=(const vqArray_tag&) = delete;

  // The class code as the array stores it, unresolved: what an inline host accessor reads.
  std::int32_t stored_class_id() const { return stored_class_; }
  // The class, resolving stored codes above 16 (compared as signed) through the host.
  vqClassID class_id() const {
    return stored_class_ <= 16 ? static_cast<vqClassID>(stored_class_) : _get_class_id_non_trivial();
  }
  vqClassID _get_class_id_non_trivial() const;

  const std::vector<std::uint64_t>& get_dimensions() const { return dims_; }
  std::uint64_t number_of_elements() const { return elements_; }
  vqComplexity complexity() const { return complexity_; }
  std::size_t element_size() const { return element_size_; }
  void* real_data() const { return real_.get(); }
  void* imag_data() const { return imag_.get(); }

 private:
  std::int32_t stored_class_;
  vqClassID resolved_class_;
  std::vector<std::uint64_t> dims_;
  vqComplexity complexity_;
  std::uint64_t elements_;
  std::size_t element_size_;
  // calloc: large arrays come as untouched zero pages, so a huge but unread array
  // costs address space, not memory.
  std::unique_ptr<void, matrix::detail::FreeDeleter> real_;
  std::unique_ptr<void, matrix::detail::FreeDeleter> imag_;
};

// Bytes per element of a class, 0 for classes without element storage.
std::size_t vqElementSize(vqClassID class_id);

namespace matrix::testing {
// Calls of _get_class_id_non_trivial since start-up.
std::int64_t NonTrivialClassLookups();
// Arrays alive right now.
std::int64_t LiveArrays();
}  // namespace matrix::testing
