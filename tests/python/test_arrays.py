"""Arrays in and out: bad ones raise clear errors, and the memory never depends on, nor writes
into, an array its caller still owns."""

import gc

import numpy as np
import pytest

import vizmoro
from test_memory import textured


@pytest.fixture
def memory():
    memory = vizmoro.Memory()
    memory.create(120, 120, 3)
    return memory


@pytest.mark.parametrize("array, error, text", [
    (np.zeros((100, 100), np.float32), TypeError, "grey must be a uint8 array, not float32"),
    (np.zeros((100, 100, 3), np.uint8), ValueError, "grey must be a 2-D array (one channel), not 3-D"),
    (np.zeros((100, 200), np.uint8)[:, ::2], ValueError, "grey must be C-contiguous"),
    (np.zeros((0, 10), np.uint8), ValueError, "grey is empty"),
    ([[1, 2], [3, 4]], TypeError, "grey must be a numpy array"),
])
def test_bad_frames_are_refused(memory, array, error, text):
    with pytest.raises(error) as refused:
        memory.set_image(array)
    assert text in str(refused.value)


def test_bad_masks_are_refused(memory):
    grey = np.zeros((100, 100), np.uint8)
    with pytest.raises(ValueError, match="mask must have the shape of grey"):
        memory.set_image(grey, np.zeros((50, 100), np.uint8))
    with pytest.raises(TypeError, match="mask must be a uint8 array"):
        memory.set_image(grey, np.zeros((100, 100), np.int16))


def test_the_callers_arrays_are_copied_and_never_written(memory):
    frame = textured(300, 240, 4)
    mask = np.full((240, 300), 255, np.uint8)
    mask[:, :40] = 0
    original_mask = mask.copy()
    memory.set_image(frame, mask)
    assert np.array_equal(mask, original_mask), "the memory blurs its own copy of the mask"
    memory.write((60, 50, 120, 120), 3)
    expected = memory.read((60, 50, 120, 120), force_descent=True)

    # The caller changes and drops its arrays: the memory still sees the frame it was given.
    frame[:] = 0
    del frame, mask
    gc.collect()
    seen = memory.read((60, 50, 120, 120), force_descent=True)
    assert (seen.found, seen.index, seen.similarity) == (
        expected.found, expected.index, expected.similarity)
