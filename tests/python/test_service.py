"""The upload service of examples/grade_service.py, run as a real server on
127.0.0.1: every status with its exact body, the bytes it returns against
tonvik.apply_lut called directly, a load run of mixed and hostile uploads, a
worker killed mid-request, and the page in a real headless browser.

After every answer the server's private upload folder must be empty."""

from __future__ import annotations

import concurrent.futures
import io
import json
import os
import random
import signal
import socket
import sys
import urllib.error
import urllib.request
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy
import pytest
import requests
from PIL import Image

import image_forge as forge
import tonvik
from service_process import (
    Answer,
    Service,
    multipart,
    post_and_hang_up,
    post_announced,
    post_chunked,
    request,
)
from support import IMAGE_NOT_FOUND, IMAGE_TOO_LARGE, OK

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "examples"))
import samples  # noqa: E402

MAX_BYTES = 4 * 1024 * 1024
LOOK = "warm_film"
BROKEN_LOOK = "broken"  # a cube file tonvik refuses
# Looks that exist as files but that the fault hook below turns into a fault
# inside the worker, or into a status the module gives only on a full disk.
FAULT_LOOK = "worker-fault"
DISK_FULL_LOOK = "disk-full"
OOM_LOOK = "out-of-memory"  # needs more than the worker's address space
# AddressSanitizer's shadow memory is more address space than any worker limit.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
WAIT_LIMIT = 60.0  # seconds: a bound on every wait loop, never an assertion on speed

# Imported by every Python process of the test server, the spawned workers
# too: the only way in from outside to faults that no upload can cause.
FAULT_HOOK = '''
import os
import tonvik

_apply_lut = tonvik.apply_lut


def apply_lut(lut_path, image_path, output_path):
    look = os.path.basename(lut_path)
    if look == "worker-fault.cube":
        raise RuntimeError("injected fault")
    if look == "disk-full.cube":
        return "error:output_not_written"
    if look == "out-of-memory.cube":
        import resource
        bytearray(resource.getrlimit(resource.RLIMIT_AS)[0])  # MemoryError only under a limit
    return _apply_lut(lut_path, image_path, output_path)


tonvik.apply_lut = apply_lut
'''


def png_bytes(image: numpy.ndarray, level: int = 6) -> bytes:
    out = io.BytesIO()
    Image.fromarray(image).save(out, format="PNG", compress_level=level)
    return out.getvalue()


def jpeg_bytes(image: numpy.ndarray) -> bytes:
    out = io.BytesIO()
    Image.fromarray(image).save(out, format="JPEG", quality=90)
    return out.getvalue()


def error(message: str) -> bytes:
    return json.dumps({"error": message}, separators=(",", ":")).encode()


