"""examples/python/check_matrix.py and the samples of docs/python.md run."""

import importlib.util
import os
import re
import subprocess
import sys

import pytest
import zub_feedback as zf
from conftest import SHIPPED_MATRIX, SOURCE_DIR

EXAMPLE = SOURCE_DIR / "examples" / "python" / "check_matrix.py"
SWEEP = SOURCE_DIR / "examples" / "python" / "regularization_sweep.py"


def run_example(*args, cwd, example=EXAMPLE):
    return subprocess.run([sys.executable, str(example), *map(str, args)],
                          capture_output=True, text=True, cwd=cwd,
                          env=dict(os.environ))


def test_check_matrix_prints_the_librarys_spectrum(tmp_path):
    done = run_example(SHIPPED_MATRIX, 24, 12, "--png", "s.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    inv = zf.invert(zf.load(SHIPPED_MATRIX, 24, 12))
    rows = re.findall(r"^ +(\d+)  (\S+)  (kept|cut)$", done.stdout, re.M)
    assert [float(v) for _, v, _ in rows] == [
        float(f"{s:.6e}") for s in inv.singular_values]
    assert [w for _, _, w in rows] == ["kept"] * inv.kept + ["cut"] * (12 - inv.kept)
    assert f"kept       {inv.kept} of 12 singular values" in done.stdout
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "s.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "matplotlib is not installed" in done.stdout


def test_check_matrix_refuses_with_the_librarys_message(tmp_path):
    done = run_example(SHIPPED_MATRIX, 24, 11, cwd=tmp_path)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.strip().endswith(
        "ERROR: No. columns (12) do not match no. of actuators (11)!")


def test_the_samples_of_the_docs_print_what_the_docs_show(monkeypatch, capsys):
    text = (SOURCE_DIR / "docs" / "python.md").read_text()
    samples = re.findall(r"```python\n(.*?)```(?:\n\nprints\n\n```\n(.*?)```)?",
                         text, re.S)
    assert samples
    monkeypatch.chdir(SOURCE_DIR)
    for code, shown in samples:
        exec(compile(code, "docs/python.md", "exec"), {})
        printed = capsys.readouterr().out
        if shown:
            assert printed == shown


def test_sweep_trades_kicks_for_residual_orbit(tmp_path):
    done = run_example(SHIPPED_MATRIX, 24, 12, "--svg", "s.svg", cwd=tmp_path,
                       example=SWEEP)
    assert done.returncode == 0, done.stderr
    by_alpha, by_modes = [
        [tuple(map(float, row.split())) for row in table.strip().splitlines()]
        for table in re.findall(r"residual rms\n((?: +\S+ +\S+ +\S+\n)+)",
                                done.stdout)]
    assert len(by_alpha) == 13
    # The shipped matrix has 11 modes that are not zero.
    assert [int(k) for k, _, _ in by_modes] == list(range(1, 12))
    # More damping: smaller kicks, more orbit left; more modes: less orbit.
    kicks, left = [r[1] for r in by_alpha], [r[2] for r in by_alpha]
    assert kicks == sorted(kicks, reverse=True)
    assert left == sorted(left)
    assert [r[2] for r in by_modes] == sorted((r[2] for r in by_modes),
                                             reverse=True)
    # Every mode at almost no damping is the plain inverse's correction.
    assert by_modes[-1][1:] == pytest.approx(by_alpha[0][1:], rel=0.02)
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "s.svg").read_text().lstrip().startswith("<?xml")
