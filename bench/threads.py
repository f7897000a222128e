"""Scaling across threads on a free-threaded CPython (the interpreter lock
off): the same work done by one thread, then split between two, in one run;
prints each ratio (two threads' wall time over one thread's) with its goal.

    PYTHON_GIL=0 python bench/threads.py [--rounds N]

Separate templates: each thread parses and renders templates of its own.
One shared template: both threads render, print, iterate and pickle the same
template. Medians of five alternating runs."""

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


def separate(rounds):
    for _ in range(rounds):
        template = PromptTemplate(MARKUP, None)
        template.render(ROW)
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
    ones, twos = [], []
    for _ in range(5):
        ones.append(wall(work, rounds, 1))
        twos.append(wall(work, rounds, 2))
    return statistics.median(twos) / statistics.median(ones)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=4000)
    rounds = parser.parse_args().rounds
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        print("the interpreter lock is on: nothing to measure (a free-threaded build, PYTHON_GIL=0)")
        return
    rows = [("parse and render separate templates, 2 threads / 1", ratio(separate, rounds), 0.6),
            ("read one shared template, 2 threads / 1", ratio(shared_reader(PromptTemplate(MARKUP, None)), rounds), 0.7)]
    for name, value, goal in rows:
        print(f"{name}: {value:.3f} (goal {goal}: {'met' if value <= goal else 'missed'})")


if __name__ == "__main__":
    main()
