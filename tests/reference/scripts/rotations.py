#!/usr/bin/python3
"""Reference rotated solutions and ML standard errors from the correlation
matrices in ../data, by other algorithms than kav's: a dense eigensolver for
the principal factors, scipy for the ML fit; Kaiser's pairwise rotations for
orthomax, Jennrich's gradient projection for oblique criteria, promax in
closed form; the bordered information matrix for unrotated standard errors
and the delta method (5-point differences) for rotated ones.
Run: /usr/bin/python3 tests/reference/scripts/rotations.py  (rewrites
../cases/rot_*.json and stderr_*.json)."""
import csv
import json
import os
import re

import numpy as np
from scipy import optimize

HERE = os.path.dirname(os.path.abspath(__file__))
REF = os.path.dirname(HERE)


def read_corr(name):
    with open(os.path.join(REF, "data", name + ".csv")) as f:
        rows = list(csv.DictReader(f))
    names = [k for k in rows[0] if k not in ("_TYPE_", "_NAME_")]
    r = np.array([[float(row[v]) for v in names] for row in rows if row["_TYPE_"] == "CORR"])
    n = next(float(row[names[0]]) for row in rows if row["_TYPE_"] == "N")
    return r, n


# ---------------------------------------------------------------------------
# Extraction.

def principal_factor_smc(r, m):
    reduced = r.copy()
    np.fill_diagonal(reduced, 1 - 1 / np.diag(np.linalg.inv(r)))
    w, v = np.linalg.eigh(reduced)
    k = np.argsort(w)[::-1][:m]
    return v[:, k] * np.sqrt(w[k])


def ml_loadings(r, psi, m):
    s = 1 / np.sqrt(psi)
    g, v = np.linalg.eigh(r * np.outer(s, s))
    k = np.argsort(g)[::-1][:m]
    return (v[:, k] * np.sqrt(np.maximum(g[k] - 1, 0))) / s[:, None]


def ml_fit(r, m):
    """Unique variances minimising F = sum over the p-m smallest eigenvalues
    g of Psi^-1/2 R Psi^-1/2 of (g - log g - 1); then the gradient
    diag(Psi^-1 (L L' + Psi - R) Psi^-1) is solved to rounding level."""
    p = r.shape[0]

    def f(psi):
        s = 1 / np.sqrt(psi)
        g = np.sort(np.linalg.eigvalsh(r * np.outer(s, s)))[: p - m]
        return np.sum(g - np.log(g) - 1)

    def grad(psi):
        lam = ml_loadings(r, psi, m)
        d = lam @ lam.T + np.diag(psi) - r
        return np.diag(d) / psi ** 2

    start = 1 - 1 / np.diag(np.linalg.inv(r))
    res = optimize.minimize(f, 1 - start, jac=grad, method="L-BFGS-B",
                            bounds=[(0.005, 1)] * p, options={"ftol": 1e-15, "gtol": 1e-12})
    sol = optimize.root(grad, res.x, method="hybr", options={"xtol": 1e-15})
    assert np.max(np.abs(grad(sol.x))) < 1e-11
    return ml_loadings(r, sol.x, m)


# ---------------------------------------------------------------------------
# Rotations.  Kaiser's normalisation scales rows to unit length first.

def kaiser(a):
    h = np.sqrt(np.sum(a * a, axis=1))
    return a / h[:, None], h


