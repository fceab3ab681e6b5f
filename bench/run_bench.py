#!/usr/bin/env python3
"""Whole runs of orvseal against cat, for the table in doc/performance.md.

  bench/run_bench.py ORVSEAL [--quick] [--rounds N]

Writes keystores of 1,000, 100,000 and 1,000,000 lines (one line in ten a
plaintext credential, the first line naming the key file), and times, best
of N rounds with the rows interleaved:
  cat     cat FILE > OUT, the floor
  pass    orvseal -o on a twin whose credential lines are other keys
  direct  orvseal -o with -sf
  side    orvseal replacing the keystore, with -sf
  stanza  orvseal -o, the key named by the file's own orvcred.keyfile
Peak memory is the child's largest resident set (GNU time). It builds
nothing: build the linux preset first.
"""
import argparse
import os
import shutil
import subprocess
import tempfile
import time


def write_keystore(path, count, key_file, credentials=True):
    with open(path, "w") as f:
        f.write("orvcred.keyfile = %s\n" % key_file)
        for i in range(1, count):
            if i % 10 == 1:
                key = "pem.password.%d" % i if credentials else "pem.keystore.%d" % i
                f.write("%s = secret-%08d\n" % (key, i))
            elif i % 10 == 3:
                f.write("# comment line %d\n" % i)
            elif i % 10 == 5:
                f.write("\n")
            else:
                f.write("other.key.%d = some plain value %d\n" % (i, i))


def timed(argv, stdout_path):
    """Wall seconds and peak resident MiB of one run."""
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=out,
                              stderr=subprocess.PIPE, check=False)
        wall = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(argv), done.stderr.decode()))
    peak_kib = int(done.stderr.decode().strip().splitlines()[-1])
    return wall, peak_kib / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("orvseal")
    parser.add_argument("--quick", action="store_true", help="1,000 and 100,000 lines only")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    orvseal = os.path.abspath(args.orvseal)
    sizes = [1000, 100000] + ([] if args.quick else [1000000])
    work = tempfile.mkdtemp(prefix="orvseal-bench-")
    try:
        key = os.path.join(work, "bench.key")
        with open(key, "w") as f:
            f.write("bench key\n")
        os.chmod(key, 0o600)
        print("| lines | MiB | run | wall ms | x cat | peak MiB | size+16 MiB |")
        print("|---:|---:|---|---:|---:|---:|---:|")
        for size in sizes:
            store = os.path.join(work, "store.conf")
            twin = os.path.join(work, "twin.conf")
            write_keystore(store, size, key)
            write_keystore(twin, size, key, credentials=False)
            mib = os.path.getsize(store) / 2 ** 20
            out = os.path.join(work, "out.conf")
            side = os.path.join(work, "side.conf")
            rows = {
                "cat": lambda: ["cat", store],
                "pass": lambda: [orvseal, "-f", twin, "-o", out, "-sf", key],
                "direct": lambda: [orvseal, "-f", store, "-o", out, "-sf", key],
                "side": lambda: [orvseal, "-f", side, "-sf", key],
                "stanza": lambda: [orvseal, "-f", store, "-o", out],
            }
            best = {name: (float("inf"), 0.0) for name in rows}
            for _ in range(args.rounds):
                for name, argv in rows.items():
                    shutil.copyfile(store, side)
                    wall, peak = timed(argv(), os.devnull if name != "cat" else out)
                    best[name] = (min(best[name][0], wall), max(best[name][1], peak))
            floor = best["cat"][0]
            for name, (wall, peak) in best.items():
                print("| %s | %.2f | %s | %.1f | %.1f | %.1f | %.1f |" % (
                    format(size, ","), mib, name, wall * 1000, wall / floor, peak, mib + 16))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
