#include "factor/rotate/rotation_registry.h"

#include <algorithm>

#include "factor/state/comstr.h"
#include "host/value.h"
#include "tkxfac/tkxfac.h"

namespace kav {

namespace {

// The orthomax family with row weight a and column weight b, maximised
// over orthogonal transformations.
constexpr CfWeights orthogonal(double a, double b) {
  return {0, 0, -b, a + b};
}

// Its oblique counterpart, minimised over oblique transformations.
constexpr CfWeights oblique(double a, double b) {
  return {0, a, b, -(a + b)};
}

constexpr CfWeights oblimin(double tau, double p) {
  return {-tau / p, 1, tau / p, -1};
}

// The extension's rotation types: 1-6 the orthomax family, 7-15 its
// oblique counterparts, 16-21 the parameterised forms, then Harris-Kaiser.
// A new criterion of the family may take the generalised forms' types.
constexpr RotationMethod kMethods[] = {
    {.code = kRotQuartimax, .words = {"QUARTIMAX", "QMAX", "Q"}, .kind = RotKind::Orthogonal,
     .label = "Quartimax", .hk_name = "quartimax",
     .weights = [](double, double, const double*) { return orthogonal(1, 0); }, .ext_type = 1},
    {.code = kRotVarimax, .words = {"VARIMAX", "V"}, .kind = RotKind::Orthogonal,
     .label = "Varimax", .hk_name = "varimax",
     .weights = [](double p, double, const double*) { return orthogonal(p - 1, 1); },
     .ext_type = 2},
    {.code = kRotBiquartimax, .words = {"BIQUARTIMAX", "BIQMAX"}, .kind = RotKind::Orthogonal,
     .label = "Biquartimax", .hk_name = "biquartimax",
     .weights = [](double p, double, const double*) { return orthogonal(2 * p - 1, 1); },
     .ext_type = 3},
    {.code = kRotEquamax, .words = {"EQUAMAX", "E"}, .kind = RotKind::Orthogonal,
     .label = "Equamax", .hk_name = "equamax",
     .weights = [](double p, double m, const double*) { return orthogonal(2 * p - m, m); },
     .ext_type = 4},
    {.code = kRotParsimax, .words = {"PARSIMAX", "PA"}, .kind = RotKind::Orthogonal,
     .label = "Parsimax", .hk_name = "parsimax",
     .weights = [](double p, double m, const double*) { return orthogonal(p - 1, m - 1); },
     .ext_type = 5},
    {.code = kRotFactorParsimax, .words = {"FACTORPARSIMAX", "FPA"},
     .kind = RotKind::Orthogonal, .label = "Factor Parsimax", .hk_name = "factor parsimax",
     .weights = [](double, double, const double*) { return orthogonal(0, 1); }, .ext_type = 6},
    {.code = kRotNone, .words = {"NONE", "N"}, .kind = RotKind::None},
    // PROMAX(k) takes the power k, checked as POWER= is.
    {.code = kRotPromax, .words = {"PROMAX", "P"}, .kind = RotKind::Target, .list_only = true,
     .max_params = 1, .param_lo = 1, .param_hi = 32767, .integer_params = true,
     .stand_in = RotOption::Power, .fallback = 3, .label = "Promax (power = %1)"},
    // HK's parameter is the power; its criterion is orthomax with GAMMA=.
    {.code = kRotHk, .words = {"HK", "H"}, .kind = RotKind::HarrisKaiser, .max_params = 1,
     .stand_in = RotOption::HkPower, .fallback = 0, .label = "Harris-Kaiser (power = %1)",
     .hk_name = "orthomax",
     .weights = [](double p, double, const double* k) { return orthogonal(p - k[0], k[0]); },
     .ext_type = TKXFAC_ROTTYPE_HK},
    {.code = kRotProcrustes, .words = {"PROCRUSTES"}, .kind = RotKind::Target,
     .list_only = true, .label = "Procrustes"},
    {.code = kRotQuartimin, .words = {"QUARTIMIN", "QMIN"}, .kind = RotKind::Oblique,
     .label = "Quartimin",
     .weights = [](double p, double, const double*) { return oblimin(0, p); }, .ext_type = 7},
    {.code = kRotBiquartimin, .words = {"BIQUARTIMIN", "BIQMIN"}, .kind = RotKind::Oblique,
     .label = "Biquartimin",
     .weights = [](double p, double, const double*) { return oblimin(0.5, p); }, .ext_type = 8},
    {.code = kRotCovarimin, .words = {"COVARIMIN", "CVMIN"}, .kind = RotKind::Oblique,
     .label = "Covarimin",
     .weights = [](double p, double, const double*) { return oblimin(1, p); }, .ext_type = 9},
    {.code = kRotObquartimax, .words = {"OBQUARTIMAX", "OQMAX"}, .kind = RotKind::Oblique,
     .label = "Oblique Quartimax",
     .weights = [](double, double, const double*) { return oblique(1, 0); }, .ext_type = 10},
    {.code = kRotObvarimax, .words = {"OBVARIMAX", "OV"}, .kind = RotKind::Oblique,
     .label = "Oblique Varimax",
     .weights = [](double p, double, const double*) { return oblique(p - 1, 1); },
     .ext_type = 11},
    {.code = kRotObbiquartimax, .words = {"OBBIQUARTIMAX", "OBIQMAX"}, .kind = RotKind::Oblique,
     .label = "Oblique Biquartimax",
     .weights = [](double p, double, const double*) { return oblique(2 * p - 1, 1); },
     .ext_type = 12},
    {.code = kRotObequamax, .words = {"OBEQUAMAX", "OE"}, .kind = RotKind::Oblique,
     .label = "Oblique Equamax",
     .weights = [](double p, double m, const double*) { return oblique(2 * p - m, m); },
     .ext_type = 13},
    {.code = kRotObparsimax, .words = {"OBPARSIMAX", "OPA"}, .kind = RotKind::Oblique,
     .label = "Oblique Parsimax",
     .weights = [](double p, double m, const double*) { return oblique(p - 1, m - 1); },
     .ext_type = 14},
    {.code = kRotObfactorParsimax, .words = {"OBFACTORPARSIMAX", "OFPA"},
     .kind = RotKind::Oblique, .label = "Oblique Factor Parsimax",
     .weights = [](double, double, const double*) { return oblique(0, 1); }, .ext_type = 15},
    {.code = kRotOrthomax, .words = {"ORTHOMAX", "ORMAX"}, .kind = RotKind::Orthogonal,
     .max_params = 1, .stand_in = RotOption::Gamma, .fallback = 1,
     .label = "Orthomax (gamma = %1)", .hk_name = "orthomax",
     .weights = [](double p, double, const double* k) { return orthogonal(p - k[0], k[0]); },
     .ext_type = 16},
    {.code = kRotOblimin, .words = {"OBLIMIN", "OBMIN"}, .kind = RotKind::Oblique,
     .max_params = 1, .stand_in = RotOption::Tau, .fallback = 0, .label = "Oblimin (tau = %1)",
     .weights = [](double p, double, const double* k) { return oblimin(k[0], p); },
     .ext_type = 17},
    {.code = kRotOrthcf, .words = {"ORTHCF", "ORCF"}, .kind = RotKind::Orthogonal,
     .min_params = 2, .max_params = 2,
     .label = "Orthogonal Crawford-Ferguson (k1 = %1, k2 = %2)", .hk_name = "Crawford-Ferguson",
     .weights = [](double, double, const double* k) { return orthogonal(k[0], k[1]); },
     .ext_type = 18},
    {.code = kRotOblicf, .words = {"OBLICF", "OBCF"}, .kind = RotKind::Oblique,
     .min_params = 2, .max_params = 2, .label = "Oblique Crawford-Ferguson (k1 = %1, k2 = %2)",
     .weights = [](double, double, const double* k) { return oblique(k[0], k[1]); },
     .ext_type = 19},
    // The generalised forms take the four weights as written.
    {.code = kRotOrthgencf, .words = {"ORTHGENCF", "ORGENCF"}, .kind = RotKind::Orthogonal,
     .min_params = 4, .max_params = 4,
     .label = "Orthogonal Generalized Crawford-Ferguson (k1 = %1, k2 = %2, k3 = %3, k4 = %4)",
     .hk_name = "generalized Crawford-Ferguson",
     .weights = [](double, double, const double* k) { return CfWeights{k[0], k[1], k[2], k[3]}; },
     .ext_type = TKXFAC_ROTTYPE_ORTH_GENCF},
    {.code = kRotObligencf, .words = {"OBLIGENCF", "OBGENCF"}, .kind = RotKind::Oblique,
     .min_params = 4, .max_params = 4,
     .label = "Oblique Generalized Crawford-Ferguson (k1 = %1, k2 = %2, k3 = %3, k4 = %4)",
     .weights = [](double, double, const double* k) { return CfWeights{k[0], k[1], k[2], k[3]}; },
     .ext_type = TKXFAC_ROTTYPE_OBLI_GENCF},
};

}  // namespace

std::span<const RotationMethod> rotation_methods() {
  return kMethods;
}

const RotationMethod* find_rotation(int code) {
  const auto* it = std::find_if(std::begin(kMethods), std::end(kMethods),
                                [code](const RotationMethod& r) { return r.code == code; });
  return it == std::end(kMethods) ? nullptr : it;
}

bool oblsol(int method) {
  const RotationMethod* r = find_rotation(method);
  return r && r->kind != RotKind::None && r->kind != RotKind::Orthogonal;
}

double stand_in_value(const COMSTR* com, const RotationMethod& method) {
  // The record's field of each RotOption, in the enumeration's order.
  static constexpr double COMSTR::*kField[] = {nullptr, &COMSTR::gamma, &COMSTR::tau,
                                                &COMSTR::hkpower, &COMSTR::kvalue};
  const double COMSTR::*field = kField[static_cast<int>(method.stand_in)];
  const double v = field ? com->*field : com->miss;
  return is_missing(v) ? method.fallback : v;
}

}  // namespace kav
