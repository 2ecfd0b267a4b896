#!/usr/bin/env python3
"""Prints the benchmark figures from the raw files that scripts/benchmark.sh
collected in one folder: runs.tsv (bench_runner), config.tsv (bench_config),
sizes.tsv and machine.txt. Medians throughout; ratios are ratios of medians,
with the median of the round-by-round ratios beside them (each round runs every
program once, so a round's ratio compares runs made close together) and the
ratio of the fastest runs (the least disturbed by other work on the machine)."""

import csv
import statistics
import sys
from pathlib import Path

LABELS = {
    "launcher": "launcher.exe",
    "floor": "floor (platform calls only)",
    "bare": "bare dialog (same template)",
    "floor_d3d": "  floor's Direct3D part alone",
    "floor_web": "  floor's OLE + browser part alone",
    "stub": "process start alone (stub)",
}
WINDOW_TARGET = 1.10
SIZE_TARGET_KIB = 96


def quartiles(values):
    if len(values) < 2:
        return values[0], values[0]
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def read_runs(path):
    rows = {}
    failed = []
    with open(path, newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if int(row["round"]) < 1:
                continue  # warm-up
            if row["status"] != "ok":
                failed.append(f'round {row["round"]} {row["program"]}: {row["status"]}')
                continue
            rows.setdefault(row["program"], []).append(row)
    return rows, failed


def column(rows, name):
    return [float(r[name]) for r in rows if float(r[name]) >= 0]


def paired_ratio(rows, top, bottom, name):
    by_round = {}
    for program in (top, bottom):
        for r in rows.get(program, []):
            by_round.setdefault(r["round"], {})[program] = float(r[name])
    ratios = [v[top] / v[bottom] for v in by_round.values()
              if top in v and bottom in v and v[bottom] > 0]
    return statistics.median(ratios) if ratios else None


def print_timing(rows, name, title, programs):
    print(title)
    print(f'  {"":34}{"median":>9}{"q1":>9}{"q3":>9}{"min":>9}{"runs":>6}')
    medians = {}
    for program in programs:
        values = column(rows.get(program, []), name)
        if not values:
            continue
        medians[program] = statistics.median(values)
        q1, q3 = quartiles(values)
        print(f"  {LABELS.get(program, program):34}{medians[program]:9.1f}{q1:9.1f}{q3:9.1f}"
              f"{min(values):9.1f}{len(values):6d}")
    return medians


def print_ratio(label, medians, rows, top, bottom, name, target=None):
    if top not in medians or bottom not in medians:
        return
    ratio = medians[top] / medians[bottom]
    paired = paired_ratio(rows, top, bottom, name)
    minima = min(column(rows[top], name)) / min(column(rows[bottom], name))
    line = f"  {label:34}{ratio:9.2f}   (round by round {paired:.2f}, of the minima {minima:.2f})"
    if target is not None:
        line += f"   target <= {target:.2f}: {'met' if ratio <= target else 'MISSED'}"
    print(line)


def main(folder):
    folder = Path(folder)
    machine = (folder / "machine.txt").read_text().strip()
    print("Varnholt launcher benchmarks")
    for line in machine.splitlines():
        print(f"  {line}")
    print()

    rows, failed = read_runs(folder / "runs.tsv")
    window = print_timing(rows, "window_ms", "Process start to visible window (ms)",
                          ["launcher", "floor", "bare", "floor_d3d", "floor_web", "stub"])
    print_ratio("launcher / floor", window, rows, "launcher", "floor", "window_ms", WINDOW_TARGET)
    print_ratio("launcher / bare dialog", window, rows, "launcher", "bare", "window_ms")
    print_ratio("floor / bare dialog", window, rows, "floor", "bare", "window_ms")
    print()

    play = print_timing(rows, "play_ms", "PLAY click to the game stub's first instruction (ms)",
                        ["launcher", "floor", "bare"])
    print_ratio("launcher / floor", play, rows, "launcher", "floor", "play_ms")
    print()

    print("Peak working set after the window has settled (MiB)")
    for program in ["launcher", "floor", "bare", "floor_d3d", "floor_web"]:
        values = column(rows.get(program, []), "peak_kib")
        if values:
            print(f"  {LABELS[program]:34}{statistics.median(values) / 1024:9.1f}"
                  f"   (min {min(values) / 1024:.1f}, max {max(values) / 1024:.1f})")
    print()

    print("launcher.exe on disk (stripped copies)")
    with open(folder / "sizes.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            kib = int(row["stripped_bytes"]) / 1024
            # The target is the shipped program's; the debug build is shown
            # only to see what optimising for size saves.
            if "shipped" in row["build"]:
                verdict = "met" if kib <= SIZE_TARGET_KIB else "MISSED"
                print(f'  {row["build"]:34}{kib:9.1f} KiB   target <= {SIZE_TARGET_KIB} KiB: {verdict}')
            else:
                print(f'  {row["build"]:34}{kib:9.1f} KiB')
            print(f'  {"":34}sections (KiB): {row["sections"]}')
            print(f'  {"":34}imports: {row["imports"]} -- {row["imports_verdict"]}')
    print()

    print("LoadSettings and SaveSettings by file size (median ms; peak working set of a process")
    print("that only loads and saves that file)")
    print(f'  {"":8}{"bytes":>11}{"reps":>5}{"load":>11}{"save":>11}'
          f'{"load ms/MiB":>13}{"save ms/MiB":>13}{"peak MiB":>10}')
    previous = None
    peaks = []
    with open(folder / "config.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            mib = int(row["bytes"]) / (1024 * 1024)
            load, save = float(row["load_ms"]), float(row["save_ms"])
            peak = int(row["peak_working_set"]) / (1024 * 1024)
            peaks.append(peak)
            line = f'  {row["size"]:8}{int(row["bytes"]):11d}{int(row["reps"]):5d}{load:11.3f}{save:11.3f}'
            if previous:
                added = mib - previous[0]
                line += f"{(load - previous[1]) / added:13.2f}{(save - previous[2]) / added:13.2f}"
            else:
                line += f'{"":26}'
            print(line + f"{peak:10.1f}")
            previous = (mib, load, save)
    print("  (ms/MiB: per MiB added since the size above; linear growth keeps it about the same)")
    if peaks:
        print(f"  peak working set from the smallest to the largest file: {min(peaks):.1f} to "
              f"{max(peaks):.1f} MiB (flat: memory does not grow with the file)")
    print()

    if failed:
        print("Runs that failed (left out of the figures):")
        for line in failed:
            print(f"  {line}")
    else:
        print("Every run completed.")


if __name__ == "__main__":
    main(sys.argv[1])
