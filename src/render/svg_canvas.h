// Building blocks of the SVG graph templates: a canvas that grows to hold
// everything drawn on it (so no text is ever clipped), round-number axes,
// fixed number formatting, and the look-up of the tables and values a graph
// is drawn from.
//
// Text extents are estimated from the character count at a generous average
// width for a sans-serif face; the canvas uses the estimates to size itself.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/output.h"

namespace kav::svg {

// A coordinate or length as written into the SVG: at most two decimals,
// trailing zeros dropped, never "-0".  Fixed so output can be compared.
std::string num(double v);
// A value shown to a reader (tooltips): up to `digits` significant digits.
std::string value_text(double v, int digits = 4);
// Text safe in XML content and attributes; control characters XML does not
// allow are dropped.
std::string escape(std::string_view text);
// Estimated width in pixels of a line of text at the given font size.
double text_width(std::string_view text, double font_size);

// ---------------------------------------------------------------------------
// Axes

struct Axis {
  double lo = 0, hi = 1;      // the range shown
  std::vector<double> ticks;  // round numbers within the range
  int decimals = 0;           // for the tick labels
  std::string label(double v) const;
};

// An axis over [lo, hi] extended to ticks at 1, 2 or 5 times a power of ten,
// about `target` of them.  A zero-width range is widened around its value.
Axis nice_axis(double lo, double hi, int target = 6);
// An axis of whole numbers lo..hi (ranks, counts) with half a unit of room
// on either side and ticks at whole multiples of a round step.
Axis count_axis(double lo, double hi, int target = 10);

// ---------------------------------------------------------------------------
// The canvas

struct Box {
  double left = 0, top = 0, right = 0, bottom = 0;
  bool empty = true;
  void include(double x, double y);
  void include(const Box& other);
  double width() const { return right - left; }
  double height() const { return bottom - top; }
};

class Canvas {
 public:
  // `accessible_title` becomes the <title> element and the aria-label.
  explicit Canvas(std::string accessible_title);

  // Keeps the area inside the picture (the design size of a graph).
  void reserve(double left, double top, double right, double bottom);
  // Appends an element written by the caller whose extent is `extent`.
  void raw(const std::string& element, const Box& extent);
  void line(double x1, double y1, double x2, double y2, const std::string& attributes);
  void rect(double x, double y, double w, double h, const std::string& attributes);
  void circle(double cx, double cy, double r, const std::string& attributes,
              const std::string& tooltip = {});
  void polygon(const std::vector<std::pair<double, double>>& points, const std::string& attributes);
  // A path whose extent the caller states (curves bulge beyond their ends).
  void path(const std::string& d, const Box& extent, const std::string& attributes);
  // One line of text; `anchor` is start, middle or end; `rotate` in degrees
  // (clockwise, about the anchor point).
  void text(double x, double y, std::string_view content, double size,
            const std::string& anchor = "start", const std::string& attributes = {},
            double rotate = 0);
  // Estimated extent of a text placed as `text` would place it.
  static Box text_box(double x, double y, std::string_view content, double size,
                      const std::string& anchor, double rotate = 0);

  // Lines of heading centred above everything drawn so far: the first
  // `title_lines` in a large bold face, the rest smaller.
  void set_heading(std::vector<std::string> lines, std::size_t title_lines = 1) {
    heading_ = std::move(lines);
    title_lines_ = title_lines;
  }
  // The complete <svg> element.
  std::string finish() const;

 private:
  std::string title_;
  std::vector<std::string> heading_;
  std::size_t title_lines_ = 1;
  std::string body_;
  Box extent_;
};

// ---------------------------------------------------------------------------
// What a graph is drawn from

// Index of the column of that name (any case), or -1.
int column_index(const Table& table, std::string_view name);
// The number in a cell; NaN for a missing value, a text, or no such column.
double number_at(const Row& row, int column);
// The text of a cell with blanks trimmed; numbers in general form; "" when absent.
std::string text_at(const Row& row, int column);

std::optional<double> dynamic_number(const Graph& graph, std::string_view name);
std::optional<std::string> dynamic_text(const Graph& graph, std::string_view name);

// A linked table and the columns a graph needs from it.
struct Source {
  const Table* table = nullptr;
  std::vector<int> columns;  // index of each needed column, -1 when absent
  std::string problem;       // why the graph cannot be drawn from it; "" when it can
  int column(std::size_t k) const { return columns[k]; }
};

// Finds the linked table of that name (any case); failing that, a linked
// table that has every needed column.  `problem` names what is missing.
Source find_source(const Graph& graph, std::string_view table_name,
                   const std::vector<std::string>& needed);

// A complete SVG saying that the graph cannot be drawn and why.
std::string message_svg(const Graph& graph, const std::string& heading,
                        const std::vector<std::string>& lines);

}  // namespace kav::svg
