#!/usr/bin/python3
"""Turns engine_bench's JSON (--benchmark_format=json) into the README's table of tracking
passes and a plot of pass time against bases, a line per frame size, mask and thread count.

    build-bench/bench/engine_bench --benchmark_format=json --benchmark_repetitions=5 \\
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \\
        > bench.json
    tools/plot_bench.py bench.json docs/bench.png [before.json]
"""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def passes(path):
    """{(bases asked, width, masked, threads): (ms, bases, level-1 bases)}: the least of the
    repetitions where the report has it, else the single run."""
    with open(path) as source:
        report = json.load(source)
    runs = [run for run in report["benchmarks"] if run["name"].startswith("BM_TrackingPass/")]
    least = [run for run in runs if run.get("aggregate_name") == "least"]
    found = {}
    for run in least or runs:
        if not least and run.get("run_type") == "aggregate":
            continue
        asked = int(run["name"].split("bases:")[1].split("/")[0])
        key = (asked, int(run["width"]), bool(run["masked"]), int(run["threads"]))
        found[key] = (run["real_time"], int(run["bases"]), int(run["level1"]))
    return report.get("context", {}), found


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    context, after = passes(sys.argv[1])
    before = passes(sys.argv[3])[1] if len(sys.argv) > 3 else {}
    print(f"{context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz")
    head = "| frame | bases (level 1) | mask | threads |"
    head += " before | after |" if before else " pass |"
    print(head)
    print("|---" * (head.count("|") - 1) + "|")
    for key in sorted(after, key=lambda k: (k[1], k[0], k[2], k[3])):
        asked, width, masked, threads = key
        ms, bases, level1 = after[key]
        frame = "640 x 480" if width == 640 else "1920 x 1080"
        row = f"| {frame} | {bases} ({level1}) | {'yes' if masked else 'no'} | {threads} |"
        if before:
            old = before.get(key)
            row += f" {old[0]:.2f} ms |" if old else " |"
        print(row + f" {ms:.2f} ms |")

    figure, axes = plt.subplots(figsize=(8, 5))
    lines = sorted({(k[1], k[2], k[3]) for k in after})
    for width, masked, threads in lines:
        points = sorted((after[k][1], after[k][0]) for k in after if k[1:] == (width, masked, threads))
        label = f"{width} wide, {threads} thread{'s' if threads > 1 else ''}"
        label += ", masked" if masked else ""
        axes.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                  linestyle="--" if masked else "-", label=label)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("bases in the memory")
    axes.set_ylabel("tracking pass (ms)")
    axes.set_title("One ObjectTracking pass (learning on)")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=100)


if __name__ == "__main__":
    main()
