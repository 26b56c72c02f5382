#include "vq/array_api.hpp"

#include <cstring>

#include "drfl/utf.hpp"
#include "vq/legacy_error.hpp"

namespace matrix::detail::noninlined::vq_array_api {
namespace {

bool IsNumeric(vqClassID class_id) {
  return class_id >= vqDOUBLE_CLASS && class_id <= vqUINT64_CLASS;
}

template <typename T>
double FirstAsDouble(const void* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return static_cast<double>(value);
}

}  // namespace

std::uint64_t vqGetN(const vqArray_tag* array) {
  const auto& dims = array->get_dimensions();
  std::uint64_t n = 1;
  for (std::size_t k = 1; k < dims.size(); ++k) n *= dims[k];
  return n;
}

std::uint64_t vqGetM(const vqArray_tag* array) { return array->get_dimensions()[0]; }

std::uint64_t vqGetNumberOfElements(const vqArray_tag* array) {
  return array->number_of_elements();
}

vqClassID vqGetClassID(const vqArray_tag* array) { return array->class_id(); }

double vqGetScalar(const vqArray_tag* array) {
  const vqClassID class_id = array->class_id();
  if (array->number_of_elements() == 0 || array->real_data() == nullptr) {
    throw HostError("vq:getScalar:empty", "A scalar was read from an empty array.");
  }
  const void* data = array->real_data();
  switch (class_id) {
    case vqDOUBLE_CLASS: return FirstAsDouble<double>(data);
    case vqSINGLE_CLASS: return FirstAsDouble<float>(data);
    case vqINT8_CLASS: return FirstAsDouble<std::int8_t>(data);
    case vqUINT8_CLASS: return FirstAsDouble<std::uint8_t>(data);
    case vqINT16_CLASS: return FirstAsDouble<std::int16_t>(data);
    case vqUINT16_CLASS: return FirstAsDouble<std::uint16_t>(data);
    case vqINT32_CLASS: return FirstAsDouble<std::int32_t>(data);
    case vqUINT32_CLASS: return FirstAsDouble<std::uint32_t>(data);
    case vqINT64_CLASS: return FirstAsDouble<std::int64_t>(data);
    case vqUINT64_CLASS: return FirstAsDouble<std::uint64_t>(data);
    case vqLOGICAL_CLASS: return FirstAsDouble<std::uint8_t>(data) != 0 ? 1.0 : 0.0;
    case vqCHAR_CLASS: return FirstAsDouble<char16_t>(data);
    default:
      throw HostError("vq:getScalar:badClass", "A scalar was read from an array of no numeric class.");
  }
}

void* vqGetData(const vqArray_tag* array) { return array->real_data(); }
void* vqGetImagData(const vqArray_tag* array) { return array->imag_data(); }

vqArray_tag* vqCreateNumericMatrix(std::uint64_t m, std::uint64_t n, vqClassID class_id,
                                   vqComplexity complexity) {
  return vqCreateNumericArray({m, n}, class_id, complexity);
}

vqArray_tag* vqCreateNumericArray(const std::vector<std::uint64_t>& dims, vqClassID class_id,
                                  vqComplexity complexity) {
  if (!IsNumeric(class_id)) {
    throw HostError("vq:create:notNumeric", "A numeric array was asked for with a class that is not numeric.");
  }
  return new vqArray_tag(class_id, class_id, dims, complexity);
}

vqArray_tag* vqCreateLogicalMatrix(std::uint64_t m, std::uint64_t n) {
  return new vqArray_tag(vqLOGICAL_CLASS, vqLOGICAL_CLASS, {m, n}, vqREAL);
}

vqArray_tag* vqCreateString(const std::string& utf8) {
  const std::u16string text = foundation::core::text::Utf8ToUtf16(utf8);
  auto* array = new vqArray_tag(vqCHAR_CLASS, vqCHAR_CLASS, {1, text.size()}, vqREAL);
  if (!text.empty()) std::memcpy(array->real_data(), text.data(), text.size() * sizeof(char16_t));
  return array;
}

vqArray_tag* vqCreateObject(vqClassID class_id) {
  if (class_id <= vqFUNCTION_CLASS) {
    throw HostError("vq:create:notObject", "Only classes above 16 are made as objects.");
  }
  // Any code above 16 means "ask the host"; this one keeps the resolved class apart.
  return new vqArray_tag(0x100 + class_id, class_id, {1, 1}, vqREAL);
}

vqArray_tag* vqCreateWithStoredClass(std::int32_t stored_class, std::uint64_t m, std::uint64_t n) {
  return new vqArray_tag(stored_class, vqDOUBLE_CLASS, {m, n}, vqREAL);
}

void vqDestroyArray(vqArray_tag* array) noexcept { delete array; }

}  // namespace matrix::detail::noninlined::vq_array_api
