#include <string>

#include <gtest/gtest.h>

#include "manifest/manifest.h"

namespace {

struct TagRow {
  const char* name;
  const char* document;
  bool found;
  const char* value;
};

void PrintTo(const TagRow& row, std::ostream* out) { *out << row.name; }

class TagValueTest : public testing::TestWithParam<TagRow> {};

TEST_P(TagValueTest, TakesFirstOccurrences) {
  const TagRow& row = GetParam();
  std::string value = "untouched";
  EXPECT_EQ(vorla::GetTagValue(row.document, "<url>", "</url>", value), row.found);
  if (row.found) {
    EXPECT_EQ(value, row.value);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TagValueTest,
    testing::Values(
        TagRow{"plain", "<u><url>http://h/a?x=1&y=2</url></u>", true, "http://h/a?x=1&y=2"},
        TagRow{"empty", "<url></url>", true, ""},
        TagRow{"blanks_kept", "<url> a b\r\n</url>", true, " a b\r\n"},
        TagRow{"no_opening", "http://h/a</url>", false, ""},
        TagRow{"no_closing", "<url>http://h/a", false, ""},
        TagRow{"neither", "<version>1</version>", false, ""},
        TagRow{"two_elements", "<url>first</url><url>second</url>", true, "first"},
        TagRow{"closing_before_opening", "</url>x<url>abc<b>", true, "abc<b>"},
        TagRow{"other_case_not_a_tag", "<URL>a</URL>", false, ""},
        TagRow{"attributes_not_a_tag", "<url id=\"1\">a</url>", false, ""},
        TagRow{"no_entity_decoding", "<url>a&amp;b</url>", true, "a&amp;b"},
        TagRow{"binary_bytes", "<url>\xe4\xb8\x80\x01</url>", true, "\xe4\xb8\x80\x01"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TagValue, EmbeddedNulIsPartOfTheValue) {
  const std::string document("<version>3\0.1</version>", 23);
  std::string value;
  ASSERT_TRUE(vorla::GetTagValue(document, "<version>", "</version>", value));
  EXPECT_EQ(value, std::string("3\0.1", 4));
}

}  // namespace
