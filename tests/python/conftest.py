"""Shared pieces of the Python suites: the built programs and generated clips."""

import os
import subprocess

import pytest


def program(name):
    path = os.environ.get(name)
    if not path:
        pytest.skip(f"{name} is not set: run the suite through ctest")
    return path


@pytest.fixture(scope="session")
def clip_maker():
    return program("VIZMORO_CLIP_MAKER")


@pytest.fixture(scope="session")
def cli():
    return program("VIZMORO_CLI")


def make_clip(maker, folder, name, frames, *extra):
    path = os.path.join(folder, name)
    subprocess.run([maker, "--frames", str(frames), "--output", path, *extra], check=True,
                   capture_output=True)
    return path
