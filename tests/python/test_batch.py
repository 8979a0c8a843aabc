"""Many videos on a local Dask cluster: the same files as one after another and as vizmoro-cli,
byte for byte, through the tracker and with --plain, also when a worker is killed part-way, and
vizmoro.run's results and files those of vizmoro-cli run; each video with its own boxes from a
manifest and its own memory; what vizmoro-cli refuses is refused for its reasons, files that would
clash and bad manifest lines are refused before any work, a video that fails or stalls is stopped
and summed up while the others finish, and --resume skips only what is published."""

import os
import pathlib
import re
import shutil
import signal
import subprocess
import threading
import time

import pytest

import vizmoro
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
    a.budget, a.flip, a.hue_mask, a.prune, a.plain = None, False, False, False, False
    a.no_follow_size, a.no_identities, a.seen_only = False, False, False
    return a


def object_words(objects, frames=None):
    return [word for o in objects for word in ("--object", o)] + (
        ["--frames", frames] if frames else [])


def copy_memory(memory, path, state=True):
    """A copy of a memory file with its names and, with `state`, its tracker state."""
    for suffix in ("", ".names") + ((".track",) if state else ()):
        shutil.copyfile(memory + suffix, path + suffix)
    return path


def same_files(ours, theirs, suffixes):
    """Asserts that the files `ours` + suffix and `theirs` + suffix hold the same bytes or are
    both missing; returns the suffixes found."""
    found = set()
    for suffix in suffixes:
        assert os.path.exists(ours + suffix) == os.path.exists(theirs + suffix), suffix
        if os.path.exists(theirs + suffix):
            with open(ours + suffix, "rb") as a, open(theirs + suffix, "rb") as b:
                assert a.read() == b.read(), suffix
            found.add(suffix)
    return found


