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
    # Searches, however fast the machine, until they have taken long enough to tell.
    for _ in range(200):
        memory.recognize(lambda event: None if event.code != vizmoro.END else None)
        if time.perf_counter() - start > 0.05:
            break
    during = counter[0] - before
    elapsed = time.perf_counter() - start
    stop.set()
    thread.join()
    assert during > 1000, f"the counting thread made {during} steps in {elapsed:.3f} s"


def test_threads_on_one_memory_take_turns_and_other_memories_go_on():
    memory, other = taught_memory(), taught_memory()
    inside, release = threading.Event(), threading.Event()
    refusals = []

    def hold(event):
        if event.code == vizmoro.BEGIN and not inside.is_set():
            # The callback's own thread goes through to the memory, which refuses a change.
            with pytest.raises(vizmoro.Error, match="inside its own callback"):
                memory.write((100, 80, 120, 120), 1)
            refusals.append(memory.node_count)
            inside.set()
            release.wait()

    tracking = threading.Thread(target=memory.track, args=(hold,))
    tracking.start()
    inside.wait()
    packed = []
    waiting = threading.Thread(target=lambda: packed.append(memory.pack()))
    waiting.start()
    other.write((100, 80, 120, 120), 1)  # another memory is not held up
    other.track()
    waiting.join(0.5)
    assert waiting.is_alive(), "a call from another thread waits for the running one"
    release.set()
    tracking.join()
    waiting.join()
    assert refusals and packed == [memory.pack()]

    # Many calls from many threads at once, each served whole.
    failures = []

    def hammer(calls):
        try:
            for _ in range(15):
                calls()
        except Exception as failure:  # noqa: BLE001
            failures.append(failure)

    threads = [threading.Thread(target=hammer, args=(calls,)) for calls in (
        memory.track, memory.track, memory.pack, memory.prune,
        lambda: memory.read((100, 80, 120, 120)), lambda: memory.nodes(), other.track)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
