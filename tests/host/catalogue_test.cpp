// The message catalogue and the identifiers it reads.
#include <gtest/gtest.h>

#include "drfl/message_catalogue.hpp"
#include "drfl/utf.hpp"

namespace resource_core {
namespace {

struct WithArguments : BaseMsgID {
  WithArguments() : BaseMsgID("quarn:tsnevek", "BadRowIndex", 3) {
    set_argument(0, std::int64_t{-4});
    set_argument(1, std::string("0.5"));
    set_argument(2, std::u16string(u"N\u00e9"));
  }
};

std::string Text(const BaseMsgID& id) { return foundation::core::text::Utf16ToUtf8(FormatMessage(id)); }

TEST(Catalogue, HasATextForEveryModuleKey) {
  for (const char* key : {"TooFewInputsLoss", "TooManyOutputs", "BadInputType", "BadSparseInputType",
                          "InputTooLarge", "BadColumnCounts", "SparseInputTooShort", "BadRowIndex",
                          "ComplexEmbedding", "BadNormaliserType", "ComplexNormaliser", "EmptyNormaliser"}) {
    SCOPED_TRACE(key);
    const char* text = FindMessageText("quarn:tsnevek", key);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::string(text).size(), 20u);
  }
  EXPECT_EQ(FindMessageText("quarn:tsnevek", "NoSuchKey"), nullptr);
}

TEST(Catalogue, FillsPlaceholdersOfEveryArgumentKind) {
  EXPECT_EQ(Text(WithArguments()),
            "Row index -4 (input 2) is 0.5; row indices must be whole numbers from 1 to N = N\xC3\xA9.");
}

TEST(Catalogue, UnknownIdentifiersAndMissingArgumentsStillGiveText) {
  EXPECT_EQ(Text(BaseMsgID("other", "Thing", 0)), "No message text is known for other:Thing.");
  const std::string text = Text(BaseMsgID("quarn:tsnevek", "BadRowIndex", 1));
  EXPECT_NE(text.find("Row index 0 "), std::string::npos) << "a default argument is zero";
  EXPECT_NE(text.find("<missing argument 2>"), std::string::npos);
}

TEST(Catalogue, CopiesOfIdentifiersAreIndependent) {
  const std::int64_t live = testing::LiveBaseMsgIDs();
  {
    WithArguments original;
    BaseMsgID copy = original;
    EXPECT_EQ(testing::LiveBaseMsgIDs(), live + 2);
    original = WithArguments();
    EXPECT_EQ(copy.arguments(), original.arguments());
    copy = BaseMsgID("a", "b", 0);
    EXPECT_EQ(original.arguments().size(), 3u);
    EXPECT_EQ(original.key(), "BadRowIndex");
  }
  EXPECT_EQ(testing::LiveBaseMsgIDs(), live);
}

}  // namespace
}  // namespace resource_core
