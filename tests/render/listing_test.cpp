// The listing: layout checked by positions and by what must appear once.
#include "render/listing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "host/value.h"
#include "render/text_layout.h"

namespace kav {
namespace {

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A 3 x 10 pattern whose entry (i, j) is i + j/10 (rows x1..x3, columns
// Factor1..Factor10), printed in 8.4.
Table wide_pattern() {
  MatrixSpec spec;
  spec.name = "FactorPattern";
  spec.rows = 3;
  spec.columns = 10;
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 10; ++j) spec.data.push_back(i + j / 10.0);
  for (int j = 1; j <= 10; ++j) spec.column_labels.push_back("Factor" + std::to_string(j));
  spec.row_labels = {"x1", "x2", "x3"};
  spec.format = fixed_format(8, 4);
  Table t = matrix_table(spec);
  t.title = {"Factor Pattern"};
  TemplateRegistry().resolve(t);
  return t;
}

TEST(ListingTable, WideTablesBreakIntoPanelsThatRepeatTheRowLabels) {
  const int line_size = 64;
  const std::vector<std::string> lines = listing_table_lines(wide_pattern(), line_size);
  std::string all;
  for (const auto& l : lines) {
    EXPECT_LE(display_length(l), line_size) << "[" << l << "]";
    all += l + "\n";
  }
  // Columns are "FactorN" (7 wide, Factor10 8), three apart, after a
  // two-wide label column: 2 + 6 * (3 + 7) = 62 fits 64, a seventh does not.
  const std::size_t first_header = all.find("Factor1 ");
  const std::size_t second_header = all.find("Factor7");
  ASSERT_NE(first_header, std::string::npos);
  ASSERT_NE(second_header, std::string::npos);
  EXPECT_LT(all.find("Factor6"), all.find("x1"));
  EXPECT_GT(second_header, all.find("x3"));
  // Each row label once per panel, each value exactly once.
  EXPECT_EQ(count_of(all, "x1"), 2);
  EXPECT_EQ(count_of(all, "x3"), 2);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 9; ++j)
      EXPECT_EQ(count_of(all, std::to_string(i) + "." + std::to_string(j) + "000"), 1)
          << i << " " << j;
  EXPECT_EQ(count_of(all, "Factor Pattern"), 1);
  // 1 + 10/10 = 2.0000 and 2 + 10/10 = 3.0000 also appear as x2/x3 at j=10.
  EXPECT_EQ(count_of(all, "4.0000"), 1);
}

TEST(ListingTable, NumbersAlignRightUnderTheirHeadersAndTextLeft) {
  Table t;
  t.name = "Eigenvalues";
  t.add_column("Variable", ColumnKind::Text);
  t.add_column("Eigenvalue", ColumnKind::Number, std::nullopt, fixed_format(10, 4));
  t.add_column("N", ColumnKind::Integer);
  t.add_row({std::string("height"), 2.875, 120.0});
  t.add_row({std::string("w"), -0.00001, missing_value()});
  t.add_row({std::string("age"), special_missing('D'), 3.0});
  TemplateRegistry().resolve(t);
  const std::vector<std::string> lines = listing_table_lines(t, 80);
  ASSERT_EQ(lines.size(), 5u);  // header, blank, three rows
  const std::string& header = lines[0];
  const std::size_t eigen_end = header.find("Eigenvalue") + 10;
  const std::size_t n_end = header.find(" N") + 2;
  EXPECT_EQ(lines[2].find("2.8750") + 6, eigen_end);
  EXPECT_EQ(lines[3].find("0.0000") + 6, eigen_end);  // never "-0.0000"
  EXPECT_EQ(lines[3].find("-0.0000"), std::string::npos);
  EXPECT_EQ(lines[4][eigen_end - 1], 'D');
  EXPECT_EQ(lines[2].find("120") + 3, n_end);
  EXPECT_EQ(lines[3][n_end - 1], '.');
  // Text columns start where their header starts.
  EXPECT_EQ(lines[2].find("height"), header.find("Variable"));
  EXPECT_EQ(lines[4].find("age"), header.find("Variable"));
  // The block is centred: as much room left of it as right, within one.
  const std::size_t left = header.find_first_not_of(' ');
  const std::size_t right = 80 - header.size();
  EXPECT_LE(left > right ? left - right : right - left, 1u);
}

TEST(ListingTable, LongHeadersWrapAndStacksFollowTheirRow) {
  MatrixSpec spec;
  spec.name = "InterFactorCorr";
  spec.rows = 2;
  spec.columns = 1;
  spec.data = {1.0, 0.25};
  spec.row_labels = {"Factor1", "Factor2"};
  spec.column_labels = {"Correlation with the first factor"};
  spec.format = fixed_format(6, 3);
  Table t = matrix_table(spec);
  t.stacks = {{"StdErr", {{0.0}, {0.05}}}};
  TemplateRegistry().resolve(t);
  const std::vector<std::string> lines = listing_table_lines(t, 64);
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  // The header wraps on word boundaries, each word kept whole.
  EXPECT_EQ(all.find("Correlation with the first factor"), std::string::npos);
  EXPECT_NE(all.find("Correlation"), std::string::npos);
  EXPECT_NE(all.find("factor"), std::string::npos);
  const std::size_t row2 = all.find("Factor2");
  const std::size_t stderr2 = all.find("StdErr", row2);
  ASSERT_NE(stderr2, std::string::npos);
  EXPECT_NE(all.find("0.050", stderr2), std::string::npos);
  EXPECT_EQ(count_of(all, "StdErr"), 2);
}

TEST(ListingDestination, StepHeadingByRuleGroupsAndNoGraphs) {
  std::ostringstream out;
  OutputDelivery delivery;
  delivery.attach_destination("listing", make_listing_destination(out));
  delivery.set_line_size(64);
  delivery.set_titles({"Survey <2024> & more"});
  delivery.set_footnotes({"", "Prepared by kav"});
  delivery.begin_step("FACTOR", 3);
  delivery.set_procedure_label("The FACTOR Procedure");
  delivery.set_by_values({{"region", std::string("north"), ""}});
  delivery.open_group("InitialSolution", "Initial Factor Method: Principal Components");
  Table t;
  t.name = "Eigenvalues";
  t.add_column("Eigenvalue", ColumnKind::Number, std::nullopt, fixed_format(8, 4));
  t.add_row({1.5});
  delivery.add_table(t);
  Graph g;
  g.name = "ScreePlotGraph";
  delivery.add_graph(g);
  delivery.add_note_lines({"NOTE text"});
  delivery.end_step(0, 0, {});
  delivery.close_all();

  const std::string text = out.str();
  const std::vector<std::string> lines = split_lines(text);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], std::string(22, ' ') + "Survey <2024> & more");  // (64 - 20) / 2
  EXPECT_NE(text.find(std::string(22, ' ') + "The FACTOR Procedure\n"), std::string::npos);
  bool rule = false;
  for (const auto& l : lines)
    if (l.find("region=north") != std::string::npos) {
      rule = true;
      EXPECT_EQ(l.size(), 64u);
      EXPECT_EQ(l.front(), '-');
      EXPECT_EQ(l.back(), '-');
    }
  EXPECT_TRUE(rule);
  EXPECT_LT(text.find("region=north"), text.find("Initial Factor Method"));
  EXPECT_LT(text.find("Initial Factor Method"), text.find("1.5000"));
  EXPECT_EQ(text.find("ScreePlotGraph"), std::string::npos);
  EXPECT_NE(text.find("NOTE text"), std::string::npos);
  EXPECT_GT(text.find("Prepared by kav"), text.find("NOTE text"));
}

TEST(ListingDestination, ClosedListingPrintsNothingUntilReopened) {
  std::ostringstream out;
  OutputDelivery delivery;
  delivery.attach_destination("listing", make_listing_destination(out));
  delivery.set_listing(false);
  delivery.begin_step("FACTOR", 1);
  delivery.add_note_lines({"silent"});
  delivery.set_listing(true);
  delivery.add_note_lines({"loud"});
  delivery.end_step(0, 0, {});
  EXPECT_EQ(out.str().find("silent"), std::string::npos);
  EXPECT_NE(out.str().find("loud"), std::string::npos);
}

}  // namespace
}  // namespace kav
