"""A pytest plugin that hunts reference leaks the way CPython's own test runner
does: every test runs a few warm-up times, then several measured times, and a
test leaks when sys.gettotalrefcount() or sys.getallocatedblocks() grows in
every measured run, and again in every run of a second measurement. Needs a
debug interpreter.

    python -m pytest -p leakhunt --leak-runs 2:3
"""

import gc
import linecache
import re
import sys

import pytest
from _pytest.runner import runtestprotocol


def pytest_addoption(parser):
    parser.addoption("--leak-runs", default="2:3", help="warm-up:measured runs per test")


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("leak hunting needs a debug build of Python (sys.gettotalrefcount)")
    warmups, measured = (int(n) for n in config.getoption("leak_runs").split(":"))
    config._leakhunt = {"warmups": warmups, "measured": measured, "leaks": []}
    try:
        from hypothesis import settings
    except ImportError:
        return
    # The same examples in every run, and no example database that grows.
    # Fewer of them, too: every test runs several times here.
    settings.register_profile("leakhunt", derandomize=True, database=None, max_examples=25)
    settings.load_profile("leakhunt")


def pytest_collection_finish(session):
    # What exists once the tests are collected (pytest, hypothesis, the test
    # modules) lives for the whole session: moved out of the collector's way,
    # so that every settle() walks only what the tests made.
    gc.collect()
    gc.freeze()


def settle():
    linecache.clearcache()
    re.purge()
    sys._clear_type_cache()
    for _ in range(3):
        gc.collect()


def measure(run_once, warmups, measured):
    """Deltas of (references, blocks) over the measured runs; None when a run fails."""
    deltas = []
    for run in range(warmups + measured):
        settle()
        refs_before, blocks_before = sys.gettotalrefcount(), sys.getallocatedblocks()
        ok = run_once()
        settle()
        refs_after, blocks_after = sys.gettotalrefcount(), sys.getallocatedblocks()
        if not ok:
            return None
        if run >= warmups:
            deltas.append((refs_after - refs_before, blocks_after - blocks_before))
    return deltas


def baseline(state):
    """What the measuring itself shows for a run that does nothing."""
    if "baseline" not in state:
        state["baseline"] = measure(lambda: True, state["warmups"], state["measured"])
    return state["baseline"]


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if item.get_closest_marker("isolated"):
        return None  # its work happens in child processes: run it once, as usual
    state = item.config._leakhunt
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    zero = baseline(state)

    def run_once():
        reports = runtestprotocol(item, nextitem=None, log=False)
        return not any(report.failed or report.skipped for report in reports)

    def growth():
        """What grew in every measured run, by kind; None when a run failed."""
        deltas = measure(run_once, state["warmups"], state["measured"])
        if deltas is None:
            return None
        grown = {name: [d[column] - z[column] for d, z in zip(deltas, zero)]
                 for column, name in enumerate(("references", "memory blocks"))}
        return {name: runs for name, runs in grown.items() if all(delta > 0 for delta in runs)}

    found = growth()
    if found:
        # A leak grows again when measured again; a count that moved for
        # another reason (such as a thread of the test still winding down as
        # a run ends) does not.
        again = growth()
        found = {name: runs + again[name] for name, runs in found.items() if again and name in again}
    # One last run that reports as usual, so failures and skips show up.
    runtestprotocol(item, nextitem=nextitem, log=True)
    for name, runs in (found or {}).items():
        state["leaks"].append(f"{item.nodeid} leaked {name}: {runs}")
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_terminal_summary(terminalreporter, config):
    leaks = config._leakhunt["leaks"]
    terminalreporter.section("reference leak hunt")
    for line in leaks:
        terminalreporter.write_line(line)
    terminalreporter.write_line(f"{len(leaks)} leak(s) found")


def pytest_sessionfinish(session, exitstatus):
    if session.config._leakhunt["leaks"] and session.exitstatus == 0:
        session.exitstatus = 1
