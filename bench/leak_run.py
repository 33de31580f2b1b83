"""Long leak run: thousands of calls of every entry point, succeeding and failing at each argument.

Prints, per entry point, the calls made, the resident size (VmRSS) before and after, the growth of
Python allocations, and whether the reference counts of every input changed; exits 1 if anything
grew beyond its slack. The call table is tests/leak_cases.py, shared with tests/test_leaks.py.

    python bench/leak_run.py [--rounds N] [--big POINTS] [--slack-kib KIB]
"""
import argparse
import gc
import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from leak_cases import Cases, rss_kib, run_group, size_pool  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=1000, help="passes over each entry point's cases")
    ap.add_argument("--big", type=int, default=100_000, help="points of the clouds that the copy probes use")
    ap.add_argument("--slack-kib", type=int, default=16 * 1024, help="allowed RSS growth per group, after warm-up")
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args()

    size_pool()
    cases = Cases(m=24, big=args.big)
    for group in cases.table.values():
        run_group(group, 5)  # warm-up
    gc.collect()

    rows, failed = [], False
    start_rss = rss_kib()
    print(f"{'group':18s} {'cases':>5s} {'calls':>7s} {'RSS before':>11s} {'RSS after':>10s} {'blocks':>7s} "
          f"{'refcounts':>10s} {'seconds':>8s}")
    for name, group in cases.table.items():
        refs_before = cases.refcounts()
        gc.collect()
        rss_before = rss_kib()
        t0 = time.perf_counter()
        rounds = args.rounds if name != "probe" else max(20, args.rounds // 5)
        calls, blocks = run_group(group, rounds)
        elapsed = time.perf_counter() - t0
        gc.collect()
        rss_after = rss_kib()
        refs_after = cases.refcounts()
        changed = {k: (refs_before[k], refs_after[k]) for k in refs_before if refs_before[k] != refs_after[k]}
        bad = bool(changed) or blocks >= max(32, calls // 20) or rss_after - rss_before > args.slack_kib
        failed |= bad
        rows.append(dict(group=name, cases=len(group), calls=calls, rss_before_kib=rss_before,
                         rss_after_kib=rss_after, blocks=blocks, refcounts_changed=changed, seconds=elapsed))
        print(f"{name:18s} {len(group):5d} {calls:7d} {rss_before:8d} KiB {rss_after:6d} KiB {blocks:7d} "
              f"{'same' if not changed else 'CHANGED':>10s} {elapsed:8.2f}" + ("  <-- LEAK" if bad else ""))
        if changed:
            print("   ", changed)
    total = sum(r["calls"] for r in rows)
    print(f"total {total} calls; RSS {start_rss} KiB -> {rss_kib()} KiB")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(rows, indent=1))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
