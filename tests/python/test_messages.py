"""The library's messages as logging records, from threads too; nothing on
standard output; other Python threads run while the library computes."""

import logging
import sys
import threading
import time

import numpy as np

import zub_feedback as zf
from conftest import SHIPPED_MATRIX, bits


def said(records):
    return [(r.levelname, r.getMessage()) for r in records]


def test_messages_are_records_and_nothing_reaches_stdout(caplog, capfd):
    caplog.set_level(logging.DEBUG, logger="zub_feedback")
    zf.invert(zf.load(SHIPPED_MATRIX, 24, 12))
    records = [r for r in caplog.records
               if r.operation == "MDFA_ResponseMatrix::invert"]
    # The line that the transposed inversion writes to std::cout is one of
    # them, in its place.
    assert said(records)[-3:-1] == [
        ("INFO", "INFO: Using 11 from 12 singular values"),
        ("INFO", "INFO: Matrix dim change back to: 12 x 24")]
    assert records[-1].levelname == "DEBUG"
    assert records[-1].getMessage().startswith("took (ms): ")
    assert all(r.name == "zub_feedback" for r in caplog.records)
    assert capfd.readouterr().out == ""

    caplog.clear()
    try:
        zf.load("/nonexistent/rm.txt", 2, 2)
    except zf.LoadError:
        pass
    assert said(caplog.records) == [
        ("INFO", "INFO: Loading file /nonexistent/rm.txt ..."),
        ("ERROR", "ERROR: file /nonexistent/rm.txt not found!")]
    # pinv's messages end in a line feed, which a record leaves out.
    zf.pinv([[1.0, 1e-6], [0.0, 2.0]], 1e-5)
    assert ("INFO", "removed 1 values (< 1e-05) in input") in said(caplog.records)


def test_threads_inverting_at_once_keep_their_own_messages(caplog, capfd):
    caplog.set_level(logging.INFO, logger="zub_feedback")
    rng = np.random.default_rng(7)
    shapes = {"tall": (90, 40), "taller": (70, 30)}
    matrices = {n: rng.standard_normal(s) for n, s in shapes.items()}
    alone = {n: zf.invert(a).inverse for n, a in matrices.items()}
    caplog.clear()
    results = {n: [] for n in shapes}

    def work(name):
        for _ in range(25):
            results[name].append(zf.invert(matrices[name]).inverse)

    threads = [threading.Thread(target=work, args=(n,), name=n) for n in shapes]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, (m, n) in shapes.items():
        lines = [r.getMessage() for r in caplog.records if r.threadName == name
                 and "dim change back" in r.getMessage()]
        assert lines == [f"INFO: Matrix dim change back to: {n} x {m}"] * 25
        assert all(np.array_equal(bits(r), bits(alone[name]))
                   for r in results[name])
    assert capfd.readouterr().out == ""


def test_other_threads_run_while_invert_computes():
    # With a switch interval longer than the test, a thread that holds the
    # GIL keeps it: the counter can move during invert only if invert lets
    # the GIL go.
    a = np.random.default_rng(3).standard_normal((600, 300)).astype(np.float32)
    counter = [0]
    moved = []
    done = threading.Event()

    def invert():
        before = counter[0]
        zf.invert(a)
        moved.append(counter[0] - before)
        done.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        t = threading.Thread(target=invert)
        t.start()
        while not done.is_set():
            counter[0] += 1
            time.sleep(0.001)  # lets the inverting thread have the GIL back
        t.join()
    finally:
        sys.setswitchinterval(interval)
    assert moved[0] > 0
