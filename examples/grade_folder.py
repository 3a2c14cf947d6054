"""Grades every image of a folder with one LUT, on all cores.

    python examples/grade_folder.py look.cube holiday/ graded/ --workers 4

Each image IN_DIR/<name>.<ext> becomes the JPEG OUT_DIR/<name>.jpg (see
grading.output_names for names that would clash). apply_lut holds the GIL for
its whole run, so threads would take turns: the work goes to a pool of
processes instead. Prints a summary of the outcomes and exits with 1 when any
image failed, 2 on a usage error.
"""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import sys

from tqdm import tqdm

import grading


def main(argv: list[str] | None = None) -> int:
    parser = grading.argument_parser(
        "Grade every image of a folder with a cube LUT, in parallel processes.",
        workers_help="number of worker processes (default: one per core)",
    )
    args = parser.parse_args(argv)
    try:
        jobs = grading.plan_jobs(args.in_dir, args.out_dir)
    except (OSError, ValueError) as error:
        print(f"grade_folder: {error}", file=sys.stderr)
        return grading.EXIT_USAGE
    lut_path = str(args.lut.absolute())

    summary = grading.Summary()
    # spawn, not fork: the parent runs tqdm's monitor thread, and forking a
    # process that has threads can deadlock the child.
    context = multiprocessing.get_context("spawn")
    workers = min(args.workers, max(len(jobs), 1))
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        futures = [pool.submit(grading.grade_one, lut_path, job) for job in jobs]
        try:
            for future in tqdm(concurrent.futures.as_completed(futures), total=len(futures), unit="image"):
                try:
                    summary.add_status(future.result())
                except Exception as error:  # each failure is counted, none stops the run
                    summary.add_exception(error)
        except KeyboardInterrupt:
            pool.shutdown(wait=True, cancel_futures=True)
            raise
    summary.report()
    return summary.exit_code()


if __name__ == "__main__":
    sys.exit(main())
