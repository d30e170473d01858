"""The command line: `zorvane-gpu run FILE.qasm [options]`.

Loads an OpenQASM 2 or 3 file, runs it (`zorvane_gpu.run`), shows a progress
bar on standard error while a long run goes on, then prints the most frequent
outcomes, the backend and the time. `--json` writes everything, `--plot` a
histogram of the counts.

Exit codes (also in `zorvane-gpu run --help`):
  0  success
  2  bad command-line arguments
  3  the file cannot be read
  4  the file does not parse (the parser's line and column are printed)
  5  the circuit cannot be simulated (unbound parameters, unsupported instructions)
  6  the circuit is too large (the memory it needs and what is available are printed)
  7  an optional library is missing (the pip command is printed)
  8  the device or a module failed while running
  9  an output file cannot be written
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Sequence
from typing import IO, TYPE_CHECKING

from ._optional import MissingDependency

if TYPE_CHECKING:
    from .result import RunResult

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_UNREADABLE = 3
EXIT_PARSE = 4
EXIT_UNSUPPORTED = 5
EXIT_TOO_LARGE = 6
EXIT_MISSING_LIBRARY = 7
EXIT_DEVICE = 8
EXIT_OUTPUT = 9

_EXIT_CODES = "\n".join(line.strip() for line in __doc__.split("Exit codes")[1].splitlines()[1:] if line.strip())
# States up to this many entries go into --json.
JSON_STATE_LIMIT = 2**16


class ProgressBar:
    """A one-line bar on a stream, drawn once a run has lasted `delay` seconds
    (`always` draws from the start), redrawn at most every 0.1 s."""

    def __init__(self, stream: IO[str], enabled: bool, delay: float = 0.5, width: int = 30) -> None:
        self.stream = stream
        self.enabled = enabled
        self.delay = delay
        self.width = width
        self.started = time.perf_counter()
        self.last_draw = 0.0
        self.drawn = False

    def __call__(self, done: int, total: int, unit: str) -> None:
        now = time.perf_counter()
        if not self.enabled or now - self.started < self.delay:
            return
        if done < total and now - self.last_draw < 0.1:
            return
        self.last_draw = now
        fraction = done / total if total else 1.0
        filled = int(round(fraction * self.width))
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.width - filled)}] {fraction:6.1%} {done}/{total} {unit}")
        self.stream.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="zorvane-gpu", description="Run quantum circuits on the zorvane GPU modules.")
    from . import __version__

    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser(
        "run", help="run an OpenQASM 2 or 3 file and print its counts",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="exit codes:\n" + "\n".join("  " + line for line in _EXIT_CODES.splitlines()))
    run.add_argument("file", help="OpenQASM 2 or 3 file")
    run.add_argument("--shots", type=int, default=1024, help="measurement shots (0: the final state only; default 1024)")
    run.add_argument("--seed", type=int, default=None, help="seed that makes the counts reproducible")
    run.add_argument("--dtype", choices=["complex64", "complex128"], default="complex128")
    run.add_argument("--mode", default="PairAutoFusion",
                     help="stavex kernel mode: AllState, Pair, PairAuto or PairAutoFusion (default)")
    run.add_argument("--noise", action="append", default=None, metavar="CHANNEL:P",
                     help="a channel after every gate, e.g. depolarizing:0.01 (also amplitude_damping, "
                          "phase_damping, bit_flip, phase_flip); repeat for several; runs on plexar")
    run.add_argument("--device", default="cuda:0")
    run.add_argument("--top", type=int, default=16, help="outcomes shown in the table (default 16)")
    run.add_argument("--json", metavar="OUT", help="write everything as JSON to OUT")
    run.add_argument("--plot", metavar="OUT.png", help="write a histogram of the counts (needs matplotlib)")
    run.add_argument("--progress", choices=["auto", "always", "never"], default="auto",
                     help="progress bar on standard error: auto (when it is a terminal), always or never")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exit_:
        return int(exit_.code or 0)
    return _run_command(args, sys.stdout, sys.stderr)


def _fail(stderr: IO[str], code: int, message: str) -> int:
    stderr.write(f"zorvane-gpu: error: {message}\n")
    return code


def _run_command(args: argparse.Namespace, stdout: IO[str], stderr: IO[str]) -> int:
    started = time.perf_counter()
    from .execute import CircuitTooLargeError, kernel_mode, run
    from .noise import parse_noise

    if args.shots < 0 or args.top < 1:
        return _fail(stderr, EXIT_USAGE, "--shots must be 0 or more and --top 1 or more")
    try:
        kernel_mode(args.mode)
        noise = [parse_noise(text) for text in args.noise] if args.noise else None
    except ValueError as error:
        return _fail(stderr, EXIT_USAGE, str(error))
    try:
        from .loading import QasmError, load_qasm

        try:
            circuit = load_qasm(args.file)
        except QasmError as error:
            return _fail(stderr, EXIT_PARSE, str(error))
        except (OSError, UnicodeDecodeError) as error:
            return _fail(stderr, EXIT_UNREADABLE, f"cannot read {args.file}: {error}")
        loaded = time.perf_counter()
        bar = ProgressBar(stderr, args.progress == "always" or (args.progress == "auto" and stderr.isatty()),
                          delay=0.0 if args.progress == "always" else 0.5)
        try:
            result = run(circuit, args.shots, seed=args.seed, dtype=args.dtype, mode=args.mode, noise=noise,
                         device=args.device, progress=bar)
        except CircuitTooLargeError as error:
            return _fail(stderr, EXIT_TOO_LARGE, str(error))
        except (ValueError, TypeError) as error:
            return _fail(stderr, EXIT_UNSUPPORTED, str(error))
        except (RuntimeError, IndexError) as error:
            return _fail(stderr, EXIT_DEVICE, f"run failed: {error}")
        finally:
            bar.finish()
    except MissingDependency as error:
        return _fail(stderr, EXIT_MISSING_LIBRARY, str(error))
    result.timings["load_s"] = loaded - started
    result.timings["wall_s"] = time.perf_counter() - started
    _print_table(result, args, stdout)
    try:
        if args.json:
            _write_json(result, args, args.json)
        if args.plot:
            from .plotting import plot_counts

            plot_counts(result.counts, args.plot, title=os.path.basename(args.file))
    except MissingDependency as error:
        return _fail(stderr, EXIT_MISSING_LIBRARY, str(error))
    except OSError as error:
        return _fail(stderr, EXIT_OUTPUT, f"cannot write output: {error}")
    return EXIT_OK


def _print_table(result: RunResult, args: argparse.Namespace, out: IO[str]) -> None:
    out.write(f"backend: {result.backend}  device: {result.device}  dtype: {result.dtype}  mode: {result.mode}\n")
    run_kind = "shot by shot" if result.shot_by_shot else "one pass"
    out.write(f"qubits: {result.num_qubits}  gates: {result.gate_count}  shots: {result.shots}  "
              f"seed: {result.seed}  ({run_kind})\n")
    if result.counts:
        rows = result.most_frequent(args.top)
        width = max(len("outcome"), *(len(key) for key, _ in rows))
        out.write(f"{'outcome':<{width}}  {'count':>8}  {'probability':>11}\n")
        for key, count in rows:
            out.write(f"{key:<{width}}  {count:>8}  {count / result.shots:>11.4f}\n")
        if len(result.counts) > len(rows):
            out.write(f"... {len(result.counts) - len(rows)} more outcomes (--top, --json)\n")
    elif result.shots == 0:
        out.write("no shots: final state only\n")
        probabilities = None
        if result.statevector is not None:
            probabilities = abs(result.statevector) ** 2
        elif result.density_matrix is not None:
            probabilities = result.density_matrix.diagonal().real
        if probabilities is not None:
            width = max(result.num_qubits, len("basis state"))
            out.write(f"{'basis state':<{width}}  {'probability':>11}\n")
            for index in probabilities.argsort()[::-1][:args.top]:
                out.write(f"{int(index):0{result.num_qubits}b}".ljust(width) + f"  {probabilities[index]:>11.4f}\n")
    t = result.timings
    out.write(f"time: {t['wall_s'] * 1e3:.1f} ms (load {t['load_s'] * 1e3:.1f} ms, translate "
              f"{t['translate_s'] * 1e3:.1f} ms, plan {t['plan_s'] * 1e3:.1f} ms, execute "
              f"{t['execute_s'] * 1e3:.1f} ms)\n")


def _write_json(result: RunResult, args: argparse.Namespace, path: str) -> None:
    entries = max((s.size for s in (result.statevector, result.density_matrix) if s is not None), default=0)
    include_state = entries <= JSON_STATE_LIMIT
    data = {"file": args.file, "noise": args.noise, **result.to_dict(include_state=include_state)}
    if not include_state:
        data["state_omitted"] = f"the final state has more than {JSON_STATE_LIMIT} entries"
    with open(path, "w", encoding="utf-8") as file:
        json.dump(data, file, indent=1)
        file.write("\n")
