#!/usr/bin/env python3
"""Extraction benchmark: fwrenew-unzip against unzip, bsdtar and Python's zipfile.

Builds a package of about 200 MiB (100 MiB of random data, 100 MiB of text, 2000 small
files) with Info-ZIP zip, then extracts it with each tool in turn, pinned to one core, into
tmpfs that is wiped before every run: one warm-up run and the median of BENCH_RUNS (default 5)
timed runs (wall time; CPU time of the tool is shown too, since it is steadier on a busy
machine). After every run the extracted tree is hashed and compared with the source tree, so
a fast wrong result cannot win. Two rows need no writes: fwrenew-unzip -t (read, inflate and
check every item) and raw zlib inflate of the same data in memory: the ceiling, with the
reader's 16 KiB output buffer, and the same with a 256 KiB buffer to show what the buffer size
alone is worth. Prints MB/s of
output for each and each one's ratio to fwrenew-unzip.

Needs: the linux-release preset (built here), zip, unzip, bsdtar, taskset, /dev/shm on tmpfs.
Not part of make test."""
import hashlib
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("BENCH_DIR", "/dev/shm/fwrenew-bench")
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
CPU = os.environ.get("BENCH_CPU", "1")
MiB = 1 << 20


def sh(*cmd, **kw):
    subprocess.run(cmd, check=True, **kw)


def build():
    sh("cmake", "--preset", "linux-release", cwd=ROOT, stdout=subprocess.DEVNULL)
    sh("cmake", "--build", "--preset", "linux-release", "--target", "fwrenew-unzip",
       "fwrenew-inflate-ceiling", cwd=ROOT, stdout=subprocess.DEVNULL)
    b = os.path.join(ROOT, "build", "linux-release")
    return os.path.join(b, "tools", "unzip", "fwrenew-unzip"), os.path.join(
        b, "bench", "fwrenew-inflate-ceiling")


WORDS = ("firmware nand lun revision drive update controller image block page "
         "erase program read write vendor record config package slot commit "
         "download bridge port serial model capacity version build").split()


def text_bytes(rng, size):
    out = []
    n = 0
    while n < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14)))
        line += " %d 0x%08X\n" % (rng.randint(0, 99999), rng.getrandbits(32))
        out.append(line)
        n += len(line)
    return "".join(out).encode()[:size]


def make_source(src):
    rng = random.Random(2026)
    os.makedirs(src)
    os.makedirs(os.path.join(src, "random"))
    os.makedirs(os.path.join(src, "text"))
    for i in range(4):
        with open(os.path.join(src, "random", "blob%d.bin" % i), "wb") as f:
            f.write(rng.randbytes(25 * MiB))
    chunk = text_bytes(rng, 5 * MiB)
    for i in range(4):
        with open(os.path.join(src, "text", "log%d.txt" % i), "wb") as f:
            for k in range(5):  # 25 MiB, each 5 MiB piece shuffled by lines
                lines = chunk.split(b"\n")
                rng.shuffle(lines)
                f.write(b"\n".join(lines)[:5 * MiB])
    for i in range(2000):
        d = os.path.join(src, "small", "dir%02d" % (i % 20))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "file%04d.txt" % i), "wb") as f:
            f.write(text_bytes(rng, rng.randint(100, 12000)))


def tree_hash(root):
    h = hashlib.sha256()
    total = 0
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(filenames):
            p = os.path.join(dirpath, name)
            h.update(os.path.relpath(p, root).encode() + b"\0")
            with open(p, "rb") as f:
                data = f.read()
            total += len(data)
            h.update(hashlib.sha256(data).digest())
    return h.hexdigest(), total


def main():
    fwunzip, ceiling = build()
    fstype = subprocess.run(["stat", "-f", "-c", "%T", os.path.dirname(WORK)],
                            capture_output=True, text=True).stdout.strip()
    if fstype != "tmpfs":
        sys.exit("%s is not on tmpfs (%s)" % (WORK, fstype))
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    src = os.path.join(WORK, "src")
    print("making the source tree ...", flush=True)
    make_source(src)
    ref_hash, total = tree_hash(src)
    pkg = os.path.join(WORK, "package.zip")
    print("zipping ...", flush=True)
    sh("zip", "-q", "-r", "-X", pkg, ".", cwd=src)
    shutil.rmtree(src)
    with open(pkg, "rb") as f:
        pkg_sha = hashlib.sha256(f.read()).hexdigest()
    print("package: %s, %.1f MiB, %d bytes of output in 2008 files, SHA-256 %s"
          % (pkg, os.path.getsize(pkg) / MiB, total, pkg_sha))

    out = os.path.join(WORK, "out")
    pin = ["taskset", "-c", CPU]
    rows = [
        ("fwrenew-unzip", [fwunzip, pkg, out], True),
        ("unzip -qq -o", ["unzip", "-qq", "-o", pkg, "-d", out], True),
        ("bsdtar -xf", ["bsdtar", "-xf", pkg, "-C", out], True),
        ("python3 -m zipfile -e", [sys.executable, "-m", "zipfile", "-e", pkg, out], True),
        ("fwrenew-unzip -t (no writes)", [fwunzip, "-t", pkg], False),
        ("raw zlib inflate, 16 KiB out (ceiling)", [ceiling, pkg, "16384"], False),
        ("raw zlib inflate, 256 KiB out", [ceiling, pkg, "262144"], False),
    ]
    results = []
    for name, cmd, writes in rows:
        times = []
        cpus = []
        for run in range(RUNS + 1):
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            t0 = time.perf_counter()
            p = subprocess.run(pin + cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            dt = time.perf_counter() - t0
            r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
            if p.returncode != 0:
                sys.exit("%s failed (exit %d): %s" % (name, p.returncode, p.stderr[-500:]))
            if writes:
                got, _ = tree_hash(out)
                if got != ref_hash:
                    sys.exit("%s: extracted tree differs from the source" % name)
            elif name.startswith("raw") and int(p.stdout) != total:
                sys.exit("ceiling produced %s bytes, expected %d" % (p.stdout, total))
            if run > 0:  # run 0 warms up
                times.append(dt)
                cpus.append(cpu)
        med = statistics.median(times)
        cmed = statistics.median(cpus)
        results.append((name, med, total / med / 1e6, cmed, total / cmed / 1e6))
        print("  %-40s median %.3f s wall, %.3f s CPU" % (name, med, cmed), flush=True)
    shutil.rmtree(out, ignore_errors=True)

    base = results[0][2]
    cbase = results[0][4]
    print()
    print("| tool | median s | MB/s of output | ratio to fwrenew-unzip "
          "| CPU s | MB/s per CPU s | CPU ratio |")
    print("|---|---|---|---|---|---|---|")
    for name, med, mbs, cmed, cmbs in results:
        print("| %s | %.3f | %.0f | %.2f | %.3f | %.0f | %.2f |"
              % (name, med, mbs, mbs / base, cmed, cmbs, cmbs / cbase))
    shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
