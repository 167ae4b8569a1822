// How the procedure holds its output objects: the step's output manager, the
// result group of the current BY group, and the BY values its objects carry.
// Every object is closed through its class's close entry, so that the frame
// can close whatever it holds without knowing what it is.
//
// The writers below build the procedure's tables from COMSTR and hand them
// to output delivery.  With no output manager (NOPRINT, or a run without
// output) each of them returns at once, before computing anything that
// exists only for the table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "factor/output/matrix_printer.h"
#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"

namespace kav {

class OutputDelivery;
class TemplateRegistry;
struct Table;
struct NOBSTR;

// How an object is closed after its last use.
inline constexpr int kOdsCloseFinal = 4;

struct ODSCLASS {
  const char* name;
  // Closes `object`; `arg` is the class's own argument.
  int (*close)(ODSOBJ* object, const void* arg, int how, int, int);
  const void* arg;
};

struct ODSOBJ {
  const ODSCLASS* cls;
  OutputDelivery* delivery;
};

// Template paths of tables and graphs.
inline constexpr const char* kTablePrefix = "Stat.Factor.";
inline constexpr const char* kGraphPrefix = "Stat.Factor.Graphics.";

// Output-delivery statuses.  A negative status is a failure; the one whose
// facility field (bits 11-21) is 63 and code field (bits 0-10) is 53 only
// says that nothing was there to act on, and is passed over.
inline constexpr int kOdsFacilityTolerated = 63;
inline constexpr int kOdsCodeTolerated = 53;
inline constexpr std::uint32_t kOdsStatusFailure = 0x80000000u;
int odsstatus(int facility, int code);

// Sets up the output manager of the step in `ods` (null under NOPRINT or
// when the run has no output delivery), reads the graphics flag and
// registers the procedure's templates.
void factoin(COMSTR* com);
// Closes the open result group, if any, and opens the group `name`.
void factogrp(COMSTR* com, const char* name, const std::string& label);
// Closes an object through its class's close entry and forgets it.
void factoclose(ODSOBJ** object);
// Gives the objects that follow the BY values of the input's current group.
void factoby(COMSTR* com);

// A failed output-delivery call: logs the host's text for it and ends the
// step with 120, unless it is the tolerated status; then returns 0 and the
// caller goes on.  Non-negative statuses are returned unchanged.
int zodsexit(COMSTR* com, int status, const std::string& text = {});
// Adds a table to the step's output; a failure of the delivery goes through
// zodsexit.  Nothing happens without an output manager.
void factoadd(COMSTR* com, Table table);

// A catalogue title of group 180 formatted into `title` (in COMSTR); a text
// of more than 119 characters is cut there with a note (message 174).
std::string factitle(COMSTR* com, int number, const std::vector<std::string>& args = {});
// Row and column texts: the name of analysis variable k (its row label),
// its label (empty when it has none), factor name j (without trailing
// blanks).
std::string factvnam(const COMSTR* com, int k);
std::string factvlab(const COMSTR* com, int k);
std::string factfnam(const COMSTR* com, int j);
// A number as a footnote or title shows it: up to ten characters, no blanks.
std::string factnum(double value);

// The groups of the solutions.  factoig opens "InitialSolution" labelled by
// the extraction method; factoir opens "PrerotatedSolution" (index -1) or
// "RotatedSolution", labelled "Prerotation Method:" or "Rotation Method:"
// and the caller's description of the method: message `msgno` of group 180
// with `ninsert` inserts (0, 1, 2 or 4), or the rotation's own label `text`
// with its inserts.
void factoig(COMSTR* com);
void factoir(COMSTR* com, int index, int msgno, int ninsert,
             const std::vector<std::string>& inserts);
void factoir(COMSTR* com, int index, const char* text, const std::vector<std::string>& inserts);

// The Eigenvalues table of eigval (nvar values), titled with `text` and
// `number` (the count of variables the eigenvalues belong to).
void factevt(COMSTR* com, const std::string& text, int number);
// SimpleStatistics: the mean and standard deviation of every analysis and
// partial variable.
void factsis(COMSTR* com);
// FinalCommunWgt: communalities and weights with their total.
void factfct(COMSTR* com, double totcom);

// IterHistory and ConvergenceStatus.  Mode 1 creates the history of
// principal-factor iterations, 2 that of Newton-Raphson fits, 0 adds `row`,
// 3 writes the history, 4 writes ConvergenceStatus (iterrc as the status,
// the catalogue text numbered ReasonConvStat as the reason).  Any other mode
// ends the step with 9999.
struct FACTHISROW {
  int iteration;
  int evaluations;  // function evaluations (Newton-Raphson fits)
  double criterion;
  double ridge;
  double change;
  const double* communal;  // nvar values
};
void facthis(COMSTR* com, int mode, const FACTHISROW* row = nullptr);

// The NObs table from the pass's counts (null for a special data set).
// The first row holds a special missing value naming the kind of input.
double factnobk(const COMSTR* com);
void factnob(COMSTR* com, const NOBSTR* counts);

// A vector or matrix written in one call, named field by field at the call.
// factpm2 labels the rows and the columns whose kind the shape gives from
// the name arrays; kNoLabels leaves them unlabelled.
struct LabelledMatrix {
  const char* name = nullptr;  // the output table
  int labelno = 0;             // catalogue number of its label (0: the name)
  std::string title;
  const double* values = nullptr;
  MatrixShape shape;
  const char* extraname = nullptr;  // a value shown with the table, such as _OverallMSA
  double extra = 0;
  const char* path = nullptr;  // the template; null: the procedure's prefix and `name`
};
// One row of n values, its columns labelled by `kind`.
inline MatrixShape one_row(int n, char kind) {
  return {kStoreRow, 1, n, kNoLabels, kind};
}
// One column of n values, its rows labelled by `kind`.
inline MatrixShape one_column(int n, char kind) {
  return {kStoreColumn, n, 1, kind, kNoLabels};
}
void factpm2(COMSTR* com, const LabelledMatrix& matrix);
// The same with the label texts given: rows and columns are labelled when
// their texts are not empty (the kinds are not read).
void factpma(COMSTR* com, const LabelledMatrix& matrix, std::vector<std::string> rowlab,
             std::vector<std::string> collab);

// A table of one label column ('V' variables, 'F' factors) and up to three
// value columns (null vectors are left out).
void factv3t(COMSTR* com, char kind, int n, const double* v1, const char* name1, const double* v2,
             const char* name2, const double* v3, const char* name3, const char* table, int labelno,
             const char* header, const std::string& headtext, const char* path);

// Every table and graph template of the procedure.
void facttpl(TemplateRegistry& registry);

}  // namespace kav
