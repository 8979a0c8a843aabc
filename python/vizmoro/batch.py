"""Teach, track or run many videos as Dask tasks.

    python3 -m vizmoro.batch teach --object 1:cup:10,20,80,80 --output taught/ a.mp4 b.mp4 ...
    python3 -m vizmoro.batch track --memory taught.dat --output out/ a.mp4 b.mp4 ...
    python3 -m vizmoro.batch track --memories taught/ --output out/ a.mp4 b.mp4 ...
    python3 -m vizmoro.batch run --manifest videos.txt --output out/

Each video is a task of its own and ends with its own memory file, out/NAME.dat, with what
vizmoro-cli keeps beside it: its names (out/NAME.dat.names) and the tracker's state
(out/NAME.dat.track). When tracking or running, its results are out/NAME.txt in vizmoro-cli's
MOT format. Each attempt runs vizmoro-cli's own session (vizmoro.teach, track and run), so the
files are the same, byte for byte, as vizmoro-cli teach, track and run give with the same options:
by default the tracker follows each object from its taught boxes; with --plain, the memory's own
search and tracking of earlier versions (with vizmoro-cli --plain's defaults: sizes followed,
identities kept apart, objects not seen listed where they were last seen). run teaches each
video's objects on their frames and tracks the rest, as vizmoro-cli run does, starting from a
copy of --memory where one is given and from a new memory otherwise; track with objects does the
same. Every video starts from a copy of --memory, or with --memories FOLDER from a copy of its
own FOLDER/NAME.dat (and what lies beside it), as teach published it into FOLDER.

The objects are given with --object, the same for every video, or per video in a manifest
(--manifest FILE) in place of the videos on the command line: one line per video, the video's
path and then its objects as --object arguments, the words split as a shell splits them (quote a
path or name with spaces), blank lines and comments (from a # that starts a word) ignored:

    # videos.txt
    clip.mp4   1:cup:10,20,80,80 2:ball:5,5,20,20@3
    ../b.mp4   1:cup:12,30,80,80@0-4

A relative path is taken from the manifest's folder. A line that vizmoro-cli would refuse (an
object it refuses, teach or run without objects) is refused with FILE:LINE before any work.

Every attempt at a task works in a folder of its own on a pristine copy of the input memory and
its state and publishes its files only when it succeeds, so a worker that dies part-way leaves
nothing half-written and its video is simply run again. A video that fails (it cannot be read,
it ends before an object's first frame, a box reaches outside its frames, its memory is missing)
fails as vizmoro-cli does, publishes nothing, and the other videos go on. The batch ends with a
summary, a line per video: done, failed and why, or skipped; its exit status is 0 when every
video is done (or skipped) and 1 otherwise. With --resume, a video whose files are all published
already (its memory and names, and its results when tracking or running) is skipped; by default
every video runs again and replaces its files.

Videos whose files would have the same names (a/clip.avi and b/clip.mp4 both publish clip.*),
and files that would replace an input, are refused before any work, as is every mistake on the
command line (exit status 2). Each attempt runs in a process of its own under a time limit
(--time-limit; by default 20 times the video's length and a minute more where its length is
known, none where it is not): a video that stalls is stopped, reported as failed and left out,
and the others go on.

By default the tasks run on a local cluster of worker processes; --scheduler ADDRESS sends them
to a running Dask scheduler (start one with `dask scheduler` and its workers with
`dask worker ADDRESS` on each machine; every worker needs vizmoro, and the videos and memory
files at the same paths).
"""

import argparse
import json
import math
import os
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time

import cv2

import vizmoro

# vizmoro-cli's defaults: thresholds, learning and tracking options, the save.
DEFAULTS = vizmoro.SessionParams()
# The time limit of a video of known length: this many times its length, and some more for the
# start of its process.
TIME_PER_LENGTH = 20
TIME_TO_START = 60
INT_MAX = 2**31 - 1


