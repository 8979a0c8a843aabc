"""The tracker through Python: it follows an object from one box in frames of any layout, keeps
its memory alive, shares its memory's one call at a time, and keeps its state in a file."""

import errno
import gc
import sys
import threading

import cv2
import numpy as np
import pytest

import vizmoro
from test_memory import textured

WIDTH, HEIGHT = 320, 240
SIZE = (40, 48)


@pytest.fixture(scope="module")
def scene():
    """A textured object with an outline over a smoother background."""
    background = cv2.GaussianBlur(textured(WIDTH, HEIGHT, 7), (0, 0), 6)
    w, h = SIZE
    thing = cv2.resize(textured(200, 200 * h // w, 99), SIZE, interpolation=cv2.INTER_AREA)
    cv2.rectangle(thing, (0, 0), (w - 1, h - 1), 20, 2)
    return background, thing


def frame(scene, box):
    """The BGR frame with the object in `box`, or without it for None."""
    background, thing = scene
    grey = background.copy()
    if box:
        x, y, w, h = box
        grey[y:y + h, x:x + w] = thing
    return cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)


def moving(count, x, y, dx, dy):
    return [(x + dx * i, y + dy * i) + SIZE for i in range(count)]


def iou(a, b):
    w = min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0])
    h = min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1])
    inter = max(w, 0) * max(h, 0)
    return inter / (a[2] * a[3] + b[2] * b[3] - inter)


def taught(scene, memory=None, box=(200, 120) + SIZE):
    memory = memory or vizmoro.Memory()
    tracker = vizmoro.Tracker(memory)
    tracker.teach(frame(scene, box), 1, box)
    return memory, tracker


def test_follows_from_one_box_reports_absence_and_finds_it_again(scene):
    before, away, after = 16, 20, 12
    path = moving(before, 200, 120, -3, -1) + [None] * away + moving(after, 30, 150, 2, -1)
    _, tracker = taught(scene, box=path[0])
    followed, reported_away, found_after = 0, 0, None
    for i, box in enumerate(path[1:], 1):
        reports = tracker.track(frame(scene, box))
        assert [r.id for r in reports] == [1]
        report = reports[0]
        if i < before:
            followed += report.present and iou(report.box, box) > 0.5
        elif i < before + away:
            reported_away += report.present
            assert report.present or report.confidence == 0
        elif found_after is None and report.present and iou(report.box, box) > 0.5:
            found_after = i - before - away
    assert followed >= before - 3
    assert reported_away <= 2
    assert found_after is not None and found_after <= 10


def test_frames_of_any_layout_give_the_same_reports(scene):
    """Grey, BGR, BGRA, Fortran-ordered and strided views are the same pictures to the tracker."""
    path = moving(6, 200, 120, -3, -1)
    layouts = {
        "grey": lambda f: cv2.cvtColor(f, cv2.COLOR_BGR2GRAY),
        "bgr": lambda f: f,
        "bgra": lambda f: cv2.cvtColor(f, cv2.COLOR_BGR2BGRA),
        "fortran": np.asfortranarray,
        "strided": lambda f: np.repeat(f, 2, axis=1)[:, ::2],
        "one channel": lambda f: cv2.cvtColor(f, cv2.COLOR_BGR2GRAY)[:, :, np.newaxis],
    }
    runs = {}
    for name, layout in layouts.items():
        tracker = vizmoro.Tracker(vizmoro.Memory())
        frames = [layout(frame(scene, box)) for box in path]
        original = [f.copy() for f in frames]
        tracker.teach(frames[0], 1, path[0])
        runs[name] = [[(r.present, r.box, r.confidence) for r in tracker.track(f)]
                      for f in frames[1:]]
        assert all(np.array_equal(f, o) for f, o in zip(frames, original)), name
    assert runs["grey"][-1][0][0], "the object is followed"
    for name, run in runs.items():
        assert run == runs["grey"], name


