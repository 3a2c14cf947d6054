"""Shared plumbing of the folder-grading examples: which files to grade, where
each result goes, and the closing summary.

Only `grade_one` touches tonvik; everything else is plain Python so that the
process-pool and the Dask example tally outcomes the same way.
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import os
import sys
from collections.abc import Iterable
from pathlib import Path
from typing import TextIO

import tonvik

SUCCESS = "success:ok"

# Suffixes of the formats the decoder reads. The decoder itself goes by the
# file's content, not its name: the suffix only decides which files of a
# folder are candidates, so notes and sidecar files are left alone.
IMAGE_SUFFIXES = frozenset(
    {".png", ".jpg", ".jpeg", ".bmp", ".gif", ".tga", ".psd", ".pic", ".hdr", ".pnm", ".ppm", ".pgm"}
)

EXIT_OK = 0
EXIT_SOME_FAILED = 1
EXIT_USAGE = 2


@dataclasses.dataclass(frozen=True)
class Job:
    """One image to grade: absolute paths, as str because apply_lut takes str only."""

    source: str
    target: str


def grade_one(lut_path: str, job: Job) -> str:
    """Grades one image; returns the status string, raises what apply_lut raises."""
    return tonvik.apply_lut(lut_path, job.source, job.target)


def find_images(in_dir: Path) -> list[Path]:
    """The image files directly inside `in_dir`, by name, hidden files skipped."""
    return sorted(
        entry
        for entry in in_dir.iterdir()
        if entry.is_file() and not entry.name.startswith(".") and entry.suffix.lower() in IMAGE_SUFFIXES
    )


def output_names(names: Iterable[str]) -> dict[str, str]:
    """Maps each input file name to a distinct output name ending in ".jpg".

    An image whose stem no other input shares keeps it: "beach.png" becomes
    "beach.jpg". Stems that several inputs share would overwrite each other,
    so those keep their whole name: "a.png" and "a.jpg" become "a.png.jpg" and
    "a.jpg.jpg". Names are compared case-blind, since two outputs that differ
    only in case are one file on many file systems. Whatever is still taken
    after that gets a counter: "name-2.jpg".
    """
    ordered = sorted(names)
    stems = collections.Counter(Path(name).stem.casefold() for name in ordered)
    taken: set[str] = set()
    mapping: dict[str, str] = {}
    for name in ordered:
        stem = Path(name).stem
        base = stem if stems[stem.casefold()] == 1 else name
        candidate = base + ".jpg"
        counter = 2
        while candidate.casefold() in taken:
            candidate = f"{base}-{counter}.jpg"
            counter += 1
        taken.add(candidate.casefold())
        mapping[name] = candidate
    return mapping


def plan_jobs(in_dir: Path, out_dir: Path) -> list[Job]:
    """The jobs for every image of `in_dir`; creates `out_dir`.

    Raises ValueError when `out_dir` is `in_dir`: the results would land among
    the originals, and a result named like an original would replace it.
    """
    source_dir = in_dir.resolve()
    target_dir = out_dir.resolve()
    if source_dir == target_dir:
        raise ValueError(f"the output folder must differ from the input folder: {in_dir}")
    images = find_images(source_dir)
    names = output_names(image.name for image in images)
    target_dir.mkdir(parents=True, exist_ok=True)
    return [Job(str(image), str(target_dir / names[image.name])) for image in images]


class Summary:
    """Counts outcomes: status strings as returned, exceptions by type name."""

    def __init__(self) -> None:
        self.counts: collections.Counter[str] = collections.Counter()
        self.first_message: dict[str, str] = {}

    def add_status(self, status: str) -> None:
        self.counts[status] += 1

    def add_exception(self, error: BaseException) -> None:
        kind = type(error).__name__
        self.counts[kind] += 1
        self.first_message.setdefault(kind, str(error))

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    @property
    def failed(self) -> int:
        return self.total - self.counts[SUCCESS]

    def exit_code(self) -> int:
        return EXIT_SOME_FAILED if self.failed else EXIT_OK

    def report(self, out: TextIO = sys.stdout) -> None:
        """One line per outcome, successes first, then by count."""
        print(f"{self.total} images, {self.counts[SUCCESS]} graded, {self.failed} failed", file=out)
        width = max((len(kind) for kind in self.counts), default=0)
        ordered = sorted(self.counts.items(), key=lambda item: (item[0] != SUCCESS, -item[1], item[0]))
        for kind, count in ordered:
            line = f"  {kind:<{width}}  {count}"
            if kind in self.first_message:
                line += f"  (first: {self.first_message[kind]})"
            print(line, file=out)


def argument_parser(description: str, workers_help: str) -> argparse.ArgumentParser:
    """The arguments both examples share: LUT IN_DIR OUT_DIR [--workers N]."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("lut", metavar="LUT", type=Path, help="the cube LUT file")
    parser.add_argument("in_dir", metavar="IN_DIR", type=Path, help="folder of images to grade (not searched recursively)")
    parser.add_argument("out_dir", metavar="OUT_DIR", type=Path, help="folder for the graded JPEG files (created if missing)")
    parser.add_argument(
        "--workers", metavar="N", type=positive_int, default=default_workers(), help=workers_help
    )
    return parser


def default_workers() -> int:
    """One worker per core this process may run on (a container's share, not the host's)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def positive_int(text: str) -> int:
    """argparse type for a count of workers."""
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value
