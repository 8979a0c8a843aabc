#!/usr/bin/python3
"""Turns compare_trackers' one-box JSON into success plots: a panel per sequence, a line per
tracker (the share of frames whose IoU lies above each threshold), its AUC in the legend.

    build/bench/compare_trackers --one-box --clip-maker build/tools/make_sample_clip \\
        --json one_box.json
    tools/plot_success.py one_box.json docs/one_box.png "machine and build"
"""

import json
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(source, target, note=""):
    with open(source) as data:
        sequences = json.load(data)
    columns = min(3, len(sequences))
    rows = math.ceil(len(sequences) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(5 * columns, 4 * rows), squeeze=False)
    thresholds = [k / 20 for k in range(21)]
    for panel, sequence in zip(axes.flat, sequences):
        for tracker in sequence["trackers"]:
            vizmoro = tracker["name"].startswith("Vizmoro")
            panel.plot(thresholds, tracker["curve"], linewidth=2.5 if vizmoro else 1.2,
                       linestyle="-" if vizmoro else "--",
                       label=f'{tracker["name"]} [{tracker["auc"]:.3f}]')
        panel.set_title(f'{sequence["sequence"]} ({sequence["frames"]} frames)')
        panel.set_xlabel("IoU threshold")
        panel.set_ylabel("success rate")
        panel.set_xlim(0, 1)
        panel.set_ylim(0, 1)
        panel.grid(alpha=0.3)
        panel.legend(fontsize=7, loc="upper right")
    for panel in list(axes.flat)[len(sequences):]:
        panel.axis("off")
    figure.suptitle("One-pass evaluation from one box" + (f" ({note})" if note else ""))
    figure.tight_layout()
    figure.savefig(target, dpi=80)


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    main(*sys.argv[1:])
