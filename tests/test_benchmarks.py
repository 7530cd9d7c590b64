"""The benchmark scripts still run (on tiny inputs; timings are not looked at)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"


@pytest.mark.parametrize("script, args, expected", [
    ("session_overhead.py", ["--tiny"], "time-lapse"),
    ("session_overhead.py", ["--long", "500"], "long session: 500 frames"),
    ("motion_check_call.py", ["--quick"], "1920x1080"),
    ("record_overhead.py", ["--tiny"], "interval    64x48"),
    ("record_speed.py", ["--tiny"], "c. cost of padding"),
    ("events_memory.py", ["--tiny"], "3000 frames read"),
    ("batch_throughput.py", ["--quick"], "velmar batch --jobs 2"),
    ("crash_safety.py", ["--tiny"], "encoder delay"),
    ("segments_flat.py", ["--tiny"], "40 files"),
    ("outages.py", ["--tiny"], "2 outages"),
    ("motion_scenes.py", ["--tiny", "--config", "defaults"], "| defaults |"),
    ("detection_speed.py", ["--tiny"], "none kept"),
    ("live_view_cost.py", ["--tiny"], "one stalled client"),
    ("event_sealing.py", ["--tiny"], "| live, events drained | 1 |"),
    ("against_ffmpeg.py", ["--tiny"], "| velmar --interval 1 |"),
    ("copy_cost.py", ["--tiny"], "goal"),
])
@pytest.mark.slow
def test_benchmark_runs(tmp_path, script, args, expected):
    env = dict(os.environ, VELMAR_BENCH_CACHE=str(tmp_path))
    done = subprocess.run([sys.executable, str(BENCHMARKS / script), *args], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert expected in done.stdout