def test_state_round_trips_through_text_and_files(scene, tmp_path):
    memory, tracker = taught(scene)
    tracker.teach(frame(scene, (180, 100) + SIZE), 1, (180, 100) + SIZE)  # a key frame
    path = str(tmp_path / "am.dat")
    memory.save(path, keep_all=True)
    assert vizmoro.state_path(path) == vizmoro.state_path(tmp_path / "am.dat") == path + ".track"
    tracker.write_state_file(tmp_path / "am.dat.track")  # paths are str or path-like

    loaded_memory = vizmoro.Memory()
    loaded_memory.load(tmp_path / "am.dat")
    loaded = vizmoro.Tracker(loaded_memory)
    assert not loaded.read_state_file(tmp_path / "missing.track")
    assert loaded.read_state_file(vizmoro.state_path(path))
    assert {i: (o.taught, o.key_frames) for i, o in loaded.objects.items()} == {1: (SIZE, 2)}
    assert loaded.save_state() == tracker.save_state()
    # Loaded, not taught: it starts absent and is found where it is.
    box = (150, 90) + SIZE
    reports = [loaded.track(frame(scene, box))[0] for _ in range(6)]
    assert not reports[0].present
    assert any(r.present and iou(r.box, box) > 0.5 for r in reports)

    # Refused: nothing changes.
    state = loaded.save_state()
    other = vizmoro.Tracker(vizmoro.Memory(), area=(80, 80))
    other.teach(frame(scene, box), 1, box)
    other.add_object(3, (30, 20))  # as from a names file: known, never taught
    assert (other.objects[3].taught, other.objects[3].key_frames) == ((30, 20), 0)
    for text in ("not a state", other.save_state()):
        with pytest.raises(vizmoro.Error) as refused:
            loaded.load_state(text)
        assert refused.value.code == -212  # a parse error
    (tmp_path / "bad.track").write_text("vizmoro tracker state 1\nobject 0 1 1 1\n")
    with pytest.raises(vizmoro.Error, match="line 2"):
        loaded.read_state_file(str(tmp_path / "bad.track"))
    with pytest.raises(IsADirectoryError):
        loaded.read_state_file(str(tmp_path))
    assert loaded.save_state() == state
    with pytest.raises(FileNotFoundError) as failed:
        loaded.write_state_file(str(tmp_path / "missing" / "am.dat.track"))
    assert failed.value.errno == errno.ENOENT
    with pytest.raises(ValueError, match="embedded null byte"):
        loaded.write_state_file(str(tmp_path / "nul\x00.track"))


@pytest.mark.parametrize("call, error, text", [
    (lambda t, f: t.teach(f.astype(np.float32), 1, (10, 10, 40, 40)), TypeError,
     "frame must be a uint8 array, not float32"),
    (lambda t, f: t.teach(f[:, :, :2], 1, (10, 10, 40, 40)), ValueError,
     "not of shape (240, 320, 2)"),
    (lambda t, f: t.track(f[:0]), ValueError, "frame is empty"),
    (lambda t, f: t.track(f.tolist()), TypeError, "frame must be a numpy array"),
    (lambda t, f: t.teach(f, 2**31, (10, 10, 40, 40)), OverflowError, "id must fit in int"),
    (lambda t, f: t.teach(f, 1, (2**31 - 20, 10, 40, 40)), OverflowError, "beyond int"),
    (lambda t, f: t.teach(f, 1, (10, -2**31 - 1, 40, 40)), OverflowError, "beyond int"),
    (lambda t, f: t.teach(f, 0, (10, 10, 40, 40)), vizmoro.Error, "Object ids start at 1"),
    (lambda t, f: t.teach(f, 1, (300, 10, 40, 40)), vizmoro.Error, "inside the frame"),
    (lambda t, f: t.teach(f, 1, (10, 10, 3, 40)), vizmoro.Error, "4 x 4 pixels"),
    (lambda t, f: t.add_object(1, (0, 40)), vizmoro.Error, "taught sizes at 1 x 1"),
    (lambda t, f: vizmoro.Tracker(vizmoro.Memory(), area=(30, 64)), vizmoro.Error, "out of range"),
    (lambda t, f: vizmoro.Tracker(vizmoro.Memory(), reacquire=0), vizmoro.Error, "out of range"),
    (lambda t, f: vizmoro.Tracker(vizmoro.Memory(), warps=2**32), OverflowError, "warps"),
])
def test_refused_inputs_change_nothing(scene, call, error, text):
    memory = vizmoro.Memory()
    tracker = vizmoro.Tracker(memory)
    with pytest.raises(error) as refused:
        call(tracker, frame(scene, None))
    assert text in str(refused.value)
    assert tracker.objects == {} and memory.size == (0, 0)


