// The graph templates of the FACTOR procedure, drawn as SVG from the tables
// the procedure links to each graph:
//   ScreePlot1, ScreePlot2, VariancePlot      from Eigenvalues
//   MAPPlot, MAP2Plot, MAP4Plot              from AveParCorrControlPC
//   ParallelPlot                             from ParallelAnalysis
//   the six loadings plots (InitPatternPlot ... RefStructurePlot)
//                                            from Pattern and CirclePhantom
//   PathDiagram                              from PathDiagramData
// every one under "Stat.Factor.Graphics.".  A graph whose tables are absent
// or incomplete is drawn as a picture saying what is missing; drawing never
// throws.
#pragma once

#include <string>

#include "render/graph_templates.h"

namespace kav {

void register_factor_graph_templates(GraphTemplateRegistry& graphs);

// The path diagram drawer (its own file; registered with the others).
std::string draw_path_diagram(const Graph& graph);

}  // namespace kav
