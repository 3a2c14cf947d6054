"""Grades a folder of images as Dask tasks: on a local cluster, or on a real one.

    python examples/grade_dask.py look.cube holiday/ graded/                 # local cluster
    python examples/grade_dask.py look.cube holiday/ graded/ --workers 8     # 8 local processes
    python examples/grade_dask.py look.cube /shared/in /shared/out --scheduler tcp://10.0.0.5:8786

One task per image. apply_lut holds the GIL for its whole run, so a worker
gets one thread and parallelism comes from worker processes. On a real cluster
every worker needs tonvik installed and must see the LUT and both folders
under the same absolute paths (a shared file system); the paths are made
absolute here, on the client.
"""

from __future__ import annotations

import sys

from dask.distributed import Client, LocalCluster, as_completed
from tqdm import tqdm

import grading


def run(client: Client, lut_path: str, jobs: list[grading.Job]) -> grading.Summary:
    """Submits one task per job and tallies the outcomes as they finish."""
    summary = grading.Summary()
    # pure=False: grading writes a file, so equal arguments must not be merged
    # into one task or served from a cache.
    futures = client.map(grading.grade_one, [lut_path] * len(jobs), jobs, pure=False)
    for future in tqdm(as_completed(futures), total=len(futures), unit="image"):
        if future.status == "error":
            summary.add_exception(future.exception())
        else:
            summary.add_status(future.result())
    return summary


def main(argv: list[str] | None = None) -> int:
    parser = grading.argument_parser(
        "Grade every image of a folder with a cube LUT, as Dask tasks.",
        workers_help="worker processes of the local cluster (default: one per core; ignored with --scheduler)",
    )
    parser.add_argument("--scheduler", metavar="ADDRESS", help="address of a running scheduler (default: a local cluster)")
    args = parser.parse_args(argv)
    try:
        jobs = grading.plan_jobs(args.in_dir, args.out_dir)
    except (OSError, ValueError) as error:
        print(f"grade_dask: {error}", file=sys.stderr)
        return grading.EXIT_USAGE
    lut_path = str(args.lut.absolute())

    if args.scheduler:
        with Client(args.scheduler) as client:
            # Workers on other machines import grading by name; send it along.
            client.upload_file(grading.__file__)
            summary = run(client, lut_path, jobs)
    else:
        with (
            LocalCluster(
                n_workers=args.workers,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
            ) as cluster,
            Client(cluster) as client,
        ):
            summary = run(client, lut_path, jobs)
    summary.report()
    return summary.exit_code()


if __name__ == "__main__":
    sys.exit(main())
