"""Many videos on a local Dask cluster: the same files as one after another, byte for byte, also
when a worker is killed part-way."""

import os
import shutil
import signal
import subprocess
import threading
import time

import pytest

from conftest import make_clip
from vizmoro import batch

OBJECTS = ["1:orange:40,60,160,160", "2:green:304,356,160,160", "3:purple:548,50,160,160"]


@pytest.fixture(scope="module")
def clips(tmp_path_factory, clip_maker):
    folder = tmp_path_factory.mktemp("clips")
    # The same three objects, on clips of their own lengths, over a plain ground or a street.
    videos = [make_clip(clip_maker, str(folder), f"clip{k}.avi", 40 + 10 * k, "--scene", "multi",
                        *(["--street"] if k % 2 == 0 else [])) for k in range(1, 5)]
    taught = folder / "taught"
    taught.mkdir()
    jobs = batch.jobs_from(batch_arguments("teach", videos[:1], taught, objects=OBJECTS,
                                           frames="0-4"))
    batch.process(jobs[0])
    return videos, str(taught / "clip1.dat")


def batch_arguments(command, videos, output, memory=None, objects=None, frames="0"):
    class Arguments:
        pass
    a = Arguments()
    a.command, a.videos, a.output, a.memory = command, videos, str(output), memory
    a.object, a.frames, a.levels, a.no_learn, a.no_guard = objects, frames, 3, False, False
    a.budget, a.flip = None, False
    a.no_follow_size, a.no_identities, a.seen_only = False, False, False
    return a


def files_of(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def sequential(videos, memory, output):
    output.mkdir()
    for job in batch.jobs_from(batch_arguments("track", videos, output, memory)):
        batch.process(job)
    return files_of(output)


@pytest.mark.parametrize("seen_only", [False, True])
def test_tracking_gives_the_results_of_vizmoro_cli(clips, tmp_path, cli, seen_only):
    videos, memory = clips
    arguments = batch_arguments("track", videos[1:2], tmp_path, memory)
    arguments.seen_only = seen_only
    batch.process(batch.jobs_from(arguments)[0])
    own = tmp_path / "cli.dat"
    shutil.copyfile(memory, own)
    shutil.copyfile(memory + ".names", str(own) + ".names")
    subprocess.run([cli, "track", videos[1], "-m", str(own), "-r", str(tmp_path / "cli.txt"), "-q",
                    *(["--seen-only"] if seen_only else [])], check=True)
    assert (tmp_path / "clip2.txt").read_bytes() == (tmp_path / "cli.txt").read_bytes()
    assert (tmp_path / "clip2.dat").read_bytes() == own.read_bytes()


def test_cluster_gives_the_files_of_a_sequential_run(clips, tmp_path):
    from distributed import Client, LocalCluster
    videos, memory = clips
    expected = sequential(videos, memory, tmp_path / "one_by_one")
    assert sorted(expected) == sorted(
        f"clip{s}{ext}" for s in range(1, 5) for ext in (".dat", ".dat.lock", ".dat.names", ".txt"))
    assert all(expected[f"clip{s}.txt"] for s in range(1, 5)), "every clip has results"

    output = tmp_path / "cluster"
    output.mkdir()
    jobs = batch.jobs_from(batch_arguments("track", videos, output, memory))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        batch.run(jobs, client)
    assert files_of(output) == expected


def test_a_killed_worker_has_its_video_run_again(clips, tmp_path):
    from distributed import Client, LocalCluster
    videos, memory = clips
    expected = sequential(videos, memory, tmp_path / "one_by_one")
    output = tmp_path / "cluster"
    output.mkdir()
    jobs = batch.jobs_from(batch_arguments("track", videos, output, memory))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        killed = []

        def kill_a_busy_worker():
            # As soon as an attempt is under way, its worker dies.
            deadline = time.time() + 60
            while time.time() < deadline and not killed:
                if any(name.startswith(".attempt-") for name in os.listdir(output)):
                    pids = client.run(os.getpid)
                    busy = [address for address, tasks in client.processing().items() if tasks]
                    if busy:
                        os.kill(pids[busy[0]], signal.SIGKILL)
                        killed.append(busy[0])
                time.sleep(0.01)

        killer = threading.Thread(target=kill_a_busy_worker)
        killer.start()
        batch.run(jobs, client)
        killer.join()
    assert killed, "no worker was caught at work"
    assert files_of(output) == expected, "nothing half-written, every video done once"
