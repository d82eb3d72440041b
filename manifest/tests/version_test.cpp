#include <gtest/gtest.h>

#include "manifest/manifest.h"

namespace {

struct VersionRow {
  const char* published;
  const char* own;
  bool newer;
};

void PrintTo(const VersionRow& row, std::ostream* out) {
  *out << '"' << row.published << "\" against \"" << row.own << '"';
}

class NewerVersionTest : public testing::TestWithParam<VersionRow> {};

TEST_P(NewerVersionTest, ComparesFourNumericComponents) {
  const VersionRow& row = GetParam();
  EXPECT_EQ(vorla::IsNewerVersion(row.published, row.own), row.newer);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NewerVersionTest,
    testing::Values(
        VersionRow{"3.0.0.7", "3.0.0.7", false},
        VersionRow{"3.0.0.8", "3.0.0.7", true},
        VersionRow{"3.0.0.6", "3.0.0.7", false},
        VersionRow{"3.0.1", "3.0.0.7", true},
        VersionRow{"3.0.0.10", "3.0.0.9", true},
        VersionRow{"3.0.0.9", "3.0.0.10", false},
        VersionRow{"03.0.0.7", "3.0.0.7", false},
        VersionRow{"4", "3.9.9.9", true},
        VersionRow{"3", "3.0.0.1", false},
        VersionRow{"3.0.0.7.9", "3.0.0.7", false},
        VersionRow{"3.0.0.7", "3.0.0.7.9", false},
        VersionRow{"x3.1", "3.0.0.7", false},
        VersionRow{"", "3.0.0.7", false},
        VersionRow{"", "", false},
        VersionRow{"0.0.0.1", "", true},
        VersionRow{" 3.0.0.8\n", "3.0.0.7", true},
        VersionRow{"\t\v\f\r 3.0.0.8", "3.0.0.7", true},
        // Only those six are blanks, in any locale: a no-break space is a letter.
        VersionRow{"\xa0" "3.0.0.8", "3.0.0.7", false},
        VersionRow{"\x1c" "3.0.0.8", "3.0.0.7", false},
        VersionRow{"+3.0.0.8", "3.0.0.7", true},
        VersionRow{"-3.0.0.8", "3.0.0.7", false},
        VersionRow{"3.0.0.8beta", "3.0.0.7", true},
        VersionRow{"3..0.8", "3.0.0.7", true},
        VersionRow{"99999999999", "2147483647", false},
        VersionRow{"2147483647.1", "99999999999", true},
        VersionRow{"-99999999999", "-2147483648", false},
        VersionRow{"-2147483647", "-99999999999", true},
        VersionRow{"1" "00000000000000000000000000000000000000", "2147483647.0.0.1", false}));

}  // namespace
