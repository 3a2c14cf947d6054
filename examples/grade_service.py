"""An upload service that grades photos: the README's web back-end pattern as a
program to run and copy.

    python examples/grade_service.py --looks DIR [--host 127.0.0.1] [--port 8000] [--workers N]

    GET  /              a page: pick a look, drop an image, see before and after
    GET  /looks         {"looks": [...]}: the .cube files of DIR, without the extension
    POST /grade/{look}  the image as the raw body, or as the file field "image" of a
                        multipart form; answers 200 image/jpeg with the graded JPEG

Errors answer JSON {"error": "..."}: 404 unknown look, 413 body over --max-bytes
or image too large, 415 not an image, 500 a look tonvik refuses or a fault in a
worker, 503 when a worker died under the request (try again), 507 the result
could not be stored.

apply_lut holds the GIL for a whole image, so it never runs on the event loop:
every grade goes to a pool of worker processes. Each upload is streamed into a
folder of its own inside one private temporary folder, graded there and the
folder removed whatever happens.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import copy
import logging
import multiprocessing
import os
import shutil
import sys
import tempfile
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping, MutableMapping
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

import uvicorn
from python_multipart import MultipartParser
from python_multipart.exceptions import FormParserError
from python_multipart.multipart import parse_options_header
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import HTMLResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Route

import tonvik

sys.path.insert(0, str(Path(__file__).resolve().parent))
import grading  # noqa: E402

if TYPE_CHECKING:
    from python_multipart.multipart import MultipartCallbacks

PAGE = Path(__file__).resolve().with_suffix(".html")
LOOK_SUFFIX = ".cube"
DEFAULT_MAX_BYTES = 50 * 1024 * 1024
CHUNK = 256 * 1024
RETIRE_WAIT = 30.0  # seconds a request in flight waits for the workers of a broken pool to end
SUCCESS = "success:ok"

log = logging.getLogger("grade_service")

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]


@dataclass(frozen=True)
class Settings:
    looks: Path
    max_bytes: int
    workers: int
    tmp_parent: Path | None


def reply(status: int, message: str, headers: Mapping[str, str] | None = None) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status, headers=headers)


# What an image status means for the client; success and the raised LUT errors
# are handled where apply_lut is called.
STATUS_REPLIES = {
    "error:image_not_found": (415, "not an image we can read"),
    "error:image_too_large": (413, "image too large"),
    "error:output_not_written": (507, "could not store the result"),
}


class UploadTooLarge(Exception):
    pass


class BadForm(Exception):
    pass


class PoolRestarting(Exception):
    """A worker died while this request was in the pool."""


class GradingPool:
    """A process pool that replaces itself when one of its workers dies.

    A worker killed by a signal or the OOM killer breaks a ProcessPoolExecutor
    for good: every future in it fails with BrokenProcessPool and so does every
    later submit. The requests that were in it get 503; the first to notice
    puts a fresh pool in place, so later requests are graded again. Workers are
    spawned, not forked: forking the running server, which has threads, can
    leave a new worker stuck on a lock some thread held at the fork.

    Only the event loop's thread touches `_executor`, and the check and the
    swap in `_replace` have no await between them, so one broken pool is
    replaced once however many requests see it break.
    """

    def __init__(self, workers: int) -> None:
        self._workers = workers
        self._context = multiprocessing.get_context("spawn")
        self._executor = self._new_executor()
        self._retired: dict[int, asyncio.Task[None]] = {}

    def _new_executor(self) -> ProcessPoolExecutor:
        return ProcessPoolExecutor(max_workers=self._workers, mp_context=self._context)

    def _replace(self, broken: ProcessPoolExecutor) -> asyncio.Task[None]:
        """Puts a new pool in place of `broken` (once); the task ends when all
        of the broken pool's workers are gone."""
        if broken is self._executor:
            log.warning("a grading worker died: replacing the pool of %d workers", self._workers)
            self._executor = self._new_executor()
            # The survivors of a broken pool are terminated by its manager
            # thread; shutdown(wait=True) returns once they are reaped.
            self._retired[id(broken)] = asyncio.create_task(asyncio.to_thread(broken.shutdown, wait=True))
        return self._retired[id(broken)]

    def _submit(self, lut: str, image: str, output: str) -> tuple[ProcessPoolExecutor, Future[str]]:
        executor = self._executor
        try:
            try:
                return executor, executor.submit(tonvik.apply_lut, lut, image, output)
            except BrokenProcessPool:
                # Broke before this request reached it: the new pool takes it.
                self._replace(executor)
                executor = self._executor
                return executor, executor.submit(tonvik.apply_lut, lut, image, output)
        except BrokenProcessPool:
            raise PoolRestarting from None
        except Exception as error:
            # Starting a worker failed here, in the server (no processes left,
            # no memory): not an OSError of the LUT's, which only a worker raises.
            raise RuntimeError("could not hand the image to a worker") from error

    async def grade(self, lut: str, image: str, output: str) -> str:
        """apply_lut in a worker: its status, or what it raised there;
        PoolRestarting when the pool broke under the request."""
        executor, future = self._submit(lut, image, output)
        waiting = asyncio.wrap_future(future)
        try:
            return await asyncio.shield(waiting)
        except BrokenProcessPool:
            # A worker of the broken pool may still be writing into this
            # request's folder: answer when none is left, or after a bound (a
            # process stuck in the kernel can outlive SIGTERM for long).
            retired = self._replace(executor)
            try:
                await asyncio.wait_for(asyncio.shield(retired), RETIRE_WAIT)
            except TimeoutError:
                log.error("the workers of the broken pool are still not gone after %.0f s", RETIRE_WAIT)
            raise PoolRestarting from None
        except asyncio.CancelledError:
            # Same here: the folder goes only after the worker is done with it.
            with contextlib.suppress(BaseException):
                await waiting
            raise

    async def close(self) -> None:
        await asyncio.to_thread(self._executor.shutdown, wait=True, cancel_futures=True)
        for retired in self._retired.values():
            await retired


