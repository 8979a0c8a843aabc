"""Teach or track many videos as Dask tasks.

    python3 -m vizmoro.batch track --memory taught.dat --output out/ a.mp4 b.mp4 ...
    python3 -m vizmoro.batch teach --object 1:cup:10,20,80,80 --output out/ a.mp4 ...

Each video is a task of its own and ends with its own memory file, out/NAME.dat (with its names,
out/NAME.dat.names), and, when tracking, its results in the MOT format of vizmoro-cli,
out/NAME.txt: the same lines as vizmoro-cli track gives, with its tracking defaults (sizes
followed, identities kept apart, objects not seen listed where they were last seen). Every attempt at a task works in a folder of its own on a pristine copy of the
input memory and publishes its files only when it succeeds, so a worker that dies part-way
leaves nothing half-written and its video is simply run again.

By default the tasks run on a local cluster of worker processes; --scheduler ADDRESS sends them
to a running Dask scheduler (start one with `dask scheduler` and its workers with
`dask worker ADDRESS` on each machine; every worker needs vizmoro, and the videos and memory
files at the same paths).
"""

import argparse
import os
import shutil
import sys
import tempfile

import cv2

import vizmoro

LEARN_THRESHOLD = 0.5400000214576721  # 0.54 and 0.45 in single precision, as the programs use
TRACK_THRESHOLD = 0.44999998807907104
DEFAULT_BUDGET = 2000


def read_names(path):
    """The names file beside a memory file: {id: (name, (w, h))}."""
    names = {}
    if not os.path.exists(path):
        return names
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\n")
            if not line:
                continue
            fields = line.split("\t")
            if len(fields) != 4:
                raise ValueError(f"{path}, line {number}: not ID<TAB>NAME<TAB>W<TAB>H")
            names[int(fields[0])] = (fields[1], (int(fields[2]), int(fields[3])))
    return names


def write_names(path, names):
    with open(path, "w", encoding="utf-8") as out:
        for object_id in sorted(names):
            name, (width, height) = names[object_id]
            out.write(f"{object_id}\t{name}\t{width}\t{height}\n")


def parse_object(text, frames):
    """ID:NAME:X,Y,W,H[@A-B] as vizmoro-cli reads it."""
    object_id, rest = text.split(":", 1)
    name, box = rest.rsplit(":", 1)
    span = frames
    if "@" in box:
        box, span = box.split("@", 1)
    x, y, w, h = (int(v) for v in box.split(","))
    first, _, last = span.partition("-")
    return int(object_id), name, (x, y, w, h), (int(first), int(last or first))


def frames_of(video, flip):
    capture = cv2.VideoCapture(video)
    if not capture.isOpened():
        raise OSError(f"cannot open the video {video}")
    while True:
        ok, frame = capture.read()
        if not ok or frame is None:
            return
        if flip:
            frame = cv2.flip(frame, 0)
        yield cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)


def mot_line(frame, object_id, box, conf):
    x, y, w, h = box
    return f"{frame},{object_id},{x},{y},{w},{h},{conf:.4f},-1,-1,-1\n"


def process(job):
    """One video, as one task: returns the files it published."""
    video, output = job["video"], job["output"]
    stem = os.path.splitext(os.path.basename(video))[0]
    finals = {"memory": os.path.join(output, stem + ".dat")}
    finals["names"] = finals["memory"] + ".names"
    if job["command"] == "track":
        finals["results"] = os.path.join(output, stem + ".txt")
    attempt = tempfile.mkdtemp(prefix=f".attempt-{stem}-", dir=output)
    try:
        files = {key: os.path.join(attempt, os.path.basename(path)) for key, path in finals.items()}
        memory = vizmoro.Memory()
        names = {}
        if job.get("memory"):  # a pristine copy of the input memory, for this attempt alone
            shutil.copyfile(job["memory"], files["memory"])
            memory.load(files["memory"])
            names = read_names(job["memory"] + ".names")
        memory.learning_options = vizmoro.LearningOptions(
            guard=job["guard"], budget=job["budget"])
        memory.tracking_options = vizmoro.TrackingOptions(
            follow_size=job["follow_size"], keep_identities=job["keep_identities"],
            look_before_report=True)
        objects = job.get("objects", [])
        if objects and not job.get("memory"):
            memory.create(objects[0][2][2], objects[0][2][3], job["levels"])
        for object_id, name, box, _ in objects:
            names[object_id] = (name, (box[2], box[3]))
        last_taught = max((span[1] for *_, span in objects), default=-1)
        results = open(files["results"], "w", encoding="utf-8") if "results" in files else None
        try:
            for index, grey in enumerate(frames_of(video, job["flip"])):
                if job["command"] == "teach" and index > last_taught:
                    break
                memory.set_image(grey)
                taught = False
                for object_id, _, box, (first, last) in objects:
                    if first <= index <= last:
                        memory.write(box, object_id)
                        taught = True
                if results is None or taught:
                    continue
                best = {}
                for event in memory.track(learning=job["learn"], learn_threshold=LEARN_THRESHOLD,
                                          track_threshold=TRACK_THRESHOLD):
                    if event.code == vizmoro.TRACK and event.index and not (
                            event.predicted and job["seen_only"]):
                        if event.index not in best or event.similarity > best[event.index][1]:
                            best[event.index] = (event.rect, event.similarity)
                for object_id in sorted(best):
                    rect, similarity = best[object_id]
                    taught_size = names[object_id][1] if object_id in names else memory.size
                    results.write(mot_line(index + 1, object_id,
                                           memory.fitted_box(rect, taught_size), similarity))
        finally:
            if results is not None:
                results.close()
        memory.save(files["memory"], keep_all=True)
        write_names(files["names"], names)
        # Published only now, under the memory file's lock, each file replaced whole.
        with vizmoro.MemoryFileLock(finals["memory"]):
            for key in ("results", "names", "memory"):
                if key in files:
                    os.replace(files[key], finals[key])
        return finals
    finally:
        shutil.rmtree(attempt, ignore_errors=True)


