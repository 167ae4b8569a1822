#include "render/listing.h"

#include <algorithm>

#include "render/text_layout.h"

namespace kav {

namespace {

constexpr int kColumnGap = 3;

// One shown column: its header lines and its cell texts (rows, then for each
// row the stacked values).
struct LaidColumn {
  bool numeric = true;
  bool adjoins = false;  // no gap before it
  int width = 0;
  std::vector<std::string> header;
  int gap() const { return adjoins ? 0 : kColumnGap; }
};

std::string align(const std::string& text, int width, bool right) {
  int room = width - display_length(text);
  if (room <= 0) return text;
  return right ? spaces(room) + text : text + spaces(room);
}

std::string trim_right(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

bool has_visible_column(const Table& table) {
  for (const Column& c : table.columns)
    if (!c.is_hidden()) return true;
  return false;
}

// The text of every shown cell, row by row; stacked values follow their row.
using TextRow = std::vector<std::string>;

std::vector<TextRow> text_rows(const Table& table, const std::vector<std::size_t>& shown) {
  std::vector<TextRow> rows;
  for (std::size_t r = 0; r < table.rows.size(); ++r) {
    const Row& row = table.rows[r];
    TextRow tr;
    for (std::size_t k : shown)
      tr.push_back(k < row.size() ? cell_text(row[k], table.columns[k]) : "");
    rows.push_back(std::move(tr));
    // Each stacked value (a number, or a text such as a coverage display)
    // sits under its estimate in that column's format and alignment.
    for (const Stack& stack : table.stacks) {
      if (r >= stack.rows.size()) continue;
      TextRow sr;
      for (std::size_t k : shown) {
        if (k == 0 && table.row_labels_first) {
          sr.push_back("  " + stack.name);
        } else {
          const Cell* cell = table.stack_cell(stack, r, k);
          sr.push_back(cell ? cell_text(*cell, table.columns[k]) : "");
        }
      }
      rows.push_back(std::move(sr));
    }
  }
  return rows;
}

// Each shown column's width, alignment and header lines.  A header may widen
// its column a little; a long one wraps over lines.
std::vector<LaidColumn> lay_out_columns(const Table& table, const std::vector<std::size_t>& shown,
                                        const std::vector<TextRow>& rows) {
  std::vector<LaidColumn> laid(shown.size());
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const Column& c = table.columns[shown[i]];
    LaidColumn& lc = laid[i];
    lc.numeric = c.is_numeric();
    lc.adjoins = i > 0 && c.adjoins;
    int data_width = 0;
    for (const TextRow& tr : rows) data_width = std::max(data_width, display_length(tr[i]));
    const std::string& header = c.header_text();
    int header_width = display_length(header);
    int width = std::max(data_width, longest_word(header));
    if (header_width <= std::max(width, 12)) width = std::max(width, header_width);
    lc.width = std::max(width, 1);
    if (!header.empty()) lc.header = wrap_words(header, lc.width);
    for (const std::string& h : lc.header) lc.width = std::max(lc.width, display_length(h));
  }
  return laid;
}

// The columns of each panel, when the table is wider than the line: the
// row-label column (the first shown one) starts each panel, and a column
// and those adjoining it stay in one panel.
using Panel = std::vector<std::size_t>;

std::vector<Panel> panels_of(const std::vector<LaidColumn>& laid, int line_size) {
  std::vector<Panel> panels;
  int total = 0;
  for (std::size_t i = 0; i < laid.size(); ++i) total += laid[i].width + (i ? laid[i].gap() : 0);
  if (total <= line_size || laid.size() <= 2) {
    Panel all(laid.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    panels.push_back(all);
    return panels;
  }
  Panel panel{0};
  int width = laid[0].width;
  for (std::size_t i = 1; i < laid.size(); ++i) {
    int block = laid[i].gap() + laid[i].width;
    for (std::size_t a = i + 1; a < laid.size() && laid[a].adjoins; ++a) block += laid[a].width;
    if (!laid[i].adjoins && panel.size() > 1 && width + block > line_size) {
      panels.push_back(panel);
      panel = {0};
      width = laid[0].width;
    }
    panel.push_back(i);
    width += laid[i].gap() + laid[i].width;
  }
  panels.push_back(panel);
  return panels;
}

// The indent that centres the widest panel on the line.
int panel_indent(const std::vector<LaidColumn>& laid, const std::vector<Panel>& panels,
                 int line_size) {
  int widest = 0;
  for (const auto& panel : panels) {
    int width = 0;
    for (std::size_t n = 0; n < panel.size(); ++n)
      width += laid[panel[n]].width + (n ? laid[panel[n]].gap() : 0);
    widest = std::max(widest, width);
  }
  return std::max(0, (line_size - widest) / 2);
}

// One panel: its headers on the bottom lines, next to the first row, then
// the rows.
void append_panel(std::vector<std::string>& lines, const Panel& panel,
                  const std::vector<LaidColumn>& laid, const std::vector<TextRow>& rows,
                  int indent) {
  std::size_t header_lines = 0;
  for (std::size_t i : panel) header_lines = std::max(header_lines, laid[i].header.size());
  for (std::size_t h = 0; h < header_lines; ++h) {
    std::string line = spaces(indent);
    for (std::size_t n = 0; n < panel.size(); ++n) {
      const LaidColumn& lc = laid[panel[n]];
      std::size_t skip = header_lines - lc.header.size();
      std::string text = h >= skip ? lc.header[h - skip] : "";
      if (n) line += spaces(lc.gap());
      line += align(text, lc.width, lc.numeric);
    }
    lines.push_back(trim_right(line));
  }
  if (header_lines > 0) lines.emplace_back();
  for (const TextRow& tr : rows) {
    std::string line = spaces(indent);
    for (std::size_t n = 0; n < panel.size(); ++n) {
      const LaidColumn& lc = laid[panel[n]];
      if (n) line += spaces(lc.gap());
      line += align(tr[panel[n]], lc.width, lc.numeric);
    }
    lines.push_back(trim_right(line));
  }
}

// Summaries and footnotes start under the table's left edge and wrap at
// the end of the line rather than run past it; a narrow table deep in the
// line gives them the whole line.
void append_notes(std::vector<std::string>& lines, const Table& table, int line_size, int indent) {
  if (!table.summary.empty() || !table.footnotes.empty()) lines.emplace_back();
  constexpr int kLeastRoom = 40;
  const int start = line_size - indent >= kLeastRoom ? indent : 0;
  for (const auto* texts : {&table.summary, &table.footnotes})
    for (const std::string& text : *texts)
      for (const std::string& part : wrap_words(text, std::max(1, line_size - start)))
        lines.push_back(spaces(start) + part);
}

}  // namespace

std::vector<std::string> listing_table_lines(const Table& table, int line_size) {
  std::vector<std::size_t> shown;
  for (std::size_t k = 0; k < table.columns.size(); ++k)
    if (!table.columns[k].is_hidden()) shown.push_back(k);
  const std::vector<TextRow> rows = text_rows(table, shown);
  const std::vector<LaidColumn> laid = lay_out_columns(table, shown, rows);
  const std::vector<Panel> panels = panels_of(laid, line_size);
  const int indent = panel_indent(laid, panels, line_size);

  std::vector<std::string> lines;
  for (const std::string& t : table.title) lines.push_back(centred(t, line_size));
  if (!table.title.empty()) lines.emplace_back();
  for (std::size_t p = 0; p < panels.size(); ++p) {
    if (p > 0) lines.emplace_back();
    append_panel(lines, panels[p], laid, rows, indent);
  }
  append_notes(lines, table, line_size, indent);
  return lines;
}

namespace {

class ListingDestination : public OutputDestination {
 public:
  explicit ListingDestination(std::ostream& out) : out_(out) {}

