#!/usr/bin/env python3
"""A small job against start-up: `kav run` of a maximum likelihood fit with a
promax rotation on 2,800 rows of 25 six-point items (a 140 KB CSV file
without a sidecar, the size of a classic personality inventory), timed
against `kav --version` in the same run.  The two commands alternate, so a
machine whose speed drifts slows both alike; the medians are compared.

    bench/small_job.py [path/to/kav] [rounds]

Prints both medians, their difference (the job's own cost, which should be
within 5 ms) and their ratio.  The data are made with a fixed seed and
removed at the end.
"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

KAV = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "kav")
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 40


def write_data(folder):
    rng = random.Random(2800)
    p, n, factors = 25, 2800, 5
    path = os.path.join(folder, "items.csv")
    with open(path, "w") as f:
        f.write(",".join(f"q{j + 1}" for j in range(p)) + "\n")
        for _ in range(n):
            scores = [rng.gauss(0, 1) for _ in range(factors)]
            row = []
            for j in range(p):
                v = 0.7 * scores[j % factors] + 0.7 * rng.gauss(0, 1)
                row.append(str(min(6, max(1, int(round(3.5 + 1.2 * v))))))
            f.write(",".join(row) + "\n")
    program = os.path.join(folder, "job.kav")
    with open(program, "w") as f:
        f.write(f"proc factor data='{path}' method=ml nfactors=5 rotate=promax;\n"
                "  var q1-q25;\nrun;\n")
    return program


def timed(args):
    t0 = time.perf_counter()
    subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - t0


def main():
    with tempfile.TemporaryDirectory() as folder:
        program = write_data(folder)
        job, version = [], []
        timed([KAV, "run", program])  # warm the page cache
        for r in range(ROUNDS):
            pair = [(job, [KAV, "run", program]), (version, [KAV, "--version"])]
            if r % 2:
                pair.reverse()
            for out, args in pair:
                out.append(timed(args))
    j, v = statistics.median(job), statistics.median(version)
    print(f"kav --version                 {1e3 * v:7.2f} ms (median of {ROUNDS})")
    print(f"kav run, 2800 x 25 ML+promax  {1e3 * j:7.2f} ms")
    print(f"job over start-up             {1e3 * (j - v):7.2f} ms  (bound 5.00: "
          f"{'met' if j - v <= 0.005 else 'NOT MET'}),  ratio {j / v:.2f}")


if __name__ == "__main__":
    main()
