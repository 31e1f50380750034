#!/usr/bin/env python3
"""Apply a chain of bmpfun operations to every BMP file of a folder on a Dask cluster.

    dask_batch.py INPUT_DIR OUTPUT_DIR OP [OP ...] [--scheduler HOST:PORT] [--workers N]

OPs are written as for `bmpfun apply` (sampling=1 fun=1 blur=3 crop=0,0,64,64 ...) and run
in order on each image; the result is written as a 24-bit BMP file of the same name in
OUTPUT_DIR. Without --scheduler the script starts a local cluster of worker processes;
with it, it uses a running one (see docs/scaling.md), whose workers must reach both folders
under the same paths, since the workers read and write the files themselves. --serial does
the files one after another in this process, without Dask, for comparison.

Exit status: 0 every file written, 1 some file failed (listed on stderr), 2 usage error.
"""
import argparse
import os
import sys
import time

import bmpfun

# name -> (method, argument kinds: i integer, r real); the names of `bmpfun apply`.
OPERATIONS = {
    "sampling": ("sampling", "i"),
    "noise": ("noise", "r"),
    "brightness": ("brightness", "r"),
    "contrast": ("contrast", "r"),
    "saturation": ("saturation", "r"),
    "extract-channel": ("extract_channel", "i"),
    "quantize": ("quantize", "i"),
    "random-dither": ("random_dither", "i"),
    "ordered-dither": ("ordered_dither", "i"),
    "floyd-steinberg-dither": ("floyd_steinberg_dither", "i"),
    "blur": ("blur", "i"),
    "sharpen": ("sharpen", "i"),
    "edge-detect": ("edge_detect", ""),
    "fun": ("fun", "i"),
    "mosaic": ("mosaic", "i"),
    "crop": ("crop", "iiii"),
    "scale": ("scale", "rr"),
    "rotate": ("rotate", "r"),
    "auto-crop": ("auto_crop", ""),
}


def parse_op(token):
    """'crop=0,0,8,8' -> ('crop', [0, 0, 8, 8]); ValueError for anything else."""
    name, _, text = token.partition("=")
    if name not in OPERATIONS:
        raise ValueError(f"unknown operation '{name}'")
    method, kinds = OPERATIONS[name]
    fields = text.split(",") if text else []
    if len(fields) != len(kinds):
        raise ValueError(f"'{token}': expected {len(kinds)} argument(s)")
    args = [int(f) if k == "i" else float(f) for k, f in zip(kinds, fields)]
    return method, args


def apply_ops(image, ops):
    """Run the parsed ops in order; returns the final image."""
    for method, args in ops:
        if method == "sampling":
            image.sampling = args[0]
            continue
        result = getattr(image, method)(*args)
        if result is not None:  # operations that change the size return a new image
            image = result
    return image


def process(source, target, ops):
    """One file, on a worker: (source, None) when written, else (source, the reason)."""
    try:
        apply_ops(bmpfun.load(source), ops).save(target)
        return source, None
    except (OSError, ValueError, MemoryError) as e:
        return source, f"{type(e).__name__}: {e}"


def bmp_files(folder):
    return sorted(os.path.join(folder, n) for n in os.listdir(folder)
                  if n.lower().endswith(".bmp") and os.path.isfile(os.path.join(folder, n)))


def run_serial(jobs, ops):
    return [process(s, t, ops) for s, t in jobs]


def run_dask(jobs, ops, scheduler, workers, quiet):
    from dask.distributed import Client, LocalCluster, progress

    started = time.perf_counter()
    if scheduler:
        client = Client(scheduler)
        cluster = None
    else:
        # One single-threaded worker process per core: the operations hold no GIL, but
        # processes also spread the loads and saves and keep a failing file's worker alone.
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        ready = time.perf_counter()
        if not quiet:
            print(f"cluster: {len(client.scheduler_info()['workers'])} workers, "
                  f"ready in {ready - started:.2f} s", flush=True)
        sources = [s for s, _ in jobs]
        targets = [t for _, t in jobs]
        futures = client.map(process, sources, targets, ops=ops, pure=False)
        if not quiet:
            progress(futures)
            print(flush=True)
        return client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input_dir")
    parser.add_argument("output_dir")
    parser.add_argument("ops", nargs="+", metavar="OP")
    parser.add_argument("--scheduler", metavar="HOST:PORT", help="a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--serial", action="store_true", help="no Dask: one file after another here")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)
    try:
        ops = [parse_op(t) for t in args.ops]
    except ValueError as e:
        parser.error(str(e))
    if not os.path.isdir(args.input_dir):
        parser.error(f"{args.input_dir}: not a folder")
    os.makedirs(args.output_dir, exist_ok=True)
    jobs = [(s, os.path.join(os.path.abspath(args.output_dir), os.path.basename(s)))
            for s in map(os.path.abspath, bmp_files(args.input_dir))]

    started = time.perf_counter()
    if args.serial:
        results = run_serial(jobs, ops)
    else:
        results = run_dask(jobs, ops, args.scheduler, args.workers, args.quiet)
    seconds = time.perf_counter() - started

    failed = [(s, why) for s, why in results if why is not None]
    for source, why in failed:
        print(f"{source}: {why}", file=sys.stderr)
    rate = len(results) / seconds if seconds > 0 else 0.0
    print(f"{len(results)} files: {len(results) - len(failed)} written, {len(failed)} failed, "
          f"{seconds:.2f} s ({rate:.1f} files/s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
