"""Callbacks: an exception raised in one propagates once the pass is complete; the GIL is
released while the memory searches."""

import threading
import time

import numpy as np
import pytest

import vizmoro
from test_memory import textured


def taught_memory():
    memory = vizmoro.Memory()
    memory.create(120, 120, 3)
    frame = textured(360, 300, 5)
    memory.set_image(frame)
    for dx in range(0, 16, 3):  # taught at a few neighbouring places, as a hand holds it
        for dy in range(0, 16, 3):
            memory.write((100 + dx, 80 + dy, 120, 120), 1)
    return memory


def test_an_exception_in_a_callback_propagates_after_a_whole_pass():
    reference, memory = taught_memory(), taught_memory()
    reference.track()

    def failing(event):
        if event.code == vizmoro.TRACK:
            raise LookupError("the display is gone")

    with pytest.raises(LookupError, match="the display is gone"):
        memory.track(failing)
    assert memory.pack() == reference.pack()
    codes = [e.code for e in memory.track()]
    assert codes == [e.code for e in reference.track()], "the next pass is as it would have been"


def test_a_track_keeps_what_its_callback_returned():
    memory = taught_memory()
    seen = []

    def keep(event):
        if event.code == vizmoro.TRACK:
            seen.append(event.track_data)
            return {"trail": len(seen)}
        return None

    memory.track(keep)
    memory.track(keep)
    assert seen[0] is None
    assert seen[-1] == {"trail": 1}


def test_other_threads_run_while_the_memory_searches():
    memory = vizmoro.Memory()
    memory.create(100, 100, 3)
    frame = textured(1280, 720, 6)
    memory.set_image(frame)
    for x in range(0, 1100, 60):  # many bases make a long search
        memory.write((x, 300, 100, 100), 2)
    counter = [0]
    running = threading.Event()
    stop = threading.Event()

    def count():
        running.set()
        while not stop.is_set():
            counter[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    running.wait()
    start = time.perf_counter()
    before = counter[0]
    memory.recognize(lambda event: None if event.code != vizmoro.END else None)
    during = counter[0] - before
    elapsed = time.perf_counter() - start
    stop.set()
    thread.join()
    assert elapsed > 0.02, "the search was too short to tell"
    assert during > 1000, f"the counting thread made {during} steps in {elapsed:.3f} s"
