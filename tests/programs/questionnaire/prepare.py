#!/usr/bin/env python3
"""Prepares questionnaire.csv outside kav, as an analyst would in another
tool: the seven negatively keyed items (q2 q4 q5 q7 q8 q9 q10, scored 1 to 5)
are reverse-scored as 6 - x and every case missing an item is dropped.
Writes prepared.csv, which questionnaire.kav analyses beside its own
preparation of the same file.  Run: python3 prepare.py"""
import csv

REVERSED = ["q2", "q4", "q5", "q7", "q8", "q9", "q10"]
ITEMS = ["q%d" % j for j in range(1, 11)]

with open("questionnaire.csv", newline="") as f:
    rows = list(csv.DictReader(f))
with open("prepared.csv", "w", newline="") as f:
    out = csv.writer(f, lineterminator="\n")
    out.writerow(["id"] + ITEMS)
    for r in rows:
        if any(r[q] == "" for q in ITEMS):
            continue
        out.writerow([r["id"]] + [6 - int(r[q]) if q in REVERSED else int(r[q]) for q in ITEMS])
