"""The GPU kernel report, from a CUDA build made with ZORVANE_KERNEL_REPORT=ON.

Reads ptxas's resource lines from the build log (registers, stack frame,
spills, static shared memory per kernel and architecture), each kernel's
block size and dynamic shared memory from the kernel_launch_table tool (the
launchers' own constants), and from the kept PTX which kernels read dynamic
shared memory and which carry launch bounds, to check the table against.
Computes the theoretical occupancy at that block size from each
architecture's published limits, prints one table per architecture, and
with --gate fails when a hot-path kernel spills or falls below half
occupancy. scripts/kernel-report.sh builds and calls it.
"""

from __future__ import annotations

import argparse
import dataclasses
import re
import subprocess
import sys
from pathlib import Path

# Per-multiprocessor limits of each architecture (CUDA C++ Programming Guide,
# "Compute Capabilities"; the allocation granularities and the shared memory
# the driver reserves per block as the CUDA occupancy calculator uses them).
# Registers are allocated per warp in units of reg_unit, separately in each
# of the sub_partitions; shared memory in units of smem_unit.
@dataclasses.dataclass(frozen=True)
class Architecture:
    name: str
    max_threads: int  # resident threads per SM
    max_blocks: int  # resident blocks per SM
    registers: int  # 32-bit registers per SM, also the most one block may use
    max_registers_per_thread: int
    reg_unit: int
    sub_partitions: int
    shared: int  # shared memory per SM at the largest carve-out
    shared_per_block: int  # without the opt-in attribute, which no launcher sets
    smem_unit: int
    reserved_shared: int  # per block, by the driver
    max_threads_per_block: int = 1024
    warp: int = 32

    @property
    def max_warps(self) -> int:
        return self.max_threads // self.warp


KIB = 1024
ARCHITECTURES = {
    75: Architecture("Turing", 1024, 16, 65536, 255, 256, 4, 64 * KIB, 48 * KIB, 256, 0),
    80: Architecture("Ampere", 2048, 32, 65536, 255, 256, 4, 164 * KIB, 48 * KIB, 128, 1 * KIB),
    90: Architecture("Hopper", 2048, 32, 65536, 255, 256, 4, 228 * KIB, 48 * KIB, 128, 1 * KIB),
}

# Kernels on a hot path: the gate holds each of them to no spills and at least
# half occupancy. Every group must match some kernel, so a rename cannot drop
# a kernel from the gate unnoticed.
HOT_PATHS = {
    "stavex gate kernels (AllState, Pair, PairAuto)": re.compile(
        r"^stavex::(cu_\w+_kernel_(all_state|pair)|\w+_autopair::\w+|(h|u|swap)_\w+|unitary_(1q|2q)_\w+"
        r"|cu_unitary_(1q|2q)_inplace_kernel)<"
    ),
    "shared-memory tile kernels": re.compile(
        r"^(stavex::fusion::sparsesharemem_kernel|plexar::density_sparsesharemem_kernel)<"
    ),
    "measurement kernels": re.compile(r"^(stavex::measure_\w+|plexar::density_measure_\w+)<"),
    "density one- and two-qubit unitary": re.compile(r"^plexar::unitary_merged(_row2)?_kernel<"),
}
MIN_OCCUPANCY = 0.5


@dataclasses.dataclass
class Kernel:
    mangled: str
    arch: int
    registers: int = 0
    stack: int = 0
    spill_stores: int = 0
    spill_loads: int = 0
    static_shared: int = 0
    name: str = ""
    block: int = 0
    dynamic_shared: int = 0
    occupancy: float = 0.0
    limiter: str = ""

    @property
    def spills(self) -> int:
        return self.spill_stores + self.spill_loads

    def hot_path(self) -> str | None:
        return next((group for group, pattern in HOT_PATHS.items() if pattern.search(self.name)), None)


class ReportError(Exception):
    pass


