#!/usr/bin/env python3
"""Joins the soak driver's samples with the outside sampler's, writes samples.csv and
chart.svg, and prints one line per measure: start, end, growth per million calls
fitted over the second half of the run, and the verdict. Exits 1 when a measure grows.

    report.py DRIVER_CSV SAMPLER_CSV OUT_FOLDER
"""
import csv
import math
import os
import statistics
import sys

# A measure grows when the rise its fit gives over the second half exceeds the larger
# of a share of its level and a multiple of the fit's residual spread: both scale with
# the measure, so one rule serves handles and megabytes. Noise (a child process open
# at a sample, a collection mid-way, Wine's heap settling) moves the fit by about a
# residual spread; a leak rises steadily far past both.
LEVEL_SHARE = 0.05
RESIDUAL_SDS = 4.0

# (column, title, whether it counts bytes)
MEASURES = [
    ("handles", "Handles of the process (outside)", False),
    ("private_bytes", "Private bytes (outside)", True),
    ("heap_blocks", "Busy blocks of the process heap", False),
    ("heap_bytes", "Bytes in busy blocks of the process heap", True),
    ("jvm_heap_bytes", "Java heap in use after a collection", True),
]
KIND_COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2"]


def read(path):
    with open(path, newline="") as f:
        return [{k: int(v) for k, v in row.items()} for row in csv.DictReader(f)]


def join(driver, outside):
    """One row per driver sample, with the outside measures interpolated in time between
    the outside samples on either side (none outside the sampler's span): the driver's
    calls run at hundreds of thousands a second, so the nearest sample in time would put
    the outside figures at the wrong number of calls."""
    rows = []
    for d in driver:
        row = dict(d)
        t = d["time_ms"]
        before = [o for o in outside if o["time_ms"] <= t]
        after = [o for o in outside if o["time_ms"] >= t]
        for column in ("handles", "private_bytes"):
            row[column] = None
            if before and after:
                a, b = before[-1], after[0]
                span = b["time_ms"] - a["time_ms"]
                share = (t - a["time_ms"]) / span if span else 0.0
                row[column] = round(a[column] + (b[column] - a[column]) * share)
        rows.append(row)
    return rows


def fit(xs, ys):
    """Least squares: slope, intercept, residual standard deviation."""
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx > 0 else 0.0
    intercept = my - slope * mx
    residuals = [y - (intercept + slope * x) for x, y in zip(xs, ys)]
    sd = math.sqrt(sum(r * r for r in residuals) / (n - 2)) if n > 2 else 0.0
    return slope, intercept, sd


def judge(rows, column):
    points = [(r["calls"] / 1e6, r[column], r["time_ms"]) for r in rows if r.get(column) is not None and r[column] >= 0]
    if len(points) < 4:
        return None
    t0, t1 = points[0][2], points[-1][2]
    half = [p for p in points if p[2] >= (t0 + t1) / 2]
    if len(half) < 3:
        half = points[-3:]
    xs = [p[0] for p in half]
    ys = [p[1] for p in half]
    slope, intercept, sd = fit(xs, ys)
    span = xs[-1] - xs[0]
    level = statistics.median(ys)
    by_level, by_noise = LEVEL_SHARE * abs(level), RESIDUAL_SDS * sd
    allowed_rise = max(by_level, by_noise, 1.0)
    threshold = allowed_rise / span if span > 0 else float("inf")
    rule = f"{LEVEL_SHARE:.0%} of level" if by_level >= by_noise else f"{RESIDUAL_SDS:g} residual SDs"
    return {
        "start": points[0][1], "end": points[-1][1], "slope": slope, "intercept": intercept, "sd": sd,
        "level": level, "threshold": threshold, "span": span, "x0": xs[0], "x1": xs[-1],
        "growing": slope > threshold, "points": points, "rule": rule,
    }


