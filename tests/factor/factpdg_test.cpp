// Path diagrams of whole PROC FACTOR steps: the node-and-link table against
// the solution the step printed (every loading a link with its value,
// salient exactly when above the cut-off; error variances 1 - communality;
// factor correlations of an oblique solution) and the settings of
// PATHDIAGRAM statements in the graph's values.
#include "factor/output/factpdg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace kav {
namespace {

using progtest::json;
using progtest::Outcome;

// The numeric cells of table `name`, row by row, keyed by the row's label.
std::map<std::string, std::vector<double>> by_label(const Outcome& r, const std::string& name) {
  std::map<std::string, std::vector<double>> m;
  const auto found = progtest::outputs(r, name, "table");
  const progtest::Mat cells = progtest::table(r, name);
  for (std::size_t k = 0; !found.empty() && k < cells.size(); ++k)
    m[(*found[0])["rows"][k][0].get<std::string>()] = cells[k];
  return m;
}

struct Link {
  std::string from, to, dir, label;
  double priority;
};
struct Node {
  std::string id, label, shape;
  double size;
};
struct Diagram {
  std::vector<Link> links;
  std::vector<Node> nodes;
  json dynamics;
};

std::vector<Diagram> diagrams(const Outcome& r) {
  std::vector<Diagram> out;
  const auto tables = progtest::outputs(r, "PathDiagramData", "table");
  const auto graphs = progtest::outputs(r, "PathDiagram", "graph");
  EXPECT_EQ(tables.size(), graphs.size());
  for (std::size_t k = 0; k < tables.size() && k < graphs.size(); ++k) {
    const json& t = *tables[k];
    std::map<std::string, std::size_t> col;
    for (std::size_t c = 0; c < t["columns"].size(); ++c)
      col[t["columns"][c]["name"].get<std::string>()] = c;
    Diagram d;
    for (const auto& row : t["rows"]) {
      auto at = [&](const char* name) { return row[col[name]]; };
      if (!at("LinkId").get<std::string>().empty())
        d.links.push_back(
            {at("FromId"), at("ToId"), at("LinkDir"), at("LinkLabel"),
             at("LinkPriority").is_number() ? at("LinkPriority").get<double>() : NAN});
      else
        d.nodes.push_back({at("NodeId"), at("NodeLabel"), at("NodeShape"), at("NodeSize")});
    }
    d.dynamics = (*graphs[k])["dynamics"];
    out.push_back(std::move(d));
  }
  return out;
}

bool is_factor(const std::string& id) {
  return id.rfind("Factor", 0) == 0;
}

std::string physical(const std::string& rotation, const std::string& rest = "run;\n") {
  return "proc factor data=ref.physical8(type=corr) priors=smc nfactors=2 rotate=" + rotation +
         " plots=pathdiagram;\n" + rest;
}

TEST(PathDiagram, LinksAndNodesCarryTheOrthogonalSolution) {
  const Outcome r = progtest::run(physical("varimax"));
  auto d = diagrams(r);
  ASSERT_EQ(d.size(), 1u) << r.log;
  const auto pattern = by_label(r, "OrthRotFactPat");
  const auto h2 = progtest::table(r, "FinalCommun");  // one row, a column per variable
  ASSERT_EQ(pattern.size(), 8u);
  int loadings = 0, variances = 0, errors = 0;
  for (const Link& l : d[0].links) {
    if (l.dir == "To") {
      ++loadings;
      ASSERT_TRUE(pattern.count(l.to)) << l.to;
      const double a = pattern.at(l.to)[l.from == "Factor1" ? 0 : 1];
      EXPECT_NEAR(std::stod(l.label), a, 0.005 + 1e-12) << l.to;
      EXPECT_EQ(l.priority, std::fabs(a) > 0.3 ? 1 : -1) << l.to << " " << a;
    } else if (is_factor(l.from)) {
      ASSERT_EQ(l.from, l.to);  // no factor correlations in an orthogonal solution
      ++variances;
      EXPECT_EQ(l.label, "1");
    } else {
      ASSERT_EQ(l.from, l.to);
      EXPECT_NEAR(std::stod(l.label), 1 - h2[0][static_cast<std::size_t>(errors++)], 0.005 + 1e-12);
    }
  }
  EXPECT_EQ(loadings, 16);
  EXPECT_EQ(variances, 2);
  EXPECT_EQ(errors, 8);
  ASSERT_EQ(d[0].nodes.size(), 10u);
  for (const Node& n : d[0].nodes) {
    EXPECT_EQ(n.shape, is_factor(n.id) ? "oval" : "rectangle");
    EXPECT_EQ(n.size, is_factor(n.id) ? 3 : 2);
  }
  EXPECT_EQ(d[0].dynamics["_pdalg"], "flow");
}

// The statement's settings: its FUZZ= decides salience, NOVARIANCE drops
// the variance links, LABEL= names a variable, the layout is as asked.
TEST(PathDiagram, AnObliqueSolutionLinksItsFactorsByTheirCorrelation) {
  const Outcome r =
      progtest::run(physical("promax",
                             "pathdiagram fuzz=0.5 factorsize=0.1 decp=3 novariance arrange=grip "
                             "designheight=700 label=(Height='Body height');\nrun;\n"));
  auto d = diagrams(r);
  ASSERT_EQ(d.size(), 1u) << r.log;
  const double phi = progtest::table(r, "InterFactorCorr", -1)[1][0];
  const auto pattern = by_label(r, "ObliqueRotFactPat");
  int correlations = 0;
  for (const Link& l : d[0].links) {
    ASSERT_NE(l.from, l.to);
    if (l.dir == "Both") {
      ++correlations;
      EXPECT_NEAR(std::stod(l.label), phi, 0.0005 + 1e-12);
    } else {
      const double a = pattern.at(l.to)[l.from == "Factor1" ? 0 : 1];
      EXPECT_NEAR(std::stod(l.label), a, 0.0005 + 1e-12);
      EXPECT_EQ(l.priority, std::fabs(a) > 0.5 ? 1 : -1);
    }
  }
  EXPECT_EQ(correlations, 1);
  EXPECT_TRUE(progtest::has_message(r, 362));
  EXPECT_EQ(d[0].dynamics["_pdalg"], "grip");
  EXPECT_EQ(d[0].dynamics["_DesignHeight"], 700);
  for (const Node& n : d[0].nodes) {
    EXPECT_EQ(n.size, is_factor(n.id) ? 0.4 : 2);
    EXPECT_EQ(n.label, n.id == "Height" ? "Body height" : n.id);
  }
}

}  // namespace
}  // namespace kav