def round_up(x: int, unit: int) -> int:
    return -(-x // unit) * unit


def occupancy(arch: Architecture, block: int, registers: int, shared_bytes: int) -> tuple[float, str]:
    """Theoretical occupancy (resident warps / maximum warps) and the limiting resource."""
    if block > arch.max_threads_per_block:
        return 0.0, "block too large"
    warps_per_block = -(-block // arch.warp)
    limits = {"warps": arch.max_warps // warps_per_block, "blocks": arch.max_blocks}

    regs_per_warp = round_up(max(registers, 1) * arch.warp, arch.reg_unit)
    # A block must fit the per-block register file, counted over whole
    # sub-partitions; resident warps are what each sub-partition holds.
    if registers > arch.max_registers_per_thread or regs_per_warp * round_up(
        warps_per_block, arch.sub_partitions
    ) > arch.registers:
        return 0.0, "registers per block"
    warps_per_partition = (arch.registers // arch.sub_partitions) // regs_per_warp
    limits["registers"] = warps_per_partition * arch.sub_partitions // warps_per_block

    shared = round_up(shared_bytes + arch.reserved_shared, arch.smem_unit)
    if shared_bytes > arch.shared_per_block:
        return 0.0, "shared memory per block"
    if shared_bytes > 0:
        limits["shared memory"] = arch.shared // shared

    blocks = min(limits.values())
    limiter = "/".join(k for k, v in limits.items() if v == blocks)
    return blocks * warps_per_block / arch.max_warps, limiter


# ---- reading the build -------------------------------------------------------

ENTRY = re.compile(r"Compiling entry function '([^']+)' for 'sm_(\d+)'")
PROPERTIES = re.compile(r"Function properties for (\S+)")
FRAME = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")
USED = re.compile(r"Used (\d+) registers")
SMEM = re.compile(r"(\d+) bytes smem")


def parse_ptxas_log(text: str) -> dict[tuple[str, int], Kernel]:
    kernels: dict[tuple[str, int], Kernel] = {}
    current: Kernel | None = None
    properties_of = None
    for line in text.splitlines():
        if m := ENTRY.search(line):
            current = Kernel(m.group(1), int(m.group(2)))
            properties_of = None
        elif current is None:
            continue
        elif m := PROPERTIES.search(line):
            properties_of = m.group(1)
        elif (m := FRAME.search(line)) and properties_of == current.mangled:
            current.stack, current.spill_stores, current.spill_loads = map(int, m.groups())
        elif m := USED.search(line):
            current.registers = int(m.group(1))
            smem = SMEM.search(line)
            current.static_shared = int(smem.group(1)) if smem else 0
            key = (current.mangled, current.arch)
            # A kernel compiled in two units keeps its costlier form.
            if key not in kernels or kernels[key].registers < current.registers:
                kernels[key] = current
            current = None
    return kernels


FUNCTION_START = re.compile(
    r"^(?:\.visible\s+|\.weak\s+|\.extern\s+)*\.(entry|func)\s+(?:\([^)]*\)\s*)?([\w$]+)", re.M
)
TARGET = re.compile(r"^\.target\s+sm_(\d+)", re.M)
MAXNTID = re.compile(r"\.maxntid\s+(\d+),\s*(\d+),\s*(\d+)")
EXTERN_SHARED = re.compile(r"^\.extern\s+\.shared\s+.*?([\w$]+)\[\]", re.M)


@dataclasses.dataclass
class PtxEntry:
    launch_bound: int | None  # threads per block in __launch_bounds__, if any
    uses_dynamic_shared: bool


def parse_ptx(path: Path) -> tuple[int, dict[str, PtxEntry]]:
    text = path.read_text()
    target = TARGET.search(text)
    if not target:
        raise ReportError(f"{path}: no .target line")
    extern_shared = set(EXTERN_SHARED.findall(text))
    starts = list(FUNCTION_START.finditer(text))
    entries = {}
    for i, m in enumerate(starts):
        if m.group(1) != "entry":
            continue
        body = text[m.start() : starts[i + 1].start() if i + 1 < len(starts) else len(text)]
        header = body[: body.find("{")]
        bound = MAXNTID.search(header)
        block = int(bound.group(1)) * int(bound.group(2)) * int(bound.group(3)) if bound else None
        uses = any(re.search(rf"\b{re.escape(s)}\b", body) for s in extern_shared)
        entries[m.group(2)] = PtxEntry(block, uses)
    return int(target.group(1)), entries


def demangle(names: list[str]) -> dict[str, str]:
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True, check=True)
    return dict(zip(names, out.stdout.splitlines()))


def short_name(demangled: str) -> str:
    """'void ns::k<float>(args)' -> 'ns::k<float>'."""
    name = demangled[5:] if demangled.startswith("void ") else demangled
    depth = 0
    for i, ch in enumerate(name):
        depth += ch == "<"
        depth -= ch == ">"
        if ch == "(" and depth == 0:
            return name[:i]
    return name


def display_name(qualified: str) -> str:
    return qualified.replace("zorvane::plexar::", "plexar::")


# ---- the report ----------------------------------------------------------------


@dataclasses.dataclass
class Launch:
    pattern: re.Pattern
    block: int
    dynamic_shared: int
    used: bool = False


def parse_launch_table(text: str) -> list[Launch]:
    launches = []
    for line in text.splitlines():
        pattern, block, shared = line.split("\t")
        launches.append(Launch(re.compile(pattern), int(block), int(shared)))
    return launches


def launch_of(name: str, launches: list[Launch]) -> Launch:
    matches = [launch for launch in launches if launch.pattern.fullmatch(name)]
    if len(matches) != 1:
        what = "no line" if not matches else f"{len(matches)} lines"
        raise ReportError(f"{name}: the launch table (scripts/kernel_launch_table.cu) has {what} for it")
    matches[0].used = True
    return matches[0]


def build_report(log: str, ptx_dirs: list[Path], launches: list[Launch], archs: list[int]) -> dict[int, list[Kernel]]:
    kernels = parse_ptxas_log(log)
    if not kernels:
        raise ReportError("no ptxas resource lines in the build log: was every kernel unit compiled in this build?")
    ptx: dict[int, dict[str, PtxEntry]] = {}
    for d in ptx_dirs:
        for path in sorted(d.glob("*.ptx")):
            arch, entries = parse_ptx(path)
            ptx.setdefault(arch, {}).update(entries)
    names = demangle(sorted({k.mangled for k in kernels.values()}))
    report: dict[int, list[Kernel]] = {}
    for arch in archs:
        if arch not in ARCHITECTURES:
            raise ReportError(f"no occupancy limits known for sm_{arch}; known: {sorted(ARCHITECTURES)}")
        rows = [k for (_, a), k in kernels.items() if a == arch]
        if not rows:
            raise ReportError(f"the build log has no kernels for sm_{arch}")
        for k in rows:
            qualified = short_name(names[k.mangled])
            k.name = display_name(qualified)
            entry = ptx.get(arch, {}).get(k.mangled)
            if entry is None:
                raise ReportError(f"{k.name}: no PTX for sm_{arch} (kept PTX missing or overwritten)")
            launch = launch_of(qualified, launches)
            k.block, k.dynamic_shared = launch.block, launch.dynamic_shared
            if entry.launch_bound is not None and entry.launch_bound != k.block:
                raise ReportError(
                    f"{k.name}: __launch_bounds__ of {entry.launch_bound} threads, but the launch table says {k.block}"
                )
            if entry.uses_dynamic_shared != (k.dynamic_shared > 0):
                raise ReportError(
                    f"{k.name}: {'reads' if entry.uses_dynamic_shared else 'does not read'} dynamic shared memory, "
                    f"but the launch table gives it {k.dynamic_shared} bytes"
                )
            k.occupancy, k.limiter = occupancy(
                ARCHITECTURES[arch], k.block, k.registers, k.static_shared + k.dynamic_shared
            )
        report[arch] = sorted(rows, key=lambda k: k.name)
    unused = [launch.pattern.pattern for launch in launches if not launch.used]
    if unused:
        raise ReportError(f"launch table lines that match no built kernel: {unused}")
    return report


def gate(report: dict[int, list[Kernel]], arch: int) -> list[str]:
    if arch not in report:
        raise ReportError(f"--gate {arch}: sm_{arch} was not built")
    failures = []
    for group in HOT_PATHS:
        if not any(k.hot_path() == group for k in report[arch]):
            failures.append(f"sm_{arch}: no kernel matches the hot-path group '{group}'")
    for k in report[arch]:
        if k.hot_path() is None:
            continue
        if k.spills:
            failures.append(
                f"sm_{arch} {k.name}: spills ({k.spill_stores} bytes stored, {k.spill_loads} bytes loaded)"
            )
        if k.occupancy < MIN_OCCUPANCY:
            failures.append(
                f"sm_{arch} {k.name}: theoretical occupancy {k.occupancy:.1%} < {MIN_OCCUPANCY:.0%} "
                f"at {k.block} threads ({k.registers} registers; limited by {k.limiter})"
            )
    return failures


COLUMNS = (
    "kernel", "block", "regs", "stack B", "spill B st/ld", "smem B", "dyn smem B", "occupancy", "limited by", "hot",
)


def row_cells(k: Kernel) -> list[str]:
    return [
        k.name,
        str(k.block),
        str(k.registers),
        str(k.stack),
        f"{k.spill_stores}/{k.spill_loads}",
        str(k.static_shared),
        str(k.dynamic_shared),
        f"{k.occupancy:.1%}",
        k.limiter,
        "yes" if k.hot_path() else "",
    ]


def text_table(arch: int, kernels: list[Kernel], hot_only: bool) -> str:
    a = ARCHITECTURES[arch]
    shown = [k for k in kernels if k.hot_path()] if hot_only else kernels
    rows = [list(COLUMNS)] + [row_cells(k) for k in shown]
    widths = [max(len(r[i]) for r in rows) for i in range(len(COLUMNS))]
    what = f"{len(shown)} hot-path kernels of {len(kernels)}" if hot_only else f"{len(kernels)} kernels"
    lines = [f"== sm_{arch} ({a.name}): {what}; occupancy = resident warps / {a.max_warps} =="]
    for r in rows:
        lines.append("  ".join(c.ljust(w) if i in (0, 8) else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    return "\n".join(lines)


# In the Markdown tables, the rows of gate families that differ only in the
# family's name, the registers and what limits them are merged:
# cu_{x,y,z}_kernel_pair<float>, with the range of their registers.
FAMILY = [
    re.compile(r"^(stavex::cu_)(\w+?)(_kernel_(?:all_state|pair)<.*)$"),
    re.compile(r"^(stavex::)(\w+)(_autopair::.*)$"),
]


def merged_rows(kernels: list[Kernel]) -> list[list[str]]:
    groups: dict[tuple, list[tuple[str | None, Kernel]]] = {}
    for k in kernels:
        key, family = (k.name, ""), None
        for pattern in FAMILY:
            if m := pattern.match(k.name):
                key, family = (m.group(1), m.group(3)), m.group(2)
                break
        cells = row_cells(k)
        groups.setdefault(key + tuple(cells[3:8] + cells[9:]), []).append((family, k))
    rows = []
    for key, members in groups.items():
        families = sorted(f for f, _ in members if f)
        first = members[0][1]
        cells = row_cells(first)
        if len(members) > 1:
            cells[0] = f"{key[0]}{{{','.join(families)}}}{key[1]}"
            low, high = min(k.registers for _, k in members), max(k.registers for _, k in members)
            cells[2] = str(low) if low == high else f"{low}–{high}"
            parts = {part for _, k in members for part in k.limiter.split("/")}
            cells[8] = "/".join(p for p in ("warps", "blocks", "registers", "shared memory") if p in parts)
        rows.append(cells)
    return sorted(rows, key=lambda r: r[0])


def markdown_table(arch: int, kernels: list[Kernel], hot_only: bool) -> str:
    a = ARCHITECTURES[arch]
    chosen = [k for k in kernels if k.hot_path()] if hot_only else kernels
    title = "hot-path kernels" if hot_only else "all kernels"
    lines = [
        f"### sm_{arch} ({a.name}), {title}",
        "",
        "| " + " | ".join(COLUMNS[:-1] if hot_only else COLUMNS) + " |",
        "|" + "|".join("---" if i == 0 or i == 8 else "--:" for i in range(len(COLUMNS) - hot_only)) + "|",
    ]
    for cells in merged_rows(chosen):
        cells = cells[:-1] if hot_only else cells
        cells[0] = "`" + cells[0].replace("|", "\\|") + "`"
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def summary(arch: int, kernels: list[Kernel]) -> str:
    hot = [k for k in kernels if k.hot_path()]
    spilling = [k.name for k in hot if k.spills]
    lowest = min(k.occupancy for k in hot)
    at_lowest = sorted({k.name for k in hot if k.occupancy == lowest})
    outside = [k for k in kernels if not k.hot_path() and (k.spills or k.occupancy < MIN_OCCUPANCY)]
    text = (
        f"- sm_{arch}: {len(kernels)} kernels, {len(hot)} on hot paths; "
        + (f"hot kernels that spill: {', '.join(spilling)}; " if spilling else "no hot kernel spills; ")
        + f"lowest hot occupancy {lowest:.1%} ({', '.join(f'`{n}`' for n in at_lowest)})."
    )
    if outside:
        text += (
            f" Outside the gate, {len(outside)} kernels spill or stay below {MIN_OCCUPANCY:.0%}: "
            + ", ".join(f"`{n}`" for n in sorted({re.sub(r"<.*", "", k.name) for k in outside}))
            + "."
        )
    return text


def markdown(report: dict[int, list[Kernel]], command: str, toolkit: str) -> str:
    limits = "\n".join(
        f"| sm_{arch} | {a.name} | {a.max_threads} | {a.max_blocks} | {a.registers} | {a.reg_unit} per warp "
        f"| {a.shared // KIB} KiB | {a.shared_per_block // KIB} KiB | {a.smem_unit} B | {a.reserved_shared} B |"
        for arch, a in ARCHITECTURES.items()
        if arch in report
    )
    full = max(report)
    parts = [
        "<!-- Generated by scripts/kernel-report.sh --markdown; edit scripts/kernel_report.py instead. -->",
        "## GPU kernel report",
        "",
        "What each CUDA kernel of `stavex` and `plexar` costs on a multiprocessor, from the compiler alone (no GPU "
        "is needed): registers per thread, stack frame (local memory), spilled bytes (stored/loaded), static and "
        "dynamic shared memory per block, the block size its launcher uses, and the theoretical occupancy at that "
        "block size (resident warps over the most the multiprocessor holds) with the resource that limits it. "
        "Block sizes and dynamic shared memory come from the launchers' own constants "
        "(`scripts/kernel_launch_table.cu`); dynamic shared memory is that of the largest tile the launcher makes. "
        "Rows of gate families that differ only in the gate are merged (`cu_{h,x}_kernel_pair<float>`).",
        "",
        f"Regenerate with `{command}` (one CUDA build for the architectures listed, several minutes); "
        "`scripts/kernel-report.sh 90` prints the tables for one architecture. CI runs "
        "`scripts/kernel-report.sh --hot --gate 90 75 90`, which fails, naming the kernel, when a hot-path kernel "
        "(marked *hot*: the state-vector gate kernels of every mode, both shared-memory tile kernels, the "
        "measurement kernels, the density one- and two-qubit unitary kernels) spills or falls below 50% "
        "theoretical occupancy on sm_90.",
        "",
        f"Compiled by: {toolkit}.",
        "",
        *(summary(arch, report[arch]) for arch in sorted(report)),
        "",
        "Limits used, per multiprocessor (shared memory at the largest carve-out; per block without the opt-in, "
        "which no launcher sets):",
        "",
        "| arch | | threads | blocks | registers | register unit | shared memory | per block | shared unit "
        "| reserved per block |",
        "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|",
        limits,
        "",
        markdown_table(full, report[full], hot_only=False),
    ]
    for arch in sorted(report):
        if arch != full:
            parts += ["", markdown_table(arch, report[arch], hot_only=True)]
    return "\n".join(parts) + "\n"


def main(argv: list[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv == ["--known-architectures"]:
        print(" ".join(map(str, sorted(ARCHITECTURES))))
        return 0
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--log", type=Path, required=True, help="build log with ptxas -v output")
    p.add_argument("--ptx-dir", type=Path, action="append", required=True, help="folder of kept PTX (repeatable)")
    p.add_argument("--launch-table", type=Path, required=True, help="output of the kernel_launch_table tool")
    p.add_argument("--arch", type=int, action="append", required=True, help="architecture to report (repeatable)")
    p.add_argument("--gate", type=int, action="append", default=[], help="fail on a hot-path miss on this one")
    p.add_argument("--hot", action="store_true", help="print only the hot-path kernels")
    p.add_argument("--markdown", type=Path, help="also write the tables as Markdown here")
    p.add_argument("--command", default="scripts/kernel-report.sh --markdown docs/kernel-report.md",
                   help="the command named in the Markdown")
    p.add_argument("--toolkit", default="nvcc", help="the compiler's version, named in the Markdown")
    args = p.parse_args(argv)
    try:
        launches = parse_launch_table(args.launch_table.read_text())
        report = build_report(args.log.read_text(), args.ptx_dir, launches, args.arch)
        failures = [f for arch in args.gate for f in gate(report, arch)]
    except ReportError as e:
        print(f"kernel report: {e}", file=sys.stderr)
        return 2
    for arch, kernels in report.items():
        print(text_table(arch, kernels, args.hot))
        print()
    if args.markdown:
        args.markdown.write_text(markdown(report, args.command, args.toolkit))
        print(f"wrote {args.markdown}")
    for arch in args.gate:
        hot = [k for k in report[arch] if k.hot_path()]
        print(f"gate sm_{arch}: {len(hot)} hot-path kernels, none may spill or fall below {MIN_OCCUPANCY:.0%}")
    if failures:
        print("\n".join(["kernel report: FAILED", *("  " + f for f in failures)]), file=sys.stderr)
        return 1
    if args.gate:
        print("kernel report: gate passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
