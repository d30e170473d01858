"""Swap planning for a state vector spread over 2**g ranks.

Pure host logic (no MPI, no device): a checked gate list and the current qubit
map go in; out come segments of gates on physical positions, which each rank
runs through stavex on its own amplitudes, separated by exchanges, and the map
that holds afterwards.

An exchange trades the k highest local positions, L-k .. L-1, with k global
positions: a rank's amplitudes fall into 2**k contiguous blocks by their top
k local bits, and block h goes to the rank of its group (the 2**k ranks that
agree on every other rank bit) whose bits at those global positions spell h.
Each rank keeps one block and sends the other 2**k - 1, so bringing in k
qubits at once costs (1 - 2**-k) of the local state instead of k halves.

Two strategies:
- `lookahead`: when a gate needs global qubits, bring them in together with
  other global qubits needed sooner than the local qubit they would displace
  (a batch), evict the local qubits whose next need is furthest away, and keep
  the permuted map. Qubits known to be in the same basis state (|0> after
  zero_state, until a non-diagonal gate targets them) are interchangeable, so
  such a qubit comes in by relabelling alone.
- `naive`: bring a gate's global targets in before it and send them back after.

Uncontrolled swaps exchange two entries of the map; diagonal gates and
controls never need an exchange (see gates.py).
"""
from __future__ import annotations

import math
from collections import deque
from dataclasses import dataclass, field
from typing import Sequence

import numpy as np

from .gates import GateRecord, swap_record

NEVER = math.inf


class Layout:
    """Where each logical qubit lives. Position p < L is bit p of a rank's
    amplitude index; position L + j is bit j of the rank. `known` maps qubits
    known to be in a basis state (a product factor |0> or |1>) to that value."""

    def __init__(self, n: int, global_count: int, position: Sequence[int] | None = None,
                 known: dict[int, int] | None = None) -> None:
        if not 0 <= global_count < n:
            raise ValueError(f"a layout of {n} qubits needs fewer than {n} global qubits, got {global_count}")
        self.n = n
        self.global_count = global_count
        self.position = list(range(n)) if position is None else list(position)
        if sorted(self.position) != list(range(n)):
            raise ValueError("a layout's positions must be a permutation of 0 .. n-1")
        self.qubit_at = [0] * n
        for q, p in enumerate(self.position):
            self.qubit_at[p] = q
        self.known = dict(known or {})

    @classmethod
    def zero_state(cls, n: int, global_count: int) -> "Layout":
        return cls(n, global_count, known=dict.fromkeys(range(n), 0))

    @property
    def local_count(self) -> int:
        return self.n - self.global_count

    def is_global(self, qubit: int) -> bool:
        return self.position[qubit] >= self.local_count

    def global_qubits(self) -> tuple[int, ...]:
        """The qubit on each global position, bit 0 of the rank first."""
        return tuple(self.qubit_at[self.local_count:])

    def swap_positions(self, a: int, b: int) -> None:
        qa, qb = self.qubit_at[a], self.qubit_at[b]
        self.qubit_at[a], self.qubit_at[b] = qb, qa
        self.position[qa], self.position[qb] = b, a

    def swap_qubits(self, qa: int, qb: int) -> None:
        """An uncontrolled swap gate: the qubits trade places and what is known of them."""
        self.swap_positions(self.position[qa], self.position[qb])
        ka, kb = self.known.pop(qa, None), self.known.pop(qb, None)
        if kb is not None:
            self.known[qa] = kb
        if ka is not None:
            self.known[qb] = ka

    def logical_order(self, physical: np.ndarray) -> np.ndarray:
        """A whole state indexed by physical position bits (rank r's amplitudes
        at r * 2**L), reindexed by logical qubit bits."""
        n, position = self.n, self.position
        if position == list(range(n)):
            return physical
        axes = [n - 1 - position[n - 1 - a] for a in range(n)]  # axis a of an n-axis view is bit n-1-a
        return np.ascontiguousarray(physical.reshape((2,) * n).transpose(axes)).reshape(-1)

    def copy(self) -> "Layout":
        return Layout(self.n, self.global_count, self.position, self.known)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Layout) and (self.n, self.global_count, self.position, self.known) == (
            other.n, other.global_count, other.position, other.known)

    def __repr__(self) -> str:
        return f"Layout(n={self.n}, global_count={self.global_count}, position={self.position})"


@dataclass(frozen=True)
class Exchange:
    """Local position L-k+i trades places with global_positions[i]."""

    global_positions: tuple[int, ...]

    @property
    def qubits(self) -> int:
        return len(self.global_positions)

    def bytes_per_rank(self, local_count: int, itemsize: int) -> int:
        k = self.qubits
        return ((1 << k) - 1) * (1 << (local_count - k)) * itemsize


@dataclass
class Segment:
    """Gates on physical positions that every rank runs without communicating."""

    gates: list[GateRecord] = field(default_factory=list)


@dataclass
class Plan:
    steps: list[Segment | Exchange]
    layout: Layout  # the map once the plan has run
    local_swaps: int  # swap gates within ranks that line evicted qubits up at the top positions

    @property
    def exchanges(self) -> list[Exchange]:
        return [s for s in self.steps if isinstance(s, Exchange)]

    @property
    def swap_count(self) -> int:
        """Qubits traded between local and global positions."""
        return sum(e.qubits for e in self.exchanges)

    def bytes_exchanged(self, itemsize: int) -> int:
        """Bytes sent by all ranks together."""
        local = self.layout.local_count
        return sum(e.bytes_per_rank(local, itemsize) for e in self.exchanges) << self.layout.global_count


