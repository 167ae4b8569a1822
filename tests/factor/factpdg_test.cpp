// Path diagrams of whole PROC FACTOR steps: the node-and-link table against
// the solution the step printed (every loading a link with its value,
// salient exactly when above the cut-off; error variances 1 - communality;
// factor correlations of an oblique solution), the settings of PATHDIAGRAM
// statements in the graph's values, and the interval test of salience
// against Fisher's transformation written with tanh and atanh.
#include "factor/factpdg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run.h"

namespace kav {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Outcome {
  std::string log;
  json results;
};

Outcome run(const std::string& body) {
  static int serial = 0;
  const std::string program = "libname ref '" + std::string(KAV_REFERENCE_DIR) + "/data';\n" + body;
  const fs::path out = fs::temp_directory_path() / ("kav_pdg_" + std::to_string(::getpid()) + "_" +
                                                    std::to_string(++serial) + ".json");
  std::ostringstream listing, log;
  RunOptions opts;
  opts.work = ":memory:";
  opts.json = out.string();
  opts.listing_stream = &listing;
  opts.log_stream = &log;
  run_program(program, "pathdiagram.kav", opts);
  std::ifstream f(out);
  Outcome r;
  r.log = log.str();
  r.results = json::parse(f);
  fs::remove(out);
  return r;
}

std::vector<const json*> outputs(const Outcome& r, const std::string& type,
                                 const std::string& name) {
  std::vector<const json*> v;
  for (const auto& s : r.results["steps"])
    for (const auto& o : s["outputs"])
      if (o["type"] == type && o["name"] == name) v.push_back(&o);
  return v;
}

// The last table of that name as rows of label -> numeric cells.
std::map<std::string, std::vector<double>> matrix(const Outcome& r, const std::string& name) {
  std::map<std::string, std::vector<double>> m;
  const auto found = outputs(r, "table", name);
  EXPECT_FALSE(found.empty()) << name << "\n" << r.log;
  if (found.empty()) return m;
  const json& t = *found.back();
  for (const auto& row : t["rows"]) {
    std::vector<double> v;
    for (std::size_t k = 1; k < row.size(); ++k) v.push_back(row[k].is_number() ? row[k].get<double>() : NAN);
    m[row[0].get<std::string>()] = v;
  }
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
  std::map<std::string, json> dynamics;
  std::string label;
};

std::vector<Diagram> diagrams(const Outcome& r) {
  std::vector<Diagram> out;
  const auto tables = outputs(r, "table", "PathDiagramData");
  const auto graphs = outputs(r, "graph", "PathDiagram");
  EXPECT_EQ(tables.size(), graphs.size());
  for (std::size_t k = 0; k < tables.size() && k < graphs.size(); ++k) {
    const json& t = *tables[k];
    std::map<std::string, std::size_t> col;
    for (std::size_t c = 0; c < t["columns"].size(); ++c) {
      col[t["columns"][c]["name"].get<std::string>()] = c;
      EXPECT_TRUE(t["columns"][c].value("hidden", false));
    }
    Diagram d;
    for (const auto& row : t["rows"]) {
      if (!row[col["LinkId"]].get<std::string>().empty()) {
        const json& pr = row[col["LinkPriority"]];
        d.links.push_back({row[col["FromId"]], row[col["ToId"]], row[col["LinkDir"]],
                           row[col["LinkLabel"]], pr.is_number() ? pr.get<double>() : NAN});
        EXPECT_TRUE(row[col["PathVal"]].is_null());
      } else {
        d.nodes.push_back({row[col["NodeId"]], row[col["NodeLabel"]], row[col["NodeShape"]],
                           row[col["NodeSize"]].get<double>()});
      }
    }
    for (const auto& [name, value] : (*graphs[k])["dynamics"].items()) d.dynamics[name] = value;
    d.label = (*graphs[k])["label"];
    EXPECT_EQ((*graphs[k])["tables"], json::array({"PathDiagramData"}));
    out.push_back(std::move(d));
  }
  return out;
}

bool logged(const Outcome& r, int number) {
  for (const auto& s : r.results["steps"])
    for (const auto& m : s["log"])
      if (m["group"] == 180 && m["number"] == number) return true;
  return false;
}

const char* kPhysical =
    "proc factor data=ref.physical8(type=corr) priors=smc nfactors=2 rotate=%s plots=pathdiagram;\n";

std::string with_rotation(const std::string& rotation, const std::string& rest = "run;\n") {
  char buf[256];
  std::snprintf(buf, sizeof buf, kPhysical, rotation.c_str());
  return buf + rest;
}

TEST(PathDiagram, LinksAndNodesCarryTheOrthogonalSolution) {
  const Outcome r = run(with_rotation("varimax"));
  auto d = diagrams(r);
  ASSERT_EQ(d.size(), 1u) << r.log;
  const auto pattern = matrix(r, "OrthRotFactPat");
  const auto communal = matrix(r, "FinalCommun");
  ASSERT_EQ(pattern.size(), 8u);
  int loadings = 0, variances = 0, errors = 0;
  for (const Link& l : d[0].links) {
    if (l.dir == "To") {
      ++loadings;
      const int j = l.from == "Factor1" ? 0 : 1;
      ASSERT_TRUE(pattern.count(l.to)) << l.to;
      const double a = pattern.at(l.to)[static_cast<std::size_t>(j)];
      EXPECT_NEAR(std::stod(l.label), a, 0.005 + 1e-12) << l.to;
      EXPECT_EQ(l.priority, std::fabs(a) > 0.3 ? 1 : -1) << l.to << " " << a;
    } else if (l.from == l.to && l.from.rfind("Factor", 0) == 0) {
      ++variances;
      EXPECT_EQ(l.label, "1");
    } else {
      ASSERT_EQ(l.from, l.to);  // no factor correlations in an orthogonal solution
      ++errors;
      // FinalCommun is one row of communalities, one column per variable.
      ASSERT_EQ(communal.size(), 1u);
    }
  }
  EXPECT_EQ(loadings, 16);
  EXPECT_EQ(variances, 2);
  EXPECT_EQ(errors, 8);
  const std::vector<double>& h2 = communal.begin()->second;
  std::size_t k = 0;
  for (const Link& l : d[0].links) {
    if (l.dir == "Both" && l.from == l.to && l.from.rfind("Factor", 0) != 0) {
      EXPECT_NEAR(std::stod(l.label), 1 - h2[k++], 0.005 + 1e-12);
    }
  }
  ASSERT_EQ(d[0].nodes.size(), 10u);
  for (const Node& n : d[0].nodes) {
    const bool factor = n.id.rfind("Factor", 0) == 0;
    EXPECT_EQ(n.shape, factor ? "oval" : "rectangle");
    EXPECT_EQ(n.size, factor ? 3 : 2);
  }
  EXPECT_EQ(d[0].dynamics["_pdalg"], "flow");
  EXPECT_EQ(d[0].dynamics["_DesignHeight"], 800);
  EXPECT_EQ(d[0].dynamics["_DesignWidth"], 450);
  EXPECT_EQ(d[0].dynamics["_pdScale"], 1);
  EXPECT_EQ(d[0].dynamics["_TextSizeMin"], "10pt");
}

TEST(PathDiagram, AnObliqueSolutionLinksItsFactorsByTheirCorrelation) {
  const Outcome r = run(with_rotation("promax", "pathdiagram fuzz=0.5 factorsize=0.1 decp=3;\nrun;\n"));
  auto d = diagrams(r);
  ASSERT_EQ(d.size(), 1u) << r.log;
  const auto phi = matrix(r, "InterFactorCorr");
  const auto pattern = matrix(r, "ObliqueRotFactPat");
  int correlations = 0;
  for (const Link& l : d[0].links) {
    if (l.dir == "Both" && l.from != l.to) {
      ++correlations;
      EXPECT_NEAR(std::stod(l.label), phi.at("Factor2")[0], 0.0005 + 1e-12);
    }
    if (l.dir == "To") {
      const double a = pattern.at(l.to)[l.from == "Factor1" ? 0 : 1];
      EXPECT_NEAR(std::stod(l.label), a, 0.0005 + 1e-12);
      EXPECT_EQ(l.priority, std::fabs(a) > 0.5 ? 1 : -1);  // the statement's FUZZ=
    }
  }
  EXPECT_EQ(correlations, 1);
  EXPECT_TRUE(logged(r, 362));
  for (const Node& n : d[0].nodes) {
    if (n.shape == "oval") {
      EXPECT_NEAR(n.size, 0.4, 1e-12);
    }
  }
}

TEST(PathDiagram, EachStatementMakesItsOwnDiagramWithItsSettings) {
  const Outcome r = run(with_rotation(
      "varimax",
      "pathdiagram arrange=flow;\n"
      "pathdiagram arrange=groupedflow title='Grouped' label=(Height='Body height') novariance;\n"
      "pathdiagram arrange=grip designheight=700 designwidth=650 noestim diagramscale=0.05 fuzz=0.95;\n"
      "run;\n"));
  auto d = diagrams(r);
  ASSERT_EQ(d.size(), 3u) << r.log;
  EXPECT_EQ(d[0].dynamics["_pdalg"], "flow");
  EXPECT_EQ(d[0].dynamics["_TitleText"], "Path Diagram 1");
  EXPECT_EQ(d[1].dynamics["_pdalg"], "groupedflow");
  EXPECT_EQ(d[1].dynamics["_DesignHeight"], 500);
  EXPECT_EQ(d[1].dynamics["_DesignWidth"], 720);
  EXPECT_EQ(d[1].dynamics["_TitleText"], "Grouped");
  EXPECT_EQ(d[1].label, "Grouped");
  EXPECT_EQ(d[2].dynamics["_pdalg"], "grip");
  EXPECT_EQ(d[2].dynamics["_DesignHeight"], 700);
  EXPECT_EQ(d[2].dynamics["_DesignWidth"], 650);
  EXPECT_NEAR(d[2].dynamics["_pdScale"].get<double>(), 0.1, 1e-12);
  for (const Node& n : d[1].nodes) {
    if (n.id == "Height") {
      EXPECT_EQ(n.label, "Body height");
    }
  }
  for (const Link& l : d[1].links) EXPECT_FALSE(l.dir == "Both" && l.from == l.to);
  for (const Link& l : d[2].links) {
    EXPECT_EQ(l.label, "");
    if (l.dir == "To") {
      EXPECT_EQ(l.priority, -1);  // nothing loads above 0.95
    }
  }
  EXPECT_TRUE(logged(r, 365));
  // The diagrams share one group.
  for (const json* g : outputs(r, "graph", "PathDiagram"))
    EXPECT_EQ((*g)["groups"].back(), "PathDiagrams");
}

TEST(PathDiagram, ManyVariablesGetTheRingLayoutAndASmallerScale) {
  const Outcome r = run(
      "proc factor data=ref.tests24(type=corr) nfactors=2 plots=pathdiagram;\n"
      "run;\n");
  auto d = diagrams(r);
  ASSERT_EQ(d.size(), 1u) << r.log;
  EXPECT_EQ(d[0].dynamics["_pdalg"], "grip");
  EXPECT_EQ(d[0].dynamics["_DesignHeight"], 600);
  // 26 nodes: 0.65 + 0.05 trunc((49 - 26) / 5) = 0.85.
  EXPECT_NEAR(d[0].dynamics["_pdScale"].get<double>(), 0.85, 1e-12);
  EXPECT_EQ(d[0].nodes.size(), 26u);
}

TEST(PathDiagram, NoDiagramWithoutGraphicsOrUnderNoprint) {
  Outcome r = run("ods graphics off;\n" + with_rotation("varimax"));
  EXPECT_TRUE(outputs(r, "graph", "PathDiagram").empty());
  EXPECT_TRUE(outputs(r, "table", "PathDiagramData").empty());
  r = run("proc factor data=ref.physical8(type=corr) nfactors=2 noprint;\npathdiagram;\nrun;\n");
  EXPECT_TRUE(outputs(r, "table", "PathDiagramData").empty());
}

TEST(PathDiagramSalience, FisherIntervalsAsTanhOfTheTransformedInterval) {
  for (double r : {-0.8, -0.3, 0.05, 0.35, 0.62, 0.9})
    for (double se : {0.01, 0.05, 0.2})
      for (double cover : {0.0, 0.2, 0.4}) {
        const double z = 1.959963984540054;
        const double half = z * se / (1 - r * r);
        const double lower = std::tanh(std::atanh(r) - half), upper = std::tanh(std::atanh(r) + half);
        EXPECT_EQ(factpdsal(r, se, z, cover, true), lower > cover || upper < -cover)
            << r << " " << se << " " << cover;
        EXPECT_EQ(factpdsal(r, se, z, cover, false), r - z * se > cover || r + z * se < -cover);
      }
}

TEST(PathDiagramLabels, NamesMatchWithoutCaseOrBlanksAndTheLastPairWins) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"height", "first"}, {" Weight ", "w"}, {"HEIGHT", "second"}};
  std::string label;
  EXPECT_EQ(FindLabel(&label, pairs, "Height"), 1);
  EXPECT_EQ(label, "second");
  EXPECT_EQ(FindLabel(&label, pairs, "weight"), 1);
  EXPECT_EQ(label, "w");
  EXPECT_EQ(FindLabel(&label, pairs, "Forearm"), 0);
}

}  // namespace
}  // namespace kav
