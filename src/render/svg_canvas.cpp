#include "render/svg_canvas.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host/dataset.h"
#include "host/value.h"
#include "render/text_layout.h"

namespace kav::svg {

namespace {

std::string trimmed(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(" \t");
  return std::string(s.substr(first, last - first + 1));
}

// The largest round step (1, 2 or 5 times a power of ten) no smaller than `raw`.
double round_step(double raw) {
  if (!(raw > 0) || !std::isfinite(raw)) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  const double fraction = raw / power;
  const double nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
  return nice * power;
}

int decimals_for(double step) {
  if (!(step > 0)) return 0;
  int d = 0;
  // Steps are 1, 2 or 5 times a power of ten, so a power below 1 fixes the decimals.
  while (d < 10 && std::fabs(step * std::pow(10.0, d) - std::round(step * std::pow(10.0, d))) >
                       1e-6 * step * std::pow(10.0, d))
    ++d;
  return d;
}

}  // namespace

std::string num(double v) {
  if (!std::isfinite(v)) return "0";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", v);
  std::string s = buffer;
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

std::string value_text(double v, int digits) {
  if (is_missing(v)) return missing_text(v);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*g", digits, v);
  std::string s = buffer;
  if (s == "-0") s = "0";
  return s;
}

std::string escape(std::string_view text) {
  // XML allows most control characters in no form; html_escape makes the
  // rest valid UTF-8.
  std::string clean;
  clean.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 || u == '\t' || u == '\n' || u == '\r') clean += c;
  }
  return html_escape(clean);
}

double text_width(std::string_view text, double font_size) {
  // 0.62 em covers the digits and most letters of common sans-serif faces;
  // overestimating only costs a little space, underestimating clips text.
  return display_length(text) * font_size * 0.62;
}

// ---------------------------------------------------------------------------
// Axes

std::string Axis::label(double v) const {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
  std::string s = buffer;
  if (s.find_first_not_of("-0.") == std::string::npos) s = s.substr(s[0] == '-' ? 1 : 0);
  return s;
}

Axis nice_axis(double lo, double hi, int target) {
  Axis axis;
  if (!std::isfinite(lo) || !std::isfinite(hi)) lo = 0, hi = 1;
  if (lo > hi) std::swap(lo, hi);
  if (hi - lo < 1e-12 * std::max(1.0, std::fabs(hi))) {
    const double pad = lo == 0 ? 1 : std::fabs(lo) * 0.5;
    lo -= pad;
    hi += pad;
  }
  const double step = round_step((hi - lo) / std::max(target - 1, 1));
  axis.lo = std::floor(lo / step + 1e-9) * step;
  axis.hi = std::ceil(hi / step - 1e-9) * step;
  axis.decimals = decimals_for(step);
  const int count = static_cast<int>(std::llround((axis.hi - axis.lo) / step));
  for (int k = 0; k <= count; ++k) {
    double t = axis.lo + k * step;
    if (std::fabs(t) < step * 1e-9) t = 0;
    axis.ticks.push_back(t);
  }
  return axis;
}

Axis count_axis(double lo, double hi, int target) {
  Axis axis;
  if (!std::isfinite(lo) || !std::isfinite(hi)) lo = 1, hi = 1;
  if (lo > hi) std::swap(lo, hi);
  lo = std::floor(lo);
  hi = std::ceil(hi);
  axis.lo = lo - 0.5;
  axis.hi = hi + 0.5;
  const double step = std::max(1.0, round_step((hi - lo) / std::max(target - 1, 1)));
  for (double t = std::ceil(lo / step) * step; t <= hi + 1e-9; t += step) axis.ticks.push_back(t);
  return axis;
}

// ---------------------------------------------------------------------------
// The canvas

void Box::include(double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  if (empty) {
    left = right = x;
    top = bottom = y;
    empty = false;
    return;
  }
  left = std::min(left, x);
  right = std::max(right, x);
  top = std::min(top, y);
  bottom = std::max(bottom, y);
}

void Box::include(const Box& other) {
  if (other.empty) return;
  include(other.left, other.top);
  include(other.right, other.bottom);
}

Canvas::Canvas(std::string accessible_title) : title_(std::move(accessible_title)) {}

void Canvas::reserve(double left, double top, double right, double bottom) {
  extent_.include(left, top);
  extent_.include(right, bottom);
}

void Canvas::raw(const std::string& element, const Box& extent) {
  body_ += element;
  body_ += '\n';
  extent_.include(extent);
}

