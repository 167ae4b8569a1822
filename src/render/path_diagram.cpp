// The path diagram of a factor solution: factors as ovals, variables as
// rectangles, single-headed arrows for loadings and double-headed ones for
// variances and factor correlations, laid out in one of three arrangements:
//   flow         factors in a column on the left, variables in a column on the right;
//   groupedflow  factors in a row at the top, each above the variables that
//                load most on it;
//   grip         variables on a ring grouped by factor, the factors inside it,
//                which keeps many variables readable.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/value.h"
#include "render/factor_graphs.h"
#include "render/svg_canvas.h"
#include "render/text_layout.h"

namespace kav {

namespace {

using svg::Box;
using svg::Canvas;
using svg::num;

constexpr double kPi = 3.141592653589793;

struct Point {
  double x = 0, y = 0;
};
Point operator+(Point a, Point b) {
  return {a.x + b.x, a.y + b.y};
}
Point operator-(Point a, Point b) {
  return {a.x - b.x, a.y - b.y};
}
Point operator*(Point a, double k) {
  return {a.x * k, a.y * k};
}
double length(Point a) {
  return std::hypot(a.x, a.y);
}
Point unit(Point a) {
  const double l = length(a);
  return l < 1e-12 ? Point{0, -1} : Point{a.x / l, a.y / l};
}
Point rotated(Point a, double radians) {
  const double c = std::cos(radians), s = std::sin(radians);
  return {a.x * c - a.y * s, a.x * s + a.y * c};
}
std::string at(Point p) {
  return num(p.x) + " " + num(p.y);
}

std::string upper_case(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

struct Node {
  std::string id, label, variable_label;
  bool oval = false;
  double size = 2;
  Point centre;
  double half_width = 0, half_height = 0;
  Point outward{0, -1};  // where the node's variance loop goes
  Point bend{0, 0};      // where arcs to other nodes bulge; none given: as the loop
  int group = -1;        // variables: the factor they load most on (index among factors)
};

struct Link {
  std::string id, from, to, label;
  bool both = false;
  bool minor = false;  // drawn light and dashed
};

// The point where the ray from the node's centre in direction `d` leaves it.
Point boundary(const Node& n, Point d) {
  d = unit(d);
  double t;
  if (n.oval) {
    t = 1 / std::sqrt(d.x * d.x / (n.half_width * n.half_width) +
                      d.y * d.y / (n.half_height * n.half_height));
  } else {
    const double tx = std::fabs(d.x) < 1e-12 ? INFINITY : n.half_width / std::fabs(d.x);
    const double ty = std::fabs(d.y) < 1e-12 ? INFINITY : n.half_height / std::fabs(d.y);
    t = std::min(tx, ty);
  }
  return n.centre + d * t;
}

struct Style {
  double scale = 1;
  double font = 13;
  double head = 8;  // arrowhead length
  double loop = 26;
};

// Reads the text size floor: "10pt", "12px", "11" (points).
double minimum_font_pixels(const Graph& graph) {
  auto text = svg::dynamic_text(graph, "_TextSizeMin");
  if (!text || text->empty()) return 10 * 4.0 / 3;
  char* end = nullptr;
  const double v = std::strtod(text->c_str(), &end);
  if (end == text->c_str() || !(v > 0) || !std::isfinite(v)) return 10 * 4.0 / 3;
  const std::string unit = upper_case(std::string(end));
  return unit.find("PX") != std::string::npos ? v : v * 4.0 / 3;
}

void size_nodes(std::vector<Node>& nodes, const Style& style) {
  for (Node& n : nodes) {
    const double text = svg::text_width(n.label, style.font);
    const double grow = std::max(n.size, 0.2) / 2;  // NodeSize 2 is the plain size
    if (n.oval) {
      n.half_height = std::max(18 * style.scale * grow, style.font * 0.9);
      // Wide enough that the text's box fits inside the ellipse.
      const double inner = std::min(0.8, (style.font * 0.6) / n.half_height);
      n.half_width = std::max(n.half_height * 1.3,
                              (text / 2 + style.font * 0.4) / std::sqrt(1 - inner * inner));
    } else {
      n.half_height = std::max(15 * style.scale * grow, style.font * 0.85);
      n.half_width = std::max(n.half_height * 1.8, text / 2 + style.font * 0.6);
    }
  }
}

// The arrowhead whose tip is at `tip`, pointing along `direction`.
void arrowhead(Canvas& canvas, Point tip, Point direction, const Style& style,
               const std::string& colour) {
  const Point u = unit(direction), n{-u.y, u.x};
  const Point base = tip - u * style.head;
  const double w = style.head * 0.42;
  canvas.polygon(
      {{tip.x, tip.y}, {(base + n * w).x, (base + n * w).y}, {(base - n * w).x, (base - n * w).y}},
      "class=\"arrowhead\" fill=\"" + colour + "\"");
}

// An estimate to show and the places it may go, best first.
struct Label {
  std::vector<Point> spots;
  std::string text, anchor;
  bool minor;
};

// ---------------------------------------------------------------------------
// Layouts.  Each places the nodes inside the design box (0, 0, width, height)
// where it can, and further out where the nodes need more room.

// The largest half-sizes of the variable and the factor nodes, which set the
// columns and pitches of the layouts.
struct NodeExtents {
  double widest_variable = 0, variable_height = 0, widest_factor = 0, tallest_factor = 0;
};

NodeExtents node_extents(const std::vector<Node*>& factors, const std::vector<Node*>& variables) {
  NodeExtents e;
  for (const Node* v : variables) {
    e.widest_variable = std::max(e.widest_variable, v->half_width);
    e.variable_height = std::max(e.variable_height, v->half_height);
  }
  for (const Node* f : factors) {
    e.widest_factor = std::max(e.widest_factor, f->half_width);
    e.tallest_factor = std::max(e.tallest_factor, f->half_height);
  }
  return e;
}

void layout_flow(std::vector<Node*>& factors, std::vector<Node*>& variables, double width,
                 double height, const Style& style) {
  const double margin = 20;
  const auto [widest_variable, variable_height, widest_factor, tallest_factor] =
      node_extents(factors, variables);
  const double variable_x = width - margin - style.loop - style.font * 3 - widest_variable;
  const double factor_x =
      std::min(margin + style.loop + widest_factor + (factors.size() > 1 ? 40 : 0),
               variable_x - widest_variable - widest_factor - 120);
  const double pitch = std::max((height - 2 * margin) / std::max<std::size_t>(variables.size(), 1),
                                variable_height * 2 + 8);
  for (std::size_t i = 0; i < variables.size(); ++i) {
    variables[i]->centre = {variable_x, margin + pitch * (i + 0.5)};
    variables[i]->outward = {1, 0};
  }
  const double span = pitch * std::max<std::size_t>(variables.size(), 1);
  const double factor_pitch =
      std::max(span / std::max<std::size_t>(factors.size(), 1), tallest_factor * 2 + 16);
  const double factor_top = margin + (span - factor_pitch * factors.size()) / 2;
  for (std::size_t j = 0; j < factors.size(); ++j) {
    factors[j]->centre = {factor_x, factor_top + factor_pitch * (j + 0.5)};
    factors[j]->outward = {-1, 0};
  }
}

void layout_grouped(std::vector<Node*>& factors, std::vector<Node*>& variables, double width,
                    double height, const Style& style) {
  const double margin = 20;
  const auto [widest_variable, variable_height, widest_factor, tallest_factor] =
      node_extents(factors, variables);
  // Groups in factor order; variables that load on no factor come last.
  const std::size_t groups = factors.size() + 1;
  std::vector<std::vector<Node*>> members(groups);
  for (Node* v : variables)
    members[v->group >= 0 && static_cast<std::size_t>(v->group) < factors.size() ? v->group
                                                                                 : groups - 1]
        .push_back(v);
  const double cell = 2 * widest_variable + 14;
  const double band_floor = 2 * widest_factor + 24;
  auto bands_for = [&](std::size_t rows, std::vector<std::size_t>& columns) {
    double total = 0;
    columns.assign(groups, 0);
    for (std::size_t g = 0; g < groups; ++g) {
      if (members[g].empty() && g + 1 == groups) continue;
      columns[g] = std::max<std::size_t>(1, (members[g].size() + rows - 1) / rows);
      total += std::max(band_floor, columns[g] * cell);
    }
    return total;
  };
  std::size_t rows = 1, most = 1;
  for (const auto& m : members) most = std::max(most, m.size());
  std::vector<std::size_t> columns;
  // One row while it takes at most twice the design width (the picture then
  // grows); more rows only beyond that, since lines to a lower row cross the
  // row above.
  while (bands_for(rows, columns) > 2 * (width - 2 * margin) && rows < most) ++rows;
  const double total = bands_for(rows, columns);
  double left = margin + std::max(0.0, (width - 2 * margin - total) / 2);

  const double factor_y =
      margin + style.loop + style.font * 2 + tallest_factor + (factors.size() > 1 ? 30 : 0);
  const double first_row =
      factor_y + tallest_factor + std::max(110.0, height * 0.28) + variable_height;
  const double row_pitch = 2 * variable_height + style.loop + style.font * 2;
  for (std::size_t g = 0; g < groups; ++g) {
    if (columns[g] == 0) continue;
    const double band = std::max(band_floor, columns[g] * cell);
    if (g < factors.size()) {
      factors[g]->centre = {left + band / 2, factor_y};
      factors[g]->outward = {0, -1};
    }
    for (std::size_t i = 0; i < members[g].size(); ++i) {
      const std::size_t column = i % columns[g], row = i / columns[g];
      members[g][i]->centre = {left + (column + 0.5) * band / columns[g],
                               first_row + row * row_pitch};
      members[g][i]->outward = {0, 1};
    }
    left += band;
  }
}

void layout_grip(std::vector<Node*>& factors, std::vector<Node*>& variables, double width,
                 double height, const Style& style) {
  const double margin = 20;
  double widest_variable = 0, variable_height = 0, widest_factor = 0;
  for (Node* v : variables) {
    widest_variable = std::max(widest_variable, v->half_width);
    variable_height = std::max(variable_height, v->half_height);
  }
  for (Node* f : factors) widest_factor = std::max(widest_factor, f->half_width);
  // Variables around the ring in groups, so each factor faces its own.
  std::vector<Node*> ring = variables;
  std::stable_sort(ring.begin(), ring.end(), [&](const Node* a, const Node* b) {
    const auto key = [&](const Node* n) {
      return n->group < 0 ? static_cast<int>(factors.size()) : n->group;
    };
    return key(a) < key(b);
  });
  const double n = std::max<std::size_t>(ring.size(), 1);
  // Neighbours on the ring must clear each other's boxes in every direction.
  const double needed =
      n * std::hypot(2 * widest_variable + 6, 2 * variable_height + 6) / (2 * kPi);
  const double room = std::min(width, height) / 2 - margin - widest_variable - style.loop;
  const double outer = std::max({room, needed, 2 * widest_factor + 60});
  const double reach = outer + widest_variable + style.loop + style.font * 2 + margin;
  const Point centre{std::max(width / 2, reach), std::max(height / 2, reach)};
  std::vector<double> angle(ring.size());
  for (std::size_t i = 0; i < ring.size(); ++i) {
    angle[i] = -kPi / 2 + 2 * kPi * (i + 0.5) / n;
    const Point d{std::cos(angle[i]), std::sin(angle[i])};
    ring[i]->centre = centre + d * outer;
    ring[i]->outward = d;
  }
  if (factors.size() == 1) {
    factors[0]->centre = centre;
    factors[0]->outward = {0, -1};
    return;
  }
  if (factors.empty()) return;
  // Each factor on an inner ring at the mean direction of its variables; evenly
  // spaced when that would crowd them.
  const double inner = std::max(outer * 0.4, factors.size() * (2 * widest_factor + 16) / (2 * kPi));
  std::vector<double> where(factors.size());
  bool crowded = false;
  for (std::size_t g = 0; g < factors.size(); ++g) {
    double sx = 0, sy = 0;
    for (std::size_t i = 0; i < ring.size(); ++i)
      if (ring[i]->group == static_cast<int>(g)) sx += std::cos(angle[i]), sy += std::sin(angle[i]);
    where[g] = (sx == 0 && sy == 0) ? INFINITY : std::atan2(sy, sx);
    if (!std::isfinite(where[g])) crowded = true;
  }
  for (std::size_t g = 0; g < factors.size() && !crowded; ++g)
    for (std::size_t h = g + 1; h < factors.size() && !crowded; ++h) {
      const Point a{std::cos(where[g]) * inner, std::sin(where[g]) * inner};
      const Point b{std::cos(where[h]) * inner, std::sin(where[h]) * inner};
      if (length(a - b) < 2 * widest_factor + 10) crowded = true;
    }
  for (std::size_t g = 0; g < factors.size(); ++g) {
    const double a = crowded ? -kPi / 2 + 2 * kPi * (g + 0.5) / factors.size() : where[g];
    const Point d{std::cos(a), std::sin(a)};
    factors[g]->centre = centre + d * inner;
    // Loops run along the inner ring, between the fans of loadings; arcs
    // between factors bulge towards the centre.
    factors[g]->outward = rotated(d, kPi / 2);
    factors[g]->bend = d * -1;
  }
  if (factors.size() == 2) {
    // Facing each other: the arc on one side of them, both loops on the other.
    const Point chord = factors[1]->centre - factors[0]->centre;
    Point side = unit({-chord.y, chord.x});
    if (side.y < 0) side = side * -1;
    for (Node* f : factors) {
      f->outward = side;
      f->bend = side * -1;
    }
  }
}

// ---------------------------------------------------------------------------
// Reading the diagram's table and drawing it.

// The nodes and links of the diagram, with the nodes found by their ids
// whatever their case.
struct Diagram {
  std::vector<Node> nodes;
  std::vector<Link> links;
  std::map<std::string, std::size_t> by_id;
  Node* node_of(const std::string& id) {
    auto it = by_id.find(upper_case(id));
    return it == by_id.end() ? nullptr : &nodes[it->second];
  }
};

// Link rows (a LinkId, or both ends without one) and node rows (a NodeId).
void read_rows(const Table& t, const svg::Source& source, Diagram& d) {
  const int node_id = source.column(0), from_id = source.column(1), to_id = source.column(2);
  const int link_id = svg::column_index(t, "LinkId");
  const int node_label = svg::column_index(t, "NodeLabel");
  const int variable_label = svg::column_index(t, "VarLabel");
  const int node_shape = svg::column_index(t, "NodeShape");
  const int node_size = svg::column_index(t, "NodeSize");
  const int link_dir = svg::column_index(t, "LinkDir");
  const int link_label = svg::column_index(t, "LinkLabel");
  const int link_priority = svg::column_index(t, "LinkPriority");
  for (const Row& r : t.rows) {
    const std::string from = svg::text_at(r, from_id), to = svg::text_at(r, to_id);
    const bool is_link =
        link_id >= 0 ? !svg::text_at(r, link_id).empty() : !from.empty() && !to.empty();
    if (is_link) {
      Link l;
      l.id = svg::text_at(r, link_id);
      l.from = from;
      l.to = to;
      l.both = upper_case(svg::text_at(r, link_dir)) == "BOTH";
      l.label = svg::text_at(r, link_label);
      if (l.label == ".") l.label = "";  // a missing estimate has nothing to show
      const double priority = svg::number_at(r, link_priority);
      l.minor = !is_missing(priority) && priority < 0;
      d.links.push_back(std::move(l));
      continue;
    }
    const std::string id = svg::text_at(r, node_id);
    if (id.empty()) continue;
    Node n;
    n.id = id;
    n.label = svg::text_at(r, node_label);
    if (n.label.empty()) n.label = id;
    n.variable_label = svg::text_at(r, variable_label);
    const std::string shape = upper_case(svg::text_at(r, node_shape));
    n.oval = shape == "OVAL" || shape == "ELLIPSE" || shape == "CIRCLE";
    const double size = svg::number_at(r, node_size);
    if (!is_missing(size) && size > 0) n.size = size;
    d.nodes.push_back(std::move(n));
  }
}

// Each variable joins the factor it loads on most: the largest estimate,
// else its first salient loading, else its first loading.
void group_variables(Diagram& d, const std::vector<Node*>& factors,
                     const std::vector<Node*>& variables) {
  for (Node* v : variables) {
    double best = -1;
    int salient = -1, any = -1;
    for (const Link& l : d.links) {
      if (l.both || upper_case(l.to) != upper_case(v->id)) continue;
      const Node* f = d.node_of(l.from);
      if (!f || !f->oval) continue;
      const int g =
          static_cast<int>(std::find(factors.begin(), factors.end(), f) - factors.begin());
      if (any < 0) any = g;
      if (salient < 0 && !l.minor) salient = g;
      char* end = nullptr;
      const double value = std::strtod(l.label.c_str(), &end);
      if (end != l.label.c_str() && std::isfinite(value) && std::fabs(value) > best) {
        best = std::fabs(value);
        v->group = g;
      }
    }
    if (v->group < 0) v->group = salient >= 0 ? salient : any;
  }
}

Style diagram_style(const Graph& graph) {
  Style style;
  style.scale = std::clamp(svg::dynamic_number(graph, "_pdScale").value_or(1.0), 0.1, 4.0);
  style.font = std::max(14 * style.scale, minimum_font_pixels(graph));
  style.head = std::max(6.0, 9 * style.scale);
  style.loop = std::max(18.0, 28 * style.scale);
  return style;
}

// The design box of the arrangement asked for (_pdalg; by default flow for
// a few variables, grip for many), with the nodes placed in it.
std::pair<double, double> lay_out(const Graph& graph, std::vector<Node*>& factors,
                                  std::vector<Node*>& variables, const Style& style) {
  std::string algorithm = upper_case(svg::dynamic_text(graph, "_pdalg").value_or(""));
  if (algorithm != "FLOW" && algorithm != "GROUPEDFLOW" && algorithm != "GRIP")
    algorithm = variables.size() <= 14 ? "FLOW" : "GRIP";
  const double default_width = algorithm == "FLOW" ? 450 : algorithm == "GROUPEDFLOW" ? 720 : 600;
  const double default_height = algorithm == "FLOW" ? 800 : algorithm == "GROUPEDFLOW" ? 500 : 600;
  auto design = [&](const char* name, double fallback) {
    const auto v = svg::dynamic_number(graph, name);
    return v && *v >= 50 && *v <= 20000 ? *v : fallback;
  };
  const double width = design("_DesignWidth", default_width);
  const double height = design("_DesignHeight", default_height);
  if (algorithm == "FLOW")
    layout_flow(factors, variables, width, height, style);
  else if (algorithm == "GROUPEDFLOW")
    layout_grouped(factors, variables, width, height, style);
  else
    layout_grip(factors, variables, width, height, style);
  return {width, height};
}

// How one link is drawn.
struct LinkPen {
  const Style& style;
  std::string colour, attributes;
  double label_size;
};

// A variance: a loop on the node's outer side, arrowheads at both ends.
Label draw_variance(Canvas& canvas, const Node& a, const Link& l, const LinkPen& pen) {
  const Style& style = pen.style;
  const double label_size = pen.label_size;
  Box extent;
  const Point d = a.outward;
  const Point s = boundary(a, rotated(d, -0.45)), e = boundary(a, rotated(d, 0.45));
  const Point cs = s + rotated(d, -0.35) * (style.loop * 1.5);
  const Point ce = e + rotated(d, 0.35) * (style.loop * 1.5);
  const Point s2 = s + unit(cs - s) * (style.head * 0.7);
  const Point e2 = e + unit(ce - e) * (style.head * 0.7);
  for (Point p : {s, e, cs, ce}) extent.include(p.x, p.y);
  canvas.path("M " + at(s2) + " C " + at(cs) + " " + at(ce) + " " + at(e2), extent, pen.attributes);
  arrowhead(canvas, s, s - cs, style, pen.colour);
  arrowhead(canvas, e, e - ce, style, pen.colour);
  const Point apex = s * 0.125 + cs * 0.375 + ce * 0.375 + e * 0.125;
  const std::string anchor = std::fabs(d.x) > 0.7 ? (d.x > 0 ? "start" : "end") : "middle";
  const Point baseline{0, d.y > 0.7 ? label_size * 0.8 : d.y < -0.7 ? 0 : label_size * 0.35};
  Label label{{}, l.label, anchor, l.minor};
  // Beyond the loop's apex, further out when that place is taken.
  for (double away : {0.6, 1.7, 2.8})
    label.spots.push_back(apex + d * (label_size * away) + baseline);
  return label;
}

// A correlation: an arc bulging to the nodes' outer side.
Label draw_correlation(Canvas& canvas, const Node& a, const Node& b, const Link& l,
                       const LinkPen& pen) {
  const Style& style = pen.style;
  Box extent;
  auto bend_of = [](const Node& n) { return length(n.bend) > 0 ? n.bend : n.outward; };
  Point bend = bend_of(a) + bend_of(b);
  const Point chord = b.centre - a.centre;
  if (length(bend) < 1e-6) bend = {-chord.y, chord.x};
  const double distance = length(chord);
  const Point control =
      (a.centre + b.centre) * 0.5 + unit(bend) * std::min(distance * 0.6, 80 + distance * 0.25);
  const Point s = boundary(a, control - a.centre), e = boundary(b, control - b.centre);
  const Point s2 = s + unit(control - s) * (style.head * 0.7);
  const Point e2 = e + unit(control - e) * (style.head * 0.7);
  for (Point p : {s, e, control}) extent.include(p.x, p.y);
  canvas.path("M " + at(s2) + " Q " + at(control) + " " + at(e2), extent, pen.attributes);
  arrowhead(canvas, s, s - control, style, pen.colour);
  arrowhead(canvas, e, e - control, style, pen.colour);
  Label label{{}, l.label, "middle", l.minor};
  for (double along : {0.5, 0.35, 0.65, 0.25, 0.75}) {
    const double u = 1 - along;
    const Point on = s * (u * u) + control * (2 * u * along) + e * (along * along);
    label.spots.push_back(on + Point{0, pen.label_size * 0.35});
  }
  return label;
}

// A loading: a straight arrow from the factor to the variable.
Label draw_loading(Canvas& canvas, const Node& a, const Node& b, const Link& l,
                   const LinkPen& pen) {
  Box extent;
  const Point d = b.centre - a.centre;
  const Point s = boundary(a, d), e = boundary(b, d * -1);
  const Point e2 = e - unit(d) * (pen.style.head * 0.7);
  extent.include(s.x, s.y);
  extent.include(e.x, e.y);
  canvas.path("M " + at(s) + " L " + at(e2), extent, pen.attributes);
  arrowhead(canvas, e, d, pen.style, pen.colour);
  Label label{{}, l.label, "middle", l.minor};
  for (double along : {0.62, 0.5, 0.74, 0.4, 0.84, 0.3})
    label.spots.push_back(s + (e - s) * along + Point{0, pen.label_size * 0.35});
  return label;
}

// Every link whose ends are nodes of the table; the others are listed in
// `unknown`.  The estimates' labels are placed later.
std::vector<Label> draw_links(Canvas& canvas, Diagram& d, const Style& style, double label_size,
                              std::vector<std::string>& unknown) {
  std::vector<Label> labels;
  for (const Link& l : d.links) {
    const Node* a = d.node_of(l.from);
    const Node* b = d.node_of(l.to);
    if (!a || !b) {
      unknown.push_back(l.id.empty() ? l.from + " to " + l.to : l.id);
      continue;
    }
    const std::string colour = l.minor ? "#9a9a9a" : "#333";
    std::string attributes = std::string("class=\"link ") + (l.both ? "both" : "to") +
                             (a == b ? " self" : "") + (l.minor ? " minor" : "") +
                             "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"" +
                             (l.minor ? "1" : "1.4") + "\"";
    if (l.minor) attributes += " stroke-dasharray=\"5 4\"";
    const LinkPen pen{style, colour, attributes, label_size};
    if (a == b)
      labels.push_back(draw_variance(canvas, *a, l, pen));
    else if (l.both)
      labels.push_back(draw_correlation(canvas, *a, *b, l, pen));
    else
      labels.push_back(draw_loading(canvas, *a, *b, l, pen));
  }
  return labels;
}

Box box_of(const Node& n) {
  Box b;
  b.include(n.centre.x - n.half_width, n.centre.y - n.half_height);
  b.include(n.centre.x + n.half_width, n.centre.y + n.half_height);
  return b;
}

// Factors as ovals, variables as rectangles, each with its name and a
// tooltip that adds the variable's label.
void draw_nodes(Canvas& canvas, const std::vector<Node>& nodes, const Style& style) {
  for (const Node& n : nodes) {
    const std::string tooltip = n.variable_label.empty() || n.variable_label == n.label
                                    ? n.id
                                    : n.id + ": " + n.variable_label;
    const Box extent = box_of(n);
    const std::string tip = "<title>" + svg::escape(tooltip) + "</title>";
    if (n.oval)
      canvas.raw(
          "<ellipse class=\"node factor\" fill=\"#eef4fb\" stroke=\"#1f4e79\" "
          "stroke-width=\"1.5\" cx=\"" +
              num(n.centre.x) + "\" cy=\"" + num(n.centre.y) + "\" rx=\"" + num(n.half_width) +
              "\" ry=\"" + num(n.half_height) + "\">" + tip + "</ellipse>",
          extent);
    else
      canvas.raw(
          "<rect class=\"node variable\" fill=\"#fff\" stroke=\"#333\" "
          "stroke-width=\"1.2\" x=\"" +
              num(n.centre.x - n.half_width) + "\" y=\"" + num(n.centre.y - n.half_height) +
              "\" width=\"" + num(2 * n.half_width) + "\" height=\"" + num(2 * n.half_height) +
              "\">" + tip + "</rect>",
          extent);
    canvas.text(n.centre.x, n.centre.y + style.font * 0.35, n.label, style.font, "middle",
                "class=\"node-label\"");
  }
}

// Estimates last, on a light backing, so no line runs through them; each
// at its first place that covers no node and no estimate placed before,
// the salient ones first.
void place_estimates(Canvas& canvas, const std::vector<Node>& nodes,
                     const std::vector<Label>& labels, double label_size) {
  std::vector<Box> taken;
  for (const Node& n : nodes) taken.push_back(box_of(n));
  auto overlaps = [&](const Box& b) {
    return std::any_of(taken.begin(), taken.end(), [&](const Box& o) {
      return b.left < o.right && o.left < b.right && b.top < o.bottom && o.top < b.bottom;
    });
  };
  for (bool minor : {false, true})
    for (const Label& l : labels) {
      if (l.text.empty() || l.minor != minor || l.spots.empty()) continue;
      Point at = l.spots.front();
      for (const Point& spot : l.spots)
        if (!overlaps(Canvas::text_box(spot.x, spot.y, l.text, label_size, l.anchor))) {
          at = spot;
          break;
        }
      const Box b = Canvas::text_box(at.x, at.y, l.text, label_size, l.anchor);
      taken.push_back(b);
      canvas.rect(b.left - 2, b.top - 1, b.width() + 4, b.height() + 2,
                  "class=\"link-label-back\" fill=\"#fff\" fill-opacity=\"0.85\"");
      canvas.text(at.x, at.y, l.text, label_size, l.anchor,
                  std::string("class=\"link-label\"") + (l.minor ? " fill=\"#777\"" : ""));
    }
}

// The title, wrapped to the width, and a line naming the links not drawn.
void set_diagram_heading(Canvas& canvas, const std::string& title, double width,
                         const std::vector<std::string>& unknown) {
  std::vector<std::string> heading;
  std::size_t title_lines = 0;
  if (!title.empty())
    for (const std::string& line : wrap_words(title, std::max(30, static_cast<int>(width / 10))))
      heading.push_back(line), ++title_lines;
  if (!unknown.empty()) {
    std::string list;
    for (std::size_t i = 0; i < unknown.size() && i < 5; ++i) list += (i ? ", " : "") + unknown[i];
    if (unknown.size() > 5) list += ", ...";
    heading.push_back("Not drawn, joining nodes the table does not have: " + list);
  }
  canvas.set_heading(heading, title_lines);
}

}  // namespace

std::string draw_path_diagram(const Graph& graph) {
  const auto source = svg::find_source(graph, "PathDiagramData", {"NodeId", "FromId", "ToId"});
  if (!source.problem.empty())
    return svg::message_svg(graph, "The path diagram cannot be drawn", {source.problem});
  const Table& t = *source.table;
  Diagram d;
  read_rows(t, source, d);
  if (d.nodes.empty())
    return svg::message_svg(graph, "The path diagram cannot be drawn",
                            {"The table " + t.name + " has no node rows (rows with a NodeId)."});
  for (std::size_t i = 0; i < d.nodes.size(); ++i) d.by_id.emplace(upper_case(d.nodes[i].id), i);

  std::vector<Node*> factors, variables;
  for (Node& n : d.nodes) (n.oval ? factors : variables).push_back(&n);
  group_variables(d, factors, variables);

  const Style style = diagram_style(graph);
  size_nodes(d.nodes, style);
  const auto [width, height] = lay_out(graph, factors, variables, style);

  const std::string title = svg::dynamic_text(graph, "_TitleText").value_or("");
  Canvas canvas(graph.label.empty() ? (title.empty() ? "Path Diagram" : title) : graph.label);
  canvas.reserve(0, 0, width, height);
  std::vector<std::string> unknown;
  const double label_size = std::max(style.font * 0.85, minimum_font_pixels(graph));
  const std::vector<Label> labels = draw_links(canvas, d, style, label_size, unknown);
  draw_nodes(canvas, d.nodes, style);
  place_estimates(canvas, d.nodes, labels, label_size);
  set_diagram_heading(canvas, title, width, unknown);
  return canvas.finish();
}

}  // namespace kav
