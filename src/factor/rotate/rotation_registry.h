// The rotation methods of PROC FACTOR, one row each: the words that name
// them, their code, what kind of solution they give, their parameters and
// what stands in for a missing one, the label of the rotated solution, the
// four weights of the generalised Crawford-Ferguson criterion, and the
// factoring extension's number for them.  The grammar, the selection
// rules, the rotations, their labels and the standard errors all read this
// table, so a new member of the Crawford-Ferguson family is one new row.
#pragma once

#include <array>
#include <limits>
#include <span>

namespace kav {

struct COMSTR;

// Rotation codes, as rmethod, rmethod0 and rmethod2 hold them.  Codes 7-9,
// 14-19 and 29 are not assigned.
inline constexpr int kRotQuartimax = 1;
inline constexpr int kRotVarimax = 2;
inline constexpr int kRotBiquartimax = 3;
inline constexpr int kRotEquamax = 4;
inline constexpr int kRotParsimax = 5;
inline constexpr int kRotFactorParsimax = 6;
inline constexpr int kRotNone = 10;  // no rotation
// rmethod0 before the selection rules when PREROTATE= is not given.
inline constexpr int kRotNotGiven = 0;
inline constexpr int kRotPromax = 11;
inline constexpr int kRotHk = 12;
inline constexpr int kRotProcrustes = 13;
inline constexpr int kRotQuartimin = 20;
inline constexpr int kRotBiquartimin = 21;
inline constexpr int kRotCovarimin = 22;
inline constexpr int kRotObquartimax = 23;
inline constexpr int kRotObvarimax = 24;
inline constexpr int kRotObbiquartimax = 25;
inline constexpr int kRotObequamax = 26;
inline constexpr int kRotObparsimax = 27;
inline constexpr int kRotObfactorParsimax = 28;
inline constexpr int kRotOrthomax = 30;
inline constexpr int kRotOblimin = 31;
inline constexpr int kRotOrthcf = 32;
inline constexpr int kRotOblicf = 33;
inline constexpr int kRotOrthgencf = 34;
inline constexpr int kRotObligencf = 35;

// What a method does with the pattern.
enum class RotKind {
  None,          // leaves it as extracted
  Orthogonal,    // an orthogonal criterion: the solution stays orthogonal
  Oblique,       // an oblique criterion
  HarrisKaiser,  // an orthogonal criterion on rescaled factors: an oblique solution
  Target,        // promax and Procrustes: a least-squares fit to a target pattern
};

// The statement option whose value stands in for a method's first
// parameter when the parameter is not written or is missing.
enum class RotOption { None, Gamma, Tau, HkPower, Power };

// g0..g3 of  Q(L) = g0 (sum l^2)^2 + g1 sum_i (sum_j l_ij^2)^2
//                 + g2 sum_j (sum_i l_ij^2)^2 + g3 sum l^4.
using CfWeights = std::array<double, 4>;

// The weights of a criterion on p variables and m factors; k holds the
// method's parameters (four slots, unused ones zero).
using CfWeightFn = CfWeights (*)(double p, double m, const double* k);

struct RotationMethod {
  int code;
  std::array<const char*, 3> words;  // the keyword, then its aliases (null: none)
  RotKind kind;
  bool list_only = false;  // a ROTATE= word only, not a PREROTATE= one
  int min_params = 0, max_params = 0;
  // Every parameter must lie in [param_lo, param_hi], and be an integer
  // when integer_params.
  double param_lo = -std::numeric_limits<double>::infinity();
  double param_hi = std::numeric_limits<double>::infinity();
  bool integer_params = false;
  RotOption stand_in = RotOption::None;
  double fallback = 0;  // when the stand-in option is not given either
  // The rotated solution's label; %1.. are the parameters.
  const char* label = "";
  // The criterion's name when it runs in Harris-Kaiser mode (orthogonal
  // criteria only).
  const char* hk_name = nullptr;
  CfWeightFn weights = nullptr;  // null: not a criterion of the family
  int ext_type = 0;              // the extension's rotation type (0: none)
};

// Every method, in the order the grammar lists their words.
std::span<const RotationMethod> rotation_methods();

// The row of a code, or null.
const RotationMethod* find_rotation(int code);

// True for the codes that give an oblique solution: the oblique criteria,
// Harris-Kaiser, promax and Procrustes.
bool oblsol(int method);

// What stands in for the method's first parameter: the value of its
// stand-in option when given, its fallback otherwise.
double stand_in_value(const COMSTR* com, const RotationMethod& method);

}  // namespace kav
