"""Many videos on a local Dask cluster: the same files as one after another and as vizmoro-cli,
byte for byte, also when a worker is killed part-way; what vizmoro-cli refuses is refused, files
that would clash are refused before any work, and a video that stalls is stopped."""

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
                    "--plain", *(["--seen-only"] if seen_only else [])], check=True)
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


@pytest.mark.parametrize("frames", [None, "0-4"])
def test_teaching_gives_the_files_of_vizmoro_cli(clips, tmp_path, cli, frames):
    videos, _ = clips
    given = [word for o in OBJECTS for word in ("--object", o)]
    given += ["--frames", frames] if frames else []
    arguments, jobs = batch.parse_arguments(["teach", videos[0], "-o", str(tmp_path), *given])
    batch.process(jobs[0])
    subprocess.run([cli, "teach", videos[0], "-m", str(tmp_path / "cli.dat"), "-q", "--plain",
                    *given], check=True)
    for suffix in (".dat", ".dat.names"):
        assert (tmp_path / f"clip1{suffix}").read_bytes() == (
            tmp_path / f"cli{suffix}").read_bytes(), suffix


def test_objects_and_names_files_are_read_as_vizmoro_cli_reads_them(clips, tmp_path, cli):
    videos, memory = clips
    for text in ["1:cup:1,2,3,4", "1:a:b:1,2,3,4@7", "007:cup:1,2,3,4@5-9", "0:cup:1,2,3,4",
                 " 1:cup:1,2,3,4", "+1:cup:1,2,3,4", "1_0:cup:1,2,3,4", "2147483648:c:1,2,3,4",
                 "1:cu\tp:1,2,3,4", "1::1,2,3,4", "1:cup:1,2,3,0", "1:cup:1,2,3,4@5-3",
                 "1:cup:1,2,3,4@-3", "1:cup:1,2,3,4@1-2-3", "1:cup:-1,2,3,4"]:
        try:
            batch.parse_object(text, (0, 0))
            accepted = True
        except ValueError:
            accepted = False
        # A missing video is an input error (2); a refused object, a usage error (1).
        status = subprocess.run([cli, "teach", str(tmp_path / "missing.avi"), "--object", text,
                                 "-m", str(tmp_path / "objects.dat")], capture_output=True)
        assert accepted == (status.returncode != 1), text
    with pytest.raises(ValueError, match="control characters"):
        batch.parse_object("1:c\x1bp:1,2,3,4", (0, 0))

    shutil.copyfile(memory, tmp_path / "names.dat")
    for line in [b"1\tcup\t10\t20", b"0\tcup\t10\t20", b" 1\tcup\t10\t20", b"+1\tcup\t10\t20",
                 b"1x\tcup\t10\t20", b"1\t\t10\t20", b"1\tcup\t10", b"1\tcup\t10\t20\t",
                 b"1\tcup\t10px\t 20", b"1\tcup\t0\t20", b"1\tcup\t10\t-2",
                 b"2147483648\tcup\t10\t20", b"1\tc\xffp\t10\t20"]:
        (tmp_path / "names.dat.names").write_bytes(b"\n" + line + b"\n")
        try:
            names = batch.read_names(str(tmp_path / "names.dat.names"))
            accepted = True
        except ValueError:
            accepted = False
        status = subprocess.run([cli, "inspect", str(tmp_path / "names.dat")],
                                capture_output=True)
        assert accepted == (status.returncode == 0), line
        if accepted:  # and written back as it was read
            batch.write_names(str(tmp_path / "again.names"), names)
            assert (tmp_path / "again.names").read_bytes().split(b"\t")[1] == line.split(b"\t")[1]


def test_files_that_would_clash_are_refused_before_any_work(clips, tmp_path, capsys):
    videos, memory = clips
    same = []
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        same.append(str(shutil.copy(videos[1], tmp_path / folder / "clip.avi")))
    output = tmp_path / "out"
    for argv, why in [(["track", *same, "-o", str(output)], "would both publish"),
                      # clip1.avi publishes clip1.dat, the memory it starts from
                      (["track", videos[0], "-o", os.path.dirname(memory)], "over the input")]:
        with pytest.raises(SystemExit):
            batch.main(argv + ["-m", memory])
        assert why in capsys.readouterr().err
    assert not output.exists()


def test_a_video_that_stalls_is_stopped_at_its_time_limit(clips, tmp_path):
    from distributed import Client
    videos, memory = clips
    stalled = str(tmp_path / "stalled.avi")
    os.mkfifo(stalled)  # no writer ever comes: opening it waits for ever
    output = tmp_path / "out"
    output.mkdir()
    _, jobs = batch.parse_arguments(["track", stalled, videos[1], "-o", str(output), "-m", memory])
    assert batch.time_limit(jobs[0]) is None, "a FIFO's length is not known"
    jobs[0]["time_limit"] = 3  # as --time-limit 3 gives; the clip keeps its default
    with Client(processes=False, n_workers=1, threads_per_worker=2,
                dashboard_address=None) as client:
        outcome = batch.run(jobs, client)
    assert outcome[0] == {"failed": "stopped after its time limit of 3 s"}
    assert sorted(os.listdir(output)) == ["clip2.dat", "clip2.dat.lock", "clip2.dat.names",
                                          "clip2.txt"], "nothing of it, not even its attempt"