void Canvas::line(double x1, double y1, double x2, double y2, const std::string& attributes) {
  Box b;
  b.include(x1, y1);
  b.include(x2, y2);
  raw("<line " + attributes + " x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) +
          "\" y2=\"" + num(y2) + "\"/>",
      b);
}

void Canvas::rect(double x, double y, double w, double h, const std::string& attributes) {
  Box b;
  b.include(x, y);
  b.include(x + w, y + h);
  raw("<rect " + attributes + " x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) +
          "\" height=\"" + num(h) + "\"/>",
      b);
}

void Canvas::circle(double cx, double cy, double r, const std::string& attributes,
                    const std::string& tooltip) {
  Box b;
  b.include(cx - r, cy - r);
  b.include(cx + r, cy + r);
  std::string element = "<circle " + attributes + " cx=\"" + num(cx) + "\" cy=\"" + num(cy) +
                        "\" r=\"" + num(r) + "\"";
  element += tooltip.empty() ? "/>" : "><title>" + escape(tooltip) + "</title></circle>";
  raw(element, b);
}

void Canvas::polygon(const std::vector<std::pair<double, double>>& points,
                     const std::string& attributes) {
  Box b;
  std::string list;
  for (const auto& [x, y] : points) {
    if (!list.empty()) list += ' ';
    list += num(x) + "," + num(y);
    b.include(x, y);
  }
  raw("<polygon " + attributes + " points=\"" + list + "\"/>", b);
}

void Canvas::path(const std::string& d, const Box& extent, const std::string& attributes) {
  raw("<path " + attributes + " d=\"" + d + "\"/>", extent);
}

Box Canvas::text_box(double x, double y, std::string_view content, double size,
                     const std::string& anchor, double rotate) {
  const double w = text_width(content, size);
  const double start = anchor == "middle" ? -w / 2 : anchor == "end" ? -w : 0;
  // Corners relative to the anchor point before rotation: ascent above, descent below.
  const double corners[4][2] = {{start, -0.8 * size},
                                {start + w, -0.8 * size},
                                {start, 0.25 * size},
                                {start + w, 0.25 * size}};
  const double a = rotate * 3.141592653589793 / 180;
  Box b;
  for (const auto& c : corners)
    b.include(x + c[0] * std::cos(a) - c[1] * std::sin(a),
              y + c[0] * std::sin(a) + c[1] * std::cos(a));
  return b;
}

void Canvas::text(double x, double y, std::string_view content, double size,
                  const std::string& anchor, const std::string& attributes, double rotate) {
  std::string element =
      "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" font-size=\"" + num(size) + "\"";
  if (anchor != "start") element += " text-anchor=\"" + anchor + "\"";
  if (rotate != 0)
    element += " transform=\"rotate(" + num(rotate) + " " + num(x) + " " + num(y) + ")\"";
  if (!attributes.empty()) element.append(" ").append(attributes);
  element.append(">").append(escape(content)).append("</text>");
  raw(element, text_box(x, y, content, size, anchor, rotate));
}

std::string Canvas::finish() const {
  Box content = extent_;
  if (content.empty) content.include(0, 0), content.include(320, 60);
  // The heading sits above the content, centred on it.
  const double heading_size = 16, heading_pitch = 21;
  std::string heading;
  Box all = content;
  if (!heading_.empty()) {
    const double centre = (content.left + content.right) / 2;
    double y = content.top - 10 - heading_pitch * (heading_.size() - 1) - 4;
    for (std::size_t i = 0; i < heading_.size(); ++i, y += heading_pitch) {
      const bool main = i < title_lines_;
      const double size = main ? heading_size : 13;
      heading += "<text class=\"heading\" x=\"" + num(centre) + "\" y=\"" + num(y) +
                 "\" font-size=\"" + num(size) + "\" text-anchor=\"middle\"" +
                 (main ? " font-weight=\"bold\"" : "") + ">" + escape(heading_[i]) + "</text>\n";
      all.include(text_box(centre, y, heading_[i], size, "middle"));
    }
  }
  const double pad = 8;
  const double x = std::floor(all.left - pad), y = std::floor(all.top - pad);
  const double w = std::ceil(all.right + pad) - x, h = std::ceil(all.bottom + pad) - y;
  const std::string title = escape(title_);
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(w) + "\" height=\"" +
                    num(h) + "\" viewBox=\"" + num(x) + " " + num(y) + " " + num(w) + " " + num(h) +
                    "\" role=\"img\" aria-label=\"" + title +
                    "\" font-family=\"sans-serif\" fill=\"#222\">\n";
  out += "<title>" + title + "</title>\n";
  out += "<rect class=\"background\" x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) +
         "\" height=\"" + num(h) + "\" fill=\"#fff\"/>\n";
  out += heading;
  out += body_;
  out += "</svg>";
  return out;
}

