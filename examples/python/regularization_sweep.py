#!/usr/bin/env python3
"""How much a correction kicks and what orbit it leaves, against the
Tikhonov parameter and against the modes kept.

    regularization_sweep.py FILE MONITORS CORRECTORS [--svg PICTURE]
                            [--seed S] [--errors MRAD] [--noise MM]

Loads FILE as a server loads it, makes an orbit from random corrector
errors (rms MRAD, default 0.05) and monitor noise (rms MM, default 0.005),
and corrects it once with regularized_inverse: for each alpha from 1e-3 to
1 times the largest singular value, and for each count of modes kept. It
prints the rms of the correction's kicks and of the orbit left after it;
with matplotlib installed it draws both into PICTURE (default
regularization_sweep.svg in the current directory). Exit status 0, or 1
when the library refuses the file.
"""

import argparse
import sys

import numpy as np

import zub_feedback as zf


def rms(v):
    return float(np.sqrt(np.mean(np.square(v))))


def correct(matrix, orbit, **regularization):
    """The kicks of one full correction and the orbit they leave."""
    inv = zf.regularized_inverse(matrix, **regularization)
    kicks = -inv.inverse @ orbit
    return inv, rms(kicks), rms(orbit + matrix @ kicks)


def sweep(matrix, orbit):
    """(alpha, kick rms, residual rms) over alpha, and (modes, kick rms,
    residual rms) over the modes kept, largest first."""
    s = zf.regularized_inverse(matrix).singular_values
    by_alpha = []
    for alpha in s[0] * np.logspace(-3, 0, 13):
        _, kick, left = correct(matrix, orbit, tikhonov=float(alpha))
        by_alpha.append((float(alpha), kick, left))
    by_modes = []
    for keep in range(1, int(np.count_nonzero(s > 0)) + 1):
        _, kick, left = correct(matrix, orbit, keep=keep)
        by_modes.append((keep, kick, left))
    return by_alpha, by_modes


def draw(path, by_alpha, by_modes, title):
    """Two panels, kicks and residual orbit; False without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("svg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.6))
    for ax, rows, xlabel in ((left, by_alpha, "Tikhonov parameter alpha (units of the matrix)"),
                             (right, by_modes, "modes kept")):
        x = [r[0] for r in rows]
        ax.plot(x, [r[1] for r in rows], "o-", label="kick rms (mrad)")
        ax.plot(x, [r[2] for r in rows], "s-", label="residual orbit rms (mm)")
        ax.set_xlabel(xlabel)
        ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
    left.set_xscale("log")
    left.legend(fontsize="small")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file")
    parser.add_argument("monitors", type=int)
    parser.add_argument("correctors", type=int)
    parser.add_argument("--svg", default="regularization_sweep.svg")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--errors", type=float, default=0.05)
    parser.add_argument("--noise", type=float, default=0.005)
    args = parser.parse_args()

    try:
        matrix = zf.load(args.file, args.monitors, args.correctors)
    except zf.LoadError as e:
        print(f"{args.file}: {e}", file=sys.stderr)
        return 1
    matrix = matrix.astype(np.float64)
    rng = np.random.default_rng(args.seed)
    errors = rng.normal(0.0, args.errors, args.correctors)
    orbit = matrix @ errors + rng.normal(0.0, args.noise, args.monitors)
    print(f"orbit rms {rms(orbit):.4g} mm from errors of rms "
          f"{rms(errors):.4g} mrad")

    by_alpha, by_modes = sweep(matrix, orbit)
    print("     alpha   kick rms   residual rms")
    for alpha, kick, left in by_alpha:
        print(f"{alpha:10.4g} {kick:10.4g} {left:14.4g}")
    print("     modes   kick rms   residual rms")
    for keep, kick, left in by_modes:
        print(f"{keep:10d} {kick:10.4g} {left:14.4g}")
    if draw(args.svg, by_alpha, by_modes,
            f"{args.file.split('/')[-1]}: one correction"):
        print(f"picture: {args.svg}")
    else:
        print("matplotlib is not installed: no picture")
    return 0


if __name__ == "__main__":
    sys.exit(main())
