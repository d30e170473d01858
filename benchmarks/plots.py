"""PNG plots of the figures benchmarks/run.py collects, one file per section,
each with a footer naming the machine, backend, dtype(s) and date."""
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402


def _footer(fig, meta, dtypes):
    machine = meta["machine"]["summary"]
    backend = ", ".join(f"{k} {v}" for k, v in meta["backend"].items())
    fig.text(0.01, 0.005, f"{machine} | backend: {backend} | dtype: {', '.join(dtypes)} | {meta['date']}",
             fontsize=7, color="0.3", va="bottom")


def _save(fig, out, name, meta, dtypes):
    _footer(fig, meta, dtypes)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    path = Path(out) / f"{name}.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path.name


def gate_bandwidth(figures, meta, out):
    dtypes = list(figures["labels"])
    cases = list(dict.fromkeys(r["case"] for r in figures["records"]))
    modes = list(dict.fromkeys(r["mode"] for r in figures["records"]))
    families = list(dict.fromkeys(r["family"] for r in figures["records"]))
    fig, axes = plt.subplots(len(cases), len(dtypes), figsize=(8 * len(dtypes), 2.8 * len(cases)), squeeze=False)
    x = np.arange(len(families))
    width = 0.8 / len(modes)
    for row, case in enumerate(cases):
        for column, dtype in enumerate(dtypes):
            ax = axes[row][column]
            for i, mode in enumerate(modes):
                values = {r["family"]: r["fraction_of_copy"] or np.nan for r in figures["records"]
                          if r["dtype"] == dtype and r["case"] == case and r["mode"] == mode}
                ax.bar(x + (i - (len(modes) - 1) / 2) * width, [values.get(f, np.nan) for f in families], width,
                       label=mode)
            ax.axhline(1.0, color="k", lw=0.8)
            ax.axhline(0.9, color="r", lw=0.8, ls="--", label="goal 90% (one-qubit gates)")
            ax.set_xticks(x, families, fontsize=7, rotation=45, ha="right")
            ax.set_ylabel("fraction of copy")
            ax.set_title(f"one pass per gate, n={figures['qubits']}, {dtype}; targets {case}", fontsize=9)
            if row == 0 and column == 0:
                ax.legend(fontsize=7, ncol=2)
    return _save(fig, out, "gate_bandwidth", meta, dtypes)


def circuits(figures, meta, out):
    dtypes = list(figures["labels"])
    fig, (ax_time, ax_pass) = plt.subplots(1, 2, figsize=(11, 4))
    for dtype in dtypes:
        rows = [r for r in figures["records"] if r["dtype"] == dtype]
        q = [r["qubits"] for r in rows]
        ax_time.semilogy(q, [r["pair_auto_s"] for r in rows], "o--", label=f"PairAuto {dtype}")
        ax_time.semilogy(q, [r["pair_auto_fusion_s"] for r in rows], "o-", label=f"PairAutoFusion {dtype}")
    ax_time.set_xlabel("qubits")
    ax_time.set_ylabel("seconds")
    ax_time.set_title(f"layered random circuits, depth {figures['depth']}", fontsize=9)
    ax_time.legend(fontsize=7)
    plans = sorted({(r["qubits"], r["gates_per_pass"]) for r in figures["records"]} |
                   {(r["qubits"], r["gates_per_pass"]) for r in figures["plans"]})
    ax_pass.plot([p[0] for p in plans], [p[1] for p in plans], "o-")
    ax_pass.axhline(10, color="r", ls="--", lw=0.8, label="goal 10")
    ax_pass.set_xlabel("qubits")
    ax_pass.set_ylabel("gates per pass (default plan)")
    ax_pass.set_ylim(bottom=0)
    ax_pass.legend(fontsize=7)
    return _save(fig, out, "circuits", meta, dtypes)


def qasm(figures, meta, out):
    rows = [r for r in figures["records"] if "skipped" not in r]
    if not rows:
        return None
    fig, ax = plt.subplots(figsize=(7, 3.5))
    x = np.arange(len(rows))
    ax.bar(x - 0.2, [r["pair_auto_s"] * 1e3 for r in rows], 0.4, label="PairAuto")
    ax.bar(x + 0.2, [r["pair_auto_fusion_s"] * 1e3 for r in rows], 0.4, label="PairAutoFusion")
    ax.set_xticks(x, [f"{r['file']}\n{r['qubits']}q, {r['gates']} gates, {r['passes']} passes" for r in rows],
                  fontsize=7)
    ax.set_ylabel("milliseconds")
    ax.set_title("QASM examples", fontsize=9)
    ax.legend(fontsize=7)
    return _save(fig, out, "qasm", meta, [figures["label"]["dtype"]])


def sampling(figures, meta, out):
    fig, ax = plt.subplots(figsize=(6, 3.5))
    rows = figures["records"]
    ax.loglog([r["shots"] for r in rows], [r["shots_per_second"] for r in rows], "o-")
    ax.set_xlabel("shots per call")
    ax.set_ylabel("shots per second")
    ax.set_title(f"sample_measure_device, {figures['measured']} of {figures['qubits']} qubits", fontsize=9)
    return _save(fig, out, "sampling", meta, [figures["label"]["dtype"]])


