#!/usr/bin/env python3
"""Checks a response-matrix file with the library that the feedback servers run.

    check_matrix.py FILE MONITORS CORRECTORS [--tol T] [--png PICTURE] [-v]

Loads FILE as a server with MONITORS monitors and CORRECTORS correctors
loads it, inverts it as the server does and prints its singular values and
which of them the inverse keeps. With matplotlib installed it draws the
spectrum into PICTURE (by default FILE's name with .png, in the current
directory). Exit status 0, or 1 when the library refuses the file or the
matrix.
"""

import argparse
import logging
import pathlib
import sys

import numpy as np

import zub_feedback as zf


def draw(path, inv, title):
    """The spectrum on a log scale, kept values apart from cut ones; False
    without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")  # a file, no window
    import matplotlib.pyplot as plt

    s = inv.singular_values.astype(np.float64)
    index = np.arange(s.size)
    kept = index < inv.kept  # the largest come first, and those are kept
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.semilogy(index[kept], s[kept], "o", color="tab:blue",
                label=f"kept ({inv.kept})")
    cut = ~kept & (s > 0)
    if cut.any():
        ax.semilogy(index[cut], s[cut], "x", color="tab:red", ms=9,
                    label=f"cut ({cut.sum()})")
    zero = s == 0
    if zero.any():  # no place on a log axis: marked at its foot
        ax.plot(index[zero], np.full(zero.sum(), 0.03), "v", color="tab:red",
                ms=9, transform=ax.get_xaxis_transform(), clip_on=False,
                label=f"zero ({zero.sum()})")
        for x in index[zero]:
            ax.annotate("0", (x, 0.03), xycoords=ax.get_xaxis_transform(),
                        xytext=(-14, -4), textcoords="offset points")
    ax.set_xticks(index)
    ax.set_xlabel("index of the singular value")
    ax.set_ylabel("singular value")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="-v shows the library's messages.")
    parser.add_argument("file", type=pathlib.Path)
    parser.add_argument("monitors", type=int)
    parser.add_argument("correctors", type=int)
    parser.add_argument("--tol", type=float,
                        help="the tolerance (default: the internal one)")
    parser.add_argument("--png", type=pathlib.Path,
                        help="the picture (default: FILE's name with .png)")
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args(argv)

    # With -v the library's messages, each with the operation that reported
    # it; a refusal is shown once, by the exception below.
    if args.verbose:
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("  [%(operation)s] %(message)s"))
        log = logging.getLogger("zub_feedback")
        log.addHandler(handler)
        log.setLevel(logging.DEBUG)

    try:
        matrix = zf.load(args.file, args.monitors, args.correctors)
        inv = zf.invert(matrix, args.tol)
    except zf.Error as refused:
        print(f"check_matrix: {args.file}: {refused}", file=sys.stderr)
        return 1

    s = inv.singular_values
    source = "given" if args.tol is not None else "internal"
    print(f"matrix     {args.file}: {args.monitors} monitors x "
          f"{args.correctors} correctors")
    print(f"tolerance  {float(inv.tolerance):e} ({source})")
    print(f"kept       {inv.kept} of {s.size} singular values")
    print("\n     #  singular value")
    for i, value in enumerate(s):
        print(f"  {i:4d}  {value:.6e}  {'kept' if i < inv.kept else 'cut'}")
    if inv.kept > 0:
        print(f"\ncondition  {s[0] / s[inv.kept - 1]:.4g} "
              "(largest / smallest kept)")

    picture = args.png or pathlib.Path(args.file.stem + ".png")
    title = (f"{args.file.name}: {args.monitors} x {args.correctors}, "
             f"tolerance {float(inv.tolerance):.2g} ({source})")
    if draw(picture, inv, title):
        print(f"picture    {picture}")
    else:
        print("picture    none (matplotlib is not installed)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
