#include "catalogue_texts.hpp"

namespace resource_core::detail {

const std::vector<CatalogueText>& CatalogueTexts() {
  static const std::vector<CatalogueText> texts = {
      {"quarn:tsnevek", "TooFewInputsLoss",
       "The t-SNE loss needs five inputs: the embedding Y, the row indices, column counts "
       "and values of P, and the normaliser Z."},
      {"quarn:tsnevek", "TooManyOutputs", "The t-SNE loss returns one output; more were requested."},
      {"quarn:tsnevek", "BadInputType",
       "The embedding Y (input 1) must be a double or single array."},
      {"quarn:tsnevek", "BadSparseInputType",
       "Input {1} must be a real {2} array, but it is {3}."},
      {"quarn:tsnevek", "ComplexEmbedding",
       "The embedding Y (input 1) is a complex {1} array; the t-SNE loss needs real "
       "coordinates."},
      {"quarn:tsnevek", "InputTooLarge",
       "The embedding Y has {1} rows and {2} columns; the t-SNE loss handles fewer than "
       "2^31 points, fewer than 2^32 rows and at most 2^32 coordinates in all."},
      {"quarn:tsnevek", "BadColumnCounts",
       "The column counts (input 3) must be N = {1} whole numbers from 0 up that add up to "
       "less than 2^31. Input 3 holds {2} elements; element {3} is {4}, and the counts up to "
       "it add up to {5}."},
      {"quarn:tsnevek", "SparseInputTooShort",
       "Input {1} holds {2} elements, but the column counts add up to {3} stored entries."},
      {"quarn:tsnevek", "BadRowIndex",
       "Row index {1} (input 2) is {2}; row indices must be whole numbers from 1 to N = {3}."},
      {"quarn:tsnevek", "BadNormaliserType",
       "The normaliser Z (input 5) must be a numeric, logical or char array, but it is {1}."},
      {"quarn:tsnevek", "ComplexNormaliser",
       "The normaliser Z (input 5) must be real, but it is {1}."},
      {"quarn:tsnevek", "EmptyNormaliser",
       "The normaliser Z (input 5) is {1} with {2} elements; its first element is Z, so it "
       "needs at least one."},
  };
  return texts;
}

}  // namespace resource_core::detail
