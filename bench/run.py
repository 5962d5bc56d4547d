"""Runs every benchmark of bench/ and prints one table: ns per operation and ratios.

Usage: python bench/run.py [--rounds N] [--json PATH] [--png PATH] [GROUP ...]

For every row the first candidate is korvane's own implementation; the ratio column gives how many times longer the
other candidate takes than korvane (above 1: korvane is faster).
"""
from __future__ import annotations

import argparse
import importlib.util
import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _timing import time_row  # noqa: E402


def load_groups(names):
    modules = []
    for path in sorted(HERE.glob("bench_*.py")):
        group = path.stem[len("bench_"):]
        if names and group not in names:
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        modules.append((group, module))
    return modules


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("groups", nargs="*", help="benchmark groups (file names bench_GROUP.py); default: all")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", type=pathlib.Path, help="also write the results as JSON")
    parser.add_argument("--png", type=pathlib.Path, help="also draw a chart of the ratios as PNG (needs matplotlib)")
    args = parser.parse_args(argv)

    print(f"Python {sys.version.split()[0]}; ns per operation, best of {args.rounds} rounds; "
          "ratio = candidate time / korvane time")
    results = []
    header = f"{'group':<10} {'operation':<44} {'candidate':<34} {'ns/op':>10} {'ratio':>8}"
    print(header)
    print("-" * len(header))
    for group, module in load_groups(set(args.groups)):
        for row in module.rows():
            timings = time_row(row, rounds=args.rounds)
            base = timings[0][1]
            for i, (label, ns) in enumerate(timings):
                ratio = ns / base if base > 0 else float("nan")
                print(f"{row.group if i == 0 else '':<10} {row.operation if i == 0 else '':<44} "
                      f"{label:<34} {ns:>10.1f} {ratio:>8.2f}")
                results.append({"group": row.group, "operation": row.operation, "candidate": label,
                                "ns_per_op": ns, "ratio_vs_korvane": ratio, "korvane": i == 0})
            if row.note:
                print(f"{'':<10} {'':<44} ({row.note})")
        sys.stdout.flush()
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(results, indent=2))
        print(f"results written to {args.json}")
    if args.png:
        draw_chart(results, args.png)
        print(f"chart written to {args.png}")
    return 0


def draw_chart(results, path):
    """One horizontal bar per comparison: how many times longer the other candidate takes than korvane."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    bars = [r for r in results if not r["korvane"]]
    labels = [f"{r['group']}: {r['operation']}  vs  {r['candidate']}" for r in bars]
    ratios = [r["ratio_vs_korvane"] for r in bars]
    height = max(3.0, 0.22 * len(bars) + 1.0)
    fig, ax = plt.subplots(figsize=(13, height))
    colours = ["#2a9d8f" if x >= 1.0 else "#e76f51" for x in ratios]
    ax.barh(range(len(bars)), ratios, color=colours)
    ax.set_yticks(range(len(bars)))
    ax.set_yticklabels(labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("time of the other candidate / time of korvane  (log scale; right of 1 = korvane faster)")
    ax.set_title(f"korvane native core: speed against the alternatives (Python {sys.version.split()[0]})")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    sys.exit(main())
