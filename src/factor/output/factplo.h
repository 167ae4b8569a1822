// Plots of the FACTOR procedure: the character plots of the listing (the
// scree plot and the factor plots of PLOT and PREPLOT), the statistical
// graphs of PLOTS= (scree and variance, loadings, MAP and parallel
// analysis) with the hidden tables they are drawn from, and the small
// character-plot package the scree plot is drawn with.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "factor/state/comstr.h"

namespace kav {

// ---------------------------------------------------------------------------
// Character-plot package

// One axis.  `min` and `max` come in as the data limits and leave, after
// zscale, as the round limits of the axis.
struct ZPAXIS {
  std::string label;       // at most 40 characters
  double min = 0, max = 0;
  int intervals = 0;       // wanted on the way in (0: one every few cells), chosen on the way out
  double step = 0;         // between ticks; a positive value asks for that step when the
                           // range has no width
  bool include_zero = false;
  int decimals = 0;        // of the tick labels
  std::string tick_label(double value) const;
};

// A plot: the area in character cells and the axes that map values onto it.
struct ZPGRAF {
  int rows = 0, columns = 0;        // the plot area; 0 takes them from the page
  int pagesize = 60, linesize = 120;  // the page the area is cut from
  ZPAXIS* h = nullptr;
  ZPAXIS* v = nullptr;
  double dx = 0, dy = 0;            // value of one cell across and up
  int tick_width = 0;               // of the vertical axis labels
  std::vector<std::string> area;    // rows, the top row first
};

// Round axis limits and a tick step of 1, 2, 2.5 or 5 times a power of ten.
void zscale(ZPAXIS* axis);
// Scales both axes, sizes the area and fills it with blanks.  Non-zero when
// the area cannot be had; the plot is then empty.
int zpgrini(ZPGRAF* plot, ZPAXIS* h, ZPAXIS* v);
// Places `symbol` at (x, y) unless the cell is taken; returns the cell as
// (row from the bottom, column from the left), both from 0.
std::pair<int, int> zpgrafd(ZPGRAF* plot, char symbol, double x, double y);
// The plot as lines of text: the area framed by its axes, tick labels and
// axis labels.
std::vector<std::string> zpgrafp(const ZPGRAF& plot);
// Prints the plot into `lines` and releases the area.
void zpgrafe(ZPGRAF* plot, std::vector<std::string>* lines);

// ---------------------------------------------------------------------------
// The procedure's plots

// The scree plot (character plot for SCREE, graphs for PLOTS=SCREE) of the
// BY group, once, after the number of factors is decided.
void factscre(COMSTR* com);

// The character factor plots of a solution: stage 1 initial, -1
// prerotated, any other rotated; `oblique` non-zero for an oblique solution.
void factplt(COMSTR* com, int oblique, int stage);
// The row of the factor-plot grid (0 at the top, 40 at the bottom) of a
// value on the vertical factor, and the column (1 to 64) of a value on the
// horizontal factor.
int factplot_row(double value);
int factplot_column(double value);

// The loadings graphs of a solution, with the Pattern and CirclePhantom
// tables they are drawn from; arguments as factplt.
void factgpt(COMSTR* com, int oblique, int stage);

// The MAP and parallel-analysis tables of the BY group with their graphs,
// from the results the factoring extension returned (fmap2, fmap4,
// nfactmap2, nfactmap4; evalstd, aveevalpa, evalpa, nfactpa).
void factomap(COMSTR* com);
void factopa(COMSTR* com);

}  // namespace kav
