#!/usr/bin/env python3
"""Bjontegaard delta rate between two rate/PSNR curves of four points each.

usage: bd_rate.py "r1,p1 r2,p2 r3,p3 r4,p4" "r1,p1 ..."   (reference, test)
Prints the average bitrate change of the test at equal PSNR, in percent.
"""
import math
import sys


def cubic_through(points):
    # log-rate as a cubic in PSNR through the four points (Lagrange form,
    # expanded to coefficients so that it can be integrated).
    xs = [p for _, p in points]
    ys = [math.log(r) for r, _ in points]
    coef = [0.0, 0.0, 0.0, 0.0]
    for i in range(4):
        poly = [1.0]
        denom = 1.0
        for j in range(4):
            if j == i:
                continue
            poly = [a - xs[j] * b for a, b in zip([0.0] + poly, poly + [0.0])]
            denom *= xs[i] - xs[j]
        for k in range(4):
            coef[k] += ys[i] * poly[k] / denom
    return coef  # coef[k] multiplies x^k


def integral(coef, a, b):
    return sum(c / (k + 1) * (b ** (k + 1) - a ** (k + 1)) for k, c in enumerate(coef))


def parse(text):
    return [tuple(float(v) for v in pair.split(",")) for pair in text.split()]


def bd_rate(ref, test):
    lo = max(min(p for _, p in ref), min(p for _, p in test))
    hi = min(max(p for _, p in ref), max(p for _, p in test))
    a = integral(cubic_through(ref), lo, hi) / (hi - lo)
    b = integral(cubic_through(test), lo, hi) / (hi - lo)
    return (math.exp(b - a) - 1.0) * 100.0


if __name__ == "__main__":
    print("%.2f" % bd_rate(parse(sys.argv[1]), parse(sys.argv[2])))
