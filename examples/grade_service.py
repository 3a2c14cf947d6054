"""An upload service that grades photos: the README's web back-end pattern as a
program to run and copy.

    python examples/grade_service.py --looks DIR [--host 127.0.0.1] [--port 8000] [--workers N]
        [--max-bytes N] [--tmp-dir DIR] [--max-uploads N] [--header-timeout S]
        [--body-timeout S] [--worker-memory MB]

    GET  /              a page: pick a look, drop an image, see before and after
    GET  /looks         {"looks": [...]}: the .cube files of DIR, without the extension
    POST /grade/{look}  the image as the raw body, or as the file field "image" of a
                        multipart form; answers 200 image/jpeg with the graded JPEG

Errors answer JSON {"error": "..."}: 400 malformed form or upload cut off, 404
unknown look, 408 request head or body too slow, 413 body over --max-bytes or
image too large (also for the worker's memory limit), 415 not an image, 500 a
look tonvik refuses or a fault in a worker, 503 (with Retry-After) too many
uploads in flight, out of file descriptors, or a worker died under the request,
507 the result could not be stored.

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
import ctypes
import errno
import json
import logging
import multiprocessing
import os
import re
import resource
import shutil
import signal
import sys
import tempfile
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping, MutableMapping
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

import h11
import uvicorn
from python_multipart import MultipartParser
from python_multipart.exceptions import FormParserError
from python_multipart.multipart import parse_options_header
from starlette.applications import Starlette
from starlette.convertors import PathConvertor, register_url_convertor
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import HTMLResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Route
from uvicorn.protocols.http.h11_impl import H11Protocol

import tonvik

sys.path.insert(0, str(Path(__file__).resolve().parent))
import grading  # noqa: E402

if TYPE_CHECKING:
    from python_multipart.multipart import MultipartCallbacks

PAGE = Path(__file__).resolve().with_suffix(".html")
LOOK_SUFFIX = ".cube"
DEFAULT_MAX_BYTES = 50 * 1024 * 1024
DEFAULT_MAX_UPLOADS = 64
DEFAULT_HEADER_TIMEOUT = 10.0  # seconds for a request's head, from the connection or the previous answer
DEFAULT_BODY_TIMEOUT = 30.0  # seconds of silence allowed between two pieces of a body
# An answer given before the body is all read is followed by reading the rest,
# up to this much (a little over the default --max-bytes), so that closing does
# not reset a connection whose client is still sending.
DRAIN_BYTES = 64 * 1024 * 1024
# A client still sending sends without pauses; one that has stopped would hold
# its socket for the whole body time limit after its answer.
DRAIN_GAP = 1.0
# At the cap, an upload that has waited this long for its next piece makes
# room for a new one (with a 408), so stalled clients cannot hold every slot.
EVICT_IDLE = 1.0
CHUNK = 256 * 1024
RETIRE_WAIT = 30.0  # seconds a request in flight waits for the workers of a broken pool to end
SUCCESS = "success:ok"
WORK_PREFIX = "grade-service-"  # + the server's pid + "-": whose folder it is, for the clean-up at start
FD_SHORTAGE = (errno.EMFILE, errno.ENFILE)
PR_SET_PDEATHSIG = 1  # <linux/prctl.h>

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
    max_uploads: int = DEFAULT_MAX_UPLOADS
    header_timeout: float = DEFAULT_HEADER_TIMEOUT
    body_timeout: float = DEFAULT_BODY_TIMEOUT
    worker_memory: int | None = None  # bytes of address space per worker


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


class BodyTimeout(Exception):
    """The client sent no part of its body for the allowed time."""


class PoolRestarting(Exception):
    """A worker died while this request was in the pool."""


def start_worker(server: int, memory: int | None) -> None:
    """Runs first in every grading worker. The worker is killed when the server
    dies, however it dies: a SIGKILLed server runs no clean-up, and a pool that
    outlived it would keep the workers, the resource tracker (which ends when
    the last of them closes its pipe) and their files. With `memory`, the
    worker's address space is bounded: a grade that needs more raises
    MemoryError in apply_lut and the worker lives on.

    The death signal comes when the thread that started the worker ends: the
    pool starts its workers in submit, which runs on the event loop's thread,
    and that lives as long as the server."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG) failed")
    if os.getppid() != server:  # the server died before the line above
        os._exit(1)
    if memory is not None:
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (memory if hard == resource.RLIM_INFINITY else min(memory, hard), hard))


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

    def __init__(self, workers: int, memory: int | None) -> None:
        self._workers = workers
        self._memory = memory
        self._context = multiprocessing.get_context("spawn")
        self._executor = self._new_executor()
        self._retired: dict[int, asyncio.Task[None]] = {}

    def _new_executor(self) -> ProcessPoolExecutor:
        return ProcessPoolExecutor(
            max_workers=self._workers, mp_context=self._context,
            initializer=start_worker, initargs=(os.getpid(), self._memory),
        )

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
            if fd_shortage(error):
                raise  # answered 503: a retry may find descriptors free
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