# The names file, --object and the numbers of the options are read, and the names file and the
# results are written, by vizmoro-cli's own code, so that the batch refuses what it refuses and
# never publishes a file it cannot read. Names are bytes to it: they go through Python as the file
# system's encoding gives them (undecodable bytes as surrogates) and back.
ENCODING = {"encoding": "utf-8", "errors": "surrogateescape"}
# The names file beside a memory file, as the batch reads and writes it. The batch's own code calls
# them through the module: a task run as __main__ is pickled by value, and with it every function
# it names from here, which a compiled function cannot be.
read_names, write_names = vizmoro.read_names, vizmoro.write_names


def parse_object(text, frames):
    """ID:NAME:X,Y,W,H[@A-B] as vizmoro-cli reads it, with the teaching range `frames` for an
    object without its own; ValueError with vizmoro-cli's reason when it refuses it."""
    object_id, name, box, span = vizmoro.parse_object(text)
    if box is None:
        raise ValueError(f'invalid --object "{text}": the batch needs the box X,Y,W,H: it has no '
                         "display to draw one on")
    return object_id, name, box, span or frames


def published(job):
    """The files a job publishes: {"memory": ..., "names": ..., "state": ..., "results"
    (tracking): ...}. The tracker's state is published where the run has one (else a state
    left there by an earlier run is removed)."""
    stem = os.path.splitext(os.path.basename(job["video"]))[0]
    finals = {"memory": os.path.join(job["output"], stem + ".dat")}
    finals["names"] = vizmoro.names_path(finals["memory"])
    finals["state"] = vizmoro.state_path(finals["memory"])
    if job["command"] != "teach":
        finals["results"] = os.path.join(job["output"], stem + ".txt")
    return finals


def already_published(job):
    """Whether every file a job publishes is there (the state, which a run may not have, aside):
    the memory file goes last, so a job cut off while publishing is not taken for done."""
    return all(os.path.isfile(path) for key, path in published(job).items() if key != "state")


def video_length(video):
    """The length of a video file in seconds, or None where it is not known without waiting on
    the video (a FIFO, a device, a stream)."""
    try:
        if not stat.S_ISREG(os.stat(video).st_mode):
            return None
    except OSError:
        return None
    capture = cv2.VideoCapture(video)
    try:
        frames, fps = capture.get(cv2.CAP_PROP_FRAME_COUNT), capture.get(cv2.CAP_PROP_FPS)
    finally:
        capture.release()
    length = frames / fps if frames > 0 and fps > 0 else math.nan
    return length if math.isfinite(length) else None


def time_limit(job):
    """A job's time limit in seconds, or None for none."""
    if job.get("time_limit") is not None:
        return job["time_limit"] or None
    length = video_length(job["video"])
    return None if length is None else TIME_PER_LENGTH * length + TIME_TO_START


class AttemptFailed(RuntimeError):
    """A video's session failed: its answer for this video, which another attempt would only
    repeat."""


def task(job):
    """One video, as one task: the files it published, or {"failed": why} where its session
    failed or ran past its time limit (then nothing is published)."""
    try:
        return process(job)
    except AttemptFailed as failure:
        return {"failed": str(failure)}