  void begin_step(const StepInfo&) override {
    headed_ = false;
    by_group_ = 0;
    groups_.clear();
  }

  void add(const OutputObject& object, const StepInfo& step) override {
    if (object.kind() == ObjectKind::Graph) return;
    // A table whose every column is hidden holds data for graphs only.
    if (const Table* t = object.table(); t && !has_visible_column(*t)) return;
    const int ls = step.line_size;
    if (!headed_) {
      headed_ = true;
      if (printed_anything_) out_ << '\n';
      bool any = false;
      for (const std::string& t : step.titles) {
        if (t.empty()) continue;
        out_ << centred(t, ls) << '\n';
        any = true;
      }
      if (any) out_ << '\n';
      if (!step.label.empty()) out_ << centred(step.label, ls) << "\n\n";
    }
    if (object.by_group != by_group_) {
      by_group_ = object.by_group;
      groups_.clear();
      if (!object.by.empty()) {
        const std::string values = by_values_text(object.by, " ");
        out_ << by_rule(values, ls) << "\n\n";
      }
    }
    // Labels of the groups entered since the previous object.
    std::size_t same = 0;
    while (same < groups_.size() && same < object.groups.size() &&
           groups_[same].name == object.groups[same].name &&
           groups_[same].label == object.groups[same].label)
      ++same;
    for (std::size_t g = same; g < object.groups.size(); ++g)
      if (!object.groups[g].label.empty()) out_ << centred(object.groups[g].label, ls) << "\n\n";
    groups_ = object.groups;

    if (const Table* table = object.table()) {
      for (const std::string& line : listing_table_lines(*table, ls)) out_ << line << '\n';
    } else if (const Note* note = object.note()) {
      int longest = 0;
      for (const std::string& line : note->lines) longest = std::max(longest, display_length(line));
      const int indent = std::max(0, (ls - longest) / 2);
      for (const std::string& line : note->lines)
        out_ << (line.empty() ? line : spaces(indent) + line) << '\n';
    }
    out_ << '\n';
    printed_anything_ = true;
  }

  void end_step(const StepInfo& step, const StepEnd&) override {
    if (!headed_) return;
    bool any = false;
    for (const std::string& f : step.footnotes) {
      if (f.empty()) continue;
      out_ << centred(f, step.line_size) << '\n';
      any = true;
    }
    if (any) out_ << '\n';
    out_.flush();
  }

  std::string close() override {
    out_.flush();
    return out_ ? std::string() : "The listing could not be written.";
  }

  std::string take_error() override {
    if (out_ || reported_) return {};
    reported_ = true;
    return "The listing could not be written.";
  }

 private:
  // "------------ region=north ------------", as wide as the line.
  static std::string by_rule(const std::string& values, int ls) {
    int room = ls - display_length(values) - 2;
    if (room < 6) return values;
    return std::string(static_cast<std::size_t>(room / 2), '-') + " " + values + " " +
           std::string(static_cast<std::size_t>(room - room / 2), '-');
  }

  std::ostream& out_;
  bool headed_ = false;
  bool printed_anything_ = false;
  bool reported_ = false;
  int by_group_ = 0;
  std::vector<GroupLabel> groups_;
};

}  // namespace

std::unique_ptr<OutputDestination> make_listing_destination(std::ostream& out) {
  return std::make_unique<ListingDestination>(out);
}

}  // namespace kav