def files_of(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def sequential(videos, memory, output):
    output.mkdir()
    for job in batch.jobs_from(batch_arguments("track", videos, output, memory)):
        batch.process(job)
    return files_of(output)


@pytest.mark.parametrize("state", [True, False], ids=["state", "names only"])
def test_tracking_gives_the_files_of_vizmoro_cli(clips, tmp_path, cli, state):
    videos, memory = clips
    # Without its state (as --plain leaves a memory) objects are known by their names' sizes.
    given = copy_memory(memory, str(tmp_path / "given.dat"), state)
    own = copy_memory(given, str(tmp_path / "cli.dat"), state)
    batch.process(batch.jobs_from(batch_arguments("track", videos[1:2], tmp_path, given))[0])
    subprocess.run([cli, "track", videos[1], "-m", own, "-r", str(tmp_path / "cli.txt"), "-q"],
                   check=True)
    assert (tmp_path / "clip2.txt").read_bytes(), "objects are followed"
    assert same_files(str(tmp_path / "clip2"), str(tmp_path / "cli"),
                      (".txt", ".dat", ".dat.track")) == {".txt", ".dat"} | (
                          {".dat.track"} if state else set())


def test_cluster_gives_the_files_of_a_sequential_run(clips, tmp_path):
    from distributed import Client, LocalCluster
    videos, memory = clips
    expected = sequential(videos, memory, tmp_path / "one_by_one")
    assert sorted(expected) == sorted(
        f"clip{s}{ext}" for s in range(1, 5)
        for ext in (".dat", ".dat.lock", ".dat.names", ".dat.track", ".txt"))
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


@pytest.mark.parametrize("objects, frames", [
    (OBJECTS, None), (OBJECTS, "0-4"),
    # key frames: the same objects again with other boxes on later frames
    (OBJECTS + ["1:orange:44,62,150,156@3", "3:purple:540,52,160,160@5-6"], None)])
def test_teaching_gives_the_files_of_vizmoro_cli(clips, tmp_path, cli, objects, frames):
    videos, _ = clips
    given = object_words(objects, frames)
    _, jobs = batch.parse_arguments(["teach", videos[0], "-o", str(tmp_path), *given])
    batch.process(jobs[0])
    subprocess.run([cli, "teach", videos[0], "-m", str(tmp_path / "cli.dat"), "-q", *given],
                   check=True)
    assert same_files(str(tmp_path / "clip1"), str(tmp_path / "cli"),
                      (".dat", ".dat.names", ".dat.track")) == {".dat", ".dat.names", ".dat.track"}


def test_run_and_the_batch_give_the_files_of_vizmoro_cli_run(clip_maker, cli, tmp_path):
    # The README's example clip and objects, given as texts and as tuples, with paths as Paths.
    clip = make_clip(clip_maker, str(tmp_path), "multi.avi", 600, "--scene", "multi")
    subprocess.run([cli, "run", clip, *object_words(OBJECTS, "0-29"), "-m",
                    str(tmp_path / "cli.dat"), "-r", str(tmp_path / "cli.txt"), "-q"], check=True)
    objects = [OBJECTS[0], (2, "green", (304, 356, 160, 160)),
               (3, "purple", (548, 50, 160, 160), (0, 29))]
    results = vizmoro.run(pathlib.Path(clip), objects, tmp_path / "py.dat", frames=(0, 29),
                          results=tmp_path / "py.txt", quiet=True)
    _, jobs = batch.parse_arguments(["run", clip, "-o", str(tmp_path / "batch"),
                                     *object_words(OBJECTS, "0-29")])
    (tmp_path / "batch").mkdir()
    batch.process(jobs[0])
    expected = (tmp_path / "cli.txt").read_text()
    assert expected and "".join(vizmoro.mot_line(*r) for r in results) == expected
    for ours in (tmp_path / "py", tmp_path / "batch" / "multi"):
        assert same_files(str(ours), str(tmp_path / "cli"),
                          (".txt", ".dat", ".dat.names", ".dat.track")) == {
                              ".txt", ".dat", ".dat.names", ".dat.track"}
    # track's frames count from 0, as the video does; the results from 1.
    ranged = vizmoro.track(clip, tmp_path / "py.dat", frames="100-109", quiet=True)
    assert ranged and {frame for frame, *_ in ranged} <= set(range(101, 111))
    # coast= is --coast: an object lost on the way (the green one leaves at frame 260) is listed
    # on the frames after too.
    seen = subprocess.run([cli, "track", clip, "-m", copy_memory(str(tmp_path / "cli.dat"),
                                                                  str(tmp_path / "seen.dat")),
                           "--frames", "0-269", "--no-learn", "-q"],
                          check=True, capture_output=True, text=True).stdout
    coasted = "".join(vizmoro.mot_line(*r) for r in vizmoro.track(
        clip, copy_memory(str(tmp_path / "cli.dat"), str(tmp_path / "coast.dat")),
        frames="0-269", learn=False, coast=3, quiet=True))
    assert set(seen.splitlines()) < set(coasted.splitlines())


@pytest.mark.parametrize("frames, seen", [(None, []), ("0-4", ["--seen-only", "--hue-mask"])])
def test_plain_teaching_and_tracking_give_the_files_of_vizmoro_cli_plain(clips, tmp_path, cli,
                                                                          frames, seen):
    videos, _ = clips
    given = object_words(OBJECTS, frames) + [o for o in seen if o == "--hue-mask"]
    own = str(tmp_path / "cli.dat")
    taught, tracked = tmp_path / "taught", tmp_path / "tracked"
    taught.mkdir()
    tracked.mkdir()
    (taught / "clip1.dat.track").write_text("an earlier run's, for another memory")
    _, jobs = batch.parse_arguments(["teach", videos[0], "-o", str(taught), "--plain", *given])
    batch.process(jobs[0])
    subprocess.run([cli, "teach", videos[0], "-m", own, "-q", "--plain", *given], check=True)
    assert same_files(str(taught / "clip1"), own[:-4], (".dat", ".dat.names", ".dat.track")) == {
        ".dat", ".dat.names", ".dat.track"}, "the state of this memory, none left from before"

    _, jobs = batch.parse_arguments(["track", videos[1], "-o", str(tracked), "-m", own,
                                     "--plain", *seen])
    batch.process(jobs[0])
    subprocess.run([cli, "track", videos[1], "-m", own, "-r", own[:-4] + ".txt", "-q", "--plain",
                    *seen], check=True)
    assert same_files(str(tracked / "clip2"), own[:-4], (".txt", ".dat")) == {".txt", ".dat"}


@pytest.mark.parametrize("plain", [False, True])
def test_a_video_that_vizmoro_cli_fails_on_publishes_nothing(clips, tmp_path, cli, plain):
    videos, _ = clips
    for objects, why in [
            (["1:cup:10,10,40,40", "2:mug:10,10,40,40@60"],
             "object 2 (mug) was not taught: the video ended after 50 frames, before its frame 60"),
            (["1:cup:700,10,80,40"],
             "the box of object 1 reaches outside the frames of 768 x 576")]:
        given = object_words(objects) + (["--plain"] if plain else [])
        _, jobs = batch.parse_arguments(["teach", videos[0], "-o", str(tmp_path), *given])
        with pytest.raises(RuntimeError, match=re.escape(why)):
            batch.process(jobs[0])
        assert os.listdir(tmp_path) == []
        status = subprocess.run([cli, "teach", videos[0], "-m", str(tmp_path / "cli.dat"), "-q",
                                 *given], capture_output=True, text=True)
        assert f"vizmoro-cli: {why}" in status.stderr.splitlines() and status.returncode != 0
        for name in os.listdir(tmp_path):
            os.remove(tmp_path / name)


def test_objects_and_names_files_are_read_as_vizmoro_cli_reads_them(clips, tmp_path, cli):
    videos, memory = clips
    missing = str(tmp_path / "missing.avi")
    for objects in [[text] for text in [
            "1:cup:1,2,3,4", "1:a:b:1,2,3,4@7", "007:cup:1,2,3,4@5-9", "0:cup:1,2,3,4",
            " 1:cup:1,2,3,4", "+1:cup:1,2,3,4", "1_0:cup:1,2,3,4", "2147483648:c:1,2,3,4",
            "1:cu\tp:1,2,3,4", "1::1,2,3,4", "1:cup:1,2,3,0", "1:cup:1,2,3,4@5-3",
            "1:cup:1,2,3,4@-3", "1:cup:1,2,3,4@1-2-3", "1:cup:-1,2,3,4"]] + [
            ["1:cup:1,2,3,4", "1:cup:5,6,7,8@3"],  # a key frame
            ["1:cup:1,2,3,4", "2:mug:1,2,3,4", "1:mug:1,2,3,4@3"]]:
        try:
            batch.jobs_from(batch_arguments("teach", [missing], tmp_path, objects=objects))
            refusal = None
        except ValueError as refused:
            refusal = str(refused)
        # A missing video is an input error (2); a refused object, a usage error (1).
        status = subprocess.run([cli, "teach", missing, *object_words(objects), "-m",
                                 str(tmp_path / "objects.dat")], capture_output=True)
        assert (refusal is None) == (status.returncode != 1), objects
        if refusal:
            assert status.stderr.decode(**batch.ENCODING).splitlines()[0] == (
                f"vizmoro-cli: {refusal}"), objects
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


def test_files_that_would_clash_and_bad_manifests_are_refused_before_any_work(clips, tmp_path,
                                                                              capsys):
    videos, memory = clips
    same = []
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        same.append(str(shutil.copy(videos[1], tmp_path / folder / "clip.avi")))
    output = tmp_path / "out"
    manifest = tmp_path / "videos.txt"
    manifest.write_text(f"# videos\n\n{videos[0]} 1:cup:1,2,3,4\n{videos[1]}\n")
    bad_object = tmp_path / "objects.txt"
    bad_object.write_text(f"{videos[0]} 1:cup:1,2,3,4\n\n{videos[1]} 1:cup:1,2,3,0\n")
    for argv, why in [(["track", *same, "-o", str(output)], "would both publish"),
                      # clip1.avi publishes clip1.dat, the memory it starts from
                      (["track", videos[0], "-o", os.path.dirname(memory)], "over the input"),
                      (["teach", "--manifest", str(manifest), "-o", str(output)],
                       f"{manifest}:4: teach needs at least one object"),
                      (["track", "--manifest", str(bad_object), "-o", str(output)],
                       f'{bad_object}:3: invalid --object "1:cup:1,2,3,0"'),
                      (["track", videos[0], "-o", str(output), "--seen-only", "--coast", "2"],
                       "--seen-only is --coast 0: give one of them"),
                      (["track", videos[0], "-o", str(output), "--hue-mask"],
                       "--hue-mask needs --plain")]:
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
                                          "clip2.dat.track", "clip2.txt"], (
        "nothing of it, not even its attempt")