def test_options_reach_the_tracker_and_it_keeps_its_memory_alive(scene):
    memory = vizmoro.Memory()
    held = sys.getrefcount(memory)
    tracker = vizmoro.Tracker(memory, area=(80, 56), levels=2, warps=5, confirm=False, learn=False,
                              coast=1, reacquire=4, frame_search_reads=100, motion="flow")
    p = tracker.params
    assert (p.area, p.levels, p.warps, p.confirm, p.learn, p.coast, p.reacquire,
            p.frame_search_reads, p.motion) == ((80, 56), 2, 5, False, False, 1, 4, 100, "flow")
    assert vizmoro.Tracker(memory).params.motion == "filter"
    with pytest.raises(ValueError, match="motion"):
        vizmoro.Tracker(memory, motion="kcf")
    assert sys.getrefcount(memory) == held + 1
    del tracker
    gc.collect()
    assert sys.getrefcount(memory) == held

    # Its only reference is the tracker's: the memory it creates and teaches lives on.
    tracker = vizmoro.Tracker(vizmoro.Memory())
    gc.collect()
    box = (200, 120) + SIZE
    tracker.teach(frame(scene, box), 1, box)
    assert tracker.track(frame(scene, box))[0].present


def test_threads_take_turns_on_a_tracker_and_its_memory(scene):
    memory, tracker = taught(scene)
    memory.set_image(cv2.cvtColor(frame(scene, None), cv2.COLOR_BGR2GRAY))
    state = tracker.save_state()
    inside, release = threading.Event(), threading.Event()
    refusals = []

    def hold(event):
        if event.code == vizmoro.BEGIN and not inside.is_set():
            # From inside the memory's callback the tracker is refused before it starts.
            for call in (lambda: tracker.teach(frame(scene, None), 2, (10, 10, 40, 40)),
                         lambda: tracker.track(frame(scene, None))):
                with pytest.raises(vizmoro.Error, match="inside its own callback"):
                    call()
            refusals.append(tracker.save_state())
            inside.set()
            release.wait()

    holding = threading.Thread(target=memory.track, args=(hold,))
    holding.start()
    inside.wait()
    reports = []
    waiting = threading.Thread(target=lambda: reports.append(tracker.track(frame(scene, None))))
    waiting.start()
    waiting.join(0.5)
    assert waiting.is_alive(), "a tracker waits for its memory's running call"
    release.set()
    holding.join()
    waiting.join()
    assert refusals == [state] and len(reports) == 1

    # Many calls on the tracker and its memory from many threads, each served whole.
    failures = []
    path = moving(8, 200, 120, -3, -1)

    def hammer(calls):
        try:
            for i in range(8):
                calls(i)
        except Exception as failure:  # noqa: BLE001
            failures.append(failure)

    threads = [threading.Thread(target=hammer, args=(calls,)) for calls in (
        lambda i: tracker.track(frame(scene, path[i])),
        lambda i: tracker.track(frame(scene, path[-1 - i])),
        lambda i: tracker.teach(frame(scene, path[i]), 1 + i % 2, path[i]),
        lambda i: (tracker.objects, tracker.save_state()),
        lambda i: memory.pack(),
        lambda i: memory.nodes())]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert sorted(tracker.objects) == [1, 2]
