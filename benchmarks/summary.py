"""The headline figures of a benchmarks/run.py result as Markdown tables
(DIR/summary.md), ready to paste into docs/performance.md after a new run."""


def _f(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def _table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def goals_table(result):
    goals, rows = result["goals"], []
    one = goals.get("one_qubit_pass_fraction_of_copy")
    if one:
        where = "at the goal's conditions" if one["at_goal_conditions"] else \
            f"{one['qubits']} qubits, {result['meta']['backend']['stavex']} backend: not the goal's conditions"
        rows.append(["one-qubit gate pass (PairAuto, complex64, no control) >= 90% of copy at 30 qubits",
                     f"median {_f(100 * one['median'], 0)}%, lowest {_f(100 * one['lowest'], 0)}% "
                     f"({one['lowest_at']})", where])
    gpp = goals.get("gates_per_pass")
    if gpp:
        rows.append(["gates per pass >= 10 (30 qubits, depth 20)",
                     f"{_f(gpp['value'], 1)} ({gpp['gates']} gates in {gpp['passes']} passes)", gpp["source"]])
    depth = goals.get("depth20_30q_complex64")
    if depth:
        if "measured_s" in depth:
            rows.append(["30 qubits, depth 20, complex64 <= 0.25 s on an H100", f"{_f(depth['measured_s'], 3)} s",
                         f"measured on {depth['measured_on']}"])
        elif "estimate" in depth:
            text = "; ".join(f"{name}: {_f(seconds, 3)} s" for name, seconds in depth["estimate"].items())
            rows.append(["30 qubits, depth 20, complex64 <= 0.25 s on an H100", f"ESTIMATE {text}",
                         "not measured (no GPU): memory-bound estimate"])
    return _table(["goal", "figure", "where"], rows)


def peers_table(result):
    peers = result["figures"].get("peers")
    if not peers:
        return ""
    rows = [[r["qubits"], r["dtype"], r["peer"], _f(r["ours_s"], 3), _f(r["peer_s"], 3), _f(r["peer_over_ours"])]
            for r in peers["statevector"]]
    rows += [[r["qubits"], r["dtype"], f"{r['peer']} (ours {r['ours']})", _f(r["ours_s"], 3), _f(r["peer_s"], 3),
              _f(r["peer_over_ours"])] for r in peers["density"]]
    text = _table(["qubits", "dtype", "peer", "ours s", "peer s", "peer / ours"], rows)
    if peers["notes"]:
        text += "\n\nSkipped: " + "; ".join(peers["notes"])
    return text


def circuits_table(result):
    circuits = result["figures"].get("circuits")
    if not circuits:
        return ""
    rows = [[r["qubits"], r["dtype"], r["gates"], r["passes"], _f(r["gates_per_pass"], 1), _f(r["pair_auto_s"], 3),
             _f(r["pair_auto_fusion_s"], 3), _f(r["speedup"])] for r in circuits["records"]]
    return _table(["qubits", "dtype", "gates", "passes", "gates/pass", "PairAuto s", "PairAutoFusion s", "speedup"],
                  rows)


def markdown(result):
    meta = result["meta"]
    parts = [f"Run of {meta['date']} on {meta['machine']['summary']}; backend: stavex {meta['backend']['stavex']}, "
             f"plexar {meta['backend']['plexar']}; profile {meta['profile']}; {result['elapsed_s']:.0f} s.",
             "### Goals", goals_table(result), "### Layered random circuits", circuits_table(result),
             "### Peers (time ratios: above 1, ours is faster)", peers_table(result)]
    return "\n\n".join(part for part in parts if part) + "\n"
