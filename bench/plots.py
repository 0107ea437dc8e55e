#!/usr/bin/python3
"""Draws the growth curves of a policy_bench result as one PNG: the cost of
authenticated_userid by number of users (10 to 1,000,000), by key set size
(1 to 100) and by token size (1 KiB to 1 MiB), log scales.

    /usr/bin/python3 bench/plots.py POLICY_JSON PNG
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)


def series(points, x_key, ratio):
    """(x, y, CV) of the points that were measured, and the x of the others;
    y is µs per request, or with `ratio` the ratio to the first subject
    measured in the same loop."""
    xs, ys, cvs, missing = [], [], [], []
    for p in points:
        measure = p.get("measure")
        if not measure:
            missing.append(p[x_key])
            continue
        spread = measure["ratio_to_first" if ratio else "ns"][-1]
        xs.append(p[x_key])
        ys.append(spread["median"] if ratio else spread["median"] / 1e3)
        cvs.append(spread["cv"])
    return xs, ys, cvs, missing


def panel(axis, points, x_key, title, xlabel, ratio=False, log_y=False, target=None):
    xs, ys, cvs, missing = series(points, x_key, ratio)
    axis.errorbar(xs, ys, yerr=[y * c for y, c in zip(ys, cvs)], marker="o", capsize=3)
    axis.set_xscale("log")
    if log_y:
        axis.set_yscale("log")
    else:
        axis.set_ylim(0, max(ys + [target or 0]) * 1.3 if ys else 1)
    if target:
        axis.axhline(target, color="red", linestyle="--", linewidth=1, label=f"target {target}")
        axis.legend(fontsize=8)
    axis.set_title(title, fontsize=10)
    axis.set_xlabel(xlabel)
    axis.set_ylabel("time / time with 10 users, same loop" if ratio else "µs per request (CPU)")
    axis.grid(True, which="both", alpha=0.3)
    for x in missing:
        axis.axvline(x, color="grey", linestyle=":")
        axis.annotate("refused", (x, axis.get_ylim()[1]), rotation=90, fontsize=8, va="top")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        bench = json.load(f)
    panels = [p for p in (
        ("users", "users", "by number of users (HS256)", "users", {"ratio": True, "target": 1.1}),
        ("key_set_curve", "keys", "by keys in the set (HS256, 10 users)", "keys", {}),
        ("token_curve", "bytes", "by token size (HS256, 10 users)", "token bytes", {"log_y": True}),
    ) if bench.get(p[0])]
    if not panels:
        sys.exit("plots: no growth curve in the result")
    figure, axes = plt.subplots(1, len(panels), figsize=(5 * len(panels), 4), squeeze=False)
    for axis, (key, x, title, label, options) in zip(axes[0], panels):
        panel(axis, bench[key], x, "authenticated_userid " + title, label, **options)
    machine = bench.get("machine", {})
    figure.suptitle(f"{machine.get('date', '')}, {machine.get('cpus', '?')} CPUs {machine.get('model', '')}, "
                    f"load {machine.get('load_average', [0])[0]:.2f} at start", fontsize=9)
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=100)


if __name__ == "__main__":
    main()
