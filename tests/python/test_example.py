"""examples/python/check_matrix.py and the samples of docs/python.md run."""

import importlib.util
import os
import re
import subprocess
import sys

import zub_feedback as zf
from conftest import SHIPPED_MATRIX, SOURCE_DIR

EXAMPLE = SOURCE_DIR / "examples" / "python" / "check_matrix.py"


def run_example(*args, cwd):
    return subprocess.run([sys.executable, str(EXAMPLE), *map(str, args)],
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
