#!/usr/bin/env python3
"""race_table.py PEERS_RAW_DIR [--tls RAW_DIR] [--many JSON --many-rss KB] [--register JSON]  ->  Markdown.

The comparison table of bench/race.sh: for each row, resource-sync's median against the best peer
of the same hyperfine call (or the floor the row names), the ratio, and the target. Every ratio
comes from one run of the harness, so the rows compare tools measured side by side.
"""
import argparse
import csv
import json
import os
import re

OURS = "resource-sync"
# The same cold run without the flush to disk: as durable as the peers, which flush nothing.
OURS_NO_FSYNC = "resource-sync-no-fsync"


def read_tsv(path):
    if not os.path.exists(path):
        return []
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def medians(path):
    if not os.path.exists(path):
        return {}
    return {r["command"]: r["median"] for r in json.load(open(path))["results"]}


def fmt_s(x):
    if x is None:
        return "-"
    return f"{x * 1000:.1f} ms" if x < 1 else f"{x:.3f} s"


def best_peer(times, exclude_prefix=(OURS, "floor:")):
    peers = {k: v for k, v in times.items() if not k.startswith(exclude_prefix)}
    if not peers:
        return None, None
    name = min(peers, key=peers.get)
    return name, peers[name]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("raw")
    ap.add_argument("--many")
    ap.add_argument("--many-rss")
    ap.add_argument("--register")
    ap.add_argument("--tls", help="the harness's raw results of the cold small set over HTTPS")
    args = ap.parse_args()

    probes = {(r["set"], r["mode"], r["tool"]): r for r in read_tsv(os.path.join(args.raw, "probes.tsv"))}
    env = {}
    env_path = os.path.join(args.raw, "env.tsv")
    if os.path.exists(env_path):
        for line in open(env_path):
            k, _, v = line.rstrip("\n").partition("\t")
            env[k] = v

    rows = []

    def ratio_row(label, peer_label, peer_time, ours_time, target):
        ratio = ours_time / peer_time if peer_time and ours_time else None
        if target is None:
            ok, wanted = "-", "report"
        else:
            ok, wanted = ("yes" if ratio is not None and ratio <= target else "NO"), f"≤ {target}"
        rows.append((label, f"{peer_label} {fmt_s(peer_time)}", fmt_s(ours_time),
                     f"{ratio:.2f}" if ratio is not None else "-", wanted, ok))

    for set_, label in (("small", "cold 2,000 × 4 KiB"), ("medium", "cold 200 × 1 MiB"), ("big", "cold 1 × 1 GiB")):
        times = medians(os.path.join(args.raw, f"{set_}-cold.json"))
        if OURS in times:
            name, t = best_peer(times)
            ratio_row(label, name, t, times[OURS], 1.0)
            if OURS_NO_FSYNC in times:
                ratio_row(f"{label}, --no-fsync", name, t, times[OURS_NO_FSYNC], None)

    def cpu_times(path):
        if not os.path.exists(path):
            return {}
        return {r["command"]: r["user"] + r["system"] for r in json.load(open(path))["results"]}

    def cpu_row(label, raw, peer, target, tool=OURS):
        times = cpu_times(os.path.join(raw, "small-cold.json"))
        ours, theirs = times.get(tool), times.get(peer)
        if ours is None or not theirs:
            return
        ratio = ours / theirs
        ok = "-" if target is None else ("yes" if ratio <= target else "NO")
        rows.append((label, f"{peer} {theirs:.2f} s", f"{ours:.2f} s", f"{ratio:.2f}",
                     f"≤ {target}" if target else "-", ok))

    # CPU time (user + system, hyperfine's mean over the runs) against curl --parallel.
    cpu_row("CPU time, cold 2,000 × 4 KiB", args.raw, "curl-par8", 1.2)
    cpu_row("CPU time, cold 2,000 × 4 KiB, --no-fsync", args.raw, "curl-par8", None, OURS_NO_FSYNC)

    if args.tls:
        tls_times = medians(os.path.join(args.tls, "small-cold.json"))
        tls_probes = {(r["set"], r["mode"], r["tool"]): r
                      for r in read_tsv(os.path.join(args.tls, "probes.tsv"))}
        curls = {k: v for k, v in tls_times.items() if k.startswith("curl-par")}
        if OURS in tls_times and curls:
            name = min(curls, key=curls.get)
            ratio_row("cold 2,000 × 4 KiB, HTTPS + HTTP/2", name, curls[name], tls_times[OURS], 0.9)
            if OURS_NO_FSYNC in tls_times:
                ratio_row("cold 2,000 × 4 KiB, HTTPS + HTTP/2, --no-fsync", name, curls[name],
                          tls_times[OURS_NO_FSYNC], None)
        cpu_row("CPU time, cold 2,000 × 4 KiB, HTTPS + HTTP/2", args.tls, "curl-par8", None)
        ours_probe = tls_probes.get(("small", "cold", OURS))
        if ours_probe:
            rows.append(("connections, cold 2,000 × 4 KiB, HTTPS + HTTP/2", "-",
                         f"{ours_probe['conns']} for {ours_probe['requests']} requests", "-", "-", "-"))

    def rss(set_, mode, tool):
        p = probes.get((set_, mode, tool))
        return int(p["maxrss_kb"]) / 1024 if p and p.get("maxrss_kb") else None

    # Shown against curl without a target: the system proxy needs Qt, and a minimal Qt + libcurl
    # program already sits 5 MiB above curl. Memory is judged per file (the 100,000-file row).
    for set_, peer in (("big", "curl"), ("small", "curl-par8")):
        ours, theirs = rss(set_, "cold", OURS), rss(set_, "cold", peer)
        if ours is not None and theirs is not None:
            rows.append((f"peak RSS, cold {set_}", f"{peer} {theirs:.1f} MiB", f"{ours:.1f} MiB",
                         f"+{ours - theirs:.1f} MiB", "-", "-"))

    warm = medians(os.path.join(args.raw, "small-warm.json"))
    if f"{OURS}-ifModified" in warm and "floor:curl-head-par8" in warm:
        ratio_row("warm IfModified 2,000, nothing changed", "HEAD-only floor (curl -I --parallel)",
                  warm["floor:curl-head-par8"], warm[f"{OURS}-ifModified"], 1.0)
    if f"{OURS}-ifMissing" in warm and "wget-nc" in warm:
        ratio_row("warm IfMissing, 2,000 files", "wget -nc", warm["wget-nc"], warm[f"{OURS}-ifMissing"], 1.0)

    if args.many:
        many = medians(args.many)
        ratio_row("warm IfMissing, 100,000 files in one bundle", "plain stat loop",
                  many.get("floor:stat-py"), many.get(f"{OURS}-ifMissing"), 2.0)
        if args.many_rss:
            kib = int(args.many_rss)
            rows.append(("peak RSS, 100,000 files", "-",
                         f"{kib / 1024:.1f} MiB ({kib * 1024 / 100000:,.0f} B per file)", "-", "-", "-"))

    if args.register:
        bench = json.load(open(args.register))["benchmarks"]
        for b in bench:
            if b.get("aggregate_name") != "median":
                continue
            unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            ms = b["real_time"] * unit
            name = b["run_name"]
            shape = re.search(r"descriptors:(\d+)/bundles:(\d+)", name)
            label = (f"register {int(shape[1]):,} descriptors in {int(shape[2]):,} bundle(s)"
                     if shape else f"register: {name}")
            # The target is for 100,000 descriptors spread over 1,000 bundles.
            target = 200 if shape and shape[1] == "100000" and shape[2] == "1000" else None
            ok = "-" if target is None else ("yes" if ms <= target else "NO")
            rows.append((label, "-", f"{ms:.1f} ms", "-", f"≤ {target} ms" if target else "-", ok))

    print(f"# Race: resource-sync against its peers ({os.path.basename(os.path.normpath(args.raw))})")
    print()
    print(f"- machine: {env.get('host_cpus', '?')} CPUs ({env.get('cpu_model', '?')}), {env.get('kernel', '?')}; "
          f"hyperfine runs {env.get('runs', '?')}, warmup {env.get('warmup', '?')}; medians")
    print(f"- {env.get('curl', '')}; {env.get('wget', '')}; {env.get('aria2c', '')}; {env.get('nginx', '')}")
    print("- best peer = fastest non-floor tool of the same hyperfine call; ratio = ours / that peer")
    print("- peak RSS against curl has no target: Qt is required for the system proxy, and a minimal "
          "Qt + libcurl program already sits 5 MiB above curl; memory is judged in bytes per file")
    print()
    print("| row | best peer | ours | ours / best peer | target | met |")
    print("|---|---:|---:|---:|---:|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
