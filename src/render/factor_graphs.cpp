#include "render/factor_graphs.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "host/value.h"
#include "render/svg_canvas.h"
#include "render/text_layout.h"

namespace kav {

namespace {

using svg::Axis;
using svg::Box;
using svg::Canvas;
using svg::num;

constexpr double kPi = 3.141592653589793;

// Colours told apart by readers with the common colour-vision deficiencies;
// every series also differs in its marker and dash so colour is never the
// only cue.
constexpr const char* kBlue = "#0072B2";
constexpr const char* kOrange = "#D55E00";
constexpr const char* kGreen = "#009E73";

bool has_text(const std::string& path, std::string_view part) {
  std::string a = path, b(part);
  for (char& c : a) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (char& c : b) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return a.find(b) != std::string::npos;
}

// Missing values (and infinities, which have no place on an axis) are skipped.
bool drawable(double v) {
  return std::isfinite(v);
}

std::string accessible_title(const Graph& graph, const std::string& fallback) {
  return graph.label.empty() ? fallback : graph.label;
}

// ---------------------------------------------------------------------------
// Line charts: the scree, variance, MAP and parallel-analysis panels

enum class Marker { Circle, Square, Triangle, Ring };

struct Series {
  std::string name;  // legend text; empty: not in the legend
  std::vector<double> x, y;
  std::string colour = kBlue;
  std::string dash;  // stroke-dasharray; empty: solid
  Marker marker = Marker::Circle;
  bool line = true;
};

struct PanelSpec {
  std::string heading;
  std::string x_title, y_title;
  std::vector<Series> series;
  bool include_zero = true;
  std::optional<double> reference;  // a horizontal reference line at this value
  std::string reference_label;
  std::string empty_text;  // shown instead of a plot when there is nothing to draw
};

// Markers of the data carry the class "marker" ("highlight" for rings);
// those of the legend "legend-marker".
void draw_marker(Canvas& canvas, Marker marker, double x, double y, const std::string& colour,
                 const std::string& tooltip, bool legend = false) {
  const std::string cls = legend ? "class=\"legend-marker\" " : "class=\"marker\" ";
  const std::string fill = cls + "fill=\"" + colour + "\" stroke=\"#fff\" stroke-width=\"0.8\"";
  const std::string title =
      tooltip.empty() ? std::string() : "<title>" + svg::escape(tooltip) + "</title>";
  Box box;
  box.include(x - 7, y - 7);
  box.include(x + 7, y + 7);
  switch (marker) {
    case Marker::Circle:
      canvas.circle(x, y, 3.8, fill, tooltip);
      return;
    case Marker::Square:
      canvas.raw("<rect " + fill + " x=\"" + num(x - 3.5) + "\" y=\"" + num(y - 3.5) +
                     "\" width=\"7\" height=\"7\">" + title + "</rect>",
                 box);
      return;
    case Marker::Triangle:
      canvas.raw("<polygon " + fill + " points=\"" + num(x) + "," + num(y - 4.5) + " " +
                     num(x + 4.5) + "," + num(y + 3.5) + " " + num(x - 4.5) + "," + num(y + 3.5) +
                     "\">" + title + "</polygon>",
                 box);
      return;
    case Marker::Ring:
      canvas.circle(x, y, 7,
                    (legend ? std::string("class=\"legend-marker\"") : "class=\"highlight\"") +
                        " fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"1.8\"",
                    tooltip);
      return;
  }
}

std::string stroke_of(const Series& s) {
  std::string a = "fill=\"none\" stroke=\"" + s.colour + "\" stroke-width=\"2\"";
  if (!s.dash.empty()) a += " stroke-dasharray=\"" + s.dash + "\"";
  return a;
}

// The panel's heading, if it has one; returns the top of what follows.
double draw_heading(Canvas& canvas, const PanelSpec& spec, double bx, double by, double bw) {
  if (spec.heading.empty()) return by + 10;
  canvas.text(bx + bw / 2, by + 18, spec.heading, 14, "middle",
              "class=\"panel-heading\" font-weight=\"bold\"");
  return by + 34;
}

// The range of the drawable points of every series, and how many there are.
struct DataRange {
  double xlo = INFINITY, xhi = -INFINITY, ylo = INFINITY, yhi = -INFINITY;
  int points = 0;
};

DataRange data_range(const PanelSpec& spec) {
  DataRange r;
  for (const Series& s : spec.series)
    for (std::size_t k = 0; k < s.x.size() && k < s.y.size(); ++k) {
      if (!drawable(s.x[k]) || !drawable(s.y[k])) continue;
      r.xlo = std::min(r.xlo, s.x[k]);
      r.xhi = std::max(r.xhi, s.x[k]);
      r.ylo = std::min(r.ylo, s.y[k]);
      r.yhi = std::max(r.yhi, s.y[k]);
      ++r.points;
    }
  return r;
}

// A framed message in place of the plot when there is nothing to draw.
void draw_empty_panel(Canvas& canvas, const PanelSpec& spec, double bx, double by, double bw,
                      double bh, double top) {
  canvas.rect(bx + 12, top, bw - 24, by + bh - top - 12,
              "class=\"frame\" fill=\"none\" stroke=\"#bbb\"");
  const std::string text =
      spec.empty_text.empty() ? "There are no non-missing values to draw." : spec.empty_text;
  const auto lines = wrap_words(text, std::max(20, static_cast<int>((bw - 60) / (12 * 0.62))));
  double y = (top + by + bh) / 2 - 9.0 * (lines.size() - 1);
  for (const std::string& line : lines) {
    canvas.text(bx + bw / 2, y, line, 12, "middle", "class=\"message\"");
    y += 18;
  }
}

// Legend rows, packed to the panel width: each entry with its width.  There
// is a legend only when more than one series is named.
using LegendRows = std::vector<std::vector<std::pair<const Series*, double>>>;

LegendRows legend_rows(const PanelSpec& spec, double bw) {
  std::vector<const Series*> entries;
  for (const Series& s : spec.series)
    if (!s.name.empty()) entries.push_back(&s);
  LegendRows rows;
  if (entries.size() <= 1) return rows;
  double used = 0;
  for (const Series* s : entries) {
    const double w = 32 + svg::text_width(s->name, 11) + 18;
    if (rows.empty() || used + w > bw - 24) rows.emplace_back(), used = 0;
    rows.back().push_back({s, w});
    used += w;
  }
  return rows;
}

// The plotting area (px0, py0)-(px1, py1) and the axes that map data to it.
struct PanelFrame {
  Axis xa, ya;
  double px0, px1, py0, py1;
  double X(double v) const { return px0 + (v - xa.lo) / (xa.hi - xa.lo) * (px1 - px0); }
  double Y(double v) const { return py1 - (v - ya.lo) / (ya.hi - ya.lo) * (py1 - py0); }
};

// The axes fit the data (and zero, when the panel asks for it); the margins
// leave room for the tick labels, the axis titles and the legend.
PanelFrame panel_frame(const PanelSpec& spec, const DataRange& range, double legend_height,
                       bool legend, double bx, double by, double bw, double bh, double top) {
  double y_low = spec.include_zero ? std::min(range.ylo, 0.0) : range.ylo;
  double y_high = spec.include_zero ? std::max(range.yhi, 0.0) : range.yhi;
  const Axis ya = svg::nice_axis(y_low, y_high, 8);
  const Axis xa = svg::count_axis(range.xlo, range.xhi, 10);
  double tick_width = 0;
  for (double t : ya.ticks) tick_width = std::max(tick_width, svg::text_width(ya.label(t), 11));

  const double left = 8 + 16 + 8 + tick_width + 8;
  const double bottom = 6 + 14 + 8 + 16 + (legend ? 12 + legend_height : 0) + 6;
  return {xa, ya, bx + left, bx + bw - 18, top, by + bh - bottom};
}

// Grid lines, ticks and their labels, the frame, and the reference line.
void draw_axes(Canvas& canvas, const PanelSpec& spec, const PanelFrame& f) {
  for (double t : f.ya.ticks) {
    canvas.line(f.px0, f.Y(t), f.px1, f.Y(t), "class=\"grid\" stroke=\"#e6e6e6\"");
    canvas.line(f.px0 - 4, f.Y(t), f.px0, f.Y(t), "class=\"tick\" stroke=\"#666\"");
    canvas.text(f.px0 - 7, f.Y(t) + 4, f.ya.label(t), 11, "end", "class=\"tick-y\"");
  }
  for (double t : f.xa.ticks) {
    canvas.line(f.X(t), f.py1, f.X(t), f.py1 + 4, "class=\"tick\" stroke=\"#666\"");
    canvas.text(f.X(t), f.py1 + 17, f.xa.label(t), 11, "middle", "class=\"tick-x\"");
  }
  canvas.rect(f.px0, f.py0, f.px1 - f.px0, f.py1 - f.py0,
              "class=\"frame\" fill=\"none\" stroke=\"#888\"");
  if (spec.reference && *spec.reference >= f.ya.lo && *spec.reference <= f.ya.hi) {
    const double y = f.Y(*spec.reference);
    canvas.line(f.px0, y, f.px1, y,
                "class=\"reference\" stroke=\"#777\" stroke-width=\"1.2\" "
                "stroke-dasharray=\"6 4\"");
    if (!spec.reference_label.empty())
      canvas.text(f.px1 - 5, y - 5, spec.reference_label, 10, "end",
                  "class=\"reference-label\" fill=\"#555\"");
  }
}

// One series: its line in runs of consecutive drawable points (a missing
// value breaks the line), then a marker with a tooltip at each point.
void draw_series(Canvas& canvas, const PanelSpec& spec, const Series& s, const PanelFrame& f) {
  canvas.raw("<g class=\"series\" data-series=\"" + svg::escape(s.name) + "\">", {});
  if (s.line) {
    std::string run;
    int run_points = 0;
    auto flush = [&] {
      if (run_points > 1) {
        Box b;
        canvas.raw("<polyline class=\"line\" " + stroke_of(s) + " points=\"" + run + "\"/>", b);
      }
      run.clear();
      run_points = 0;
    };
    for (std::size_t k = 0; k < s.x.size() && k < s.y.size(); ++k) {
      if (!drawable(s.x[k]) || !drawable(s.y[k])) {
        flush();
        continue;
      }
      if (!run.empty()) run += ' ';
      run += num(f.X(s.x[k])) + "," + num(f.Y(s.y[k]));
      ++run_points;
    }
    flush();
  }
  for (std::size_t k = 0; k < s.x.size() && k < s.y.size(); ++k) {
    if (!drawable(s.x[k]) || !drawable(s.y[k])) continue;
    const std::string tip = (s.name.empty() ? spec.y_title : s.name) + ", " + spec.x_title + " " +
                            svg::value_text(s.x[k]) + ": " + svg::value_text(s.y[k]);
    draw_marker(canvas, s.marker, f.X(s.x[k]), f.Y(s.y[k]), s.colour, tip);
  }
  canvas.raw("</g>", {});
}

// The legend under the axis titles, each row centred on the plotting area.
void draw_legend(Canvas& canvas, const LegendRows& rows, const PanelFrame& f, double bx) {
  double y = f.py1 + 38 + 12 + 10;
  for (const auto& row : rows) {
    double width = 0;
    for (const auto& entry : row) width += entry.second;
    double x = (f.px0 + f.px1) / 2 - width / 2;
    if (x < bx + 8) x = bx + 8;
    for (const auto& [s, w] : row) {
      canvas.raw("<g class=\"legend-entry\">", {});
      if (s->line) canvas.line(x, y - 4, x + 26, y - 4, "class=\"legend-line\" " + stroke_of(*s));
      draw_marker(canvas, s->marker, x + 13, y - 4, s->colour, {}, true);
      canvas.text(x + 32, y, s->name, 11, "start", "class=\"legend-text\"");
      canvas.raw("</g>", {});
      x += w;
    }
    y += 18;
  }
}

// The panel fills the box (bx, by, bw, bh): heading, axes with their titles,
// the series, and a legend under the horizontal axis when there are several.
void draw_panel(Canvas& canvas, const PanelSpec& spec, double bx, double by, double bw, double bh) {
  canvas.reserve(bx, by, bx + bw, by + bh);
  const double top = draw_heading(canvas, spec, bx, by, bw);
  const DataRange range = data_range(spec);
  if (range.points == 0) {
    draw_empty_panel(canvas, spec, bx, by, bw, bh, top);
    return;
  }
  const LegendRows rows = legend_rows(spec, bw);
  const bool legend = !rows.empty();
  const PanelFrame f = panel_frame(spec, range, rows.size() * 18.0, legend, bx, by, bw, bh, top);
  draw_axes(canvas, spec, f);
  for (const Series& s : spec.series) draw_series(canvas, spec, s, f);
  canvas.text((f.px0 + f.px1) / 2, f.py1 + 38, spec.x_title, 12, "middle", "class=\"axis-title\"");
  canvas.text(bx + 18, (f.py0 + f.py1) / 2, spec.y_title, 12, "middle", "class=\"axis-title\"",
              -90);
  if (legend) draw_legend(canvas, rows, f, bx);
}

// ---------------------------------------------------------------------------
// Scree and variance plots, from the Eigenvalues table

struct EigenRows {
  std::vector<double> number, eigenvalue, proportion, cumulative;
  bool has_proportions = false;
};

EigenRows eigen_rows(const svg::Source& source) {
  EigenRows rows;
  const Table& t = *source.table;
  const int number = svg::column_index(t, "Number");
  const int eigenvalue = svg::column_index(t, "Eigenvalue");
  const int proportion = svg::column_index(t, "Proportion");
  const int cumulative = svg::column_index(t, "Cumulative");
  rows.has_proportions = proportion >= 0 && cumulative >= 0;
  for (std::size_t i = 0; i < t.rows.size(); ++i) {
    const Row& r = t.rows[i];
    // Without a Number column the rows stand in rank order.
    rows.number.push_back(number >= 0 ? svg::number_at(r, number) : static_cast<double>(i + 1));
    rows.eigenvalue.push_back(svg::number_at(r, eigenvalue));
    rows.proportion.push_back(svg::number_at(r, proportion));
    rows.cumulative.push_back(svg::number_at(r, cumulative));
  }
  return rows;
}

PanelSpec scree_panel(const EigenRows& rows, std::string heading) {
  PanelSpec spec;
  spec.heading = std::move(heading);
  spec.x_title = "Factor Number";
  spec.y_title = "Eigenvalue";
  Series s;
  s.name = "Eigenvalue";
  s.x = rows.number;
  s.y = rows.eigenvalue;
  spec.series.push_back(std::move(s));
  spec.reference = 1.0;
  spec.reference_label = "Eigenvalue = 1";
  spec.empty_text = "No eigenvalue is non-missing, so there is nothing to plot.";
  return spec;
}

const char* kNoProportions =
    "The table Eigenvalues has no Proportion and Cumulative columns; they are left out when "
    "the eigenvalues sum to a negligible total, so the variance explained cannot be shown.";

PanelSpec variance_panel(const EigenRows& rows, std::string heading) {
  PanelSpec spec;
  spec.heading = std::move(heading);
  spec.x_title = "Factor Number";
  spec.y_title = "Proportion of Variance";
  if (!rows.has_proportions) {
    spec.empty_text = kNoProportions;
    return spec;
  }
  Series proportion;
  proportion.name = "Proportion";
  proportion.x = rows.number;
  proportion.y = rows.proportion;
  Series cumulative;
  cumulative.name = "Cumulative";
  cumulative.x = rows.number;
  cumulative.y = rows.cumulative;
  cumulative.colour = kOrange;
  cumulative.dash = "7 4";
  cumulative.marker = Marker::Square;
  spec.series = {std::move(proportion), std::move(cumulative)};
  spec.empty_text = "No proportion of variance is non-missing, so there is nothing to plot.";
  return spec;
}

std::string draw_scree_alone(const Graph& graph) {
  const auto source = svg::find_source(graph, "Eigenvalues", {"Eigenvalue"});
  if (!source.problem.empty())
    return svg::message_svg(graph, "The scree plot cannot be drawn", {source.problem});
  Canvas canvas(accessible_title(graph, "Scree Plot"));
  canvas.set_heading({"Scree Plot"});
  draw_panel(canvas, scree_panel(eigen_rows(source), ""), 0, 0, 640, 440);
  return canvas.finish();
}

std::string draw_scree_and_variance(const Graph& graph) {
  const auto source = svg::find_source(graph, "Eigenvalues", {"Eigenvalue"});
  if (!source.problem.empty())
    return svg::message_svg(graph, "The scree and variance plots cannot be drawn",
                            {source.problem});
  const EigenRows rows = eigen_rows(source);
  Canvas canvas(accessible_title(graph, "Scree and Variance Explained Plots"));
  canvas.set_heading({"Scree and Variance Explained"});
  draw_panel(canvas, scree_panel(rows, "Scree Plot"), 0, 0, 480, 420);
  draw_panel(canvas, variance_panel(rows, "Variance Explained"), 480, 0, 480, 420);
  return canvas.finish();
}

std::string draw_variance(const Graph& graph) {
  const auto source =
      svg::find_source(graph, "Eigenvalues", {"Eigenvalue", "Proportion", "Cumulative"});
  if (source.table && source.column(1) < 0 && source.column(2) < 0)
    return svg::message_svg(graph, "The variance plot cannot be drawn", {kNoProportions});
  if (!source.problem.empty())
    return svg::message_svg(graph, "The variance plot cannot be drawn", {source.problem});
  Canvas canvas(accessible_title(graph, "Variance Explained Plot"));
  canvas.set_heading({"Proportion of Variance Explained"});
  draw_panel(canvas, variance_panel(eigen_rows(source), ""), 0, 0, 640, 440);
  return canvas.finish();
}

// ---------------------------------------------------------------------------
// Minimum average partial correlations, from AveParCorrControlPC

// Which MAP curves a graph shows: squared (2), fourth power (4) or both.
template <int Forms>
std::string draw_map(const Graph& graph) {
  std::vector<std::string> needed = {"NComp"};
  if (Forms != 4) needed.push_back("AveParCor2");
  if (Forms != 2) needed.push_back("AveParCor4");
  const auto source = svg::find_source(graph, "AveParCorrControlPC", needed);
  if (!source.problem.empty())
    return svg::message_svg(graph, "The MAP plot cannot be drawn", {source.problem});
  const Table& t = *source.table;
  const int ncomp = source.column(0);

  PanelSpec spec;
  spec.x_title = "Number of Components Partialled Out";
  spec.y_title = Forms == 2   ? "Average Squared Partial Correlation"
                 : Forms == 4 ? "Average Fourth-Power Partial Correlation"
                              : "Average Partial Correlation";
  spec.empty_text = "No average partial correlation is non-missing, so there is nothing to plot.";
  Series minimum;
  minimum.name = "Minimum";
  minimum.marker = Marker::Ring;
  minimum.colour = "#222";
  minimum.line = false;
  auto add_curve = [&](const char* column, const char* optimum, const char* name,
                       const char* colour, const char* dash, Marker marker) {
    const int values = svg::column_index(t, column);
    const int flags = svg::column_index(t, optimum);
    Series s;
    s.name = name;
    s.colour = colour;
    s.dash = dash;
    s.marker = marker;
    for (const Row& r : t.rows) {
      const double x = svg::number_at(r, ncomp), y = svg::number_at(r, values);
      s.x.push_back(x);
      s.y.push_back(y);
      if (svg::number_at(r, flags) == 1 && !is_missing(x) && !is_missing(y)) {
        minimum.x.push_back(x);
        minimum.y.push_back(y);
      }
    }
    spec.series.push_back(std::move(s));
  };
  if (Forms != 4)
    add_curve("AveParCor2", "OptAveParCor2", "Squared (MAP2)", kBlue, "", Marker::Circle);
  if (Forms != 2)
    add_curve("AveParCor4", "OptAveParCor4", "Fourth power (MAP4)", kOrange, "7 4", Marker::Square);
  if (!minimum.x.empty()) spec.series.push_back(std::move(minimum));

  const char* heading = Forms == 2   ? "Average Squared Partial Correlations"
                        : Forms == 4 ? "Average Fourth-Power Partial Correlations"
                                     : "Average Partial Correlations";
  Canvas canvas(accessible_title(graph, heading));
  canvas.set_heading({heading});
  draw_panel(canvas, spec, 0, 0, 640, 440);
  return canvas.finish();
}

// ---------------------------------------------------------------------------
// Parallel analysis, from ParallelAnalysis

std::string draw_parallel(const Graph& graph) {
  const auto source = svg::find_source(graph, "ParallelAnalysis",
                                       {"Number", "Eigenvalue", "AveEigPA", "CritEigPA"});
  if (!source.problem.empty())
    return svg::message_svg(graph, "The parallel analysis plot cannot be drawn", {source.problem});
  const Table& t = *source.table;
  const int flag = svg::column_index(t, "FgEigen");

  Series observed, mean, critical, suggested;
  observed.name = "Observed eigenvalue";
  mean.name = "Mean of simulated eigenvalues";
  mean.colour = kOrange;
  mean.dash = "7 4";
  mean.marker = Marker::Square;
  critical.name = "Critical simulated eigenvalue";
  critical.colour = kGreen;
  critical.dash = "2 3";
  critical.marker = Marker::Triangle;
  suggested.name = "Factors suggested";
  suggested.colour = "#222";
  suggested.marker = Marker::Ring;
  suggested.line = false;
  for (const Row& r : t.rows) {
    const double x = svg::number_at(r, source.column(0));
    observed.x.push_back(x);
    observed.y.push_back(svg::number_at(r, source.column(1)));
    mean.x.push_back(x);
    mean.y.push_back(svg::number_at(r, source.column(2)));
    critical.x.push_back(x);
    critical.y.push_back(svg::number_at(r, source.column(3)));
    if (svg::number_at(r, flag) == 1 && !is_missing(x) && !is_missing(observed.y.back())) {
      suggested.x.push_back(x);
      suggested.y.push_back(observed.y.back());
    }
  }
  PanelSpec spec;
  spec.x_title = "Factor Number";
  spec.y_title = "Eigenvalue";
  spec.empty_text = "No eigenvalue is non-missing, so there is nothing to plot.";
  spec.series = {std::move(observed), std::move(mean), std::move(critical)};
  if (!suggested.x.empty()) spec.series.push_back(std::move(suggested));

  std::vector<std::string> heading = {"Parallel Analysis"};
  std::string details;
  if (auto sims = svg::dynamic_number(graph, "NSims"))
    details = svg::value_text(*sims, 12) + " simulated data sets";
  if (auto alpha = svg::dynamic_text(graph, "Alpha"); alpha && !alpha->empty())
    details += (details.empty() ? "" : "; ") + *alpha;
  if (!details.empty()) heading.push_back(details);
  Canvas canvas(accessible_title(graph, "Parallel Analysis Plot"));
  canvas.set_heading(heading);
  draw_panel(canvas, spec, 0, 0, 640, 460);
  return canvas.finish();
}

// ---------------------------------------------------------------------------
// Loadings plots: variables by their pattern or reference-structure values
// on two factors

struct PlotPoint {
  std::string label;
  double x, y;
};

// The axis text that fits `room` pixels, trying the long forms first.
std::string axis_text(const Graph& graph, const std::string& axis, const Table& table, int column,
                      double room) {
  std::vector<std::string> candidates;
  for (const char* suffix : {"_label", "_label2", "_slabel"})
    if (auto t = svg::dynamic_text(graph, axis + suffix); t && !t->empty())
      candidates.push_back(*t);
  const Column& c = table.columns[column];
  if (!c.header_text().empty()) candidates.push_back(c.header_text());
  candidates.push_back(c.name);
  for (const std::string& text : candidates)
    if (svg::text_width(text, 12) <= room) return text;
  // Nothing fits: the shortest form, which the canvas widens for.
  return *std::min_element(candidates.begin(), candidates.end(),
                           [](const auto& a, const auto& b) { return a.size() < b.size(); });
}

// What a loadings plot shows, from the plot's own name (the last part of
// its path): the stage and the content.
struct LoadingsKind {
  std::string stage, kind;
  std::string failure() const { return "The " + stage + kind + " plot cannot be drawn"; }
};

LoadingsKind loadings_kind(const Graph& graph) {
  const std::string name = graph.template_path.substr(graph.template_path.rfind('.') + 1);
  const bool reference = has_text(name, "RefStructure");
  const std::string stage = has_text(name.substr(0, 4), "Init")  ? "Initial "
                            : has_text(name.substr(0, 3), "Pre") ? "Prerotated "
                                                                 : "";
  return {stage, reference ? "Reference Structure" : "Factor Pattern"};
}

// The columns plotted: XVAR and YVAR, else the first two numeric columns;
// -1 for y when there are not two.  `names` is the variable names' column.
struct PlottedColumns {
  int x = -1, y = -1, names = -1;
};

PlottedColumns plotted_columns(const Table& t, const svg::Source& source, bool named) {
  PlottedColumns c;
  if (named) {
    c.x = source.column(0);
    c.y = source.column(1);
  } else {
    for (std::size_t i = 0; i < t.columns.size(); ++i)
      if (t.columns[i].is_numeric()) {
        if (c.x < 0)
          c.x = static_cast<int>(i);
        else if (c.y < 0)
          c.y = static_cast<int>(i);
      }
  }
  c.names = svg::column_index(t, "Variable");
  if (c.names < 0)
    for (std::size_t i = 0; i < t.columns.size() && c.names < 0; ++i)
      if (!t.columns[i].is_numeric()) c.names = static_cast<int>(i);
  return c;
}

// Angle between the factor axes in degrees: Axis_Ang, else from Axis_Corr,
// else square.
double axis_angle(const Graph& graph) {
  if (auto a = svg::dynamic_number(graph, "Axis_Ang"); a && *a > 0 && *a < 180) return *a;
  if (auto r = svg::dynamic_number(graph, "Axis_Corr"); r && std::fabs(*r) < 1)
    return std::acos(*r) * 180 / kPi;
  return 90;
}

// The radii of the circles asked for: Radius1-5, none when CircleOpt is 0,
// the unit circle when CircleOpt asks for circles and gives no radius.
std::vector<double> circle_radii(const Graph& graph) {
  std::vector<double> radii;
  for (int k = 1; k <= 5; ++k)
    if (auto r = svg::dynamic_number(graph, "Radius" + std::to_string(k)); r && *r > 0)
      radii.push_back(*r);
  const auto circle_option = svg::dynamic_number(graph, "CircleOpt");
  if (circle_option && *circle_option == 0) radii.clear();
  if (circle_option && *circle_option != 0 && radii.empty()) radii.push_back(1);
  return radii;
}

// The plotting frame: factor coordinates in [-R, R] drawn along axes
// `angle` degrees apart, k pixels per loading unit.
struct LoadingsFrame {
  double R, k, c, s, angle;
  // A point in factor coordinates; the origin is at (0, 0) and the canvas
  // sizes itself around the drawing.
  std::pair<double, double> P(double x, double y) const { return {k * (x + y * c), -k * (y * s)}; }
};

// The grid, the frame and the two axes.
void draw_frame(Canvas& canvas, const Axis& axis, const LoadingsFrame& f) {
  const double R = f.R;
  auto line_between = [&](std::pair<double, double> a, std::pair<double, double> b,
                          const std::string& attributes) {
    canvas.line(a.first, a.second, b.first, b.second, attributes);
  };
  for (double tick : axis.ticks) {
    if (tick == 0 || std::fabs(std::fabs(tick) - R) < 1e-12) continue;
    line_between(f.P(tick, -R), f.P(tick, R), "class=\"grid\" stroke=\"#e6e6e6\"");
    line_between(f.P(-R, tick), f.P(R, tick), "class=\"grid\" stroke=\"#e6e6e6\"");
  }
  {
    const auto a = f.P(-R, -R), b = f.P(R, -R), d = f.P(R, R), e = f.P(-R, R);
    canvas.polygon({a, b, d, e}, "class=\"frame\" fill=\"none\" stroke=\"#888\"");
  }
  line_between(f.P(-R, 0), f.P(R, 0), "class=\"axis-x\" stroke=\"#444\"");
  line_between(f.P(0, -R), f.P(0, R), "class=\"axis-y\" stroke=\"#444\"");
}

// Tick labels along the bottom and left edges of the frame, and the axis
// titles outside them.
void draw_axis_labels(Canvas& canvas, const Graph& graph, const Axis& axis, const LoadingsFrame& f,
                      const Table& t, const PlottedColumns& cols) {
  const double R = f.R;
  double tick_width = 0;
  for (double tick : axis.ticks) {
    const auto [bx, by] = f.P(tick, -R);
    canvas.line(bx, by, bx, by + 4, "class=\"tick\" stroke=\"#666\"");
    canvas.text(bx, by + 17, axis.label(tick), 11, "middle", "class=\"tick-x\"");
    const auto [lx, ly] = f.P(-R, tick);
    canvas.line(lx - 4, ly, lx, ly, "class=\"tick\" stroke=\"#666\"");
    canvas.text(lx - 7, ly + 4, axis.label(tick), 11, "end", "class=\"tick-y\"");
    tick_width = std::max(tick_width, svg::text_width(axis.label(tick), 11));
  }
  const auto [mx, my] = f.P(0, -R);
  canvas.text(mx, my + 38, axis_text(graph, "XVAR", t, cols.x, 2 * R * f.k), 12, "middle",
              "class=\"axis-title\"");
  // The vertical title runs along the left edge, outside its tick labels.
  const auto [lx, ly] = f.P(-R, 0);
  const double away = (tick_width + 22) / std::max(f.s, 0.3);
  canvas.text(lx - away * f.s, ly - away * f.c, axis_text(graph, "YVAR", t, cols.y, 2 * R * f.k),
              12, "middle", "class=\"axis-title\"", -f.angle);
}

// The circles, and their labels from the CirclePhantom table, which go into
// `placed` for the point labels to keep clear of.
void draw_circles(Canvas& canvas, const Graph& graph, const std::vector<double>& radii,
                  const LoadingsFrame& f, std::vector<Box>& placed) {
  for (double r : radii)
    canvas.circle(0, 0, r * f.k,
                  "class=\"circle\" fill=\"none\" stroke=\"#999\" stroke-dasharray=\"4 3\"");
  const auto phantom =
      svg::find_source(graph, "CirclePhantom", {"CircleLabel", "xCircleLabel", "yCircleLabel"});
  if (radii.empty() || !phantom.problem.empty() ||
      svg::dynamic_number(graph, "CircleLab").value_or(1) == 0)
    return;
  for (const Row& r : phantom.table->rows) {
    const double x = svg::number_at(r, phantom.column(1)), y = svg::number_at(r, phantom.column(2));
    const std::string label = svg::text_at(r, phantom.column(0));
    if (is_missing(x) || is_missing(y) || label.empty()) continue;
    const auto [px, py] = f.P(x, y);
    canvas.text(px, py + 4, label, 10, "middle", "class=\"circle-label\" fill=\"#555\"");
    placed.push_back(Canvas::text_box(px, py + 4, label, 10, "middle"));
  }
}

// VPLOT: an arrow from the origin to each point.
void draw_vectors(Canvas& canvas, const std::vector<PlotPoint>& points, const LoadingsFrame& f) {
  for (const PlotPoint& p : points) {
    const auto [px, py] = f.P(p.x, p.y);
    const double length = std::hypot(px, py);
    if (length < 1e-9) continue;
    const double ux = px / length, uy = py / length, head = std::min(9.0, length);
    canvas.line(0, 0, px - ux * head, py - uy * head,
                "class=\"vector\" stroke=\"#6a8fb0\" stroke-width=\"1.2\"");
    canvas.polygon({{px, py},
                    {px - ux * head - uy * 3.5, py - uy * head + ux * 3.5},
                    {px - ux * head + uy * 3.5, py - uy * head - ux * 3.5}},
                   "class=\"arrowhead\" fill=\"#6a8fb0\"");
  }
}

// Variables that load alike crowd together; their labels are tried beside
// the point first, then further out in rings (with a thin leader line back
// to the point), and when every spot is taken the one overlapping least.
void place_point_labels(Canvas& canvas, const std::vector<PlotPoint>& points,
                        const LoadingsFrame& f, std::vector<Box>& placed) {
  auto overlap = [&placed](const Box& b) {
    double area = 0;
    for (const Box& o : placed) {
      const double w = std::min(b.right, o.right) - std::max(b.left, o.left);
      const double h = std::min(b.bottom, o.bottom) - std::max(b.top, o.top);
      if (w > 0 && h > 0) area += w * h;
    }
    return area;
  };
  for (const PlotPoint& p : points) {
    if (p.label.empty()) continue;
    const auto [px, py] = f.P(p.x, p.y);
    struct Spot {
      double x, y;
      const char* anchor;
      bool far;
    };
    std::vector<Spot> spots = {{px + 6, py - 4, "start", false},  {px - 6, py - 4, "end", false},
                               {px, py - 9, "middle", false},     {px, py + 15, "middle", false},
                               {px + 6, py + 12, "start", false}, {px - 6, py + 12, "end", false}};
    for (double ring : {22.0, 38.0, 56.0})
      for (int k = 0; k < 8; ++k) {
        const double a = k * 3.141592653589793 / 4;
        const double dx = std::cos(a) * ring, dy = -std::sin(a) * ring;
        const char* anchor = dx > 1 ? "start" : dx < -1 ? "end" : "middle";
        spots.push_back({px + dx, py + dy + 4, anchor, true});
      }
    const Spot* chosen = nullptr;
    double least = 0;
    for (const Spot& spot : spots) {
      const double area = overlap(Canvas::text_box(spot.x, spot.y, p.label, 11, spot.anchor));
      if (!chosen || area < least) {
        chosen = &spot;
        least = area;
      }
      if (area == 0) break;
    }
    if (chosen->far)
      canvas.line(px, py, chosen->x, chosen->y - 4,
                  "class=\"leader\" stroke=\"#9a9a9a\" stroke-width=\"0.6\"");
    placed.push_back(Canvas::text_box(chosen->x, chosen->y, p.label, 11, chosen->anchor));
    canvas.text(chosen->x, chosen->y, p.label, 11, chosen->anchor, "class=\"point-label\"");
  }
}

// The points, then their labels placed where they cover no point and no
// label placed before.
void draw_points(Canvas& canvas, const std::vector<PlotPoint>& points, const LoadingsFrame& f,
                 std::vector<Box>& placed) {
  for (const PlotPoint& p : points) {
    const auto [px, py] = f.P(p.x, p.y);
    Box spot;
    spot.include(px - 4, py - 4);
    spot.include(px + 4, py + 4);
    placed.push_back(spot);
    canvas.circle(px, py, 3.8, "class=\"point\" fill=\"" + std::string(kBlue) + "\"",
                  p.label + ": " + svg::value_text(p.x) + ", " + svg::value_text(p.y));
  }
  place_point_labels(canvas, points, f, placed);
}

std::string draw_loadings(const Graph& graph) {
  const LoadingsKind what = loadings_kind(graph);
  const auto xvar = svg::dynamic_text(graph, "XVAR");
  const auto yvar = svg::dynamic_text(graph, "YVAR");
  std::vector<std::string> needed;
  if (xvar && !xvar->empty() && yvar && !yvar->empty()) needed = {*xvar, *yvar};
  const auto source = svg::find_source(graph, "Pattern", needed);
  if (!source.problem.empty()) return svg::message_svg(graph, what.failure(), {source.problem});
  const Table& t = *source.table;
  const PlottedColumns cols = plotted_columns(t, source, !needed.empty());
  if (cols.y < 0)
    return svg::message_svg(graph, what.failure(),
                            {"The table " + t.name +
                             " needs two numeric factor columns, and the graph names none in "
                             "XVAR and YVAR."});

  std::vector<PlotPoint> points;
  double extent = 1;
  for (const Row& r : t.rows) {
    const double x = svg::number_at(r, cols.x), y = svg::number_at(r, cols.y);
    if (is_missing(x) || is_missing(y) || !std::isfinite(x) || !std::isfinite(y)) continue;
    points.push_back({svg::text_at(r, cols.names), x, y});
    extent = std::max({extent, std::fabs(x), std::fabs(y)});
  }
  const double angle = axis_angle(graph);
  const bool oblique =
      svg::dynamic_number(graph, "Oblique").value_or(0) != 0 || std::fabs(angle - 90) > 1e-9;
  const double c = std::cos(angle * kPi / 180), s = std::sin(angle * kPi / 180);
  const std::vector<double> radii = circle_radii(graph);
  for (double r : radii) extent = std::max(extent, r);

  const Axis axis = svg::nice_axis(-extent, extent, 7);
  const double R = std::max(-axis.lo, axis.hi);
  // Pixels per loading unit: the larger span of the frame takes 440 pixels.
  const double span_x = 2 * R * (1 + std::fabs(c)), span_y = 2 * R * s;
  const LoadingsFrame frame{R, 440 / std::max(span_x, span_y), c, s, angle};

  Canvas canvas(accessible_title(graph, what.stage + what.kind + " Plot"));
  draw_frame(canvas, axis, frame);
  draw_axis_labels(canvas, graph, axis, frame, t, cols);
  // Everything a point label must keep clear of: the circle labels first.
  std::vector<Box> placed;
  draw_circles(canvas, graph, radii, frame, placed);
  if (svg::dynamic_number(graph, "VPLOT").value_or(0) == 1) draw_vectors(canvas, points, frame);
  draw_points(canvas, points, frame, placed);

  std::vector<std::string> heading = {what.stage + what.kind};
  if (oblique) {
    char buffer[120];
    std::snprintf(buffer, sizeof buffer, "Oblique axes %.1f degrees apart (correlation %.2f)",
                  angle, c);
    heading.push_back(buffer);
  }
  if (points.empty()) heading.push_back("No variable has non-missing values on both factors.");
  canvas.set_heading(heading);
  return canvas.finish();
}

// A drawer that turns any failure into a picture saying so.
GraphDrawer guarded(std::string what, std::string (*draw)(const Graph&)) {
  return [what = std::move(what), draw](const Graph& graph) -> std::string {
    try {
      return draw(graph);
    } catch (const std::exception& e) {
      return svg::message_svg(graph, "The " + what + " cannot be drawn",
                              {std::string("Drawing it failed: ") + e.what()});
    } catch (...) {
      return svg::message_svg(graph, "The " + what + " cannot be drawn", {"Drawing it failed."});
    }
  };
}

}  // namespace

void register_factor_graph_templates(GraphTemplateRegistry& graphs) {
  const std::string prefix = "Stat.Factor.Graphics.";
  graphs.add(prefix + "ScreePlot1", guarded("scree plot", draw_scree_alone));
  graphs.add(prefix + "ScreePlot2", guarded("scree plot", draw_scree_and_variance));
  graphs.add(prefix + "VariancePlot", guarded("variance plot", draw_variance));
  graphs.add(prefix + "MAPPlot", guarded("MAP plot", draw_map<6>));
  graphs.add(prefix + "MAP2Plot", guarded("MAP plot", draw_map<2>));
  graphs.add(prefix + "MAP4Plot", guarded("MAP plot", draw_map<4>));
  graphs.add(prefix + "ParallelPlot", guarded("parallel analysis plot", draw_parallel));
  for (const char* name : {"InitPatternPlot", "InitRefStructurePlot", "PrePatternPlot",
                           "PreRefStructurePlot", "PatternPlot", "RefStructurePlot"})
    graphs.add(prefix + name, guarded("loadings plot", draw_loadings));
  graphs.add(prefix + "PathDiagram", guarded("path diagram", draw_path_diagram));
}

}  // namespace kav
