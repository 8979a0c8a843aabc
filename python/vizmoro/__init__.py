"""Vizmoro: an associative memory of image patches that learns objects from video and finds and
tracks them again.

Teach objects from their boxes and follow them through a video, as vizmoro-cli does (the same
session, options, defaults and files):

    import vizmoro
    results = vizmoro.run("clip.mp4", ["1:cup:40,60,30,80"], memory="am.dat")
    for frame, object_id, (x, y, w, h), confidence in results:   # frames from 1
        print(frame, object_id, (x, y, w, h), confidence)
    vizmoro.track("other.mp4", memory="am.dat", results="other.txt")   # MOT lines, too

Or follow an object frame by frame with the tracker:

    import cv2, vizmoro
    memory = vizmoro.Memory()
    tracker = vizmoro.Tracker(memory)             # keeps the memory alive
    capture = cv2.VideoCapture("clip.mp4")
    ok, frame = capture.read()
    tracker.teach(frame, 1, (40, 60, 30, 80))     # object 1 in this box (x, y, w, h)
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        for report in tracker.track(frame):       # one TrackReport per object
            if report.present:
                print(report.id, report.box, report.confidence)
    memory.save("am.dat", keep_all=True)
    tracker.write_state_file(vizmoro.state_path("am.dat"))

Or use the memory itself:

    import cv2, vizmoro
    memory = vizmoro.Memory()
    memory.create(160, 160, levels=3)
    grey = cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)
    memory.set_image(grey)
    memory.write((40, 60, 160, 160), 1)          # teach object 1 in this box
    for event in memory.track():                  # then find and track it
        if event.code == vizmoro.TRACK:
            print(event.index, event.rect, event.similarity)
    memory.save("am.dat", keep_all=True)

``python3 -m vizmoro.batch`` teaches or tracks many videos on a Dask cluster.
"""

from ._vizmoro import (  # noqa: F401
    BEGIN,
    END,
    MATCH,
    NO_MATCH,
    OBJECT,
    RELEARN,
    TRACK,
    Error,
    Event,
    LearningOptions,
    Memory,
    MemoryFileLock,
    MemoryLearningOptions,
    MemoryTrackingOptions,
    Node,
    ReadResult,
    SessionParams,
    TrackedObject,
    Tracker,
    TrackerParams,
    TrackingOptions,
    TrackReport,
    __version__,
    mot_line,
    names_path,
    parse_int,
    parse_object,
    parse_range,
    read_names,
    run,
    state_path,
    teach,
    track,
    write_names,
)

__all__ = [
    "BEGIN", "END", "MATCH", "NO_MATCH", "OBJECT", "RELEARN", "TRACK", "Error", "Event",
    "LearningOptions", "Memory", "MemoryFileLock", "MemoryLearningOptions",
    "MemoryTrackingOptions", "Node", "ReadResult", "SessionParams",
    "TrackedObject", "Tracker", "TrackerParams", "TrackingOptions", "TrackReport", "mot_line",
    "names_path", "parse_int", "parse_object", "parse_range", "read_names", "run", "state_path",
    "teach", "track", "write_names",
]
