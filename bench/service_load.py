"""Load figures of the upload service (examples/grade_service.py): requests per
second, median and 99th percentile latency for a 2-megapixel JPEG photo.

    python bench/service_load.py [--workers 2] [--clients 1 4] [--requests 100]   (or: make bench-service)

Starts the real server on 127.0.0.1 with the demo's warm_film look, and for
each number of concurrent clients sends the same photo --requests times, one
connection per request, after a short warm-up. Latency is measured at the
client: upload, grading and download of the JPEG. Prints one line per client
count.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import io
import statistics
import sys
import tempfile
import time
from pathlib import Path

from PIL import Image

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests" / "python"))
import samples  # noqa: E402
from service_process import Service, request  # noqa: E402

PHOTO_SIZE = (1728, 1152)  # 1.99 megapixels, 3:2
JPEG_QUALITY = 90  # a camera's or a phone's usual setting
WARM_UP = 8


def photo_jpeg() -> bytes:
    out = io.BytesIO()
    Image.fromarray(samples.landscape(*PHOTO_SIZE)).save(out, format="JPEG", quality=JPEG_QUALITY)
    return out.getvalue()


def timed_post(port: int, path: str, body: bytes) -> float:
    started = time.perf_counter()
    answer = request(port, "POST", path, body)
    elapsed = time.perf_counter() - started
    if answer.status != 200:
        raise RuntimeError(f"the service answered {answer.status}: {answer.body[:200]!r}")
    return elapsed


def graded_size(port: int, body: bytes) -> int:
    return len(request(port, "POST", f"/grade/{Path(samples.GRADE_NAME).stem}", body).body)


def run(port: int, body: bytes, clients: int, requests: int) -> tuple[float, list[float]]:
    path = f"/grade/{Path(samples.GRADE_NAME).stem}"
    with concurrent.futures.ThreadPoolExecutor(max_workers=clients) as pool:
        list(pool.map(lambda _: timed_post(port, path, body), range(WARM_UP)))
        started = time.perf_counter()
        latencies = list(pool.map(lambda _: timed_post(port, path, body), range(requests)))
        wall = time.perf_counter() - started
    return requests / wall, latencies


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--clients", type=int, nargs="+", default=[1, 4])
    parser.add_argument("--requests", type=int, default=100)
    args = parser.parse_args()

    body = photo_jpeg()
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        samples.write_samples(work / "looks")
        service = Service(work / "looks", work / "tmp", work / "server.log", workers=args.workers)
        try:
            print(f"{PHOTO_SIZE[0]}x{PHOTO_SIZE[1]} JPEG q{JPEG_QUALITY}, {len(body) / 1e6:.2f} MB upload, "
                  f"{graded_size(service.port, body) / 1e6:.2f} MB answer; "
                  f"{args.workers} workers; {args.requests} requests per run after {WARM_UP} warm-up")
            for clients in args.clients:
                rate, latencies = run(service.port, body, clients, args.requests)
                p99 = statistics.quantiles(latencies, n=100, method="inclusive")[98]
                median = statistics.median(latencies)
                print(f"  {clients:2d} clients: {rate:6.2f} requests/s, "
                      f"median {median * 1000:6.0f} ms, p99 {p99 * 1000:6.0f} ms")
        finally:
            service.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
