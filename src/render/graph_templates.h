// Graph templates: template path -> the routine that draws the graph as SVG.
//
// Graph routines are registered by whoever provides them (the procedure's
// graph templates) on a registry the program owns; the HTML destination and
// the graphics folder draw through it.  A graph whose path has no routine is
// shown as a plain statement that it cannot be drawn yet, never as an empty box.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "host/output.h"

namespace kav {

// Returns one complete <svg> element drawing the graph.
using GraphDrawer = std::function<std::string(const Graph& graph)>;

class GraphTemplateRegistry {
 public:
  void add(const std::string& path, GraphDrawer drawer);
  const GraphDrawer* find(const std::string& path) const;  // case-insensitive; null when none
  bool empty() const { return drawers_.empty(); }

 private:
  std::map<std::string, GraphDrawer> drawers_;  // by upper-case path
};

// "The graph ScreePlot (Stat.Factor.Graphics.ScreePlot2) has no drawing template yet."
std::string missing_graph_text(const Graph& graph);

// The graph drawn by its template, or an SVG that carries the missing-template
// text; `drawn` tells which.
std::string graph_svg(const Graph& graph, const GraphTemplateRegistry& graphs,
                      bool* drawn = nullptr);

// A destination that writes every graph into a folder as NAME.svg (NAME1.svg,
// NAME2.svg ... when a name comes back).  The folder is created when missing.
std::unique_ptr<OutputDestination> make_graphics_folder_destination(
    const std::string& folder, const GraphTemplateRegistry& graphs, std::string& error);

}  // namespace kav
