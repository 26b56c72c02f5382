// The array library's functions: what modules call to read their inputs and make
// their outputs, and what the host itself uses to make and free arrays.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vq/array.hpp"

namespace matrix::detail::noninlined::vq_array_api {

// Number of columns: the product of every extent after the first.
std::uint64_t vqGetN(const vqArray_tag* array);
// Number of rows: the first extent.
std::uint64_t vqGetM(const vqArray_tag* array);
std::uint64_t vqGetNumberOfElements(const vqArray_tag* array);
// The resolved class of the array.
vqClassID vqGetClassID(const vqArray_tag* array);
// First element of a numeric, logical or char array, converted to double. Any other
// class, or an empty array, is an error raised in the host.
double vqGetScalar(const vqArray_tag* array);
// Real data, to be read as the element type of the array's class.
void* vqGetData(const vqArray_tag* array);
void* vqGetImagData(const vqArray_tag* array);

// Zero-filled numeric arrays (classes double to uint64); other classes are an error.
vqArray_tag* vqCreateNumericMatrix(std::uint64_t m, std::uint64_t n, vqClassID class_id,
                                   vqComplexity complexity);
vqArray_tag* vqCreateNumericArray(const std::vector<std::uint64_t>& dims, vqClassID class_id,
                                  vqComplexity complexity);
vqArray_tag* vqCreateLogicalMatrix(std::uint64_t m, std::uint64_t n);
// A 1-by-n char array of the UTF-16 form of `utf8`.
vqArray_tag* vqCreateString(const std::string& utf8);
// A scalar of a class the array does not store itself (above 16).
vqArray_tag* vqCreateObject(vqClassID class_id);
// A numeric array whose stored class code is `stored_class` whatever it means; for
// testing how modules react to codes they do not know.
vqArray_tag* vqCreateWithStoredClass(std::int32_t stored_class, std::uint64_t m, std::uint64_t n);
void vqDestroyArray(vqArray_tag* array) noexcept;

}  // namespace matrix::detail::noninlined::vq_array_api

namespace matrix {
struct ArrayDeleter {
  void operator()(vqArray_tag* array) const noexcept {
    detail::noninlined::vq_array_api::vqDestroyArray(array);
  }
};
// An array the holder owns and frees.
using ArrayPtr = std::unique_ptr<vqArray_tag, ArrayDeleter>;
}  // namespace matrix