def density_kernels(figures, meta, out):
    dtypes = list(figures["labels"])
    kinds = list(dict.fromkeys(r["kind"] for r in figures["records"]))
    targets = list(dict.fromkeys(r["targets"][0] for r in figures["records"]))
    fig, axes = plt.subplots(1, len(dtypes), figsize=(6 * len(dtypes), 4), squeeze=False)
    x = np.arange(len(kinds))
    width = 0.8 / len(targets)
    for ax, dtype in zip(axes[0], dtypes):
        for i, target in enumerate(targets):
            values = {r["kind"]: r["fraction_of_copy"] or np.nan for r in figures["records"]
                      if r["dtype"] == dtype and r["targets"][0] == target}
            ax.bar(x + (i - (len(targets) - 1) / 2) * width, [values.get(k, np.nan) for k in kinds], width,
                   label=f"first target {target}")
        ax.axhline(1.0, color="k", lw=0.8)
        ax.set_xticks(x, kinds, rotation=30, ha="right", fontsize=7)
        ax.set_ylabel("fraction of copy")
        ax.set_title(f"density kernels, n={figures['qubits']}, {dtype}", fontsize=9)
        ax.legend(fontsize=7)
    return _save(fig, out, "density_kernels", meta, dtypes)


def density_fusion(figures, meta, out):
    rows = figures["records"]
    fig, (ax_t, ax_p) = plt.subplots(1, 2, figsize=(10, 3.8))
    q = [r["qubits"] for r in rows]
    ax_t.semilogy(q, [r["unfused_s"] for r in rows], "o--", label="unfused")
    ax_t.semilogy(q, [r["fused_s"] for r in rows], "o-", label="ZORVANE_DENSITY_FUSION=1")
    ax_t.set_xlabel("qubits")
    ax_t.set_ylabel("seconds")
    ax_t.set_title(f"noisy layered circuits, {figures['layers']} layers", fontsize=9)
    ax_t.legend(fontsize=7)
    if any(r["operations_per_pass_fused"] for r in rows):
        ax_p.plot(q, [r["operations_per_pass_unfused"] for r in rows], "o--", label="unfused")
        ax_p.plot(q, [r["operations_per_pass_fused"] for r in rows], "o-", label="fused")
        ax_p.set_ylabel("operations per kernel launch")
    else:
        ax_p.plot(q, [r["speedup"] for r in rows], "o-", label="unfused / fused")
        ax_p.set_ylabel("speedup")
    ax_p.set_xlabel("qubits")
    ax_p.legend(fontsize=7)
    return _save(fig, out, "density_fusion", meta, [figures["label"]["dtype"]])


def host_costs(figures, meta, out):
    rows = figures["records"]
    fig, ax = plt.subplots(figsize=(8, 3.5))
    y = np.arange(len(rows))
    ax.barh(y, [r["seconds_per_item"] * 1e6 for r in rows])
    ax.set_yticks(y, [r["what"] for r in rows], fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("microseconds per gate or operation")
    ax.set_title("host costs", fontsize=9)
    return _save(fig, out, "host_costs", meta, ["complex128 (host work)"])


def peers(figures, meta, out):
    sv, dm = figures["statevector"], figures["density"]
    if not sv and not dm:
        return None
    fig, axes = plt.subplots(1, 2, figsize=(11, 4))
    for ax, rows, key in ((axes[0], sv, "peer"), (axes[1], dm, "ours")):
        series = list(dict.fromkeys((r["peer"], r["dtype"], r.get("ours", "")) for r in rows))
        for peer, dtype, ours in series:
            points = [r for r in rows if (r["peer"], r["dtype"], r.get("ours", "")) == (peer, dtype, ours)]
            label = f"{peer} vs ours {dtype}" + (f" {ours}" if ours else "")
            ax.semilogy([r["qubits"] for r in points], [r["peer_over_ours"] for r in points], "o-", label=label)
        ax.axhline(1.0, color="k", lw=0.8)
        ax.set_xlabel("qubits")
        ax.set_ylabel("peer time / our time (>1: ours faster)")
        ax.legend(fontsize=6)
    axes[0].set_title(f"state vector, layered random circuits ({figures['device']})", fontsize=9)
    axes[1].set_title(f"density matrix, noisy layered circuits ({figures['device']})", fontsize=9)
    dtypes = sorted({r["dtype"] for r in sv + dm})
    return _save(fig, out, "peers", meta, dtypes)


WRITERS = {"gate_bandwidth": gate_bandwidth, "circuits": circuits, "qasm": qasm, "sampling": sampling,
           "density_kernels": density_kernels, "density_fusion": density_fusion, "host_costs": host_costs,
           "peers": peers}


def write_all(result, out):
    """Writes the plot of every section that has figures; returns the file names."""
    written = []
    for name, figures in result["figures"].items():
        if figures.get("skipped"):
            continue
        path = WRITERS[name](figures, result["meta"], out)
        if path:
            written.append(path)
    return written
