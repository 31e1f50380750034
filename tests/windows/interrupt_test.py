#!/usr/bin/env python3
"""bmpfun.exe under Wine stopped by Ctrl-C at many moments of a write over an existing output.

Wine turns a SIGINT to the process into the console's CTRL_C_EVENT, which reaches the handler
removeTemporaryFilesOnStopSignals installs. The moment is found by watching the folder for
the temporary file to appear, then waiting a delay from a table. Each time no temporary file
may be left, and the output must be the old file byte for byte or the complete new one.

    interrupt_test.py WINE BMPFUN_EXE SCRATCH_FOLDER
"""
import os
import shutil
import signal
import subprocess
import sys
import time

wine, program, scratch = sys.argv[1:4]
shutil.rmtree(scratch, ignore_errors=True)
work = os.path.join(scratch, "out")
os.makedirs(work)
source, old, new, out = (os.path.join(scratch, n) for n in ("in.bmp", "old.bmp", "new.bmp", "out/out.bmp"))


def run(*args):
    subprocess.run([wine, program, *args], check=True, stdout=subprocess.DEVNULL)


def read(path):
    with open(path, "rb") as f:
        return f.read()


run("testcard", source, "4000", "3000")
run("testcard", old, "64", "48")
run("convert", source, new, "32")  # a 48 MB write
old_bytes, new_bytes = read(old), read(new)

# Milliseconds after the temporary file appeared; None: at once after the start.
delays = [None, 0, 0, 1, 2, 3, 5, 8, 12, 20, 30, 50, 80, 150, 300]
kept_old = finished_new = 0
failures = []
for delay in delays:
    shutil.copyfile(old, out)
    # --sync: the flush before the swap keeps the complete temporary file waiting a while.
    child = subprocess.Popen([wine, program, "--sync", "convert", source, out, "32"], stdout=subprocess.DEVNULL)
    if delay is not None:
        deadline = time.monotonic() + 60
        while not any(n.startswith(".bmpfun-") for n in os.listdir(work)) and child.poll() is None:
            if time.monotonic() > deadline:
                break
            time.sleep(0.0005)
        time.sleep(delay / 1000)
    child.send_signal(signal.SIGINT)
    child.wait(timeout=120)
    names = sorted(os.listdir(work))
    now = read(out)
    what = f"Ctrl-C {'at the start' if delay is None else f'{delay} ms after the temporary file appeared'}"
    if names != ["out.bmp"]:
        failures.append(f"{what}: the folder holds {names}")
    if now == old_bytes:
        kept_old += 1
    elif now == new_bytes:
        finished_new += 1
    else:
        failures.append(f"{what}: the output is neither the old nor the new file ({len(now)} bytes)")

print(f"stopped with the old output kept: {kept_old}, the new one complete: {finished_new}")
if kept_old < 3:  # more than the stops before the write: the table reaches into it
    failures.append(f"only {kept_old} stops kept the old output: the stops did not reach the write")
for line in failures:
    print("FAILED:", line)
sys.exit(1 if failures else 0)
