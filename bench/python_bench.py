#!/usr/bin/env python3
"""The Python module's speed, side by side with the alternatives, in one run.

    python_bench.py [--repeat N] [--workdir DIR] [--cli PATH] [--dask]

1. load + zero-copy view + save of a 2048 x 2048 24-bit file: bmpfun against Pillow + NumPy
   (Image.open, a writable array, Image.fromarray, save) on the same file, once with Pillow's
   own RGB array and once converted to RGBA, the shape of bmpfun's view.
2. fun(1) on two 1024 x 1024 images: in two Python threads at once against one after the
   other on one thread (the GIL is released inside the operation).
3. with --dask: examples/dask_batch.py over 200 files of 512 x 512 on a local cluster of 2
   worker processes against the same script's --serial run (one process, in turn).

Each figure is the median of --repeat runs (the best is printed too); row 1 is also given in
processor time, which other work on a shared machine disturbs less than wall time. Needs the module
importable (PYTHONPATH or an installed package); Pillow (python3-pil) for row 1;
the bmpfun program (--cli) for the Dask inputs.
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import bmpfun


def timed(fn, repeat, clock=time.perf_counter):
    times = []
    for _ in range(repeat):
        started = clock()
        fn()
        times.append(clock() - started)
    return statistics.median(times), min(times)


def pattern(height, width):
    y, x = np.indices((height, width))
    return np.dstack([(x * 3) % 256, (y * 5) % 256, (x + y) % 256]).astype(np.uint8)


def row(name, ours, theirs):
    print(f"{name:<66} {ours[0] * 1e3:9.1f} ms {theirs[0] * 1e3:9.1f} ms   ratio {ours[0] / theirs[0]:.3f}"
          f"   (best {ours[1] * 1e3:.1f} / {theirs[1] * 1e3:.1f})", flush=True)


def bench_io(workdir, repeat):
    source = os.path.join(workdir, "io-2048.bmp")
    bmpfun.Image.from_array(pattern(2048, 2048)).save(source)
    out_ours = os.path.join(workdir, "io-ours.bmp")
    out_theirs = os.path.join(workdir, "io-pil.bmp")

    def ours():
        image = bmpfun.load(source)
        view = image.pixels
        view[0, 0, 0] ^= 1  # touch the array, as a NumPy user would
        image.save(out_ours)

    try:
        from PIL import Image as PilImage
    except ImportError:
        print("Pillow (python3-pil) is not installed: row 1 skipped")
        return

    def theirs():
        with PilImage.open(source) as opened:
            array = np.asarray(opened)
        array = array.copy()  # np.asarray of a Pillow image is read-only
        array[0, 0, 0] ^= 1
        PilImage.fromarray(array).save(out_theirs)

    def theirs_rgba():
        # The same shape of array as bmpfun's view: height x width x (r, g, b, a).
        with PilImage.open(source) as opened:
            array = np.array(opened.convert("RGBA"))
        array[0, 0, 0] ^= 1
        PilImage.fromarray(array, "RGBA").convert("RGB").save(out_theirs)

    ours(), theirs(), theirs_rgba()  # warm the page cache and the libraries
    mine = timed(ours, repeat)
    row("load + view + save 2048^2 24-bit: bmpfun vs Pillow+NumPy (RGB)", mine, timed(theirs, repeat))
    row("load + view + save 2048^2 24-bit: bmpfun vs Pillow+NumPy (RGBA)", mine, timed(theirs_rgba, repeat))
    # Processor time of this process: less sensitive to other work on the machine.
    cpu = time.process_time
    mine = timed(ours, repeat, cpu)
    row("  the same in processor time (RGB)", mine, timed(theirs, repeat, cpu))
    row("  the same in processor time (RGBA)", mine, timed(theirs_rgba, repeat, cpu))


def bench_threads(repeat):
    images = [bmpfun.Image.from_array(pattern(1024, 1024)), bmpfun.Image.from_array(pattern(1024, 1024)[::-1])]

    def one_thread():
        for image in images:
            image.fun(1)

    def two_threads():
        threads = [threading.Thread(target=image.fun, args=(1,)) for image in images]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    one_thread()
    # What the machine gives two threads right now: hashing, which runs without the GIL and
    # shares nothing, is as good as two threads get.
    block = bytes(48 << 20)
    hash_one = lambda: [hashlib.sha256(block).digest() for _ in range(2)]  # noqa: E731

    def hash_two():
        threads = [threading.Thread(target=hashlib.sha256, args=(block,)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    row("reference: sha256 of 48 MiB x 2: two threads vs one", timed(hash_two, repeat), timed(hash_one, repeat))
    for method in (bmpfun.POINT, bmpfun.BILINEAR):
        for image in images:
            image.sampling = method
        row(f"fun(1) 1024^2 x 2, sampling {method}: two threads vs one",
            timed(two_threads, repeat), timed(one_thread, repeat))
        # Equal processor time in both shapes means the threads do not get in each other's
        # way: the wall-clock gain is then whatever second core the machine has free.
        row("  the same in processor time", timed(two_threads, repeat, time.process_time),
            timed(one_thread, repeat, time.process_time))


def bench_dask(workdir, repeat, cli):
    inputs = os.path.join(workdir, "dask-in")
    os.makedirs(inputs, exist_ok=True)
    for k in range(200):
        subprocess.run([cli, "testcard", os.path.join(inputs, f"card{k:03}.bmp"), "512", "512"], check=True)
    example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "dask_batch.py")
    ops = ["sampling=1", "fun=1", "blur=3"]

    def run(*extra):
        out = os.path.join(workdir, "dask-out")
        shutil.rmtree(out, ignore_errors=True)
        subprocess.run([sys.executable, example, inputs, out, *ops, "--quiet", *extra],
                       check=True, stdout=subprocess.DEVNULL)

    row("dask_batch 200 x 512^2 (" + " ".join(ops) + "): 2 processes vs serial",
        timed(lambda: run("--workers", "2"), repeat), timed(lambda: run("--serial"), repeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--workdir", help="where the files go (default: a temporary folder)")
    parser.add_argument("--cli", default=shutil.which("bmpfun") or "bmpfun")
    parser.add_argument("--dask", action="store_true", help="also the Dask example (about a minute)")
    args = parser.parse_args()
    workdir = args.workdir or tempfile.mkdtemp(prefix="bmpfun-pybench-")
    os.makedirs(workdir, exist_ok=True)
    print(f"{'':<66} {'bmpfun':>12} {'other':>12}   (median of {args.repeat})")
    bench_io(workdir, args.repeat)
    bench_threads(args.repeat)
    if args.dask:
        bench_dask(workdir, max(1, args.repeat // 3), args.cli)
    if not args.workdir:
        shutil.rmtree(workdir)


if __name__ == "__main__":
    main()