def process(job):
    """One video: returns the files it published, or {"failed": why} when the video ran past its
    time limit; raises AttemptFailed with the session's reason where it fails. Either way nothing
    of it is published."""
    finals = published(job)
    stem = os.path.splitext(os.path.basename(finals["memory"]))[0]
    attempt = tempfile.mkdtemp(prefix=f".attempt-{stem}-", dir=job["output"])
    try:
        files = {key: os.path.join(attempt, os.path.basename(path)) for key, path in finals.items()}
        limit = time_limit(job)
        # A process of its own, which the limit can stop wherever it waits (the video library
        # may wait for a stalled input where nothing else can end it).
        command = [sys.executable, "-c", "from vizmoro import batch; batch.attempt_from_stdin()"]
        package = os.path.dirname(os.path.dirname(os.path.abspath(vizmoro.__file__)))
        path = os.pathsep.join(filter(None, [package, os.environ.get("PYTHONPATH")]))
        try:
            done = subprocess.run(command, input=json.dumps({"job": job, "files": files}),
                                  capture_output=True, text=True, timeout=limit,
                                  env=dict(os.environ, PYTHONPATH=path))
        except subprocess.TimeoutExpired:
            return {"failed": f"stopped after its time limit of {limit:g} s"}
        if done.returncode != 0:
            lines = done.stderr.strip().splitlines() or [f"exit status {done.returncode}"]
            raise AttemptFailed(lines[-1])
        # Published only now, under the memory file's lock, each file replaced whole. A state
        # that belongs to another memory must not stay beside this one.
        with vizmoro.MemoryFileLock(finals["memory"]):
            for key in ("results", "state", "names", "memory"):
                if key in files and os.path.exists(files[key]):
                    os.replace(files[key], finals[key])
                elif key == "state" and os.path.lexists(finals[key]):
                    os.remove(finals[key])
        return finals
    finally:
        shutil.rmtree(attempt, ignore_errors=True)


def attempt_from_stdin():
    """The process of one attempt: the job and its files as JSON on standard input."""
    parent = os.getppid()

    def orphaned():  # a worker that dies takes its attempt with it
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(1)

    threading.Thread(target=orphaned, daemon=True).start()
    given = json.load(sys.stdin)
    try:
        attempt(given["job"], given["files"])
    except Exception as error:  # noqa: BLE001 - its reason is the last line, not a traceback
        print(str(error) or type(error).__name__, file=sys.stderr, flush=True)
        sys.exit(1)


def attempt(job, files):
    """Teaches or tracks one video into `files` (memory, names, state and results) with
    vizmoro-cli's own session: teach, track, or run where there are objects to teach."""
    if job.get("memory"):  # pristine copies of the input memory and what lies beside it
        if not os.path.isfile(job["memory"]):
            raise FileNotFoundError(f"there is no memory file {job['memory']} to start from")
        shutil.copyfile(job["memory"], files["memory"])
        for key, path in (("names", vizmoro.names_path), ("state", vizmoro.state_path)):
            try:
                shutil.copyfile(path(job["memory"]), files[key])
            except FileNotFoundError:
                pass
    objects = job.get("objects", [])
    options = {key: job[key] for key in ("plain", "guard", "budget", "prune", "flip", "hue_mask")}
    options["quiet"] = True
    if job["command"] == "teach":
        vizmoro.teach(job["video"], objects, files["memory"], levels=job["levels"], **options)
        return
    for key in ("learn", "seen_only", "coast", "follow_size", "keep_identities"):
        options[key] = job[key]
    if objects:
        vizmoro.run(job["video"], objects, files["memory"], results=files["results"],
                    levels=job["levels"], **options)
        return
    vizmoro.track(job["video"], files["memory"], results=files["results"], **options)
    # Tracking leaves the names as they were; the batch publishes them as it reads them.
    vizmoro.write_names(files["names"], vizmoro.read_names(vizmoro.names_path(job["memory"])))


def objects_of(texts, frames):
    """The objects of --object arguments, with the teaching range `frames` for those without
    their own; ValueError for what vizmoro-cli refuses."""
    objects = []
    for text in texts:
        object_id, name, box, span = parse_object(text, frames)
        # The same object again is a key frame: another box on other frames.
        for other in objects:
            if other[0] == object_id and other[1] != name:
                raise ValueError(f'object {object_id} is given twice, as "{other[1]}" and as '
                                 f'"{name}"')
        objects.append((object_id, name, box, span))
    return objects


