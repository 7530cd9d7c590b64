"""Draws the sample clip shipped with velmar (velmar/data/sample.avi).

A bench seen from above: a quiet stretch, a ball crossing, quiet again, then a
box sliding in and stopping. Run from the project's root to remake the clip:

    python examples/make_sample_clip.py
"""

from pathlib import Path

import cv2
import numpy as np

WIDTH, HEIGHT, FPS = 320, 240, 15
TARGET = Path(__file__).resolve().parent.parent / "python" / "velmar" / "data" / "sample.avi"


def background():
    """A lit bench: a soft gradient with a few fixed marks."""
    ramp = np.linspace(70, 150, WIDTH, dtype=np.float32)
    grey = np.tile(ramp, (HEIGHT, 1)).astype(np.uint8)
    frame = cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)
    cv2.rectangle(frame, (20, 170), (300, 200), (60, 90, 120), -1)
    cv2.circle(frame, (260, 60), 18, (40, 40, 40), -1)
    return frame


def scene(index, base):
    """Frame `index`: quiet 0-29, ball 30-59, quiet 60-74, box 75-104, quiet after."""
    frame = base.copy()
    if 30 <= index < 60:
        t = (index - 30) / 29
        centre = (int(20 + t * 280), int(120 - 60 * np.sin(t * np.pi)))
        cv2.circle(frame, centre, 14, (235, 240, 250), -1)
    if index >= 75:
        x = 20 + min(index - 75, 30) * 4
        cv2.rectangle(frame, (x, 100), (x + 50, 150), (30, 20, 20), -1)
    return frame


def main():
    TARGET.parent.mkdir(parents=True, exist_ok=True)
    writer = cv2.VideoWriter(str(TARGET), cv2.VideoWriter_fourcc(*"MJPG"), FPS, (WIDTH, HEIGHT))
    if not writer.isOpened():
        raise SystemExit(f"cannot write {TARGET}")
    base = background()
    for index in range(120):
        writer.write(scene(index, base))
    writer.release()
    print(f"{TARGET}: {TARGET.stat().st_size} bytes")


if __name__ == "__main__":
    main()
