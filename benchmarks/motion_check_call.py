"""Time one check_motion_gray call against the same OpenCV calls made from a
plain Python function, at three frame sizes.

Both run on the same frames with pairs of their own; their calls are
interleaved so that both see the same machine load, and the medians are
compared. A ratio above 1 means the module's call is the slower.

    python benchmarks/motion_check_call.py [--quick] [--threads N]

--threads sets OpenCV's worker threads; its spinning pool adds noise of a few
per cent on two cores.
"""
import statistics
import sys
import time

import cv2
import numpy as np

import velmar.ccapture as ccapture

SIZES = [((160, 120), 2000), ((640, 480), 400), ((1920, 1080), 60)]


def python_check(gray_cur, blurred_prev, blurred_cur, threshold, min_area, kernel_width=21):
    blurred_cur[:, :] = cv2.GaussianBlur(gray_cur, (kernel_width, kernel_width), 0)
    frame_delta = cv2.absdiff(blurred_cur, blurred_prev)
    _, thresh_img = cv2.threshold(frame_delta, threshold, 255, cv2.THRESH_BINARY)
    thresh_img = cv2.dilate(thresh_img, None, iterations=2)
    contours, _ = cv2.findContours(thresh_img, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    moving = []
    for contour in contours:
        if cv2.contourArea(contour) > min_area:
            moving.append(contour)
    if moving:
        blurred_prev[:, :] = blurred_cur
    return bool(moving)


def frames(width, height):
    """Two noisy frames whose bright blocks sit in different places, so that
    every call sees motion and moves the reference."""
    rng = np.random.default_rng(1)
    result = []
    for shift in (0, width // 4):
        frame = rng.integers(0, 40, (height, width), dtype=np.uint8)
        for i in range(4):
            y, x = height // 8 + i * height // 5, width // 10 + shift + i * width // 8
            frame[y:y + height // 10, x:x + width // 12] = 220
        result.append(frame)
    return result


def time_size(width, height, calls):
    pair = frames(width, height)
    native_pair = [np.zeros((height, width), np.uint8) for _ in range(2)]
    python_pair = [np.zeros((height, width), np.uint8) for _ in range(2)]
    runs = {ccapture.check_motion_gray: (native_pair, []), python_check: (python_pair, [])}
    for i in range(calls):
        results = []
        # which one goes first alternates, so neither always finds the caches warm
        for check in list(runs)[::1 if i % 4 < 2 else -1]:
            buffers, times = runs[check]
            start = time.perf_counter()
            results.append(check(pair[i % 2], *buffers, 25, 500))
            times.append(time.perf_counter() - start)
        assert results[0] == results[1], "the two checks disagree"
    assert all((x == y).all() for x, y in zip(native_pair, python_pair))
    return [statistics.median(times) for _, times in runs.values()]


def main():
    quick = "--quick" in sys.argv
    if "--threads" in sys.argv:
        cv2.setNumThreads(int(sys.argv[sys.argv.index("--threads") + 1]))
    print(f"OpenCV {cv2.__version__}, {cv2.getNumThreads()} threads, kernel 21")
    print(f"{'frame':>10} {'calls':>6} {'check_motion_gray':>18} {'plain Python':>13} "
          f"{'ratio':>6}")
    for (width, height), calls in SIZES:
        calls = max(calls // 20, 5) if quick else calls
        native, plain = time_size(width, height, calls)
        print(f"{width:>5}x{height:<4} {calls:>6} {native * 1e6:>15.1f} us "
              f"{plain * 1e6:>10.1f} us {native / plain:>6.3f}")


if __name__ == "__main__":
    main()