class GradeService:
    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.page = PAGE.read_text(encoding="utf-8")
        self.pool = GradingPool(settings.workers)
        # One private folder (mode 0700) for every upload of this server.
        self.work = Path(tempfile.mkdtemp(prefix="grade-service-", dir=settings.tmp_parent))

    def looks(self) -> list[str]:
        """The names of the .cube files of the looks folder, hidden files left out."""
        return sorted(
            entry.name[: -len(LOOK_SUFFIX)]
            for entry in os.scandir(self.settings.looks)
            if entry.name.endswith(LOOK_SUFFIX)
            and not entry.name.startswith(".")
            and len(entry.name) > len(LOOK_SUFFIX)
            and entry.is_file()
        )

    async def index(self, request: Request) -> Response:
        return HTMLResponse(self.page)

    async def list_looks(self, request: Request) -> Response:
        return JSONResponse({"looks": self.looks()})

    async def grade(self, request: Request) -> Response:
        look = request.path_params["look"]
        # Only a name from the folder's own listing is used: "..", slashes, an
        # absolute path or a NUL can never name one.
        if look not in self.looks():
            return reply(404, "unknown look")
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > self.settings.max_bytes:
            return reply(413, "upload too large")

        folder = Path(tempfile.mkdtemp(dir=self.work))
        try:
            upload, output = folder / "upload", folder / "graded.jpg"
            try:
                await receive_upload(request, upload, self.settings.max_bytes)
            except UploadTooLarge:
                return reply(413, "upload too large")
            except BadForm as error:
                return reply(400, str(error))
            except ClientDisconnect:
                return reply(400, "upload incomplete")
            lut = str(self.settings.looks / (look + LOOK_SUFFIX))
            try:
                status = await self.pool.grade(lut, str(upload), str(output))
            except PoolRestarting:
                return reply(503, "a grading worker died; try again", {"Retry-After": "1"})
            except (OSError, ValueError) as error:
                log.error("look %r is unusable: %s", look, error)
                return reply(500, "look unusable")
            except Exception:
                log.exception("grading with look %r failed in a worker", look)
                return reply(500, "grading failed")
            if status != SUCCESS:
                code, message = STATUS_REPLIES.get(status, (500, "grading failed"))
                return reply(code, message)
            # Open before the folder goes: the open file keeps its bytes.
            result = open(output, "rb")
            size = os.fstat(result.fileno()).st_size
            return StreamingResponse(
                stream_file(result), media_type="image/jpeg", headers={"Content-Length": str(size)}
            )
        finally:
            try:
                shutil.rmtree(folder)
            except OSError:
                log.exception("could not remove %s", folder)

    @contextlib.asynccontextmanager
    async def lifespan(self, app: Starlette) -> AsyncIterator[None]:
        settings = self.settings
        log.info("looks from %s; grading workers: %d; uploads in %s", settings.looks, settings.workers, self.work)
        try:
            yield
        finally:
            await self.pool.close()
            shutil.rmtree(self.work, ignore_errors=True)


async def stream_file(handle: IO[bytes]) -> AsyncIterator[bytes]:
    with handle:
        while chunk := handle.read(CHUNK):
            yield chunk


async def receive_upload(request: Request, target: Path, max_bytes: int) -> None:
    """Streams the image of the request into `target`: the raw body, or the
    field "image" of a multipart form. Counts the whole body against
    `max_bytes` while it arrives, so an oversized upload is never held whole."""
    content_type, options = parse_options_header(request.headers.get("content-type", ""))
    with open(target, "wb") as out:
        if content_type != b"multipart/form-data":
            async for chunk in limited(request, max_bytes):
                out.write(chunk)
            return
        boundary = options.get(b"boundary")
        if not boundary:
            raise BadForm("multipart form without a boundary")
        form = ImageField(out)
        parser = MultipartParser(boundary, form.callbacks())
        try:
            async for chunk in limited(request, max_bytes):
                parser.write(chunk)
            parser.finalize()
        except FormParserError as error:
            raise BadForm("malformed multipart form") from error
        if not form.ended:
            raise BadForm("malformed multipart form")
        if not form.found:
            raise BadForm('no file field "image" in the form')


