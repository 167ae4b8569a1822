// The OUTSTAT= data set: a TYPE=FACTOR data set holding the statistics and
// the factor solution of every BY group, its rows told apart by _TYPE_.  A
// later step reads it back as input.
//
// Each stage writes its rows when its results exist, which fixes their
// order within a BY group: MEAN, STD, N, SUMWGT and CORR from the
// correlation preparation; IMAGE and IMAGECOV from image analysis;
// COMMUNAL, PRIORS, WEIGHT, EIGENVAL, UNROTATE and SE_UNROT after
// extraction; RESIDUAL from the residuals; the prerotation and final blocks
// from factstt.  Without OUTSTAT= every writer returns at once.
#pragma once

#include <string>

#include "factor/state/comstr.h"

namespace kav {

// Whether OUTSTAT= is written.
bool factswr(const COMSTR* com);

// Creates the data set with its variables: the BY variables, _TYPE_,
// _NAME_ and one numeric variable per analysis variable.  The row writer
// calls it before the first row; calling it again does nothing.
void factsopn(COMSTR* com);
// Length of _NAME_: min(32, max(8, fname_l, maxnam + prefix length)), the
// prefix counting only when there are partial variables.
int factsnml(const COMSTR* com);
// The name of analysis variable k in OUTSTAT=: its own name, or with
// partial variables the PARPREFIX= prefix and its name, cut to 32.
std::string factsvnm(const COMSTR* com, int k);

// Writes one row from typetype (_TYPE_), namename (_NAME_) and the first
// nvar values of datax.
void factsrow(COMSTR* com);

// Row shapes.  `type` is the _TYPE_ value.
// A vector row (blank _NAME_): one value per analysis variable.
void factsvec(COMSTR* com, const char* type, const double* values);
// A vector row with the same value in every column.
void factscon(COMSTR* com, const char* type, double value);
// One row per variable of an nvar x nvar matrix, packed ('S') or full ('C').
void factsvxv(COMSTR* com, const char* type, const double* matrix, char storage);
// One row per factor of an nvar x nfact column-major matrix (stored
// transposed: row k holds element (i, k) under variable i).
void factsvxf(COMSTR* com, const char* type, const double* matrix);
// One row per factor of an nfact x nfact matrix: the first nfact variable
// columns hold row k, the others are missing.  'S' packed symmetric; 'C'
// column-major, row k being the k-th stored column.
void factsfxf(COMSTR* com, const char* type, const double* matrix, char storage);

// Rows 1-4: MEAN, STD (USTD without intercept), N, and SUMWGT when the sum
// of weights differs from the number of observations.
void factsmom(COMSTR* com);
// Row 5: the CORR (UCORR) rows, when the correlation matrix is kept.
void factscrr(COMSTR* com);
// Rows 8-13, after extraction: COMMUNAL, PRIORS, WEIGHT, EIGENVAL,
// UNROTATE and SE_UNROT as the method and options call for them.
void factspos(COMSTR* com);
// Blocks 15 (mode 0, prerotation names) and 16 (mode 1, final names).
void factstt(COMSTR* com, int mode);
// Makes the data set visible under its name at the end of the step.
void factsend(COMSTR* com);

}  // namespace kav
