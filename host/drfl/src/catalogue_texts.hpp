// The texts the catalogue holds, one row per message identifier.
#pragma once

#include <string_view>
#include <vector>

namespace resource_core::detail {

struct CatalogueText {
  std::string_view component;
  std::string_view key;
  const char* text;
};

const std::vector<CatalogueText>& CatalogueTexts();

}  // namespace resource_core::detail
