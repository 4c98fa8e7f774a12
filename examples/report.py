"""Timing, checking and printing for the tour: every answer is checked against a list scan."""

import os
import sys
import tempfile
import time
from contextlib import contextmanager

REPEAT = 3  # Veldrake answers each question this many times; the best time counts
SCAN_REPEAT = 1  # the list scans take a tenth of a second each: one run is enough
WIDTH = 97


def best_time(fn, repeat=REPEAT):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return result, best


def fmt_time(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:6.1f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:6.2f} ms"
    return f"{seconds:6.2f} s "


def fmt_speedup(module, scan):
    ratio = scan / max(module, 1e-9)
    return f"{ratio:6.1f}x" if ratio < 100 else f"{ratio:6,.0f}x"


def ids(objs):
    """The identities of a list of objects; a module answer must not hold duplicates."""
    found = {id(o) for o in objs}
    assert len(found) == len(objs), "duplicate objects in an answer"
    return found


class Report:
    def __init__(self):
        self.rows = 0
        self.module_total = 0.0
        self.scan_total = 0.0

    def header(self):
        print()
        print("Each answer is checked against a plain Python list comprehension that computes it "
              "again.")
        print(f"Times: Veldrake best of {REPEAT} runs, list scan "
              f"{'one run' if SCAN_REPEAT == 1 else f'best of {SCAN_REPEAT} runs'}.")
        print()
        print(f"{'':3}{'question':<55}{'hits':>8}{'Veldrake':>11}{'list scan':>11}{'speed-up':>9}")
        print("-" * WIDTH)

    def section(self, title):
        print(f"\n{title}")

    def _row(self, description, count, module_s, scan_s, example):
        self.rows += 1
        self.module_total += module_s
        self.scan_total += scan_s
        if len(description) > 54:
            description = description[:53] + "…"
        print(f"{self.rows:>2} {description:<55}{count:>8,}{fmt_time(module_s):>11}"
              f"{fmt_time(scan_s):>11}{fmt_speedup(module_s, scan_s):>9}")
        if example:
            if len(example) > WIDTH - 6:
                example = example[: WIDTH - 7] + "…"
            print(f"{'':6}{example}")

    def objects(self, description, module_fn, scan_fn, note=""):
        """A question answered with a list of objects: compared as sets of objects."""
        found, module_s = best_time(module_fn)
        expected, scan_s = best_time(scan_fn, SCAN_REPEAT)
        assert ids(found) == ids(expected), (
            f"{description}: module found {len(found)}, scan found {len(expected)}")
        if callable(note):  # a note that describes the state after the answer
            note = note()
        example = ", ".join(o.label if hasattr(o, "label") else repr(o) for o in found[:3])
        if len(found) > 3:
            example += ", …"
        if note:
            example = f"{note}; {example}" if found else note
        self._row(description, len(found), module_s, scan_s, example or "(none)")
        return found

    def groups(self, description, module_fn, scan_fn):
        """A group_by answer: {key: list of objects}, compared key by key as sets."""
        found, module_s = best_time(module_fn)
        expected, scan_s = best_time(scan_fn, SCAN_REPEAT)
        assert found.keys() == expected.keys(), (
            f"{description}: module keys {sorted(map(repr, found))[:6]}, "
            f"scan keys {sorted(map(repr, expected))[:6]}")
        for key, members in found.items():
            assert ids(members) == ids(expected[key]), f"{description}: group {key!r} differs"
        biggest = sorted(found.items(), key=lambda kv: -len(kv[1]))
        example = " · ".join(f"{k}: {len(v):,}" for k, v in biggest[:5])
        self._row(description, len(found), module_s, scan_s,
                  f"{len(found)} groups; " + example + (" · …" if len(found) > 5 else ""))
        return found

    def footer(self):
        print("-" * WIDTH)
        print(f"{self.rows} answers, every one equal to its list scan. Time spent answering: "
              f"Veldrake {fmt_time(self.module_total).strip()}, "
              f"list scans {fmt_time(self.scan_total).strip()}.")


@contextmanager
def captured_stderr(lines):
    """Collects what native code writes to file descriptor 2 into `lines`."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield lines
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            lines.extend(sink.read().decode(errors="replace").splitlines())
