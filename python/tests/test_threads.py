"""Operations, loads and saves let other Python threads run: images are worked on side by side."""
import threading
import time

import numpy as np
import pytest

import bmpfun


def pattern(size):
    y, x = np.indices((size, size))
    return np.dstack([(x * 3) % 256, (y * 5) % 256, (x + y) % 256]).astype(np.uint8)


def longest_pause_while(work):
    """Run work in a thread; the longest the main thread waited between two steps meanwhile."""
    done = threading.Event()
    thread = threading.Thread(target=lambda: (work(), done.set()))
    started = time.perf_counter()
    last, longest = started, 0.0
    thread.start()
    while not done.is_set():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    thread.join()
    return longest, time.perf_counter() - started


@pytest.mark.parametrize("work", [
    lambda image, path: image.fun(1),
    lambda image, path: image.blur(5),
    lambda image, path: image.save(path),
    lambda image, path: bmpfun.load(path),
], ids=["fun", "blur", "save", "load"])
def test_the_gil_is_released(tmp_path, work):
    image = bmpfun.Image.from_array(pattern(2048))
    image.sampling = bmpfun.BILINEAR
    path = tmp_path / "big.bmp"
    image.save(path)
    # Holding the GIL, the call would stop the main thread for about its whole length, in
    # every attempt; other work on the machine can only lengthen single pauses, so a few
    # attempts are allowed.
    attempts = []
    for _ in range(5):
        pause, total = longest_pause_while(lambda: work(image, path))
        attempts.append(f"{pause:.3f} of {total:.3f} s")
        if pause < total / 2:
            return
    pytest.fail("the main thread stopped for: " + ", ".join(attempts))
