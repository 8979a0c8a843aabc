"""The memory through Python: the worked examples give the numbers they give in C++, rectangles
are tuples, errors carry the engine's code, operation and message."""

import os
import pickle
import struct
import subprocess

import cv2
import numpy as np
import pytest

import vizmoro


def textured(width, height, seed):
    """Smooth blobs of many sizes, so that every window has contrast."""
    rng = np.random.RandomState(seed)
    image = np.zeros((height, width), np.float32)
    for size in (5, 11, 23, 47):
        noise = rng.rand(height // size + 2, width // size + 2).astype(np.float32)
        image += cv2.resize(noise, (width, height), interpolation=cv2.INTER_CUBIC)
    return cv2.normalize(image, None, 0, 255, cv2.NORM_MINMAX).astype(np.uint8)


def test_fresh_memory_packs_to_82_bytes():
    memory = vizmoro.Memory()
    memory.create(220, 220, 3)
    packed = memory.pack()
    assert len(packed) == memory.packed_size == 82
    width, height, data_size, memory_size, max_depth, levels, nodes, last_id, accesses = (
        struct.unpack_from("<iiiihhiQQ", packed))
    assert (width, height, data_size, memory_size, max_depth, levels) == (220, 220, 4, 2, 0, 3)
    assert (nodes, last_id, accesses) == (1, 1, 0)
    assert (memory.node_count, memory.max_depth, memory.last_node_id, memory.access_count) == (
        1, 0, 1, 0)


def test_first_write_makes_a_chain_of_three_bases_in_768_bytes():
    memory = vizmoro.Memory()
    memory.create(220, 220, 3)
    memory.set_image(textured(640, 480, 3))
    memory.write((390, 250, 220, 220), 1)
    packed = memory.pack()
    assert len(packed) == 768
    assert struct.unpack_from("<4Q", packed, 40) == (0, 1, 2, 3)  # the parent table
    assert [(n.level, n.id, n.hits, n.data, n.values.shape) for n in memory.nodes()] == [
        (1, 2, 1, 1, (3, 3)), (2, 3, 1, 1, (7, 7)), (3, 4, 1, 1, (15, 15))]
    assert memory.last_node_id == 4 and memory.access_count == 1
    result = memory.read((390, 250, 220, 220), force_descent=True)
    assert result.matched and result.index == 1 and result.base_index == 4
    assert result.found[2:] == (187, 187)
    assert memory.fitted_box(result.found, (220, 220))[2:] == (220, 220)


def test_a_memory_pickles_with_its_options_and_saves_to_paths(tmp_path):
    empty = pickle.loads(pickle.dumps(vizmoro.Memory()))
    assert empty.size == (0, 0) and repr(empty) == "<Memory not created>"
    memory = vizmoro.Memory()
    memory.create(120, 100, 3)
    memory.set_image(textured(320, 240, 5))
    memory.write((40, 30, 120, 100), 7)
    memory.write((150, 100, 120, 100), 2)
    memory.learning_options.budget = 50
    memory.tracking_options.follow_size = True
    copy = pickle.loads(pickle.dumps(memory))
    assert copy.pack() == memory.pack()
    assert (copy.learning_options.budget, copy.tracking_options.follow_size) == (50, True)
    assert repr(copy) == (
        f"<Memory size=(120, 100) levels=3 bases={copy.node_count - 1} objects=[2, 7]>")
    copy.save(tmp_path / "am.dat", keep_all=True)
    loaded = vizmoro.Memory()
    loaded.load(tmp_path / "am.dat")
    assert loaded.pack() == memory.pack()


def test_python_and_the_programs_write_the_same_memory(tmp_path, cli):
    """A frame taught through Python and through vizmoro-cli gives the same memory file."""
    image = textured(320, 240, 8)
    cv2.imwrite(str(tmp_path / "frame.png"), cv2.cvtColor(image, cv2.COLOR_GRAY2BGR))
    subprocess.run([cli, "teach", "frame.png", "--object", "5:thing:40,30,160,120", "-q",
                    "--budget", "0", "--no-guard", "--plain"], cwd=tmp_path, check=True)
    memory = vizmoro.Memory()
    memory.create(160, 120, 3)
    memory.set_image(image)
    memory.write((40, 30, 160, 120), 5)
    memory.save(str(tmp_path / "python.dat"), keep_all=True)
    assert (tmp_path / "python.dat").read_bytes() == (tmp_path / "am.dat").read_bytes()
    loaded = vizmoro.Memory()
    loaded.load(str(tmp_path / "am.dat"))
    assert loaded.pack() == memory.pack()
    assert subprocess.run([cli, "--version"], capture_output=True, text=True,
                          check=True).stdout == f"vizmoro-cli {vizmoro.__version__}\n"


def test_refusals_raise_the_engines_report_and_change_nothing(tmp_path):
    memory = vizmoro.Memory()
    memory.create(100, 100, 3)
    memory.set_image(textured(200, 150, 1))
    before = memory.pack()
    with pytest.raises(vizmoro.Error) as refused:
        memory.write((150, 0, 100, 100), 1)
    assert refused.value.code == -10
    assert refused.value.operation == "CvAssociativeMemory::Write"
    assert refused.value.message == "Incorrect size interest area"
    assert memory.pack() == before
    with pytest.raises(vizmoro.Error) as refused:
        memory.unpack(b"short")
    assert refused.value.code == -209
    with pytest.raises(FileNotFoundError):
        memory.load(str(tmp_path / "missing.dat"))
    (tmp_path / "notes.dat").write_text("not a memory")
    with pytest.raises(ValueError):
        memory.load(str(tmp_path / "notes.dat"))
    with pytest.raises(OSError):
        memory.save(str(tmp_path / "missing" / "am.dat"))
    with pytest.raises(vizmoro.Error) as refused:
        vizmoro.Memory().save(str(tmp_path / "never.dat"))
    assert refused.value.code == -27 and not os.path.exists(tmp_path / "never.dat")
    with pytest.raises(vizmoro.Error):
        memory.learning_options = vizmoro.LearningOptions(budget=-1)
    assert memory.pack() == before


def test_what_python_refuses_is_refused_as_python_does(tmp_path):
    memory = vizmoro.Memory()
    memory.create(120, 120, 3)
    before = memory.pack()
    path = str(tmp_path / "nul\x00.dat")
    for call in (lambda: memory.save(path), lambda: memory.load(path),
                 lambda: vizmoro.MemoryFileLock(path)):
        with pytest.raises(ValueError, match="embedded null byte"):
            call()
    assert os.listdir(tmp_path) == [], "nothing was written under a name cut short"
    for levels in (70000, -32769):
        with pytest.raises(OverflowError):
            memory.create(120, 120, levels)
    assert memory.pack() == before
    most = 2**31 - 1
    with pytest.raises(OverflowError):
        memory.fitted_box((most - 100, 0, 120, 120), (120, 120))


def test_learning_options_and_the_lock(tmp_path):
    memory = vizmoro.Memory()
    memory.learning_options = vizmoro.LearningOptions(guard=True, budget=300)
    assert memory.learning_options.guard and memory.learning_options.budget == 300
    # A session's options are changed in place, field by field, as vizmoro.batch does.
    params = vizmoro.SessionParams()
    params.learning.guard, params.tracking.follow_size = False, False
    memory.learning_options, memory.tracking_options = params.learning, params.tracking
    assert not memory.learning_options.guard and memory.learning_options.budget == 2000
    assert not memory.tracking_options.follow_size and memory.tracking_options.look_before_report
    # A memory's own options too; a copy of them is the caller's, and a refused value changes
    # nothing.
    memory.learning_options.guard, memory.tracking_options.sweep_to = True, 2.5
    own = vizmoro.LearningOptions(memory.learning_options)
    own.budget = 7
    with pytest.raises(vizmoro.Error):
        memory.learning_options.budget = -1
    assert repr(memory.learning_options) == (
        "<MemoryLearningOptions guard=True established_after=3 budget=2000>")
    assert "sweep_to=2.5 follow_size=False" in repr(memory.tracking_options)
    path = tmp_path / "am.dat"  # a path-like
    with vizmoro.MemoryFileLock(path) as lock:
        assert lock.held
        with pytest.raises(BlockingIOError, match="another run holds its lock"):
            with vizmoro.MemoryFileLock(path):
                pass
    with vizmoro.MemoryFileLock(path):
        pass
    assert os.path.exists(str(path) + ".lock")