def test_a_batch_finishes_its_good_videos_and_sums_up_the_others(clips, tmp_path, cli, capfd):
    videos, _ = clips
    # Each good video with boxes of its own, from a manifest that names them from its folder.
    own = {videos[1]: OBJECTS, videos[2]: [OBJECTS[0], "2:green:300,350,170,160@2"]}
    missing = str(tmp_path / "missing.avi")
    lists = tmp_path / "lists"
    lists.mkdir()
    lines = [f"{os.path.relpath(missing, lists)} 1:cup:10,10,40,40",
             f"{videos[0]} 1:cup:700,10,80,40  # reaches outside its frames",
             *(f"{os.path.relpath(video, lists)} {' '.join(objects)}"
               for video, objects in own.items())]
    (lists / "videos.txt").write_text("\n".join(lines) + "\n")
    taught, tracked = tmp_path / "taught", tmp_path / "tracked"
    assert batch.main(["teach", "--manifest", str(lists / "videos.txt"), "-o", str(taught)]) == 1
    out, err = capfd.readouterr()
    assert out.splitlines() == [
        f"failed: {missing}: cannot open the video {missing}: no such file",
        f"failed: {videos[0]}: the box of object 1 reaches outside the frames of 768 x 576",
        f"done: {videos[1]}", f"done: {videos[2]}", "4 videos: 2 done, 2 failed, 0 skipped"]
    # Each failure told once, by its reason: not retried, not logged by the workers.
    assert "Traceback" not in err and "Compute Failed" not in err
    assert {name.split(".")[0] for name in os.listdir(taught)} == {"clip2", "clip3"}

    # Then each tracked from its own memory; clip1, which has none, fails alone.
    assert batch.main(["track", *videos[:3], "--memories", str(taught), "-o", str(tracked)]) == 1
    assert capfd.readouterr().out.splitlines()[0] == (
        f"failed: {videos[0]}: there is no memory file {taught / 'clip1.dat'} to start from")
    for video, objects in own.items():
        stem = pathlib.Path(video).stem
        theirs = str(tmp_path / f"{stem}-cli")
        subprocess.run([cli, "teach", video, "-m", theirs + ".dat", "-q", *object_words(objects)],
                       check=True)
        assert same_files(str(taught / stem), theirs, (".dat", ".dat.names", ".dat.track")) == {
            ".dat", ".dat.names", ".dat.track"}, stem
        subprocess.run([cli, "track", video, "-m", theirs + ".dat", "-r", theirs + ".txt", "-q"],
                       check=True)
        assert same_files(str(tracked / stem), theirs, (".txt", ".dat", ".dat.track")) == {
            ".txt", ".dat", ".dat.track"}, stem