def jobs_from(arguments):
    objects = [parse_object(text, arguments.frames) for text in arguments.object or []]
    budget = DEFAULT_BUDGET if arguments.budget is None else arguments.budget
    return [{"command": arguments.command, "video": os.path.abspath(video),
             "output": os.path.abspath(arguments.output),
             "memory": os.path.abspath(arguments.memory) if arguments.memory else None,
             "objects": objects, "levels": arguments.levels, "learn": not arguments.no_learn,
             "guard": not arguments.no_guard, "budget": budget, "flip": arguments.flip,
             "follow_size": not arguments.no_follow_size,
             "keep_identities": not arguments.no_identities, "seen_only": arguments.seen_only}
            for video in arguments.videos]


def run(jobs, client, report=None):
    """Runs the jobs on a Dask client; returns the published files of each job, in order."""
    from distributed import as_completed

    futures = client.map(process, jobs, pure=False, retries=2)
    order = {future.key: i for i, future in enumerate(futures)}
    outcome = [None] * len(jobs)
    for done, future in enumerate(as_completed(futures), 1):
        outcome[order[future.key]] = future.result()
        if report:
            report(f"{done}/{len(jobs)} done: {jobs[order[future.key]]['video']}")
    for name in os.listdir(jobs[0]["output"]) if jobs else []:
        if name.startswith(".attempt-"):  # left by workers that died part-way
            shutil.rmtree(os.path.join(jobs[0]["output"], name), ignore_errors=True)
    return outcome


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m vizmoro.batch", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["teach", "track"])
    parser.add_argument("videos", nargs="+")
    parser.add_argument("-o", "--output", required=True, help="folder of the published files")
    parser.add_argument("-m", "--memory", help="the memory every video starts from (a copy each)")
    parser.add_argument("--object", action="append", help="ID:NAME:X,Y,W,H[@A-B] (teach)")
    parser.add_argument("--frames", default="0", help="teaching frames A-B (default 0)")
    parser.add_argument("--levels", type=int, default=3, help="levels of a new memory")
    parser.add_argument("--no-learn", action="store_true", help="track without learning")
    parser.add_argument("--no-guard", action="store_true", help="turn off the learning guard")
    parser.add_argument("--budget", type=int, help=f"bases kept at most (default {DEFAULT_BUDGET})")
    parser.add_argument("--flip", action="store_true", help="turn every frame upside down")
    parser.add_argument("--no-follow-size", action="store_true",
                        help="look for objects at the whole-frame sizes only")
    parser.add_argument("--no-identities", action="store_true",
                        help="let a match over another object start a track of its own")
    parser.add_argument("--seen-only", action="store_true",
                        help="list only the objects seen on each frame")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    arguments = parser.parse_args(argv)
    if arguments.command == "teach" and not arguments.object:
        parser.error("teach needs at least one --object")
    if arguments.command == "track" and not arguments.memory:
        parser.error("track needs --memory")
    os.makedirs(arguments.output, exist_ok=True)

    from distributed import Client, LocalCluster

    def report(line):
        print(line, file=sys.stderr, flush=True)

    jobs = jobs_from(arguments)
    if arguments.scheduler:
        with Client(arguments.scheduler) as client:
            run(jobs, client, report)
    else:
        with LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            run(jobs, client, report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