def read_manifest(path, frames):
    """The videos of a manifest, [(video, objects, "FILE:LINE")]: a line per video, its path (from
    the manifest's folder where it is relative) and then its objects as --object arguments, split
    as a shell splits words; blank lines and # comments are ignored. ValueError with FILE:LINE for
    a line it refuses."""
    try:
        with open(path, **ENCODING) as file:
            text = file.read()
    except OSError as error:
        raise ValueError(f"cannot read the manifest {path}: {error.strerror or error}") from None
    folder = os.path.dirname(os.path.abspath(path))
    entries = []
    for number, line in enumerate(text.split("\n"), 1):
        try:
            words = shlex.split(line, comments=True)
            if not words:
                continue
            if not words[0]:
                raise ValueError("the video's path is empty")
            entries.append((os.path.join(folder, words[0]), objects_of(words[1:], frames),
                            f"{path}:{number}"))
        except ValueError as refused:
            raise ValueError(f"{path}:{number}: {refused}") from None
    if not entries:
        raise ValueError(f"the manifest {path} lists no video")
    return entries


def jobs_from(arguments):
    """The jobs of parsed arguments; ValueError for what vizmoro-cli would refuse, and for files
    that would be published twice or over an input, before any work."""
    frames = vizmoro.parse_range(arguments.frames)
    if frames is None:
        raise ValueError("--frames must read A-B, with A <= B")
    manifest = getattr(arguments, "manifest", None)
    if manifest:
        entries = read_manifest(manifest, frames)
        for _, objects, where in entries:
            if arguments.command != "track" and not objects:
                raise ValueError(f"{where}: {arguments.command} needs at least one object")
    else:
        objects = objects_of(arguments.object or [], frames)
        entries = [(video, objects, None) for video in arguments.videos]
    memories = getattr(arguments, "memories", None)
    if memories and not os.path.isdir(memories):
        raise ValueError(f"there is no folder {memories} of memories")
    budget = DEFAULTS.learning.budget if arguments.budget is None else arguments.budget
    coast = getattr(arguments, "coast", None)
    if arguments.seen_only and coast is not None:
        raise ValueError("--seen-only is --coast 0: give one of them")
    jobs = []
    for video, objects, _ in entries:
        stem = os.path.splitext(os.path.basename(video))[0]
        memory = (os.path.join(memories, stem + ".dat") if memories else arguments.memory)
        jobs.append({
            "command": arguments.command, "video": os.path.abspath(video),
            "output": os.path.abspath(arguments.output),
            "memory": os.path.abspath(memory) if memory else None,
            "objects": objects, "levels": arguments.levels, "learn": not arguments.no_learn,
            "guard": DEFAULTS.learning.guard and not arguments.no_guard, "budget": budget,
            "flip": arguments.flip, "hue_mask": arguments.hue_mask, "plain": arguments.plain,
            "prune": arguments.prune or not DEFAULTS.keep_all,
            "follow_size": DEFAULTS.tracking.follow_size and not arguments.no_follow_size,
            "keep_identities": DEFAULTS.tracking.keep_identities and not arguments.no_identities,
            "seen_only": arguments.seen_only, "coast": coast,
            "time_limit": getattr(arguments, "time_limit", None)})
    if arguments.memory:
        # Refused now rather than by every video.
        if not os.path.isfile(arguments.memory):
            raise ValueError(f"there is no memory file {arguments.memory}")
        vizmoro.read_names(vizmoro.names_path(arguments.memory))
    # Inputs by path and, where they exist, by file (a link or another name of one).
    inputs = [job["video"] for job in jobs]
    for memory in dict.fromkeys(job["memory"] for job in jobs if job["memory"]):
        inputs += [memory, vizmoro.names_path(memory), vizmoro.state_path(memory)]
    given = {os.path.realpath(path): path for path in inputs}
    given.update({key: path for path in inputs if (key := _file_of(path))})
    publishers = {}
    for job in jobs:
        for path in published(job).values():
            real = os.path.realpath(path)
            if real in publishers:
                raise ValueError(f"{publishers[real]} and {job['video']} would both publish "
                                 f"{path}: give the videos names of their own")
            publishers[real] = job["video"]
            clash = given.get(real) or given.get(_file_of(path))
            if clash:
                raise ValueError(f"{job['video']} would publish {path} over the input {clash}")
    return jobs


