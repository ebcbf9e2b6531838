#!/usr/bin/env python3
"""Simulates the latent transition example data from stated true parameters.

Model: C = 2 latent classes measured by 2 binary class items; S = 3 latent statuses measured at
T = 3 occasions by 4 binary status items; first-order transitions. Writes lta.dat (complete data)
and lta_missing.dat (the same subjects with about 15% of the responses missing completely at
random), one line per distinct response pattern with its frequency. Response 1 is the first
category, 0 a missing response. Run from this folder: python3 simulate_lta.py
"""
import random

SUBJECTS = 3000
SEED = 20261207

GAMMA = [0.6, 0.4]
# P(category 1) of the two class items, per class.
LITTLE_RHO_1 = [[0.85, 0.80], [0.20, 0.25]]
DELTA = [[0.6, 0.3, 0.1], [0.2, 0.3, 0.5]]
# Rows: status at t; columns: status at t+1. The same for both transitions.
TAU = [
    [[0.80, 0.15, 0.05], [0.10, 0.80, 0.10], [0.05, 0.15, 0.80]],
    [[0.60, 0.30, 0.10], [0.10, 0.60, 0.30], [0.05, 0.15, 0.80]],
]
# P(category 1) of the four status items, per status; equal across classes and occasions.
BIG_RHO_1 = [[0.90, 0.90, 0.85, 0.90], [0.20, 0.85, 0.30, 0.80], [0.10, 0.15, 0.10, 0.20]]
OCCASIONS = 3
MISSING_SHARE = 0.15


def draw(probabilities, rng):
    u = rng.random()
    total = 0.0
    for index, p in enumerate(probabilities):
        total += p
        if u < total:
            return index
    return len(probabilities) - 1


def simulate(rng):
    subjects = []
    for _ in range(SUBJECTS):
        c = draw(GAMMA, rng)
        pattern = [1 if rng.random() < p else 2 for p in LITTLE_RHO_1[c]]
        s = draw(DELTA[c], rng)
        for t in range(OCCASIONS):
            if t > 0:
                s = draw(TAU[c][s], rng)
            pattern += [1 if rng.random() < p else 2 for p in BIG_RHO_1[s]]
        subjects.append(pattern)
    return subjects


def write_patterns(path, subjects):
    counts = {}
    for pattern in subjects:
        key = tuple(pattern)
        counts[key] = counts.get(key, 0) + 1
    with open(path, "w") as out:
        for key in sorted(counts):
            out.write(" ".join(str(r) for r in key) + " %d\n" % counts[key])


def main():
    rng = random.Random(SEED)
    subjects = simulate(rng)
    write_patterns("lta.dat", subjects)
    holed = [[0 if rng.random() < MISSING_SHARE else r for r in pattern] for pattern in subjects]
    write_patterns("lta_missing.dat", holed)


if __name__ == "__main__":
    main()