// ---------------------------------------------------------------------------
// What a graph is drawn from

int column_index(const Table& table, std::string_view name) {
  for (std::size_t i = 0; i < table.columns.size(); ++i)
    if (same_name(table.columns[i].name, name)) return static_cast<int>(i);
  return -1;
}

double number_at(const Row& row, int column) {
  if (column < 0 || static_cast<std::size_t>(column) >= row.size()) return missing_value();
  if (const double* v = std::get_if<double>(&row[column])) return *v;
  return missing_value();
}

std::string text_at(const Row& row, int column) {
  if (column < 0 || static_cast<std::size_t>(column) >= row.size()) return {};
  if (const std::string* s = std::get_if<std::string>(&row[column])) return trimmed(*s);
  const double v = std::get<double>(row[column]);
  return is_missing(v) ? std::string() : value_text(v, 8);
}

std::optional<double> dynamic_number(const Graph& graph, std::string_view name) {
  for (const Dynamic& d : graph.dynamics) {
    if (!same_name(d.name, name)) continue;
    if (const double* v = std::get_if<double>(&d.value)) {
      if (is_missing(*v)) return std::nullopt;
      return *v;
    }
    const std::string text = trimmed(std::get<std::string>(d.value));
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || !std::isfinite(v)) return std::nullopt;
    return v;
  }
  return std::nullopt;
}

std::optional<std::string> dynamic_text(const Graph& graph, std::string_view name) {
  for (const Dynamic& d : graph.dynamics) {
    if (!same_name(d.name, name)) continue;
    if (const std::string* s = std::get_if<std::string>(&d.value)) return trimmed(*s);
    const double v = std::get<double>(d.value);
    if (is_missing(v)) return std::nullopt;
    return value_text(v, 8);
  }
  return std::nullopt;
}

Source find_source(const Graph& graph, std::string_view table_name,
                   const std::vector<std::string>& needed) {
  Source source;
  for (const auto& t : graph.tables)
    if (t && same_name(t->name, table_name)) source.table = t.get();
  if (!source.table) {
    for (const auto& t : graph.tables) {
      if (!t) continue;
      bool all = true;
      for (const std::string& name : needed) all = all && column_index(*t, name) >= 0;
      if (all) source.table = t.get();
    }
  }
  source.columns.assign(needed.size(), -1);
  if (!source.table) {
    source.problem = "The table " + std::string(table_name) +
                     " that this graph is drawn from was not linked to it.";
    return source;
  }
  std::vector<std::string> absent;
  for (std::size_t k = 0; k < needed.size(); ++k) {
    source.columns[k] = column_index(*source.table, needed[k]);
    if (source.columns[k] < 0) absent.push_back(needed[k]);
  }
  if (!absent.empty()) {
    std::string list;
    for (std::size_t k = 0; k < absent.size(); ++k)
      list += (k == 0 ? "" : k + 1 == absent.size() ? " and " : ", ") + absent[k];
    source.problem = "The table " + source.table->name + " has no column" +
                     (absent.size() > 1 ? "s " : " ") + list + ".";
  }
  return source;
}

std::string message_svg(const Graph& graph, const std::string& heading,
                        const std::vector<std::string>& lines) {
  const std::string name = graph.label.empty() ? graph.name : graph.label;
  Canvas canvas(heading + (name.empty() ? std::string() : ": " + name));
  const double width = 560;
  canvas.reserve(0, 0, width, 0);
  double y = 24;
  canvas.text(width / 2, y, heading, 15, "middle", "class=\"message\" font-weight=\"bold\"");
  for (const std::string& line : lines) {
    for (const std::string& part : wrap_words(line, 70)) {
      y += 20;
      canvas.text(width / 2, y, part, 13, "middle", "class=\"message\"");
    }
  }
  canvas.rect(0.5, 0.5, width - 1, y + 16, "class=\"frame\" fill=\"none\" stroke=\"#999\"");
  return canvas.finish();
}

}  // namespace kav::svg