class _Planning:
    """The walk over a gate list that both strategies share."""

    def __init__(self, records: Sequence[GateRecord], layout: Layout) -> None:
        self.records = records
        self.layout = layout.copy()
        self.steps: list[Segment | Exchange] = []
        self.segment = Segment()
        self.local_swaps = 0
        self.needs: dict[int, deque[int]] = {q: deque() for q in range(layout.n)}
        for i, r in enumerate(records):
            for q in r.needs_local:
                self.needs[q].append(i)

    def next_need(self, qubit: int, now: int) -> float:
        uses = self.needs[qubit]
        while uses and uses[0] < now:
            uses.popleft()
        return uses[0] if uses else NEVER

    def add_gate(self, record: GateRecord) -> None:
        layout = self.layout
        if record.relabels:
            layout.swap_qubits(*record.targets)
            return
        position = layout.position
        self.segment.gates.append(record.on_positions([position[t] for t in record.targets],
                                                      [position[c] for c in record.controls]))
        if not record.diagonal:
            for t in record.targets:
                layout.known.pop(t, None)

    def exchange(self, evict: Sequence[int], bring: Sequence[int]) -> Exchange:
        """Moves the qubits `evict` to the top local positions (swap gates
        within each rank), then trades them for the global qubits `bring`;
        returns the exchange step."""
        layout = self.layout
        k, local = len(evict), layout.local_count
        top = range(local - k, local)
        evict_set = set(evict)
        free_slots = [p for p in top if layout.qubit_at[p] not in evict_set]
        for q in evict:
            if layout.position[q] < local - k:
                slot = free_slots.pop()
                self.segment.gates.append(swap_record(layout.position[q], slot))
                layout.swap_positions(layout.position[q], slot)
                self.local_swaps += 1
        self.flush()
        globals_ = tuple(sorted(layout.position[q] for q in bring))
        for i, g in enumerate(globals_):
            layout.swap_positions(local - k + i, g)
        step = Exchange(globals_)
        self.steps.append(step)
        return step

    def flush(self) -> None:
        if self.segment.gates:
            self.steps.append(self.segment)
            self.segment = Segment()

    def plan(self) -> Plan:
        self.flush()
        return Plan(self.steps, self.layout, self.local_swaps)


def _lookahead(records: Sequence[GateRecord], layout: Layout) -> Plan:
    p = _Planning(records, layout)
    lay = p.layout
    for i, record in enumerate(records):
        missing = [q for q in record.needs_local if lay.is_global(q)]
        if missing:
            protected = set(record.needs_local)
            # Furthest next need first; among equals the higher position, which needs no swap to the top.
            candidates = sorted((q for q in range(lay.n) if not lay.is_global(q) and q not in protected),
                                key=lambda q: (-p.next_need(q, i), -lay.position[q]))
            # A qubit in a known basis state comes in by relabelling with a local one in the same state.
            for q in list(missing):
                value = lay.known.get(q)
                twin = next((c for c in candidates if lay.known.get(c, -1) == value), None)
                if value is not None and twin is not None:
                    lay.swap_positions(lay.position[q], lay.position[twin])
                    candidates.remove(twin)
                    missing.remove(q)
            if missing:
                bring = list(missing)
                evict = candidates[:len(missing)]
                extras = sorted((q for q in lay.global_qubits() if q not in missing and p.next_need(q, i) < NEVER),
                                key=lambda q: p.next_need(q, i))
                for q in extras:
                    if len(evict) == len(candidates) or p.next_need(q, i) >= p.next_need(candidates[len(evict)], i):
                        break
                    bring.append(q)
                    evict.append(candidates[len(evict)])
                p.exchange(evict, bring)
        p.add_gate(record)
    return p.plan()


def _naive(records: Sequence[GateRecord], layout: Layout) -> Plan:
    p = _Planning(records, layout)
    lay = p.layout
    for record in records:
        missing = [q for q in record.needs_local if lay.is_global(q)]
        if not missing:
            p.add_gate(record)
            continue
        protected = set(record.needs_local)
        evict = [lay.qubit_at[pos] for pos in reversed(range(lay.local_count))
                 if lay.qubit_at[pos] not in protected][:len(missing)]
        there = p.exchange(evict, missing)
        p.add_gate(record)
        # Back where they came from: the same exchange again.
        p.flush()
        for i, g in enumerate(there.global_positions):
            lay.swap_positions(lay.local_count - there.qubits + i, g)
        p.steps.append(there)
    return p.plan()


STRATEGIES = {"lookahead": _lookahead, "naive": _naive}


def plan_gates(records: Sequence[GateRecord], layout: Layout, strategy: str = "lookahead") -> Plan:
    """Plans checked records (gates.read_gate_list) from `layout`, which is left as it was."""
    try:
        planner = STRATEGIES[strategy]
    except KeyError:
        raise ValueError(f"strategy must be one of {sorted(STRATEGIES)}, got {strategy!r}") from None
    return planner(records, layout)
