// The listing: layout checked by positions and by what must appear once.
#include "render/listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "host/value.h"
#include "render/text_layout.h"
#include "support/matrix_table.h"
#include "support/temp_folder.h"

namespace kav {
namespace {

using testing_support::count_of;

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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

// Standard errors with their coverage display: every stacked line sits
// under its row, in the order stacked, each entry ending where its estimate
// ends.
TEST(ListingTable, CoverageLineStandsUnderEachEstimate) {
  Table t =
      testing_support::labelled_matrix("FactorPattern", 2, 2, {0.8123, -0.05, 0.2, 0.7},
                                       {"x1", "x2"}, {"Factor1", "Factor2"}, fixed_format(9, 4));
  t.stacks = {
      {"StdErr", {{0.05, 0.06}, {0.07, 0.08}}},
      {"Coverage",
       {{std::string(" 0[]"), std::string("[*0]")}, {std::string("0[]*"), std::string("   .")}}}};
  TemplateRegistry().resolve(t);
  const std::vector<std::string> lines = listing_table_lines(t, 80);
  std::vector<std::string> firsts;  // the first word of each line below the header
  std::size_t x1 = lines.size();
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::istringstream words(lines[k]);
    std::string w;
    words >> w;
    if (w == "x1") x1 = k;
    if (x1 < lines.size() && !w.empty()) firsts.push_back(w);
  }
  ASSERT_LT(x1, lines.size());
  EXPECT_EQ(firsts,
            (std::vector<std::string>{"x1", "StdErr", "Coverage", "x2", "StdErr", "Coverage"}));
  const std::string& estimate = lines[x1];
  const std::string &cover1 = lines[x1 + 2], &cover2 = lines[x1 + 5];
  // Right ends line up with the estimates' right ends.
  const std::size_t e1 = estimate.find("0.8123") + 6, e2 = estimate.find("-0.0500") + 7;
  EXPECT_EQ(cover1.find(" 0[]") + 4, e1) << estimate << "\n" << cover1;
  EXPECT_EQ(cover1.find("[*0]") + 4, e2) << estimate << "\n" << cover1;
  EXPECT_EQ(cover2.find("0[]*") + 4, e1) << cover2;
  EXPECT_EQ(cover2.find("   .") + 4, e2) << cover2;
  // The standard errors are numbers in the column's format.
  EXPECT_NE(lines[x1 + 1].find("0.0500"), std::string::npos) << lines[x1 + 1];
}

// A table wider than the line breaks into panels that repeat the row label;
// a flag mark stands right after the value it flags, never split from it by
// a gap or a panel break; a long footnote wraps inside the line.
TEST(ListingTable, MarksAdjoinTheirValuesAndFootnotesWrap) {
  Table t;
  t.add_column("Variable", ColumnKind::Text, std::string());
  for (int j = 1; j <= 6; ++j) {
    t.add_column("RFactor" + std::to_string(j), ColumnKind::Number, "Factor" + std::to_string(j),
                 fixed_format(6, 0));
    t.add_column("FgFactor" + std::to_string(j), ColumnKind::Text, std::string()).adjoins = true;
  }
  Row row{std::string("x1")};
  for (int j = 1; j <= 6; ++j) {
    row.push_back(j * 10.0);
    row.push_back(std::string(j % 2 ? "*" : " "));
  }
  t.add_row(row);
  t.footnotes = {std::string(30, 'a') + " " + std::string(30, 'b') + " " + std::string(30, 'c')};
  TemplateRegistry().resolve(t);
  const std::vector<std::string> lines = listing_table_lines(t, 40);
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  // Narrow lines split the table into panels, each value with its mark.
  EXPECT_GE(count_of(all, "x1"), 2) << all;
  for (const std::string& l : lines) {
    EXPECT_LE(display_length(l), 40) << l;
    // A mark split from its value would follow a blank, at a panel's start.
    for (std::size_t at = l.find('*'); at != std::string::npos; at = l.find('*', at + 1))
      EXPECT_TRUE(at > 0 && std::isdigit(static_cast<unsigned char>(l[at - 1]))) << l;
  }
  // Each value exactly once, the marked ones with their mark.
  for (int j = 1; j <= 6; ++j)
    EXPECT_EQ(count_of(all, std::to_string(j * 10) + (j % 2 ? "*" : "")), 1) << j;
  EXPECT_NE(all.find(std::string(30, 'c')), std::string::npos);
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
  delivery.add_graph(Graph{"ScreePlotGraph", "", "", {}, {}, {}});
  delivery.add_note_lines({"NOTE text"});
  delivery.set_listing(false);  // a closed listing prints nothing until reopened
  delivery.add_note_lines({"silent"});
  delivery.set_listing(true);
  delivery.end_step(0, 0, {});
  delivery.close_all();

  const std::string text = out.str();
  const std::vector<std::string> lines = split_lines(text);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], std::string(22, ' ') + "Survey <2024> & more");  // (64 - 20) / 2
  EXPECT_NE(text.find(std::string(22, ' ') + "The FACTOR Procedure\n"), std::string::npos);
  // The BY line is a rule across the whole line.
  const auto by = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("region=north") != l.npos;
  });
  ASSERT_NE(by, lines.end());
  EXPECT_EQ(by->size(), 64u);
  EXPECT_EQ(by->front(), '-');
  EXPECT_EQ(by->back(), '-');
  EXPECT_LT(text.find("region=north"), text.find("Initial Factor Method"));
  EXPECT_LT(text.find("Initial Factor Method"), text.find("1.5000"));
  EXPECT_EQ(text.find("ScreePlotGraph"), std::string::npos);
  EXPECT_NE(text.find("NOTE text"), std::string::npos);
  EXPECT_GT(text.find("Prepared by kav"), text.find("NOTE text"));
  EXPECT_EQ(text.find("silent"), std::string::npos);
}

}  // namespace
}  // namespace kav