def orthomax(a, gamma, normalise=True, t=None):
    """Pairwise planar rotations maximising sum_j [sum_i l^4 - gamma/p
    (sum_i l^2)^2], swept over all pairs of factors until no angle is worth
    turning; starts from t (orthogonal).  Returns the pattern and T."""
    x, h = kaiser(a) if normalise else (a, np.ones(a.shape[0]))
    p, m = x.shape
    t = np.eye(m) if t is None else t.copy()
    l = x @ t
    for _ in range(5000):
        largest = 0
        for j in range(m - 1):
            for k in range(j + 1, m):
                u = l[:, j] ** 2 - l[:, k] ** 2
                v = 2 * l[:, j] * l[:, k]
                a1, b1 = u.sum(), v.sum()
                c1, d1 = (u * u - v * v).sum(), 2 * (u * v).sum()
                phi = np.arctan2(d1 - 2 * gamma * a1 * b1 / p, c1 - gamma * (a1 * a1 - b1 * b1) / p) / 4
                largest = max(largest, abs(phi))
                c, s = np.cos(phi), np.sin(phi)
                rot = np.array([[c, -s], [s, c]])
                l[:, [j, k]] = l[:, [j, k]] @ rot
                t[:, [j, k]] = t[:, [j, k]] @ rot
        if largest < 1e-15:
            break
    return l * h[:, None], t


def cf_gradient(l, w):
    """The criterion w1 (sum l^2)^2 + w2 sum_i (row sums of l^2)^2 + w3 sum_j
    (column sums of l^2)^2 + w4 sum l^4 and its gradient in l."""
    l2 = l * l
    tot, rows, cols = l2.sum(), l2.sum(axis=1), l2.sum(axis=0)
    f = w[0] * tot ** 2 + w[1] * (rows ** 2).sum() + w[2] * (cols ** 2).sum() + w[3] * (l2 ** 2).sum()
    g = 4 * l * (w[0] * tot + w[1] * rows[:, None] + w[2] * cols[None, :] + w[3] * l2)
    return f, g


def oblique(a, w, t=None):
    """Gradient projection (Jennrich 2002) for an oblique criterion over T
    with unit columns, L = X inv(T)', X the Kaiser-normalised pattern; near
    the solution the stationarity equations (projected gradient zero, unit
    columns) are solved by Levenberg-Marquardt to rounding level.  Starts at
    t (default the identity).  Returns the pattern, the factor correlations
    T'T and T."""
    x, h = kaiser(a)
    m = x.shape[1]

    def state(tt):
        ti = np.linalg.inv(tt)
        l = x @ ti.T
        f, g = cf_gradient(l, w)
        gq = -(l.T @ g @ ti).T
        return f, gq - tt * np.sum(tt * gq, axis=0)

    if t is None:
        t = np.eye(m)
        f, gp = state(t)
        alpha = 1.0
        while np.sum(gp * gp) > 1e-12:
            for _half in range(60):
                trial = t - alpha * gp
                trial /= np.sqrt(np.sum(trial * trial, axis=0))
                ft, gt = state(trial)
                if ft < f - 0.5e-3 * alpha * np.sum(gp * gp):
                    t, f, gp = trial, ft, gt
                    alpha *= 2
                    break
                alpha /= 2

    def equations(v):
        tt = v.reshape(m, m)
        return np.concatenate([state(tt)[1].ravel(), np.sum(tt * tt, axis=0) - 1])

    sol = optimize.root(equations, t.ravel(), method="lm", options={"xtol": 1e-15, "ftol": 1e-15})
    t = sol.x.reshape(m, m)
    assert np.max(np.abs(equations(sol.x))) < 1e-12
    return (x @ np.linalg.inv(t).T) * h[:, None], t.T @ t, t


def oblimin_weights(tau, p):
    return (-tau / p, 1.0, tau / p, -1.0)


def cf_weights(k1, k2):
    return (0.0, k1, k2, -(k1 + k2))


def promax_target(b, power, rownorm=True):
    t = kaiser(b)[0] if rownorm else b.copy()
    t = np.abs(t) ** (power - 1) * t
    return t / np.max(np.abs(t), axis=0)


def procrustes(b, target):
    """Least squares of b towards the target, then factors of unit variance:
    the pattern, the factor correlations, the raw and the normalised
    transformation."""
    x = np.linalg.solve(b.T @ b, b.T @ target)
    xd = x * np.sqrt(np.diag(np.linalg.inv(x.T @ x)))
    phi = np.linalg.inv(xd.T @ xd)
    return b @ xd, phi, x, xd