@pytest.fixture(scope="module")
def looks(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("looks")
    samples.write_samples(folder)
    (folder / samples.IMAGE_NAME).unlink()
    (folder / f"{BROKEN_LOOK}.cube").write_text("LUT_3D_SIZE 3\n0 0 0\n")
    (folder / f"{FAULT_LOOK}.cube").write_text(samples.grade_cube_text(5))
    (folder / f"{DISK_FULL_LOOK}.cube").write_text(samples.grade_cube_text(5))
    (folder / f"{OOM_LOOK}.cube").write_text(samples.grade_cube_text(5))
    # Not looks: hidden, another suffix, a folder, a bare suffix, a name no request path can carry.
    (folder / "line\nbreak.cube").write_text(samples.grade_cube_text(5))
    (folder / ".hidden.cube").write_text(samples.grade_cube_text(5))
    (folder / "notes.txt").write_text("not a look")
    (folder / "folder.cube").mkdir()
    (folder / ".cube").write_text(samples.grade_cube_text(5))
    # A valid look outside the folder, for names that try to escape it.
    (folder.parent / "outside.cube").write_text(samples.grade_cube_text(5))
    return folder


@pytest.fixture(scope="module")
def hook(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("fault-hook")
    (folder / "sitecustomize.py").write_text(FAULT_HOOK)
    return folder


@pytest.fixture(scope="module")
def service(looks: Path, hook: Path, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Service]:
    root = tmp_path_factory.mktemp("service")
    memory = () if SANITIZED else ("--worker-memory", "4096")
    server = Service(
        looks, root / "tmp", root / "server.log", workers=2, max_bytes=MAX_BYTES, pythonpath=hook, options=memory
    )
    yield server
    assert server.stop() == 0, server.log()
    # Stopping removes the private folder itself.
    assert list(server.tmp_parent.iterdir()) == []


@pytest.fixture(scope="module")
def photo() -> bytes:
    return png_bytes(samples.landscape(320, 200))


def expected_answer(lut: Path, upload: bytes, work: Path) -> tuple[int, bytes]:
    """What the service must answer for `upload`: apply_lut run here, directly."""
    work.mkdir(parents=True, exist_ok=True)
    image, output = work / "upload", work / "graded.jpg"
    image.write_bytes(upload)
    status = tonvik.apply_lut(str(lut), str(image), str(output))
    if status == OK:
        return 200, output.read_bytes()
    code, message = {
        IMAGE_NOT_FOUND: (415, "not an image we can read"),
        IMAGE_TOO_LARGE: (413, "image too large"),
    }[status]
    return code, error(message)


def test_looks_are_the_cube_files_of_the_folder(service: Service) -> None:
    answer = request(service.port, "GET", "/looks")
    assert answer.status == 200
    assert json.loads(answer.body) == {"looks": [BROKEN_LOOK, DISK_FULL_LOOK, OOM_LOOK, LOOK, FAULT_LOOK]}


@pytest.mark.parametrize("form", [False, True], ids=["raw-body", "multipart"])
@pytest.mark.parametrize("encode", [png_bytes, jpeg_bytes], ids=["png", "jpeg"])
def test_graded_bytes_are_those_of_apply_lut(
    service: Service, looks: Path, tmp_path: Path, form: bool, encode: Callable[[numpy.ndarray], bytes]
) -> None:
    upload = encode(samples.landscape(200, 120, seed=7))
    if form:
        body, content_type = multipart([("caption", None, b"a lake"), ("image", "lake.png", upload)])
        answer = request(service.port, "POST", f"/grade/{LOOK}", body, {"Content-Type": content_type})
    else:
        answer = request(service.port, "POST", f"/grade/{LOOK}", upload)

    assert (answer.status, answer.content_type) == (200, "image/jpeg")
    assert answer.body == expected_answer(looks / f"{LOOK}.cube", upload, tmp_path)[1]
    assert service.leftovers() == []


UNKNOWN_LOOK = error("unknown look")


@pytest.mark.parametrize(
    "path",
    [
        "/grade/nonexistent",
        "/grade/../outside",
        "/grade/..%2Foutside",
        "/grade/%2E%2E%2Foutside",
        "/grade/..",
        "/grade/.",
        "/grade/.hidden",
        "/grade/",
        "/grade/notes.txt",
        "/grade/folder",
        f"/grade/{LOOK}.cube",
        f"/grade/{LOOK}%00",
        f"/grade/./{LOOK}",
        f"/grade/{LOOK}/",
        "/grade//etc/passwd",
        "/grade/%2Fetc%2Fpasswd",
        "/grade/line%0Abreak",
    ],
)
def test_a_name_that_is_no_look_of_the_folder_is_404(service: Service, photo: bytes, path: str) -> None:
    answer = request(service.port, "POST", path, photo)
    assert (answer.status, answer.content_type, answer.body) == (404, "application/json", UNKNOWN_LOOK)
    assert service.leftovers() == []


@dataclass(frozen=True)
class Refusal:
    look: str
    upload: bytes | None  # None: the sample photo
    status: int
    message: str


NOT_AN_IMAGE = "not an image we can read"
REFUSALS = {
    "not-an-image": Refusal(LOOK, b"plain text, not an image", 415, NOT_AN_IMAGE),
    "empty-body": Refusal(LOOK, b"", 415, NOT_AN_IMAGE),
    "truncated-png": Refusal(LOOK, forge.truncated(forge.png(forge.gradient(40, 20)), 200), 415, NOT_AN_IMAGE),
    "png-declaring-20000-square": Refusal(
        LOOK, forge.png(forge.gradient(1, 1), declared_size=(20000, 20000)), 413, "image too large"
    ),
    "look-tonvik-refuses": Refusal(BROKEN_LOOK, None, 500, "look unusable"),
    "fault-in-a-worker": Refusal(FAULT_LOOK, None, 500, "grading failed"),
    "result-not-stored": Refusal(DISK_FULL_LOOK, None, 507, "could not store the result"),
    "worker-out-of-memory": Refusal(OOM_LOOK, None, 413, "image too large for the memory of a worker"),
}


@pytest.mark.parametrize("case", REFUSALS.values(), ids=REFUSALS.keys())
def test_refusals_answer_their_status_and_json(service: Service, photo: bytes, case: Refusal) -> None:
    if case.look == OOM_LOOK and SANITIZED:
        pytest.skip("no address-space limit under AddressSanitizer")
    answer = request(service.port, "POST", f"/grade/{case.look}", photo if case.upload is None else case.upload)
    assert (answer.status, answer.content_type, answer.body) == (case.status, "application/json", error(case.message))
    assert service.leftovers() == []


def test_log_names_the_look_tonvik_refuses_and_every_request(service: Service, photo: bytes) -> None:
    request(service.port, "POST", f"/grade/{BROKEN_LOOK}", photo)
    request(service.port, "POST", f"/grade/{LOOK}", photo)
    # The request's line is written once its answer has gone out.
    assert wait_for_log(service, f"POST '/grade/{LOOK}' look='{LOOK}' size={len(photo)} status=200 ")
    assert f"look '{BROKEN_LOOK}' is unusable: [lut.exception.parse_error.0]" in service.log()


def wait_for_log(service: Service, text: str, since: int = 0) -> bool:
    deadline = time.monotonic() + WAIT_LIMIT
    while text not in service.log()[since:]:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def test_a_body_over_the_limit_is_413_whether_announced_or_streamed(service: Service) -> None:
    announced = post_announced(service.port, f"/grade/{LOOK}", MAX_BYTES + 1)
    # Without a length the limit strikes while reading: the server stops at
    # the first chunk past it and never holds the rest.
    chunk = bytes(256 * 1024)
    streamed = post_chunked(service.port, f"/grade/{LOOK}", [chunk] * (2 * MAX_BYTES // len(chunk)))
    for answer in (announced, streamed):
        assert (answer.status, answer.body) == (413, error("upload too large"))
    assert service.leftovers() == []
    # The rest was read only to be dropped, so that the answer arrives.
    assert wait_for_log(service, "status=413")
    sizes = [int(line.split(" size=")[1].split()[0]) for line in service.log().splitlines() if "status=413" in line]
    assert max(sizes) <= 2 * MAX_BYTES


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        pytest.param([("caption", None, b"no image")], 'no file field "image" in the form', id="no-image-field"),
        pytest.param([("image", None, b"a text field")], 'no file field "image" in the form', id="image-not-a-file"),
    ],
)
def test_a_form_without_an_image_file_is_400(
    service: Service, fields: list[tuple[str, str | None, bytes]], message: str
) -> None:
    body, content_type = multipart(fields)
    answer = request(service.port, "POST", f"/grade/{LOOK}", body, {"Content-Type": content_type})
    assert (answer.status, answer.body) == (400, error(message))
    assert service.leftovers() == []


@pytest.mark.parametrize(
    ("boundary", "cut", "message"),
    [
        ("tonvik-test-boundary", 2, "malformed multipart form"),
        ("b" * 257, 1, "malformed multipart form"),
        ("", 1, "multipart form without a boundary"),
    ],
    ids=["cut-in-half", "boundary-over-256", "no-boundary"],
)
def test_a_broken_form_is_400(service: Service, photo: bytes, boundary: str, cut: int, message: str) -> None:
    body, content_type = multipart([("image", "a.png", photo)], boundary)
    logged = len(service.log())
    answer = request(service.port, "POST", f"/grade/{LOOK}", body[: len(body) // cut], {"Content-Type": content_type})
    assert (answer.status, answer.content_type, answer.body) == (400, "application/json", error(message))
    assert service.leftovers() == []
    # A line with the real status, and no traceback.
    assert wait_for_log(service, "status=400", since=logged)
    assert "Traceback" not in service.log()[logged:] and " status=0 " not in service.log()[logged:]


def post_with(client: str, url: str, body: bytes) -> int:
    if client == "requests":
        return requests.post(url, data=body, timeout=WAIT_LIMIT).status_code
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=body), timeout=WAIT_LIMIT) as answer:
            return int(answer.status)
    except urllib.error.HTTPError as refused:
        with refused:  # an unclosed HTTPError holds its response (a ResourceWarning from 3.14 on)
            return refused.code


@pytest.mark.parametrize("client", ["urllib", "requests"])
@pytest.mark.parametrize(("size", "look", "status"), [(3 << 20, "no-such-look", 404), (60 << 20, LOOK, 413)])
def test_an_answer_before_the_body_reaches_a_client_still_sending(
    service: Service, client: str, size: int, look: str, status: int
) -> None:
    # Neither client waits for "100 Continue": both send the whole body, then
    # read; a server that closes on unread data resets the connection.
    body = bytes(size)
    assert [post_with(client, f"http://127.0.0.1:{service.port}/grade/{look}", body) for _ in range(3)] == [status] * 3


def wait_until_empty(service: Service) -> list[str]:
    deadline = time.monotonic() + WAIT_LIMIT
    while (left := service.leftovers()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return left


def test_an_upload_cut_off_by_the_client_leaves_nothing(service: Service, photo: bytes) -> None:
    post_and_hang_up(service.port, f"/grade/{LOOK}", photo, len(photo) // 3)
    assert wait_until_empty(service) == []
    assert request(service.port, "POST", f"/grade/{LOOK}", photo).status == 200


@dataclass(frozen=True)
class Job:
    kind: str
    look: str
    upload: bytes = b""
    hang_up: bool = False  # the client sends part of the body and closes
    announce_only: int = 0  # a body this long is announced, none of it sent


def load_mix(looks: Path, work: Path) -> tuple[list[Job], dict[bytes, tuple[int, bytes]]]:
    """200 requests: photos of several sizes, hostile files of the project's
    generators, truncated files and uploads, unknown looks, oversized bodies
    and a look tonvik refuses; with the expected answer for every upload."""
    photos = {
        f"photo-png-{w}x{h}": png_bytes(samples.landscape(w, h, seed=w)) for w, h in ((64, 48), (480, 320), (1200, 800))
    }
    photos["photo-jpeg-800x600"] = jpeg_bytes(samples.landscape(800, 600, seed=3))
    hostile = {
        # Wide rather than square: as refused, and made in a moment.
        "png-bomb-70000-wide": forge.png_bomb(70000, 16),
        "png-chunk-declaring-1gb": forge.png_chunk_declaring(1 << 30, after_real_chunk=True),
        "jpeg-dc-overflow": forge.jpeg_dc_overflow(progressive=True),
        "pic-declaring-20000x15000": forge.pic(forge.gradient(1, 1), declared_size=(20000, 15000)),
        "tga-rle-truncated": forge.truncated(forge.tga(forge.runs(40, 20), rle=True), 300),
        "psd-truncated": forge.truncated(forge.psd(forge.gradient(40, 20)), 500),
        "jpeg-truncated": forge.truncated(jpeg_bytes(samples.landscape(640, 480)), 20000),
        "png-truncated": forge.truncated(photos["photo-png-480x320"], 30000),
    }
    uploads = photos | hostile
    expected = {
        data: expected_answer(looks / f"{LOOK}.cube", data, work / name) for name, data in uploads.items()
    }
    kinds = [Job(name, LOOK, data) for name, data in uploads.items()]
    kinds += [
        Job("unknown-look", "no-such-look", photos["photo-png-64x48"]),
        Job("escaping-look", "../outside", photos["photo-png-64x48"]),
        Job("oversized", LOOK, announce_only=MAX_BYTES + 1),
        Job("look-tonvik-refuses", BROKEN_LOOK, photos["photo-png-64x48"]),
        Job("upload-cut-off", LOOK, photos["photo-png-480x320"], hang_up=True),
    ]
    jobs = (kinds * (200 // len(kinds) + 1))[:200]
    random.Random(20261208).shuffle(jobs)
    return jobs, expected


def expected_for(job: Job, expected: dict[bytes, tuple[int, bytes]]) -> tuple[int, bytes] | None:
    if job.hang_up:
        return None
    if job.kind in ("unknown-look", "escaping-look"):
        return 404, UNKNOWN_LOOK
    if job.announce_only:
        return 413, error("upload too large")
    if job.look == BROKEN_LOOK:
        return 500, error("look unusable")
    return expected[job.upload]


def run_job(port: int, job: Job) -> Answer | None:
    path = f"/grade/{job.look}"
    if job.hang_up:
        post_and_hang_up(port, path, job.upload, len(job.upload) // 2)
        return None
    if job.announce_only:
        return post_announced(port, path, job.announce_only)
    return request(port, "POST", path, job.upload)


@pytest.mark.slow
def test_load_run_every_answer_is_the_expected_one(service: Service, looks: Path, tmp_path: Path) -> None:
    jobs, expected = load_mix(looks, tmp_path)
    with concurrent.futures.ThreadPoolExecutor(max_workers=16) as clients:
        answers = list(clients.map(lambda job: run_job(service.port, job), jobs))

    wrong = []
    for job, answer in zip(jobs, answers):
        want = expected_for(job, expected)
        got = None if answer is None else (answer.status, answer.body)
        if got != want:
            shown = None if got is None else (got[0], got[1][:80])
            wrong.append((job.kind, shown, None if want is None else want[0]))
    assert wrong == []
    # The mix asks for 500 only from the refused look; no other 5xx at all.
    server_errors = {job.kind for job, answer in zip(jobs, answers) if answer and answer.status >= 500}
    assert server_errors == {"look-tonvik-refuses"}
    assert wait_until_empty(service) == []
    assert service.process.poll() is None


@pytest.mark.slow
def test_a_killed_worker_costs_only_the_requests_in_flight(
    looks: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    service = Service(looks, tmp_path / "tmp", tmp_path / "server.log", workers=2)
    try:
        small = png_bytes(samples.landscape(64, 48))
        # A photo large enough to be still in a worker when the kill comes
        # (tiled: drawing a landscape this size takes long).
        large = png_bytes(numpy.tile(samples.landscape(600, 400), (5, 5, 1)), level=1)
        before_pids = start_both_workers(service, small)

        in_flight: list[tuple[float, int]] = []
        started = time.monotonic()

        def post_large() -> None:
            answer = request(service.port, "POST", f"/grade/{LOOK}", large)
            in_flight.append((time.monotonic() - started, answer.status))

        # Four uploads per worker: a grade takes a fraction of a second, and the
        # worker must still hold work when the kill comes, after it is seen busy.
        clients = [threading.Thread(target=post_large) for _ in range(8)]
        for client in clients:
            client.start()
        victim = busy_worker(before_pids)
        os.kill(victim, signal.SIGKILL)
        killed_at = time.monotonic() - started
        for client in clients:
            client.join(WAIT_LIMIT)
        assert not any(client.is_alive() for client in clients), "a request in flight never got an answer"

        statuses = sorted(status for _, status in in_flight)
        assert set(statuses) <= {200, 503}
        assert 503 in statuses  # the killed worker's own request
        first_503 = min(at for at, status in in_flight if status == 503)

        # Later requests are graded again, by a new pool; bounded in count.
        first_200 = None
        for _ in range(100):
            answer = request(service.port, "POST", f"/grade/{LOOK}", small)
            if answer.status == 200:
                first_200 = time.monotonic() - started
                break
            assert answer.status == 503
            time.sleep(0.1)
        assert first_200 is not None, "no request was graded after the kill"
        for _ in range(4):
            assert request(service.port, "POST", f"/grade/{LOOK}", small).status == 200
        assert victim not in service.worker_pids()
        assert service.process.poll() is None
        assert wait_for_log(service, "a grading worker died: replacing the pool of 2 workers")
        assert wait_until_empty(service) == []

        # A worker killed while idle costs no request at all: once the pool
        # has reaped it (and so knows it is broken), the next request goes
        # to a new pool.
        idle = start_both_workers(service, small)[0]
        os.kill(idle, signal.SIGKILL)
        deadline = time.monotonic() + WAIT_LIMIT
        while Path(f"/proc/{idle}").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert request(service.port, "POST", f"/grade/{LOOK}", small).status == 200
        assert service.log().count("a grading worker died") == 2
        with capsys.disabled():
            print(
                f"\nfault run: SIGKILL at {killed_at:.2f} s, first 503 at {first_503:.2f} s, "
                f"first 200 after at {first_200:.2f} s; in flight: {statuses}"
            )
    finally:
        returncode = service.stop()
    assert returncode == 0
    assert list(service.tmp_parent.iterdir()) == []


STALLED = 300  # uploads that stop sending, against 256 open files and 32 upload slots
SLOTS = 32
BODY_TIMEOUT = 5.0


def stalled_upload(port: int, n: int) -> bytes:
    """Sends part of a head (one in ten), a head that is no HTTP (one in ten),
    or a head announcing 1 MB and 1 KB of it; then nothing more. Returns what
    the server sends until it closes."""
    head = f"POST /grade/{LOOK} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    data = {0: head, 5: "NOT HTTP\r\n\r\n"}.get(n % 10, f"{head}Content-Length: {1 << 20}\r\n\r\n{'x' * 1024}")
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT_LIMIT) as connection:
        connection.sendall(data.encode())
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
        return answer


def running(pid: int) -> bool:
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def test_stalled_clients_get_408_or_503_others_are_served_and_a_killed_server_leaves_nothing(
    service: Service, looks: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    options = ("--header-timeout", "2", "--body-timeout", str(BODY_TIMEOUT), "--max-uploads", str(SLOTS))
    # Beside the shared server: the clean-up at start must leave its folder alone.
    server = Service(looks, service.tmp_parent, tmp_path / "server.log", options=options, open_files=256)
    try:
        small = png_bytes(samples.landscape(64, 48))

        def graded() -> float:
            started = time.monotonic()
            assert request(server.port, "POST", f"/grade/{LOOK}", small).status == 200
            return time.monotonic() - started

        usual = sorted(graded() for _ in range(6))[1:]  # the first starts a worker
        with concurrent.futures.ThreadPoolExecutor(max_workers=STALLED) as clients:
            stalled = [clients.submit(stalled_upload, server.port, n) for n in range(STALLED)]
            # Every slot held by a stalled body, every other one refused; after a
            # second the stalled ones give way to uploads that send.
            bodies = [future for n, future in enumerate(stalled) if n % 10 not in (0, 5)]
            deadline = time.monotonic() + WAIT_LIMIT
            while sum(future.done() for future in bodies) < len(bodies) - SLOTS and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(1.0)
            during = sorted(graded() for _ in range(5))
            answers = [future.result(WAIT_LIMIT) for future in stalled]
        statuses = [int(answer.split()[1]) if answer else 0 for answer in answers]
        counts = {status: statuses.count(status) for status in sorted(set(statuses))}
        assert {statuses[n] for n in range(0, STALLED, 10)} == {408}  # the heads
        assert {answers[n].split(b"\r\n\r\n")[1] for n in range(5, STALLED, 10)} == {error("malformed request")}
        assert set(statuses) == {400, 408, 503}
        assert max(during) < BODY_TIMEOUT  # served before a stalled upload timed out
        assert " status=0 " not in server.log() and "Traceback" not in server.log()

        # SIGKILL: the workers and the resource tracker go too; the next server
        # removes the upload folder left behind.
        workers, trackers = server.worker_pids(), server.worker_pids(b"resource_tracker")
        assert workers and trackers
        os.kill(server.process.pid, signal.SIGKILL)
        server.process.wait()
        deadline = time.monotonic() + WAIT_LIMIT
        while any(map(running, workers + trackers)) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not any(map(running, workers + trackers))
        assert server.work.is_dir()
    finally:
        server.stop()  # also when an assertion failed
    following = Service(looks, service.tmp_parent, tmp_path / "following.log")
    following.stop()
    assert not server.work.exists() and service.work.is_dir()
    with capsys.disabled():
        print(
            f"\nslow clients: {STALLED} stalled, answers {counts}; a normal upload took "
            f"{usual[2] * 1000:.0f} ms (median) before, {during[2] * 1000:.0f} ms during (max {during[-1] * 1000:.0f})"
        )


def start_both_workers(service: Service, small: bytes) -> list[int]:
    """Workers are spawned as work arrives: two at once start both."""
    for _ in range(50):
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as clients:
            statuses = list(clients.map(lambda _: request(service.port, "POST", f"/grade/{LOOK}", small).status, "ab"))
        assert statuses == [200, 200]
        if len(pids := service.worker_pids()) == 2:
            return pids
    raise AssertionError(f"the pool never had two workers: {service.worker_pids()}")


def cpu_ticks(pid: int) -> int:
    stat = Path(f"/proc/{pid}/stat").read_text()
    fields = stat[stat.rindex(")") + 2 :].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def busy_worker(pids: list[int]) -> int:
    """The first worker seen grading: its CPU time grows for several ticks in a row."""
    start = {pid: cpu_ticks(pid) for pid in pids}
    deadline = time.monotonic() + WAIT_LIMIT
    while time.monotonic() < deadline:
        time.sleep(0.05)
        for pid in pids:
            if cpu_ticks(pid) - start[pid] >= 20:  # a fifth of a second of CPU at 100 Hz
                return pid
    raise AssertionError("no worker started grading")


CHROMEDRIVER = Path("/usr/bin/chromedriver")
CHROMIUM = Path("/usr/bin/chromium")
# Set to a path (make service-picture does) to keep the screenshot there.
SCREENSHOT_ENV = "GRADE_SERVICE_SCREENSHOT"
PICTURE_COLOURS = 256  # a palette keeps the README's screenshot small


@pytest.mark.slow
@pytest.mark.browser
def test_page_grades_a_dropped_image_in_a_real_browser(service: Service, tmp_path: Path) -> None:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait

    if not (CHROMEDRIVER.is_file() and CHROMIUM.is_file()):
        pytest.fail("chromium and chromium-driver are missing: scripts/install-system-deps.sh chromium chromium-driver")
    image = tmp_path / "landscape.png"
    samples.write_samples(tmp_path)
    assert image.is_file()

    options = webdriver.ChromeOptions()
    options.binary_location = str(CHROMIUM)
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1040,660"):
        options.add_argument(argument)
    # Debian's driver, never a download; and the browser runs without the
    # sanitizer runtimes that make test-sanitize preloads into Python.
    browser_env = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    driver = webdriver.Chrome(options=options, service=DriverService(str(CHROMEDRIVER), env=browser_env))
    try:
        driver.get(f"http://127.0.0.1:{service.port}/")
        wait = WebDriverWait(driver, WAIT_LIMIT)
        wait.until(lambda d: LOOK in [o.text for o in Select(d.find_element(By.ID, "look")).options])
        Select(driver.find_element(By.ID, "look")).select_by_value(LOOK)
        driver.find_element(By.ID, "file").send_keys(str(image))
        loaded = "const i = document.getElementById('after'); return i.complete && i.naturalWidth > 0"
        wait.until(lambda d: d.execute_script(loaded))

        size = "const i = document.getElementById(arguments[0]); return [i.naturalWidth, i.naturalHeight]"
        expected = [samples.IMAGE_WIDTH, samples.IMAGE_HEIGHT]
        assert driver.execute_script(size, "before") == expected
        assert driver.execute_script(size, "after") == expected
        assert driver.find_element(By.ID, "status").text == f"{LOOK} applied"
        shot = tmp_path / "service.png"
        assert driver.save_screenshot(str(shot))
    finally:
        driver.quit()

    with Image.open(shot) as picture:
        assert picture.size[0] > 0
        target = os.environ.get(SCREENSHOT_ENV)
        if target:
            small = picture.convert("RGB").quantize(PICTURE_COLOURS, dither=Image.Dither.FLOYDSTEINBERG)
            small.save(target, optimize=True)
    assert service.leftovers() == []


SCREENSHOT_BUDGET = 300 * 1024  # bytes: the picture lives in the repository


def test_committed_screenshot_is_within_budget() -> None:
    picture = REPO / "docs" / "service.png"
    assert 0 < picture.stat().st_size < SCREENSHOT_BUDGET
    assert "docs/service.png" in (REPO / "README.md").read_text()