def number(value, in_bytes):
    if in_bytes:
        for unit, size in (("MiB", 2**20), ("KiB", 2**10)):
            if abs(value) >= size:
                return f"{value / size:,.2f} {unit}"
        return f"{value:,.0f} B"
    return f"{value:,.0f}" if abs(value) >= 100 else f"{value:.3g}"


def write_csv(rows, kinds, path):
    columns = (["time_s", "calls"] + [f"calls_{k}" for k in kinds] +
               ["handles", "private_bytes", "heap_blocks", "heap_bytes", "jvm_heap_bytes", "errors"])
    t0 = rows[0]["time_ms"]
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(columns)
        for r in rows:
            values = [f"{(r['time_ms'] - t0) / 1000:.1f}"] + [r.get(c) for c in columns[1:]]
            w.writerow(["" if v is None else v for v in values])


def svg_chart(rows, kinds, results, path, title):
    width, panel_h, left, right, top, gap = 900, 190, 90, 20, 50, 60
    panels = len(MEASURES) + 1
    height = top + panels * (panel_h + gap)
    xmax = max(r["calls"] for r in rows) / 1e6 or 1.0
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{left}" y="24" font-size="16">{escape(title)}</text>']

    def panel(index, heading, series, ymin, ymax, label, fitted=None, least_span=1.0, ticks=None):
        y0 = top + index * (panel_h + gap) + 20
        plot_w = width - left - right
        # A flat line is drawn as flat: the scale spans at least what the verdict allows.
        if ymax - ymin < least_span:
            middle = (ymax + ymin) / 2
            ymin, ymax = middle - least_span / 2, middle + least_span / 2
        if ticks is None:
            pad = (ymax - ymin) * 0.05
            ymin, ymax = ymin - pad, ymax + pad
            ticks = [ymin + (ymax - ymin) * i / 4 for i in range(5)]

        def px(x):
            return left + plot_w * x / xmax

        def py(y):
            return y0 + panel_h - panel_h * (y - ymin) / (ymax - ymin)

        out.append(f'<text x="{left}" y="{y0 - 6}" font-size="13">{escape(heading)}</text>')
        out.append(f'<rect x="{left}" y="{y0}" width="{plot_w}" height="{panel_h}" fill="none" stroke="#888"/>')
        for value in ticks:
            out.append(f'<line x1="{left}" x2="{left + plot_w}" y1="{py(value):.1f}" y2="{py(value):.1f}" '
                       f'stroke="#eee"/>')
            out.append(f'<text x="{left - 6}" y="{py(value) + 4:.1f}" text-anchor="end">{escape(label(value))}</text>')
        for i in range(6):
            x = xmax * i / 5
            out.append(f'<text x="{px(x):.1f}" y="{y0 + panel_h + 15}" text-anchor="middle">{x:.2f}</text>')
        out.append(f'<text x="{left + plot_w}" y="{y0 + panel_h + 30}" text-anchor="end">'
                   'native calls made (millions)</text>')
        for name, colour, points in series:
            path_d = " ".join(f"{px(x):.1f},{py(y):.1f}" for x, y in points)
            out.append(f'<polyline points="{path_d}" fill="none" stroke="{colour}" stroke-width="1.5"/>')
        if fitted:
            (xa, ya), (xb, yb) = fitted
            out.append(f'<line x1="{px(xa):.1f}" y1="{py(ya):.1f}" x2="{px(xb):.1f}" y2="{py(yb):.1f}" '
                       'stroke="#d62728" stroke-width="2" stroke-dasharray="6,3"/>')
        if len(series) > 1:
            for i, (name, colour, _) in enumerate(series):
                out.append(f'<text x="{left + 8 + 110 * i}" y="{y0 + 14}" fill="{colour}">{escape(name)}</text>')

    for index, (column, heading, in_bytes) in enumerate(MEASURES):
        result = results.get(column)
        if result is None:
            continue
        points = [(x, y) for x, y, _ in result["points"]]
        ys = [y for _, y in points]
        fitted = ((result["x0"], result["intercept"] + result["slope"] * result["x0"]),
                  (result["x1"], result["intercept"] + result["slope"] * result["x1"]))
        verdict = "GROWING" if result["growing"] else "flat"
        heading = (f"{heading}: {verdict}, {number(result['slope'], in_bytes)} per million calls "
                   f"(threshold {number(result['threshold'], in_bytes)})")
        panel(index, heading, [(column, "#1f77b4", points)], min(ys), max(ys),
              lambda v, b=in_bytes: number(v, b), fitted, 2 * LEVEL_SHARE * abs(result["level"]))
    # The kinds run at rates orders of magnitude apart: a logarithmic scale shows them all.
    series = []
    for i, kind in enumerate(kinds):
        series.append((kind, KIND_COLOURS[i % len(KIND_COLOURS)],
                       [(r["calls"] / 1e6, math.log10(1 + r[f"calls_{kind}"])) for r in rows]))
    top_y = max(y for _, _, pts in series for _, y in pts)
    decades = max(1, math.ceil(top_y))
    panel(len(MEASURES), "Native calls made by kind (logarithmic)", series, 0, decades,
          lambda v: f"{10 ** v:,.0f}" if v else "0", ticks=list(range(0, decades + 1)))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    driver, outside, folder = read(sys.argv[1]), read(sys.argv[2]), sys.argv[3]
    if len(driver) < 4:
        print(f"soak: only {len(driver)} driver samples; run longer", file=sys.stderr)
        return 2
    kinds = [c[len("calls_"):] for c in driver[0] if c.startswith("calls_")]
    rows = join(driver, outside)
    write_csv(rows, kinds, os.path.join(folder, "samples.csv"))

    minutes = (rows[-1]["time_ms"] - rows[0]["time_ms"]) / 60000
    total = rows[-1]["calls"]
    print(f"soak: {minutes:.1f} minutes, {total:,} native calls, {len(rows)} samples from the driver, "
          f"{len(outside)} from outside; {rows[-1]['errors']} calls failed")
    print("  by kind: " + ", ".join(f"{k} {rows[-1]['calls_' + k]:,}" for k in kinds))
    print(f"  growth: least-squares slope over the second half of the run, per million calls; a measure grows when\n"
          f"  its slope exceeds the larger of {LEVEL_SHARE:.0%} of its level and {RESIDUAL_SDS:g} residual SDs of the fit, "
          f"each over the second half's calls")
    results = {}
    growing = []
    for column, heading, in_bytes in MEASURES:
        if all(r.get(column) in (None, -1) for r in rows):
            print(f"  {column:15} not measured" + (" (no JVM)" if column == "jvm_heap_bytes" else ""))
            results[column] = None
            continue
        result = judge(rows, column)
        results[column] = result
        if result is None:
            print(f"  {column:15} too few samples")
            growing.append(column)
            continue
        verdict = "GROWING" if result["growing"] else "flat"
        if result["growing"]:
            growing.append(column)
        print(f"  {column:15} start {number(result['start'], in_bytes):>11}  end {number(result['end'], in_bytes):>11}"
              f"  growth {number(result['slope'], in_bytes):>11}  threshold {number(result['threshold'], in_bytes):>11}"
              f" ({result['rule']})  {verdict}")
    idle = [k for k in kinds if rows[-1]["calls_" + k] == 0]
    if idle:
        print("soak: no calls of " + ", ".join(idle))
    title = (f"Soak: {minutes:.1f} minutes, {total / 1e6:.2f} million native calls; "
             f"dashed: fit over the second half")
    svg_chart(rows, kinds, results, os.path.join(folder, "chart.svg"), title)
    print(f"soak: {os.path.join(folder, 'samples.csv')}, {os.path.join(folder, 'chart.svg')}")
    if growing:
        print("soak: growing: " + ", ".join(growing))
        return 1
    return 1 if idle else 0


if __name__ == "__main__":
    sys.exit(main())