class Slot:
    """One upload in flight. While it waits for a piece of its body, `waiting`
    is the deadline of that wait and `since` when the wait began."""

    def __init__(self) -> None:
        self.waiting: asyncio.Timeout | None = None
        self.since = 0.0


class Uploads:
    """At most `cap` uploads in flight, from the look's check to the answer.

    Past the cap, the upload that has waited longest for its body, if it has
    waited at least `idle` seconds, is ended (its client gets 408) and the new
    one takes its place; otherwise the new one is refused. So clients that
    stall cannot keep others out for the whole body time limit."""

    def __init__(self, cap: int, idle: float) -> None:
        self.cap = cap
        self.idle = idle
        self._active: set[Slot] = set()

    def admit(self) -> Slot | None:
        if len(self._active) >= self.cap:
            now = asyncio.get_running_loop().time()
            waiting = [slot for slot in self._active if slot.waiting is not None and now - slot.since >= self.idle]
            if not waiting:
                return None
            idlest = min(waiting, key=lambda slot: slot.since)
            assert idlest.waiting is not None
            idlest.waiting.reschedule(now)
            self._active.discard(idlest)
        slot = Slot()
        self._active.add(slot)
        return slot

    def release(self, slot: Slot) -> None:
        self._active.discard(slot)


class Body:
    """A request's body, read one message at a time; each wait for the next
    piece is bounded by `gap` seconds (BodyTimeout past it)."""

    def __init__(self, request: Request, gap: float, slot: Slot | None = None) -> None:
        self._receive = request.receive
        self._gap = gap
        self._slot = slot
        self.content_type = request.headers.get("content-type", "")
        self._expecting = "100-continue" in request.headers.get("expect", "").lower()
        self.received = 0
        self.ended = False

    async def chunks(self) -> AsyncIterator[bytes]:
        loop = asyncio.get_running_loop()
        while not self.ended:
            try:
                async with asyncio.timeout(self._gap) as deadline:
                    if self._slot is not None:
                        self._slot.waiting, self._slot.since = deadline, loop.time()
                    message = await self._receive()
            except TimeoutError:
                raise BodyTimeout from None
            finally:
                if self._slot is not None:
                    self._slot.waiting = None
            if message["type"] == "http.disconnect":
                raise ClientDisconnect
            chunk: bytes = message.get("body", b"")
            self.received += len(chunk)
            self.ended = not message.get("more_body", False)
            yield chunk

    async def discard(self) -> None:
        """Reads and drops the rest, up to DRAIN_BYTES, within the body time
        limit in all and DRAIN_GAP between pieces. A client that asked
        "Expect: 100-continue" and has not been told to continue sends
        nothing more: nothing is read."""
        if self._expecting and self.received == 0:
            return
        limit, self._gap = self._gap, min(self._gap, DRAIN_GAP)
        with contextlib.suppress(BodyTimeout, ClientDisconnect, TimeoutError):
            async with asyncio.timeout(limit):
                async for _ in self.chunks():
                    if self.received > DRAIN_BYTES:
                        return


class EarlyAnswer(JSONResponse):
    """An error answered before the body is all read: the answer goes out at
    once, then the rest of the body is read and dropped before the connection
    is closed. Closing a socket with unread data resets the connection, and a
    client that sends its whole body before reading (one that does not use
    "Expect: 100-continue") then loses the answer."""

    def __init__(self, body: Body, status: int, message: str, headers: Mapping[str, str] | None = None) -> None:
        super().__init__({"error": message}, status_code=status, headers={**(headers or {}), "Connection": "close"})
        self._request_body = body

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await send({"type": "http.response.start", "status": self.status_code, "headers": self.raw_headers})
        # All of the answer's bytes (its Content-Length) go now; the end of
        # the message only after the drain.
        await send({"type": "http.response.body", "body": self.body, "more_body": True})
        if not self._request_body.ended:
            await self._request_body.discard()
        await send({"type": "http.response.body", "body": b"", "more_body": False})


def fd_shortage(error: object) -> bool:
    return isinstance(error, OSError) and error.errno in FD_SHORTAGE


TRY_AGAIN = {"Retry-After": "1"}


