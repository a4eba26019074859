#!/usr/bin/env python3
"""Judges rates in reports against what the agent computes over its own span.

    rates.py LO HI WANT GOT

The agent divides a counter's growth by the whole milliseconds between the
counter's own two reads. WANT and GOT hold one value a line, as a suite prints
them (bson2json lines, key:type=value words, dump lines), and must match line by
line, except that a WANT line may end in {EXPR}: a Python expression of that span
`ms`, with
    r(n)    the rate of n events a second, truncated as integer rates are
    d(n)    the same as a double
    f32(x)  x in single precision.
GOT's line must then end in the value of EXPR (printed as bson2json prints
numbers, or as it is when EXPR gives a text) for one span in LO..HI, the same for
every line: one counter's rates share one span. On a mismatch the lines WANT gives
at the span that explains the most are shown against GOT's, and it exits 1.
"""
import difflib
import re
import struct
import sys


def show(v):
    return "%.17g" % v if isinstance(v, float) else str(v)


def at_span(lines, ms):
    env = {"ms": ms, "r": lambda n: n * 1000 // ms, "d": lambda n: n * 1000 / ms,
           "f32": lambda x: struct.unpack("f", struct.pack("f", x))[0]}
    out = []
    for line in lines:
        m = re.fullmatch(r"(.*)\{(.*)\}", line)
        out.append(m[1] + show(eval(m[2], env)) if m else line)
    return out


def main():
    lo, hi = int(sys.argv[1]), int(sys.argv[2])
    want, got = sys.argv[3].splitlines(), sys.argv[4].splitlines()
    best = max(range(lo, hi + 1), key=lambda ms: sum(a == b for a, b in zip(at_span(want, ms), got)))
    expected = at_span(want, best)
    if expected == got:
        return 0
    print(f"closest at a span of {best} ms, in {lo}..{hi}:", file=sys.stderr)
    sys.stderr.writelines(line + "\n" for line in difflib.unified_diff(expected, got, "want", "got", lineterm="", n=1))
    return 1


if __name__ == "__main__":
    sys.exit(main())
