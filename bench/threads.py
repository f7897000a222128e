"""Scaling across threads on a free-threaded CPython (the interpreter lock
off): the same work done by one thread, then split between two, in one run;
prints each ratio (two threads' wall time over one thread's) with its goal.

    PYTHON_GIL=0 python bench/threads.py [--rounds N]

Separate templates: each thread parses and renders templates of its own
(from rows of its own).
One shared template: both threads render, print, iterate and pickle the same
template. The median of fifteen alternating runs, with their spread. First, the
same ratio for a Python loop that shares nothing: what this machine's two
threads give at best."""

import argparse
import pickle
import statistics
import sys
import threading
import time

import korvanta
from korvanta import PromptTemplate

MARKUP = "Hi [name] ! Is it [label|good,bad] ? " * 8 + "A review of [film] by [critic] ."
ROW = {"name": "Ann", "label": "good", "film": "Heat", "critic": "Bo"}


def floor(rounds):
    total = 0
    for i in range(rounds * 100):
        total += i


def separate(rounds):
    row = dict(ROW)  # the thread's own
    for _ in range(rounds):
        template = PromptTemplate(MARKUP, None)
        template.render(row)
        korvanta.parse(MARKUP)


def shared_reader(template):
    def read(rounds):
        for _ in range(rounds):
            template.render(ROW)
            str(template)
            list(template)
            pickle.dumps(template)
    return read


def wall(work, rounds, threads):
    """Wall time of `threads` threads each doing `rounds // threads` rounds."""
    each = rounds // threads
    started = threading.Barrier(threads + 1)

    def run():
        started.wait()
        work(each)

    pool = [threading.Thread(target=run) for _ in range(threads)]
    for thread in pool:
        thread.start()
    started.wait()
    begin = time.perf_counter()
    for thread in pool:
        thread.join()
    return time.perf_counter() - begin


def ratio(work, rounds):
    """Per alternation, two threads' time over one's; the median and the spread."""
    ratios = []
    for _ in range(15):
        one = wall(work, rounds, 1)
        ratios.append(wall(work, rounds, 2) / one)
    return statistics.median(ratios), min(ratios), max(ratios)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=10000)
    rounds = parser.parse_args().rounds
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        print("the interpreter lock is on: nothing to measure (a free-threaded build, PYTHON_GIL=0)")
        return
    value, low, high = ratio(floor, rounds)
    print(f"a loop sharing nothing, 2 threads / 1: {value:.3f} ({low:.2f}-{high:.2f}; the machine's floor)")
    rows = [("parse and render separate templates, 2 threads / 1", ratio(separate, rounds), 0.6),
            ("read one shared template, 2 threads / 1", ratio(shared_reader(PromptTemplate(MARKUP, None)), rounds), 0.7)]
    for name, (value, low, high), goal in rows:
        print(f"{name}: {value:.3f} ({low:.2f}-{high:.2f}; goal {goal}: {'met' if value <= goal else 'missed'})")


if __name__ == "__main__":
    main()