@pytest.mark.parametrize("resume", [True, False], ids=["resume", "again"])
def test_resume_skips_only_the_videos_whose_files_are_all_published(clips, tmp_path, capsys,
                                                                      resume):
    videos, _ = clips
    expected, output = tmp_path / "expected", tmp_path / "out"
    expected.mkdir()
    output.mkdir()
    argv = ["teach", *videos[:2], *object_words(OBJECTS)]
    for job in batch.parse_arguments(argv + ["-o", str(expected)])[1]:
        batch.process(job)
    # clip1's files are all there; clip2's publishing was cut off before its memory.
    earlier = {name: b"an earlier run's" for name in ("clip1.dat", "clip1.dat.names",
                                                      "clip2.dat.names")}
    for name, data in earlier.items():
        (output / name).write_bytes(data)
    assert batch.main(argv + ["-o", str(output)] + (["--resume"] if resume else [])) == 0
    first = (f"skipped: {videos[0]}: its files are published already" if resume
             else f"done: {videos[0]}")
    assert capsys.readouterr().out.splitlines() == [
        first, f"done: {videos[1]}", f"2 videos: {1 if resume else 2} done, 0 failed, "
        f"{1 if resume else 0} skipped"]
    wanted = files_of(expected)
    if resume:
        wanted = {name: data for name, data in wanted.items() if not name.startswith("clip1")}
        wanted.update({name: data for name, data in earlier.items() if name.startswith("clip1")})
    assert files_of(output) == wanted
