#include "render/html.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "render/text_layout.h"

namespace kav {

namespace {

constexpr const char* kStyle = R"css(
:root { --ink: #1c2127; --muted: #5b6570; --rule: #d5dae0; --head: #eef1f4; --accent: #0a58a8; }
* { box-sizing: border-box; }
html { -webkit-text-size-adjust: 100%; }
body { margin: 0; color: var(--ink); background: #fff;
  font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
a { color: var(--accent); }
nav.contents { padding: 1rem 1.25rem; border-bottom: 1px solid var(--rule); background: #f8f9fa; }
nav.contents h2 { font-size: 1rem; margin: 0 0 .5rem; }
nav.contents ul { list-style: none; margin: 0; padding-left: 1rem; }
nav.contents > ul { padding-left: 0; }
nav.contents li { margin: .15rem 0; }
main { padding: 1rem 1.25rem 3rem; max-width: 100%; }
h1 { font-size: 1.4rem; margin: .5rem 0 1rem; }
section.step { margin-bottom: 2.5rem; }
section.step > h2 { font-size: 1.2rem; border-bottom: 2px solid var(--rule); padding-bottom: .25rem; }
.titles p { margin: .1rem 0; text-align: center; font-weight: 600; }
h3.by { font-size: 1.05rem; background: var(--head); padding: .3rem .6rem; border-left: 4px solid var(--accent); }
.group { font-weight: 600; margin: 1.25rem 0 .5rem; }
.output { margin: 1rem 0 1.5rem; }
.output .caption { margin: 0 0 .35rem; font-weight: 600; }
.scroll { overflow-x: auto; -webkit-overflow-scrolling: touch; max-width: 100%; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; }
th, td { padding: .25rem .65rem; border-bottom: 1px solid var(--rule); white-space: nowrap; }
thead th { background: var(--head); border-bottom: 2px solid #9aa3ad; vertical-align: bottom; text-align: left; }
th.num, td.num { text-align: right; }
tbody th { text-align: left; font-weight: 600; }
tr.stack th, tr.stack td { color: var(--muted); font-size: .88em; border-bottom-style: dotted; }
td.adjoins { padding-left: 0; }
td:has(+ td.adjoins) { padding-right: .1rem; }
td.marks { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace; white-space: pre; }
.summary, .footnote { margin: .3rem 0; font-size: .92em; color: var(--muted); }
pre.note { font: 13px/1.35 ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace; overflow-x: auto; margin: .75rem 0; }
figure.graph { margin: 1rem 0; }
figure.graph svg { max-width: 100%; height: auto; }
figure.graph figcaption { font-size: .92em; color: var(--muted); }
p.no-template { border: 1px dashed #999; padding: .6rem .8rem; background: #fffbe6; }
.step-footnotes p { text-align: center; font-size: .92em; color: var(--muted); }
@media (min-width: 62rem) {
  body { display: grid; grid-template-columns: 17rem minmax(0, 1fr); }
  nav.contents { position: sticky; top: 0; height: 100vh; overflow-y: auto; border-bottom: 0; border-right: 1px solid var(--rule); }
}
@media print {
  body { display: block; font-size: 10pt; }
  nav.contents { position: static; height: auto; border: 0; background: none; break-after: page; }
  nav.contents a { color: inherit; text-decoration: none; }
  .scroll { overflow: visible; }
  thead { display: table-header-group; }
  tr { break-inside: avoid; }
  h2, h3, .group, .caption { break-after: avoid; }
  figure.graph { break-inside: avoid; }
  a[href^="#"] { color: inherit; }
}
)css";

struct ContentsEntry {
  int depth;
  std::string text;
  std::string anchor;
};

class HtmlDestination : public OutputDestination {
 public:
  HtmlDestination(std::string path, std::ofstream file, const GraphTemplateRegistry& graphs)
      : path_(std::move(path)), file_(std::move(file)), graphs_(graphs) {}

  void begin_step(const StepInfo&) override {
    headed_ = false;
    by_group_ = 0;
    groups_.clear();
  }

  void add(const OutputObject& object, const StepInfo& step) override {
    // A table whose every column is hidden holds data for graphs only.
    if (const Table* t = object.table()) {
      bool visible = false;
      for (const Column& c : t->columns) visible = visible || !c.is_hidden();
      if (!visible) return;
    }
    if (!headed_) open_step(step);
    int depth = 1;
    if (object.by_group != by_group_) {
      by_group_ = object.by_group;
      groups_.clear();
      if (!object.by.empty()) {
        const std::string values = by_values_text(object.by, ", ");
        std::string anchor = next_anchor("by");
        body_ << "<h3 class=\"by\" id=\"" << anchor << "\">" << html_escape(values) << "</h3>\n";
        contents_.push_back({1, values, anchor});
      }
    }
    if (by_group_ != 0) ++depth;
    std::size_t same = 0;
    while (same < groups_.size() && same < object.groups.size() &&
           groups_[same].name == object.groups[same].name &&
           groups_[same].label == object.groups[same].label)
      ++same;
    for (std::size_t g = same; g < object.groups.size(); ++g) {
      const GroupLabel& group = object.groups[g];
      std::string text = group.label.empty() ? group.name : group.label;
      std::string anchor = next_anchor("g");
      body_ << "<p class=\"group\" id=\"" << anchor << "\">" << html_escape(text) << "</p>\n";
      contents_.push_back({depth + static_cast<int>(g), text, anchor});
    }
    groups_ = object.groups;
    depth += static_cast<int>(object.groups.size());

    std::string anchor = next_anchor("o");
    if (const Table* table = object.table()) {
      write_table(*table, anchor);
      contents_.push_back({depth, contents_text(*table), anchor});
    } else if (const Graph* graph = object.graph()) {
      write_graph(*graph, anchor);
      contents_.push_back({depth, graph->label.empty() ? graph->name : graph->label, anchor});
    } else if (const Note* note = object.note()) {
      body_ << "<pre class=\"note\" id=\"" << anchor << "\">";
      for (std::size_t i = 0; i < note->lines.size(); ++i)
        body_ << (i ? "\n" : "") << html_escape(note->lines[i]);
      body_ << "</pre>\n";
      if (!note->name.empty()) contents_.push_back({depth, note->name, anchor});
    }
  }

  void end_step(const StepInfo& step, const StepEnd&) override {
    if (!headed_) return;
    bool any = false;
    for (const std::string& f : step.footnotes) {
      if (f.empty()) continue;
      if (!any) body_ << "<div class=\"step-footnotes\">\n";
      any = true;
      body_ << "<p>" << html_escape(f) << "</p>\n";
    }
    if (any) body_ << "</div>\n";
    body_ << "</section>\n";
    headed_ = false;
  }

  std::string close() override {
    if (headed_) body_ << "</section>\n";
    headed_ = false;
    file_ << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
          << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
          << "<meta name=\"generator\" content=\"kav\">\n<title>kav results</title>\n<style>"
          << kStyle << "</style>\n</head>\n<body>\n";
    write_contents();
    file_ << "<main>\n<h1>kav results</h1>\n" << body_.str() << "</main>\n</body>\n</html>\n";
    file_.close();
    if (!file_) return "The HTML file " + path_ + " could not be written completely.";
    return {};
  }

 private:
  std::string next_anchor(const char* prefix) { return prefix + std::to_string(++anchors_); }

  void open_step(const StepInfo& step) {
    headed_ = true;
    std::string heading = step.label;
    if (heading.empty())
      heading = step.procedure.empty() ? "Output" : "The " + step.procedure + " step";
    std::string anchor = next_anchor("step");
    body_ << "<section class=\"step\" id=\"" << anchor << "\">\n<h2>" << html_escape(heading);
    if (step.line > 0) body_ << " <small>(line " << step.line << ")</small>";
    body_ << "</h2>\n";
    bool any = false;
    for (const std::string& t : step.titles) {
      if (t.empty()) continue;
      if (!any) body_ << "<div class=\"titles\">\n";
      any = true;
      body_ << "<p>" << html_escape(t) << "</p>\n";
    }
    if (any) body_ << "</div>\n";
    contents_.push_back({0, heading, anchor});
  }

  // A table's entry in the contents: its label, unless the label is no more
  // than the table's name (an identifier such as "ParCorrControlVar"); then
  // the title says it in words, up to the values it reports after ": ".
  static std::string contents_text(const Table& table) {
    if (!table.label.empty() && table.label != table.name) return table.label;
    if (!table.title.empty() && !table.title.front().empty()) {
      const std::string& title = table.title.front();
      return title.substr(0, title.find(": "));
    }
    return table.label.empty() ? table.name : table.label;
  }

  void write_table(const Table& table, const std::string& anchor) {
    body_ << "<div class=\"output table\" id=\"" << anchor << "\">\n";
    for (const std::string& t : table.title)
      body_ << "<p class=\"caption\">" << html_escape(t) << "</p>\n";
    std::vector<std::size_t> shown;
    for (std::size_t k = 0; k < table.columns.size(); ++k)
      if (!table.columns[k].is_hidden()) shown.push_back(k);
    body_ << "<div class=\"scroll\"><table>\n";
    if (table.title.empty() && !table.label.empty())
      body_ << "<caption class=\"caption\">" << html_escape(table.label) << "</caption>\n";
    // A table whose columns all go without headers (one value per variable,
    // described by its title) gets no empty header bar.
    bool any_header = false;
    for (std::size_t k : shown) any_header = any_header || !table.columns[k].header_text().empty();
    if (any_header) {
      body_ << "<thead><tr>";
      for (std::size_t k : shown) {
        const Column& c = table.columns[k];
        body_ << "<th scope=\"col\"" << (c.is_numeric() ? " class=\"num\"" : "") << ">"
              << html_escape(c.header_text()) << "</th>";
      }
      body_ << "</tr></thead>\n";
    }
    body_ << "<tbody>\n";
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
      const Row& row = table.rows[r];
      body_ << "<tr>";
      for (std::size_t n = 0; n < shown.size(); ++n) {
        std::size_t k = shown[n];
        const Column& c = table.columns[k];
        std::string text = k < row.size() ? cell_text(row[k], c) : "";
        bool label_cell = n == 0 && table.row_labels_first;
        write_cell(label_cell, c.is_numeric(), text, n > 0 && c.adjoins);
      }
      body_ << "</tr>\n";
      for (const Stack& stack : table.stacks) {
        if (r >= stack.rows.size()) continue;
        body_ << "<tr class=\"stack\">";
        for (std::size_t k : shown) {
          if (k == 0 && table.row_labels_first) {
            write_cell(true, false, stack.name);
            continue;
          }
          const Cell* cell = table.stack_cell(stack, r, k);
          std::string text = cell ? cell_text(*cell, table.columns[k]) : "";
          if (cell && std::holds_alternative<std::string>(*cell)) {
            // Marks such as " 0[]" place 0 and the target by their position
            // in the text, so they keep their blanks and a fixed pitch.
            body_ << "<td class=\"num marks\">" << html_escape(text) << "</td>";
            continue;
          }
          write_cell(false, true, text);
        }
        body_ << "</tr>\n";
      }
    }
    body_ << "</tbody>\n</table></div>\n";
    for (const std::string& s : table.summary)
      body_ << "<p class=\"summary\">" << html_escape(s) << "</p>\n";
    for (const std::string& f : table.footnotes)
      body_ << "<p class=\"footnote\">" << html_escape(f) << "</p>\n";
    body_ << "</div>\n";
  }

  // An adjoining cell (a flag mark) sits against the value before it.
  void write_cell(bool header, bool numeric, const std::string& text, bool adjoins = false) {
    const char* tag = header ? "th" : "td";
    const char* css = numeric ? (adjoins ? " class=\"num adjoins\"" : " class=\"num\"")
                              : (adjoins ? " class=\"adjoins\"" : "");
    body_ << "<" << tag << (header ? " scope=\"row\"" : "") << css << ">" << html_escape(text)
          << "</" << tag << ">";
  }

  void write_graph(const Graph& graph, const std::string& anchor) {
    body_ << "<figure class=\"output graph\" id=\"" << anchor << "\">\n";
    if (graphs_.find(graph.template_path)) {
      body_ << graph_svg(graph, graphs_) << "\n";
    } else {
      body_ << "<p class=\"no-template\">" << html_escape(missing_graph_text(graph)) << "</p>\n";
    }
    body_ << "<figcaption>" << html_escape(graph.label.empty() ? graph.name : graph.label)
          << "</figcaption>\n</figure>\n";
  }

  // Nested lists from the flat entries and their depths.
  void write_contents() {
    file_ << "<nav class=\"contents\" aria-label=\"Contents\">\n<h2>Contents</h2>\n";
    if (contents_.empty()) {
      file_ << "<p>No output.</p>\n</nav>\n";
      return;
    }
    int open = 0;  // lists open
    int current = -1;
    for (const ContentsEntry& e : contents_) {
      int depth = std::min(e.depth, current + 1);
      if (depth > current) {
        file_ << "\n<ul>";
        ++open;
      } else {
        file_ << "</li>";
        for (int d = current; d > depth; --d) {
          file_ << "</ul></li>";
          --open;
        }
      }
      file_ << "\n<li><a href=\"#" << e.anchor << "\">" << html_escape(e.text) << "</a>";
      current = depth;
    }
    file_ << "</li>";
    for (; open > 1; --open) file_ << "</ul></li>";
    file_ << "</ul>\n</nav>\n";
  }

  std::string path_;
  std::ofstream file_;
  const GraphTemplateRegistry& graphs_;
  std::ostringstream body_;
  std::vector<ContentsEntry> contents_;
  int anchors_ = 0;
  bool headed_ = false;
  int by_group_ = 0;
  std::vector<GroupLabel> groups_;
};

}  // namespace

std::unique_ptr<OutputDestination> make_html_destination(const std::string& path,
                                                         const GraphTemplateRegistry& graphs,
                                                         std::string& error) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    error =
        "The HTML file " + path + " could not be opened for writing: " + std::strerror(errno) + ".";
    return nullptr;
  }
  return std::make_unique<HtmlDestination>(path, std::move(file), graphs);
}

}  // namespace kav
