"""A histogram of counts with matplotlib (an optional library)."""
from __future__ import annotations

from ._optional import require

# Bars drawn at most; more outcomes show the most frequent ones.
MAX_BARS = 64


def plot_counts(counts: dict[str, int], path: str, title: str = "") -> None:
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    shown = sorted(counts.items(), key=lambda item: (-item[1], item[0]))[:MAX_BARS]
    shown.sort()
    total = sum(counts.values())
    figure, axes = plt.subplots(figsize=(max(4.0, 0.35 * len(shown) + 2), 3.5))
    try:
        axes.bar([key for key, _ in shown], [count for _, count in shown], color="#3b6ea5")
        axes.set_ylabel("count")
        axes.set_xlabel("outcome")
        suffix = f" (the {MAX_BARS} most frequent of {len(counts)})" if len(counts) > MAX_BARS else ""
        axes.set_title(f"{title}  {total} shots{suffix}".strip())
        axes.tick_params(axis="x", labelrotation=90 if len(shown) > 8 else 0)
        figure.tight_layout()
        figure.savefig(path)
    finally:
        plt.close(figure)
