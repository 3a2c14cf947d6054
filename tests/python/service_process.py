"""The upload service of examples/grade_service.py as a real server process on
127.0.0.1, and a plain HTTP client for it (the standard library's, one
connection per request). Used by the service tests and by bench/service_load.py.
"""

from __future__ import annotations

import http.client
import os
import resource
import signal
import socket
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SERVICE = REPO / "examples" / "grade_service.py"

START_TIMEOUT = 60.0  # seconds: a guard against a server that never comes up
REQUEST_TIMEOUT = 120.0  # a shared machine under a sanitizer build is slow
STOP_TIMEOUT = 30.0


@dataclass(frozen=True)
class Answer:
    status: int
    content_type: str
    body: bytes
    headers: dict[str, str] = field(default_factory=dict)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Service:
    """Starts the service; `stop()` ends it with SIGINT, as Ctrl-C would."""

    def __init__(
        self,
        looks: Path,
        tmp_parent: Path,
        log_path: Path,
        *,
        workers: int = 2,
        max_bytes: int | None = None,
        pythonpath: Path | None = None,
        options: tuple[str, ...] = (),
        open_files: int | None = None,
    ) -> None:
        self.port = free_port()
        self.tmp_parent = tmp_parent
        self.log_path = log_path
        tmp_parent.mkdir(parents=True, exist_ok=True)
        command = [sys.executable, str(SERVICE), "--looks", str(looks), "--port", str(self.port),
                   "--workers", str(workers), "--tmp-dir", str(tmp_parent)]
        if max_bytes is not None:
            command += ["--max-bytes", str(max_bytes)]
        command += options
        env = dict(os.environ)
        if pythonpath is not None:
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(pythonpath), env.get("PYTHONPATH")]))
        self._log = open(log_path, "wb")
        # A hard open-file limit, as a small machine's: the server cannot raise it.
        limit = None if open_files is None else lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (open_files,) * 2)
        self.process = subprocess.Popen(
            command, stdout=self._log, stderr=subprocess.STDOUT, env=env, preexec_fn=limit
        )
        try:
            self._wait_ready()
        except BaseException:
            self.stop()
            raise
        # The server's one private folder for uploads, made at start-up.
        (self.work,) = tmp_parent.glob(f"grade-service-{self.process.pid}-*")

    def _wait_ready(self) -> None:
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"the service exited with {self.process.returncode}:\n{self.log()}")
            try:
                if request(self.port, "GET", "/looks", timeout=5).status == 200:
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError(f"the service did not answer within {START_TIMEOUT} s:\n{self.log()}")
            time.sleep(0.1)

    def log(self) -> str:
        self._log.flush()
        return self.log_path.read_text(errors="replace")

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()
        return self.process.returncode

    def worker_pids(self, marker: bytes = b"spawn_main") -> list[int]:
        """The pool's worker processes: the server's children started by spawn
        (the resource tracker with b"resource_tracker")."""
        pids = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                stat = (entry / "stat").read_text()
                cmdline = (entry / "cmdline").read_bytes()
            except OSError:
                continue  # gone meanwhile
            parent = int(stat[stat.rindex(")") + 2 :].split()[1])
            if parent == self.process.pid and marker in cmdline:
                pids.append(int(entry.name))
        return sorted(pids)

    def leftovers(self) -> list[str]:
        return sorted(str(path.relative_to(self.work)) for path in self.work.rglob("*"))


def request(
    port: int,
    method: str,
    path: str,
    body: bytes | None = None,
    headers: dict[str, str] | None = None,
    *,
    timeout: float = REQUEST_TIMEOUT,
) -> Answer:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        return _answer(connection)
    finally:
        connection.close()


def post_chunked(port: int, path: str, chunks: list[bytes], *, timeout: float = REQUEST_TIMEOUT) -> Answer:
    """A body without Content-Length, in chunks. A server that refuses it part
    way may close before all is sent: the answer is read all the same."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        try:
            connection.request("POST", path, body=iter(chunks), encode_chunked=True)
        except (BrokenPipeError, ConnectionResetError):
            pass
        return _answer(connection)
    finally:
        connection.close()


def post_announced(port: int, path: str, length: int, *, timeout: float = REQUEST_TIMEOUT) -> Answer:
    """Announces a body of `length` bytes and waits for the answer before
    sending any: what a client asking "Expect: 100-continue" sees."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.putrequest("POST", path)
        connection.putheader("Content-Length", str(length))
        connection.putheader("Content-Type", "application/octet-stream")
        connection.endheaders()
        return _answer(connection)
    finally:
        connection.close()


def post_and_hang_up(port: int, path: str, body: bytes, sent: int) -> None:
    """Announces all of `body`, sends its first `sent` bytes and closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=REQUEST_TIMEOUT) as connection:
        head = f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n\r\n"
        connection.sendall(head.encode() + body[:sent])


def multipart(fields: list[tuple[str, str | None, bytes]], boundary: str = "tonvik-test-boundary") -> tuple[bytes, str]:
    """A multipart/form-data body of (name, filename or None, content) parts."""
    out = b""
    for name, filename, content in fields:
        disposition = f'form-data; name="{name}"' + (f'; filename="{filename}"' if filename is not None else "")
        out += f"--{boundary}\r\nContent-Disposition: {disposition}\r\n".encode()
        if filename is not None:
            out += b"Content-Type: application/octet-stream\r\n"
        out += b"\r\n" + content + b"\r\n"
    out += f"--{boundary}--\r\n".encode()
    return out, f"multipart/form-data; boundary={boundary}"


def _answer(connection: http.client.HTTPConnection) -> Answer:
    response = connection.getresponse()
    body = response.read()
    headers = {key.lower(): value for key, value in response.getheaders()}
    return Answer(response.status, headers.get("content-type", ""), body, headers)