class GradeService:
    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.page = PAGE.read_text(encoding="utf-8")
        self.uploads = Uploads(settings.max_uploads, min(EVICT_IDLE, settings.body_timeout / 2))
        parent = Path(tempfile.gettempdir()) if settings.tmp_parent is None else settings.tmp_parent
        for abandoned in abandoned_folders(parent):
            log.warning("removing %s, left behind by a server that is gone", abandoned)
            shutil.rmtree(abandoned, ignore_errors=True)
        # One private folder (mode 0700) for every upload of this server.
        self.work = Path(tempfile.mkdtemp(prefix=f"{WORK_PREFIX}{os.getpid()}-", dir=parent))
        self.pool = GradingPool(settings.workers, settings.worker_memory)

    def looks(self) -> list[str]:
        """The names of the .cube files of the looks folder, hidden files left
        out, and names that a request path cannot carry (a control character
        such as a newline, or bytes that are not UTF-8)."""
        names = (entry.name[: -len(LOOK_SUFFIX)] for entry in os.scandir(self.settings.looks)
                 if entry.name.endswith(LOOK_SUFFIX) and entry.is_file())
        return sorted(name for name in names if name and not name.startswith(".") and name.isprintable())

    async def index(self, request: Request) -> Response:
        return HTMLResponse(self.page)

    async def list_looks(self, request: Request) -> Response:
        return JSONResponse({"looks": self.looks()})

    async def grade(self, request: Request) -> Response:
        body = Body(request, self.settings.body_timeout)
        look = request.path_params["look"]
        # Only a name from the folder's own listing is used: "..", slashes, an
        # absolute path or a NUL can never name one.
        if look not in self.looks():
            return EarlyAnswer(body, 404, "unknown look")
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > self.settings.max_bytes:
            return EarlyAnswer(body, 413, "upload too large")
        slot = self.uploads.admit()
        if slot is None:
            return EarlyAnswer(body, 503, "too many uploads in flight; try again", TRY_AGAIN)
        try:
            body = Body(request, self.settings.body_timeout, slot)
            return await self._grade(look, body)
        finally:
            self.uploads.release(slot)

    async def _grade(self, look: str, body: Body) -> Response:
        folder = Path(tempfile.mkdtemp(dir=self.work))
        try:
            upload, output = (folder / name for name in UPLOAD_FILES)
            try:
                await receive_upload(body, upload, self.settings.max_bytes)
            except UploadTooLarge:
                return EarlyAnswer(body, 413, "upload too large")
            except BadForm as error:
                return EarlyAnswer(body, 400, str(error))
            except BodyTimeout:
                return reply(408, "upload too slow", {"Connection": "close"})
            except ClientDisconnect:
                return reply(400, "upload incomplete")
            lut = str(self.settings.looks / (look + LOOK_SUFFIX))
            try:
                status = await self.pool.grade(lut, str(upload), str(output))
            except PoolRestarting:
                return reply(503, "a grading worker died; try again", TRY_AGAIN)
            except MemoryError:
                return reply(413, "image too large for the memory of a worker")
            except (OSError, ValueError) as error:
                if fd_shortage(error):
                    raise
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
            remove_upload_folder(folder)

    @contextlib.asynccontextmanager
    async def lifespan(self, app: Starlette) -> AsyncIterator[None]:
        settings = self.settings
        log.info("looks from %s; grading workers: %d; uploads in %s", settings.looks, settings.workers, self.work)
        asyncio.get_running_loop().set_exception_handler(loop_exception)
        try:
            yield
        finally:
            await self.pool.close()
            shutil.rmtree(self.work, ignore_errors=True)


UPLOAD_FILES = ("upload", "graded.jpg")


def remove_upload_folder(folder: Path) -> None:
    """Removes the files by name: unlink and rmdir need no descriptor, so the
    folder goes even when the server has none left (shutil.rmtree opens the
    folder and fails then, leaving the user's image behind)."""
    try:
        for name in UPLOAD_FILES:
            (folder / name).unlink(missing_ok=True)
        folder.rmdir()
    except OSError:
        try:
            shutil.rmtree(folder)
        except OSError:
            log.exception("could not remove %s", folder)


def abandoned_folders(parent: Path) -> list[Path]:
    """Upload folders of servers that are gone (killed, so they could not
    remove them): named with this prefix and a pid no process has, and ours."""
    found = []
    for entry in os.scandir(parent):
        match = re.fullmatch(re.escape(WORK_PREFIX) + r"([0-9]+)-[^/]+", entry.name)
        if not match or not entry.is_dir(follow_symlinks=False) or entry.stat().st_uid != os.getuid():
            continue
        pid = int(match.group(1))
        if pid != os.getpid():  # our own pid: a dead server's, reused; ours is made after this
            try:
                os.kill(pid, 0)
                continue  # a live process has it
            except ProcessLookupError:
                pass
            except PermissionError:
                continue
        found.append(Path(entry.path))
    return found


