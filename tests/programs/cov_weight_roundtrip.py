"""First eigenvalue of the weighted covariance matrix that
cov_weight_roundtrip.kav analyses: W^(1/2) S W^(1/2), with S the TYPE=COV
matrix and W the WEIGHT row (weights of the standardised variables, so the
covariance analysis scales S, not the correlations).  Pure Python: Jacobi
rotations until the off-diagonal part vanishes."""
import math

S = [[4.0, 1.2, 0.8, 0.6], [1.2, 2.25, 0.9, 0.45], [0.8, 0.9, 1.0, 0.3], [0.6, 0.45, 0.3, 0.81]]
w = [1.0, 0.5, 2.0, 1.5]
n = len(w)
A = [[math.sqrt(w[i] * w[j]) * S[i][j] for j in range(n)] for i in range(n)]
for sweep in range(100):
    off = sum(A[i][j] ** 2 for i in range(n) for j in range(n) if i != j)
    if off < 1e-300:
        break
    for p in range(n):
        for q in range(p + 1, n):
            if A[p][q] == 0:
                continue
            theta = (A[q][q] - A[p][p]) / (2 * A[p][q])
            t = math.copysign(1, theta) / (abs(theta) + math.sqrt(theta * theta + 1))
            c = 1 / math.sqrt(t * t + 1)
            s = t * c
            for k in range(n):
                akp, akq = A[k][p], A[k][q]
                A[k][p], A[k][q] = c * akp - s * akq, s * akp + c * akq
            for k in range(n):
                apk, aqk = A[p][k], A[q][k]
                A[p][k], A[q][k] = c * apk - s * aqk, s * apk + c * aqk
print(repr(max(A[i][i] for i in range(n))), sorted((A[i][i] for i in range(n)), reverse=True))