def _file_of(path):
    """(device, inode) of an existing file, else None."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def run(jobs, client, report=None, resume=False):
    """Runs the jobs on a Dask client; returns, in order, the published files of each job,
    {"failed": why} for a job that failed, or, with `resume`, {"skipped": why} for a job whose
    files are all published already."""
    from distributed import as_completed

    outcome = [{"skipped": "its files are published already"} if resume and already_published(job)
               else None for job in jobs]
    todo = [i for i, result in enumerate(outcome) if result is None]
    done = 0
    for i in range(len(jobs)):
        if outcome[i] is not None:
            done += 1
            if report:
                report(f"{done}/{len(jobs)} skipped: {jobs[i]['video']}")
    # A session that fails gives its reason, which another try would repeat; what else fails
    # (a file that cannot be published) is tried again.
    futures = client.map(task, [jobs[i] for i in todo], pure=False, retries=2)
    order = {future.key: i for i, future in zip(todo, futures)}
    for future in as_completed(futures):
        i = order[future.key]
        try:
            outcome[i] = future.result()
        except Exception as error:  # noqa: BLE001 - reported, and the other videos go on
            outcome[i] = {"failed": str(error) or type(error).__name__}
        done += 1
        if report:
            failed = outcome[i].get("failed")
            report(f"{done}/{len(jobs)} " + (f"failed: {jobs[i]['video']}: {failed}" if failed
                                              else f"done: {jobs[i]['video']}"))
    for name in os.listdir(jobs[0]["output"]) if jobs else []:
        if name.startswith(".attempt-"):  # left by workers that died part-way
            shutil.rmtree(os.path.join(jobs[0]["output"], name), ignore_errors=True)
    return outcome


def summary(jobs, outcome):
    """The lines that end a batch: one per video, in order, then the counts."""
    lines, counts = [], {"done": 0, "failed": 0, "skipped": 0}
    for job, result in zip(jobs, outcome):
        state = next((key for key in ("failed", "skipped") if key in result), "done")
        counts[state] += 1
        lines.append(f"{state}: {job['video']}" + (f": {result[state]}" if state != "done"
                                                   else ""))
    lines.append(f"{len(jobs)} videos: " + ", ".join(f"{n} {key}" for key, n in counts.items()))
    return lines


def whole(low, high):
    """An argparse type: a whole number from low to high, as vizmoro-cli reads one."""
    def parse(text):
        value = vizmoro.parse_int(text, low, high)
        if value is None:
            raise argparse.ArgumentTypeError(f"takes a whole number from {low} to {high}")
        return value
    return parse


def seconds(text):
    """An argparse type: a time in seconds, 0 or more."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError("takes a number of seconds, 0 or more")
    return value


