#include "vq/array.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

#include "vq/legacy_error.hpp"

namespace {
std::atomic<std::int64_t> non_trivial_lookups{0};
std::atomic<std::int64_t> live_arrays{0};

std::uint64_t CountElements(const std::vector<std::uint64_t>& dims) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : dims) {
    if (extent != 0 && count > UINT64_MAX / extent) {
      throw matrix::HostError("vq:array:tooLarge", "The array is larger than memory can address.");
    }
    count *= extent;
  }
  return count;
}

void* ZeroedStorage(std::uint64_t elements, std::size_t element_size) {
  if (elements == 0 || element_size == 0) return nullptr;
  if (elements > SIZE_MAX / element_size) throw std::bad_alloc();
  void* storage = std::calloc(elements, element_size);
  if (storage == nullptr) throw std::bad_alloc();
  return storage;
}
}  // namespace

void matrix::detail::FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

std::size_t vqElementSize(vqClassID class_id) {
  switch (class_id) {
    case vqLOGICAL_CLASS:
    case vqINT8_CLASS:
    case vqUINT8_CLASS:
      return 1;
    case vqCHAR_CLASS:
    case vqINT16_CLASS:
    case vqUINT16_CLASS:
      return 2;
    case vqSINGLE_CLASS:
    case vqINT32_CLASS:
    case vqUINT32_CLASS:
      return 4;
    case vqDOUBLE_CLASS:
    case vqINT64_CLASS:
    case vqUINT64_CLASS:
      return 8;
    default:
      return 0;
  }
}

vqArray_tag::vqArray_tag(std::int32_t stored_class, vqClassID resolved_class,
                         std::vector<std::uint64_t> dims, vqComplexity complexity)
    : stored_class_(stored_class),
      resolved_class_(resolved_class),
      dims_(std::move(dims)),
      complexity_(complexity),
      elements_(0),
      element_size_(vqElementSize(resolved_class)) {
  while (dims_.size() < 2) dims_.push_back(1);
  elements_ = CountElements(dims_);
  real_.reset(ZeroedStorage(elements_, element_size_));
  if (complexity_ == vqCOMPLEX) imag_.reset(ZeroedStorage(elements_, element_size_));
  ++live_arrays;
}

vqArray_tag::~vqArray_tag() { --live_arrays; }

vqClassID vqArray_tag::_get_class_id_non_trivial() const {
  ++non_trivial_lookups;
  return resolved_class_;
}

std::int64_t matrix::testing::NonTrivialClassLookups() { return non_trivial_lookups.load(); }
std::int64_t matrix::testing::LiveArrays() { return live_arrays.load(); }