def loop_exception(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
    """Running out of descriptors while accepting is no fault: the loop stops
    accepting for a second and goes on. One line for it, not a traceback."""
    if fd_shortage(context.get("exception")):
        log.warning("%s: %s", context["message"], context["exception"])
    else:
        loop.default_exception_handler(context)


async def stream_file(handle: IO[bytes]) -> AsyncIterator[bytes]:
    with handle:
        while chunk := handle.read(CHUNK):
            yield chunk


async def receive_upload(body: Body, target: Path, max_bytes: int) -> None:
    """Streams the image of the request into `target`: the raw body, or the
    field "image" of a multipart form. Counts the whole body against
    `max_bytes` while it arrives, so an oversized upload is never held whole."""
    content_type, options = parse_options_header(body.content_type)
    with open(target, "wb") as out:
        if content_type != b"multipart/form-data":
            async for chunk in limited(body, max_bytes):
                out.write(chunk)
            return
        boundary = options.get(b"boundary")
        if not boundary:
            raise BadForm("multipart form without a boundary")
        form = ImageField(out)
        try:
            parser = MultipartParser(boundary, form.callbacks())
            async for chunk in limited(body, max_bytes):
                parser.write(chunk)
            parser.finalize()
        except (FormParserError, ValueError) as error:
            raise BadForm("malformed multipart form") from error
        if not form.ended:
            raise BadForm("malformed multipart form")
        if not form.found:
            raise BadForm('no file field "image" in the form')


async def limited(body: Body, max_bytes: int) -> AsyncIterator[bytes]:
    async for chunk in body.chunks():
        if body.received > max_bytes:
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
        except BaseException:
            # The server's 500 goes out after this, past this wrapper.
            status = status or 500
            raise
        finally:
            path: str = scope["path"]
            look = path.removeprefix("/grade/") if path.startswith("/grade/") else "-"
            elapsed = (time.perf_counter() - started) * 1000
            log.info("%s %r look=%r size=%d status=%d %.1f ms", scope["method"], path, look, size, status, elapsed)


class AnyTextConvertor(PathConvertor):
    """A path parameter of any characters, a newline too (the path convertor's
    pattern stops at one), so that every name reaches the look check."""

    regex = "(?s:.*)"


register_url_convertor("anytext", AnyTextConvertor())


def create_app(settings: Settings) -> Starlette:
    service = GradeService(settings)

    async def http_error(request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        return EarlyAnswer(Body(request, settings.body_timeout), error.status_code, error.detail.lower(), error.headers)

    async def os_error(request: Request, error: Exception) -> Response:
        if fd_shortage(error):
            return EarlyAnswer(Body(request, settings.body_timeout), 503, "server busy; try again", TRY_AGAIN)
        log.exception("request failed")
        return reply(500, "internal error")

    async def server_error(request: Request, error: Exception) -> Response:
        return reply(500, "internal error")

    app = Starlette(
        routes=[
            Route("/", service.index, methods=["GET"]),
            Route("/looks", service.list_looks, methods=["GET"]),
            # Any text, so that a look name with slashes or a newline reaches
            # the handler and gets the same 404 as any other unknown look.
            Route("/grade/{look:anytext}", service.grade, methods=["POST"]),
        ],
        exception_handlers={HTTPException: http_error, OSError: os_error, Exception: server_error},
        lifespan=service.lifespan,
    )
    app.add_middleware(RequestLog)
    return app


def protocol_answer(status: int, reason: str, message: str) -> bytes:
    """An error answer written by the protocol itself, for a request the app never saw."""
    body = json.dumps({"error": message}, separators=(",", ":")).encode()
    head = f"HTTP/1.1 {status} {reason}\r\ncontent-type: application/json\r\nconnection: close\r\n"
    return head.encode() + b"content-length: %d\r\n\r\n%s" % (len(body), body)


HEAD_TIMEOUT_ANSWER = protocol_answer(408, "Request Timeout", "request head too slow")
BAD_REQUEST_ANSWER = protocol_answer(400, "Bad Request", "malformed request")


def head_limited_protocol(timeout: float) -> type[H11Protocol]:
    """uvicorn's HTTP/1.1 protocol with a time limit on each request's head:
    from the connection, or the end of the previous answer, to the last header
    line. uvicorn bounds only the idle time after an answer, and only until the
    first byte comes: a client sending its head a byte a minute, or nothing
    after connecting, would hold its socket forever. The limit also bounds how
    long uvicorn goes on reading (and dropping) a body after its answer."""

    class HeadLimitedProtocol(H11Protocol):
        _head_timer: asyncio.TimerHandle | None = None
        _head_started = 0.0

        def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
            super().connection_made(transport)
            self._arm()

        def connection_lost(self, exc: Exception | None) -> None:
            self._disarm()
            super().connection_lost(exc)

        def handle_events(self) -> None:
            super().handle_events()
            if self.conn.our_state in (h11.SEND_RESPONSE, h11.SEND_BODY):  # the head is in
                self._disarm()

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if not self.transport.is_closing():
                self._arm()

        def send_400_response(self, msg: str) -> None:
            # uvicorn's own answer is plain text and logged in its own words.
            self.transport.write(BAD_REQUEST_ANSWER)
            self.transport.close()
            if self.cycle is None or self.cycle.response_complete:
                self._log_refusal(400)  # else the app logs the request it has

        def _log_refusal(self, status: int) -> None:
            elapsed = (time.perf_counter() - self._head_started) * 1000
            log.info("- '-' look='-' size=0 status=%d %.1f ms", status, elapsed)

        def _arm(self) -> None:
            self._disarm()
            self._head_started = time.perf_counter()
            self._head_timer = self.loop.call_later(timeout, self._head_timed_out)

        def _disarm(self) -> None:
            if self._head_timer is not None:
                self._head_timer.cancel()
                self._head_timer = None

        def _head_timed_out(self) -> None:
            self._head_timer = None
            if self.transport.is_closing() or self.conn.our_state in (h11.SEND_RESPONSE, h11.SEND_BODY):
                return
            pending, _ = self.conn.trailing_data
            if self.conn.our_state is h11.IDLE and pending:
                # Part of a head came: answer it. A connection that sent
                # nothing is only closed.
                self.transport.write(HEAD_TIMEOUT_ANSWER)
                self._log_refusal(408)
            self.transport.close()

    return HeadLimitedProtocol


def log_config() -> dict[str, Any]:
    """uvicorn's own logging set-up, with this service's logger in the same format."""
    config: dict[str, Any] = copy.deepcopy(uvicorn.config.LOGGING_CONFIG)
    config["loggers"]["grade_service"] = {"handlers": ["default"], "level": "INFO", "propagate": False}
    # The form parser warns of each malformed form; the request's line says 400.
    config["loggers"]["python_multipart"] = {"level": "ERROR"}
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
    parser.add_argument(
        "--max-uploads", metavar="N", type=grading.positive_int, default=DEFAULT_MAX_UPLOADS,
        help=f"uploads in flight at most; past it 503 (default: {DEFAULT_MAX_UPLOADS})",
    )
    parser.add_argument(
        "--header-timeout", metavar="S", type=seconds, default=DEFAULT_HEADER_TIMEOUT,
        help=f"seconds to send a request's head, else 408 (default: {DEFAULT_HEADER_TIMEOUT:g})",
    )
    parser.add_argument(
        "--body-timeout", metavar="S", type=seconds, default=DEFAULT_BODY_TIMEOUT,
        help=f"seconds allowed between two pieces of a body, else 408 (default: {DEFAULT_BODY_TIMEOUT:g})",
    )
    parser.add_argument(
        "--worker-memory", metavar="MB", type=grading.positive_int, default=None,
        help="address space of each grading worker, in MiB; a grade that needs more is 413 (default: no limit)",
    )
    return parser


def seconds(text: str) -> float:
    value = float(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text}")
    return value


def raise_open_file_limit() -> None:
    """Every connection and every upload in flight holds descriptors; the soft
    limit (often 1024) is raised to the hard one."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def main(argv: list[str] | None = None) -> int:
    args = argument_parser().parse_args(argv)
    looks = args.looks.resolve()
    if not looks.is_dir():
        print(f"grade_service: no such folder: {args.looks}", file=sys.stderr)
        return grading.EXIT_USAGE
    memory = None if args.worker_memory is None else args.worker_memory * 1024 * 1024
    settings = Settings(
        looks, args.max_bytes, args.workers, args.tmp_dir, args.max_uploads, args.header_timeout,
        args.body_timeout, memory,
    )
    raise_open_file_limit()
    # No access log: RequestLog writes one line per request with the look.
    uvicorn.run(
        create_app(settings), host=args.host, port=args.port, log_config=log_config(), access_log=False,
        http=head_limited_protocol(settings.header_timeout),
    )
    return grading.EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
