#!/usr/bin/env python3
"""Side-by-side benchmark of zundra against the archivers people use today.

Runs of one comparison are interleaved (A B C A B C ...) and the median of each
figure is reported, because these machines are noisy; ratios are quoted to a
peer measured in the same run. Results go to the cache folder as markdown and
CSV (and a PNG plot when gnuplot is present).

usage: bench/run.py [--quick] [--reps N] [--zundra PATH] [corpus ...]
"""
import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CACHE = os.environ.get("ZD_BENCH_CACHE", os.path.expanduser("~/.cache/zundra-bench"))


def timed(cmd, env=None, cwd=None):
    """Runs a shell command under /usr/bin/time; returns (wall, cpu, rss_kib)."""
    fd, tfile = tempfile.mkstemp()
    os.close(fd)
    full = ["/usr/bin/time", "-f", "%e %U %S %M", "-o", tfile, "bash", "-o", "pipefail", "-c", cmd]
    e = dict(os.environ)
    if env:
        e.update(env)
    start = time.monotonic()
    r = subprocess.run(full, env=e, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.monotonic() - start
    if r.returncode != 0:
        raise RuntimeError(f"{cmd}: exit {r.returncode}: {r.stderr[-2000:]}")
    with open(tfile) as f:
        line = f.read().strip().splitlines()[-1].split()
    os.unlink(tfile)
    return wall, float(line[1]) + float(line[2]), int(line[3])


def size_of(path):
    if os.path.isdir(path):
        total = 0
        for root, _, files in os.walk(path):
            for name in files:
                total += os.path.getsize(os.path.join(root, name))
        return total
    return os.path.getsize(path)


def corpus_bytes(path):
    return size_of(path)


def compress_configs(zd, quick):
    """(name, command writing $OUT from $IN, peer?)"""
    c = [
        ("zundra", f"{zd} compress \"$IN\" -o \"$OUT\""),
        ("zundra 1w", f"ZD_WORKERS=1 {zd} compress \"$IN\" -o \"$OUT\""),
        ("zundra -l1 --no-solid 1w", f"ZD_WORKERS=1 {zd} compress \"$IN\" -o \"$OUT\" --level 1 --no-solid"),
        ("tar|zstd -19 --long=26 -T1", "tar -cf - -C \"$IN\" . | zstd -q -19 --long=26 -T1 -o \"$OUT\""),
        ("tar|zstd -3 -T1", "tar -cf - -C \"$IN\" . | zstd -q -3 -T1 -o \"$OUT\""),
        ("tar|zstd -1 -T1", "tar -cf - -C \"$IN\" . | zstd -q -1 -T1 -o \"$OUT\""),
    ]
    if quick:
        return [x for x in c if x[0] in ("zundra", "zundra -l1 --no-solid 1w", "tar|zstd -3 -T1", "tar|zstd -1 -T1")]
    c += [
        ("tar|xz -9", "tar -cf - -C \"$IN\" . | xz -9 -T1 > \"$OUT\""),
        ("zpaq -m1", "zpaq a \"$OUT.zpaq\" \"$IN\" -m1 >/dev/null && mv \"$OUT.zpaq\" \"$OUT\""),
        ("zpaq -m3", "zpaq a \"$OUT.zpaq\" \"$IN\" -m3 >/dev/null && mv \"$OUT.zpaq\" \"$OUT\""),
        ("borg zstd,19", "borg init --encryption=none \"$OUT\" && borg create --compression zstd,19 \"$OUT::a\" \"$IN\""),
        ("borg lzma,9", "borg init --encryption=none \"$OUT\" && borg create --compression lzma,9 \"$OUT::a\" \"$IN\""),
        ("restic max", "restic init -q -r \"$OUT\" && restic backup -q -r \"$OUT\" --compression max \"$IN\""),
    ]
    return c


def run_compression(corpus, zd, reps, quick, work, tools=None):
    src = os.path.join(CACHE, corpus)
    in_bytes = corpus_bytes(src)
    configs = compress_configs(zd, quick)
    if tools:
        configs = [c for c in configs if c[0] in tools]
    results = {name: [] for name, _ in configs}
    env = {"BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK": "yes", "RESTIC_PASSWORD": "bench",
           "BORG_BASE_DIR": os.path.join(work, "borg-base")}
    for rep in range(reps):
        for name, cmd in configs:
            out = os.path.join(work, "out")
            shutil.rmtree(out, ignore_errors=True)
            if os.path.exists(out):
                os.unlink(out)
            e = dict(env, IN=src, OUT=out)
            wall, cpu, rss = timed(cmd, env=e)
            results[name].append((size_of(out), wall, cpu, rss))
            print(f"  {corpus} rep {rep + 1}/{reps} {name}: {results[name][-1][0]} B, {wall:.1f} s", file=sys.stderr)
            shutil.rmtree(out, ignore_errors=True)
            if os.path.exists(out):
                os.unlink(out)
    rows = []
    for name, runs in results.items():
        med = lambda i: statistics.median(r[i] for r in runs)
        size, wall, cpu, rss = med(0), med(1), med(2), med(3)
        rows.append({"corpus": corpus, "tool": name, "bytes": int(size), "ratio_pct": 100.0 * size / in_bytes,
                     "wall_s": wall, "cpu_s": cpu, "mib_s": in_bytes / 1048576 / max(wall, 0.001),
                     "peak_rss_mib": rss / 1024.0})
    return in_bytes, rows


def run_reading(corpus, zd, reps, work):
    """Full extract, verify and one-file extract of the default archive, against
    tar.zst decompression into tar -x and to /dev/null."""
    src = os.path.join(CACHE, corpus)
    zdf = os.path.join(work, "r.zd")
    tzst = os.path.join(work, "r.tar.zst")
    subprocess.run(f"{zd} compress '{src}' -o '{zdf}' >/dev/null", shell=True, check=True)
    subprocess.run(f"tar -cf - -C '{src}' . | zstd -q -19 --long=26 -T0 -o '{tzst}'", shell=True, check=True)
    one = subprocess.run(f"{zd} list '{zdf}' 2>/dev/null | awk '$2 > 50000 && $2 < 200000 {{print $3}}' | head -n 1",
                         shell=True, capture_output=True, text=True).stdout.strip()
    dest = os.path.join(work, "x")
    # The destination is emptied before each timed run, outside the timing.
    configs = [
        ("zundra extract", f"{zd} extract '{zdf}' -o '{dest}'"),
        ("zstd -d | tar -x", f"mkdir -p '{dest}' && zstd -q -d --long=26 -T1 -c '{tzst}' | tar -xf - -C '{dest}'"),
        ("zundra verify", f"{zd} verify '{zdf}'"),
        ("zstd -d > /dev/null", f"zstd -q -d --long=26 -T1 -c '{tzst}' > /dev/null"),
    ]
    if one:
        configs.append(("zundra extract --file (1 file)", f"{zd} extract '{zdf}' -o '{dest}' --file '{one}'"))
    results = {name: [] for name, _ in configs}
    for _ in range(reps):
        for name, cmd in configs:
            shutil.rmtree(dest, ignore_errors=True)
            subprocess.run(["sync"], check=False)
            results[name].append(timed(cmd))
    shutil.rmtree(dest, ignore_errors=True)
    rows = []
    for name, runs in results.items():
        rows.append({"corpus": corpus, "tool": name, "wall_s": statistics.median(r[0] for r in runs),
                     "cpu_s": statistics.median(r[1] for r in runs),
                     "peak_rss_mib": statistics.median(r[2] for r in runs) / 1024.0})
    return rows


def run_snapshots(zd, work):
    """Bytes added and time for mixed-v2 after mixed, and for an unchanged re-run."""
    a, b = os.path.join(CACHE, "mixed"), os.path.join(CACHE, "mixed-v2")
    rows = []
    zdf = os.path.join(work, "s.zd")
    subprocess.run(f"{zd} compress '{a}' -o '{zdf}' --name v1 >/dev/null", shell=True, check=True)
    for label, src, name in (("unchanged re-run", a, "v1b"), ("mixed-v2 after mixed", b, "v2")):
        before = size_of(zdf)
        wall, cpu, rss = timed(f"{zd} add '{zdf}' '{src}' --name {name}")
        rows.append({"tool": "zundra add", "case": label, "bytes_added": size_of(zdf) - before, "wall_s": wall})
    repo = os.path.join(work, "borg")
    env = {"BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK": "yes", "BORG_BASE_DIR": os.path.join(work, "borg-base")}
    e = dict(os.environ, **env)
    subprocess.run(f"borg init --encryption=none '{repo}' && borg create --compression zstd,19 '{repo}::v1' '{a}'",
                   shell=True, check=True, env=e)
    for label, src, name in (("unchanged re-run", a, "v1b"), ("mixed-v2 after mixed", b, "v2")):
        before = size_of(repo)
        wall, cpu, rss = timed(f"borg create --compression zstd,19 '{repo}::{name}' '{src}'", env=env)
        rows.append({"tool": "borg zstd,19", "case": label, "bytes_added": size_of(repo) - before, "wall_s": wall})
    return rows


def write_table(path, rows, columns):
    with open(path + ".csv", "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=columns)
        w.writeheader()
        for r in rows:
            w.writerow({k: r.get(k, "") for k in columns})
    with open(path + ".md", "w") as f:
        f.write("| " + " | ".join(columns) + " |\n|" + "---|" * len(columns) + "\n")
        for r in rows:
            cells = []
            for k in columns:
                v = r.get(k, "")
                cells.append(f"{v:.2f}" if isinstance(v, float) else str(v))
            f.write("| " + " | ".join(cells) + " |\n")
    print(open(path + ".md").read())


def plot(path, rows):
    if not shutil.which("gnuplot"):
        return
    data = path + ".dat"
    with open(data, "w") as f:
        for r in rows:
            f.write(f"{r['wall_s']} {r['bytes'] / 1048576} \"{r['tool']}\"\n")
    script = (f"set terminal png size 1000,700; set output '{path}.png'; set logscale x; "
              f"set xlabel 'wall seconds'; set ylabel 'MiB'; "
              f"plot '{data}' using 1:2 with points pt 7 notitle, '' using 1:2:3 with labels offset 1,1 notitle")
    subprocess.run(["gnuplot", "-e", script], check=False)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="text corpus only, one repetition, few tools")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--zundra", default=os.path.join(os.path.dirname(__file__), "..", "build", "zundra"))
    ap.add_argument("--no-snapshots", action="store_true")
    ap.add_argument("--no-reading", action="store_true")
    ap.add_argument("--tools", help="semicolon-separated tool names to keep (as printed in the tables)")
    ap.add_argument("corpora", nargs="*")
    args = ap.parse_args()
    zd = os.path.abspath(args.zundra)
    corpora = args.corpora or (["text"] if args.quick else ["text", "mixed"])
    reps = 1 if args.quick else args.reps
    results = os.path.join(CACHE, "results")
    os.makedirs(results, exist_ok=True)
    work = tempfile.mkdtemp(prefix="zd-bench-", dir=os.environ.get("TMPDIR", "/tmp"))
    try:
        all_rows = []
        for corpus in corpora:
            tools = set(args.tools.split(";")) if args.tools else None
            in_bytes, rows = run_compression(corpus, zd, reps, args.quick, work, tools)
            all_rows += rows
        stamp = time.strftime("%Y%m%d-%H%M%S")
        base = os.path.join(results, f"compress-{stamp}")
        write_table(base, all_rows, ["corpus", "tool", "bytes", "ratio_pct", "wall_s", "cpu_s", "mib_s", "peak_rss_mib"])
        plot(base, all_rows)
        if not args.no_reading:
            read_rows = []
            for corpus in corpora:
                read_rows += run_reading(corpus, zd, reps, work)
            write_table(os.path.join(results, f"read-{stamp}"), read_rows,
                        ["corpus", "tool", "wall_s", "cpu_s", "peak_rss_mib"])
        if not args.quick and not args.no_snapshots:
            write_table(os.path.join(results, f"snapshots-{stamp}"), run_snapshots(zd, work),
                        ["tool", "case", "bytes_added", "wall_s"])
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