def parser_of():
    parser = argparse.ArgumentParser(prog="python3 -m vizmoro.batch", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["teach", "track", "run"])
    parser.add_argument("videos", nargs="*", help="the videos (or --manifest)")
    parser.add_argument("-o", "--output", required=True, help="folder of the published files")
    memory = parser.add_mutually_exclusive_group()
    memory.add_argument("-m", "--memory", help="the memory every video starts from (a copy each)")
    memory.add_argument("--memories", metavar="FOLDER",
                        help="start each video from its own FOLDER/NAME.dat (a copy), as teach "
                             "published it there")
    parser.add_argument("--object", action="append",
                        help="ID:NAME:X,Y,W,H[@A-B] (teach, run), the same for every video; the "
                             "same ID and NAME again is a key frame, another box on other frames")
    parser.add_argument("--manifest", metavar="FILE",
                        help="the videos and each one's objects: a line per video, its path and "
                             "then its objects as --object arguments")
    parser.add_argument("--frames", default="0",
                        help="teaching frames A-B of objects without their own (default 0)")
    parser.add_argument("--levels", type=whole(1, 8), default=3,
                        help="levels of a new memory (1 to 8, default 3)")
    parser.add_argument("--no-learn", action="store_true", help="track without learning")
    parser.add_argument("--no-guard", action="store_true", help="turn off the learning guard")
    parser.add_argument("--budget", type=whole(0, INT_MAX),
                        help=f"bases kept at most (default {DEFAULTS.learning.budget}, 0 for no "
                             "budget)")
    parser.add_argument("--prune", action="store_true",
                        help="save with the pruning save, which drops bases learned three times "
                             "or less (default: keep every base)")
    parser.add_argument("--flip", action="store_true", help="turn every frame upside down")
    parser.add_argument("--hue-mask", action="store_true",
                        help="(--plain) hide the first frame's most common hues")
    parser.add_argument("--plain", action="store_true",
                        help="the memory's own search and tracking of earlier versions instead "
                             "of the tracker: the same results and memory as they gave")
    parser.add_argument("--no-follow-size", action="store_true",
                        help="(--plain) look for objects at the whole-frame sizes only")
    parser.add_argument("--no-identities", action="store_true",
                        help="(--plain) let a match over another object start a track of its own")
    parser.add_argument("--coast", type=whole(0, INT_MAX), metavar="N",
                        help="list an object not seen for up to N tracked frames after the last "
                             "one it was seen on, where it was seen, its conf halved on each "
                             "(default 0; with --plain 40, and at most 40)")
    parser.add_argument("--seen-only", action="store_true",
                        help="list only the objects seen on each frame: --coast 0 (not with "
                             "--coast)")
    parser.add_argument("--time-limit", type=seconds, metavar="SECONDS",
                        help=f"stop a video after this long, 0 for never (default "
                             f"{TIME_PER_LENGTH} times its length and {TIME_TO_START} s more "
                             f"where its length is known, never where it is not)")
    parser.add_argument("--resume", action="store_true",
                        help="skip the videos whose files are all published already")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=whole(1, 1024), default=2,
                        help="local worker processes")
    return parser


def parse_arguments(argv=None):
    """The arguments and their jobs; exits with a usage message for what it refuses."""
    parser = parser_of()
    arguments = parser.parse_args(argv)
    if arguments.manifest:
        if arguments.videos:
            parser.error("give the videos on the command line or in --manifest, not both")
        if arguments.object:
            parser.error("give the objects on the manifest's lines, not with --object")
    elif not arguments.videos:
        parser.error("give the videos, or --manifest")
    elif arguments.command != "track" and not arguments.object:
        parser.error(f"{arguments.command} needs at least one --object")
    if arguments.hue_mask and not arguments.plain:
        parser.error("--hue-mask needs --plain: the tracker reads whole frames")
    if arguments.command == "track" and not (arguments.memory or arguments.memories):
        parser.error("track needs --memory or --memories")
    try:
        return arguments, jobs_from(arguments)
    except (ValueError, OSError) as refused:
        parser.error(str(refused))


def main(argv=None):
    arguments, jobs = parse_arguments(argv)
    os.makedirs(arguments.output, exist_ok=True)

    from distributed import Client, LocalCluster

    def report(line):
        print(line, file=sys.stderr, flush=True)

    if arguments.scheduler:
        with Client(arguments.scheduler) as client:
            outcome = run(jobs, client, report, arguments.resume)
    else:
        with LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            outcome = run(jobs, client, report, arguments.resume)
    print("\n".join(summary(jobs, outcome)), flush=True)
    return 1 if any("failed" in result for result in outcome) else 0


if __name__ == "__main__":
    sys.exit(main())