async def limited(request: Request, max_bytes: int) -> AsyncIterator[bytes]:
    received = 0
    async for chunk in request.stream():
        received += len(chunk)
        if received > max_bytes:
            raise UploadTooLarge
        yield chunk


class ImageField:
    """Multipart callbacks that write the first part named "image" to `out`."""

    def __init__(self, out: IO[bytes]) -> None:
        self.out = out
        self.found = False
        self.ended = False
        self._writing = False
        self._field = b""
        self._value = b""
        self._disposition = b""

    def callbacks(self) -> MultipartCallbacks:
        return {
            "on_part_begin": self._part_begin,
            "on_header_field": self._header_field,
            "on_header_value": self._header_value,
            "on_header_end": self._header_end,
            "on_headers_finished": self._headers_finished,
            "on_part_data": self._part_data,
            "on_part_end": self._part_end,
            "on_end": self._end,
        }

    def _part_begin(self) -> None:
        self._disposition = b""

    def _header_field(self, data: bytes, start: int, end: int) -> None:
        self._field += data[start:end]

    def _header_value(self, data: bytes, start: int, end: int) -> None:
        self._value += data[start:end]

    def _header_end(self) -> None:
        if self._field.lower() == b"content-disposition":
            self._disposition = self._value
        self._field = self._value = b""

    def _headers_finished(self) -> None:
        _, options = parse_options_header(self._disposition)
        self._writing = not self.found and options.get(b"name") == b"image" and b"filename" in options
        self.found = self.found or self._writing

    def _part_data(self, data: bytes, start: int, end: int) -> None:
        if self._writing:
            self.out.write(data[start:end])

    def _part_end(self) -> None:
        self._writing = False

    def _end(self) -> None:
        self.ended = True


class RequestLog:
    """One log line per request: method, path, look, bytes received, status, milliseconds."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status = 0
        size = 0

        async def counting_receive() -> Message:
            nonlocal size
            message = await receive()
            size += len(message.get("body", b""))
            return message

        async def status_send(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        try:
            await self.app(scope, counting_receive, status_send)
        finally:
            path: str = scope["path"]
            look = path.removeprefix("/grade/") if path.startswith("/grade/") else "-"
            elapsed = (time.perf_counter() - started) * 1000
            log.info("%s %r look=%r size=%d status=%d %.1f ms", scope["method"], path, look, size, status, elapsed)


def create_app(settings: Settings) -> Starlette:
    service = GradeService(settings)

    async def http_error(request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        return reply(error.status_code, error.detail.lower(), error.headers)

    async def server_error(request: Request, error: Exception) -> Response:
        return reply(500, "internal error")

    app = Starlette(
        routes=[
            Route("/", service.index, methods=["GET"]),
            Route("/looks", service.list_looks, methods=["GET"]),
            # :path, so that a look name with slashes reaches the handler and
            # gets the same 404 as any other unknown look.
            Route("/grade/{look:path}", service.grade, methods=["POST"]),
        ],
        exception_handlers={HTTPException: http_error, Exception: server_error},
        lifespan=service.lifespan,
    )
    app.add_middleware(RequestLog)
    return app


def log_config() -> dict[str, Any]:
    """uvicorn's own logging set-up, with this service's logger in the same format."""
    config: dict[str, Any] = copy.deepcopy(uvicorn.config.LOGGING_CONFIG)
    config["loggers"]["grade_service"] = {"handlers": ["default"], "level": "INFO", "propagate": False}
    return config


def argument_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description="Grade uploaded images with the cube LUTs of a folder.")
    parser.add_argument("--looks", metavar="DIR", type=Path, required=True, help="folder of .cube files")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8000, help="port to listen on (default: 8000)")
    parser.add_argument(
        "--workers", metavar="N", type=grading.positive_int, default=grading.default_workers(),
        help="grading processes (default: one per core)",
    )
    parser.add_argument(
        "--max-bytes", metavar="N", type=grading.positive_int, default=DEFAULT_MAX_BYTES,
        help=f"largest request body accepted (default: {DEFAULT_MAX_BYTES})",
    )
    parser.add_argument(
        "--tmp-dir", metavar="DIR", type=Path, default=None,
        help="where the private folder for uploads is made (default: the system's temporary folder)",
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    args = argument_parser().parse_args(argv)
    looks = args.looks.resolve()
    if not looks.is_dir():
        print(f"grade_service: no such folder: {args.looks}", file=sys.stderr)
        return grading.EXIT_USAGE
    settings = Settings(looks, args.max_bytes, args.workers, args.tmp_dir)
    # No access log: RequestLog writes one line per request with the look.
    uvicorn.run(create_app(settings), host=args.host, port=args.port, log_config=log_config(), access_log=False)
    return grading.EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