def promax(a, power=3, rownorm=True, t=None):
    b, t = orthomax(a, 1, True, t)
    l, phi, x, xd = procrustes(b, promax_target(b, power, rownorm))
    return l, phi, b, x, xd


def harris_kaiser(a, power, gamma=1):
    """Orthoblique rotation: the columns of a (sums of squares c) scaled by
    c^((power-1)/2), rotated by orthomax, the factors brought to unit
    variance and ordered by decreasing sum of squared loadings."""
    c = np.sum(a * a, axis=0)
    x = np.diag(c ** ((power - 1) / 2)) @ orthomax(a * c ** ((power - 1) / 2), gamma)[1]
    phi = np.linalg.inv(x.T @ x)
    s = np.sqrt(np.diag(phi))
    l, phi = a @ x * s, phi / np.outer(s, s)
    order = np.argsort(-np.sum(l * l, axis=0), kind="stable")
    return l[:, order], phi[np.ix_(order, order)]


def derived(l, phi):
    """Reference structure and factor structure of an oblique solution."""
    d = np.sqrt(np.diag(np.linalg.inv(phi)))
    return l / d, l @ phi


# ---------------------------------------------------------------------------
# Standard errors.

def unrotated_covariance(lam, vardiv):
    """Covariance of the loadings (column by column) of an ML solution: the
    inverse of the information of loadings and unique variances, tr(W S_a W
    S_b)/2 with W the inverse fitted correlations, bordered by the
    derivatives of the off-diagonal of L' Psi^-1 L."""
    p, m = lam.shape
    pm, n = p * m, p * m + p
    psi = 1 - np.sum(lam * lam, axis=1)
    fitted = lam @ lam.T + np.diag(psi)
    w = np.linalg.inv(fitted)
    ws = []
    for a in range(n):
        d = np.zeros((p, p))
        if a >= pm:
            d[a - pm, a - pm] = 1
        else:
            d[a % p, :] += lam[:, a // p]
            d[:, a % p] += lam[:, a // p]
        ws.append(w @ d)
    r = m * (m - 1) // 2
    big = np.zeros((n + r, n + r))
    for a in range(n):
        for b in range(a, n):
            big[a, b] = big[b, a] = np.sum(ws[a] * ws[b].T) / 2
    c = n
    for k in range(m):
        for l in range(k + 1, m):
            for i in range(p):
                big[c, k * p + i] = big[k * p + i, c] = lam[i, l] / psi[i]
                big[c, l * p + i] = big[l * p + i, c] = lam[i, k] / psi[i]
                big[c, pm + i] = big[pm + i, c] = -lam[i, k] * lam[i, l] / psi[i] ** 2
            c += 1
    return np.linalg.inv(big)[:pm, :pm] / vardiv


def flat(lam):
    return lam.T.reshape(-1)  # column by column


def as_pattern(var, p, m):
    return np.sqrt(np.asarray(var)).reshape(m, p).T


def delta_method(a, cov, rotate):
    """Variances of rotate(a) by J C J', J by 5-point central differences."""
    p, m = a.shape
    h = 1e-4
    base = rotate(a)
    jac = np.zeros((base.size, p * m))
    for k in range(m):
        for i in range(p):
            def at(step):
                x = a.copy()
                x[i, k] += step
                return rotate(x)
            jac[:, k * p + i] = (8 * (at(h) - at(-h)) - (at(2 * h) - at(-2 * h))) / (12 * h)
    return np.einsum("qs,st,qt->q", jac, cov, jac)


# ---------------------------------------------------------------------------
# The cases.

def se(table, values, what):
    return matrix(table, values, what, tol=1e-6, compare="rel", stack="StdErr")


def matrix(table, values, what, tol=1e-8, sign="column", **extra):
    check = {"table": table, "matrix": np.round(np.asarray(values), 15).tolist(), "tol": tol,
             "compare": "abs", "sign": sign, "what": what}
    check.update(extra)
    return check


def write(case):
    text = json.dumps(case, indent=2)
    # one matrix row to a line
    text = re.sub(r"\[\s+([-0-9.e, \n]+?)\s+\]", lambda mo: "[" + re.sub(r"\s+", " ", mo.group(1)) + "]", text)
    with open(os.path.join(REF, "cases", case["id"] + ".json"), "w") as f:
        f.write(text + "\n")


LIB = "libname ref '{data}'; "
T24 = LIB + "proc factor data=ref.tests24(type=corr) priors=smc nfactors=4 "


def t24(cid, what, options, checks):
    write({"id": cid, "description": "Principal factor of the 24 tests, " + what + ".",
           "program": T24 + options + "; run;", "checks": checks})


def rotation_cases():
    r, _ = read_corr("tests24")
    a = principal_factor_smc(r, 4)
    p = a.shape[0]
    for cid, options, gamma, norm, what in [
            ("rot_varimax_tests24", "rotate=varimax", 1, True, "varimax, Kaiser's normalisation by default"),
            ("rot_orthomax_tests24", "rotate=orthomax(0.5)", 0.5, True, "orthomax gamma 0.5"),
            ("rot_varimax_raw_tests24", "rotate=varimax norm=raw", 1, False, "varimax of the raw pattern")]:
        t24(cid, what, options, [matrix("OrthRotFactPat", orthomax(a, gamma, norm)[0], "rotated pattern", tol=1e-7)])
    for cid, options, w, what in [
            ("rot_quartimin_tests24", "rotate=quartimin", oblimin_weights(0, p), "quartimin"),
            ("rot_oblimin_tests24", "rotate=oblimin(0.3)", oblimin_weights(0.3, p), "oblimin tau 0.3"),
            ("rot_tau_tests24", "tau=-0.5", oblimin_weights(-0.5, p), "oblimin chosen by TAU=-0.5"),
            ("rot_oblicf_tests24", "rotate=oblicf(0.8, 0.2)", cf_weights(0.8, 0.2),
             "oblique Crawford-Ferguson (0.8, 0.2)")]:
        l, phi, _ = oblique(a, w)
        ref, struc = derived(l, phi)
        t24(cid, what, options, [
            matrix("ObliqueRotFactPat", l, "pattern", tol=1e-7),
            matrix("ReferenceStructure", ref, "pattern / sqrt of the diagonal of inv(Phi)", tol=1e-7),
            matrix("FactorStructure", struc, "pattern x factor correlations", tol=1e-7)])
    for cid, options, power, what in [
            ("rot_hk_tests24", "rotate=hk", 0, "Harris-Kaiser, power 0"),
            ("rot_hk05_tests24", "rotate=varimax hkpower=0.5", 0.5, "Harris-Kaiser mode of varimax, power 0.5")]:
        l, phi = harris_kaiser(a, power)
        t24(cid, what, options, [matrix("ObliqueRotFactPat", l, "pattern, largest factor first", tol=1e-7),
                                 matrix("FactorStructure", l @ phi, "structure", tol=1e-7)])
    for cid, options, power, rownorm, what in [
            ("rot_promax_tests24", "rotate=promax", 3, True, "promax, default power 3 after varimax"),
            ("rot_promax4_tests24", "rotate=promax(4) nopromaxnorm", 4, False,
             "promax power 4 without row normalisation"),
            ("rot_power2_tests24", "power=2", 2, True, "promax chosen by POWER=2")]:
        l, phi, b, x, xd = promax(a, power, rownorm)
        ref, struc = derived(l, phi)
        t24(cid, what, options, [matrix("OrthRotFactPat", b, "varimax prerotation", tol=1e-7),
                                 matrix("ProcrustesTarget", promax_target(b, power, rownorm), "target", tol=1e-7),
                                 matrix("ObliqueRotFactPat", l, "pattern", tol=1e-7),
                                 matrix("ReferenceStructure", ref, "reference structure", tol=1e-7),
                                 matrix("FactorStructure", struc, "structure", tol=1e-7)])


ML24 = (LIB + "proc factor data=ref.tests24(type=corr) method=ml nfactors=3 converge=1e-10 "
        "maxiter=500 ")


def stderr_cases():
    r, n = read_corr("tests24")
    a = ml_fit(r, 3)
    p, m = a.shape
    cov = unrotated_covariance(a, n - 1)
    err = as_pattern(np.diag(cov), p, m)
    unrot = [matrix("FactorPattern", a, "ML loadings", tol=1e-7),
             se("FactorPattern", err, "standard errors from the bordered information")]

    for cid, norm in (("stderr_varimax_tests24", True), ("stderr_varimax_raw_tests24", False)):
        l, t0 = orthomax(a, 1, norm)
        var = delta_method(a, cov, lambda x: flat(orthomax(x, 1, norm, t0)[0]))
        write({"id": cid,
               "description": "ML on the 24 tests, standard errors of the unrotated and of the varimax "
                              "solution" + ("" if norm else " of the raw pattern") + ".",
               "program": ML24 + "stderr rotate=varimax" + ("" if norm else " norm=raw") + "; run;",
               "checks": unrot + [
                   matrix("OrthRotFactPat", l, "varimax pattern", tol=1e-7),
                   se("OrthRotFactPat", as_pattern(var, p, m), "delta method")]})

    def oblique_checks(rotate, l):
        var = delta_method(a, cov, rotate)
        pm = p * m
        return [matrix("ObliqueRotFactPat", l, "pattern", tol=1e-7),
                se("ObliqueRotFactPat", as_pattern(var[:pm], p, m), "pattern, delta method"),
                se("FactorStructure", as_pattern(var[pm:], p, m), "structure, delta method")]

    l, _, t0 = oblique(a, oblimin_weights(0, p))

    def quartimin(x):
        lx, phix, _ = oblique(x, oblimin_weights(0, p), t0)
        return np.concatenate([flat(lx), flat(lx @ phix)])
    write({"id": "stderr_quartimin_tests24",
           "description": "ML on the 24 tests, standard errors of the quartimin solution (ALPHA= asks "
                          "for them).",
           "program": ML24 + "alpha=0.1 rotate=quartimin; run;",
           "checks": unrot + oblique_checks(quartimin, l)})

    l = promax(a)[0]
    t0 = orthomax(a, 1)[1]

    def promax_flat(x):
        lx, phix, *_ = promax(x, t=t0)
        return np.concatenate([flat(lx), flat(lx @ phix)])
    pre = delta_method(a, cov, lambda x: flat(orthomax(x, 1, True, t0)[0]))
    write({"id": "stderr_promax_tests24",
           "description": "ML on the 24 tests, standard errors of the varimax prerotation and of the "
                          "promax solution through it.",
           "program": ML24 + "stderr rotate=promax; run;",
           "checks": unrot + [se("OrthRotFactPat", as_pattern(pre, p, m), "prerotation, delta method")]
           + oblique_checks(promax_flat, l)})

    r8, n8 = read_corr("physical8")
    a8 = ml_fit(r8, 1)
    write({"id": "stderr_onefactor_physical8",
           "description": "ML one factor of the 8 physical measurements: no identification conditions.",
           "program": LIB + "proc factor data=ref.physical8(type=corr) method=ml nfactors=1 converge=1e-10 "
                            "maxiter=500 stderr; run;",
           "checks": [se("FactorPattern", as_pattern(np.diag(unrotated_covariance(a8, n8 - 1)), 8, 1),
                         "standard errors")]})


if __name__ == "__main__":
    rotation_cases()
    stderr_cases()
