"""Where the JPEG goes: a killed process leaves no file beside the output,
pipes and FIFOs (also behind /dev/stdout) receive the JPEG in place, and the
largest side written is 65500 pixels."""

from __future__ import annotations

import io
import os
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import tonvik
from image_forge import Picture, pnm
from support import OK, write_cube

OLD_CONTENTS = b"previous contents, must survive"
# How long to wait for the child to start writing before giving up: decoding
# the 12 MP image takes well under a second, but the machine may be loaded.
WRITE_START_TIMEOUT = 120.0


def ppm(path: Path, rgb: np.ndarray) -> Path:
    height, width, _ = rgb.shape
    path.write_bytes(pnm(Picture(width, height, rgb.astype(np.uint8).tobytes())))
    return path


@pytest.fixture(scope="module")
def inputs(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    """A LUT and a 12 MP noise image (noise makes the JPEG write long and large)."""
    folder = tmp_path_factory.mktemp("inputs")
    noise = np.random.default_rng(12).integers(0, 256, size=(3000, 4000, 3), dtype=np.uint8)
    return write_cube(folder / "identity.cube"), ppm(folder / "photo.ppm", noise)


def open_files_in(pid: int, folder: Path) -> list[str]:
    """The child's open files that lie in `folder` (an unnamed file shows as
    "<folder>/#<inode> (deleted)")."""
    found = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue  # closed meanwhile
        if target.startswith(str(folder) + "/"):
            found.append(target)
    return found


def kill_while_writing(inputs: tuple[Path, Path], output: Path) -> None:
    """Starts apply_lut in a child and kills it with SIGKILL once it holds a
    file open in the output's folder, that is in the middle of the write."""
    lut, image = inputs
    child = subprocess.Popen(
        [sys.executable, "-c", "import sys, tonvik; tonvik.apply_lut(*sys.argv[1:])", str(lut), str(image), str(output)]
    )
    try:
        deadline = time.monotonic() + WRITE_START_TIMEOUT
        while not open_files_in(child.pid, output.parent):
            assert child.poll() is None, "the child finished before it was seen writing"
            assert time.monotonic() < deadline, "the child never started writing"
            time.sleep(0.0005)
        child.send_signal(signal.SIGKILL)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == -signal.SIGKILL


def output_folders(tmp_path: Path) -> list[Path]:
    folders = [tmp_path / "disk"]
    if Path("/dev/shm").is_dir():
        folders.append(Path("/dev/shm") / f"tonvik-test-{os.getpid()}-{tmp_path.name}")
    return folders


@pytest.mark.parametrize("existing", [False, True], ids=["new-output", "replaced-output"])
def test_sigkill_mid_write_leaves_nothing_beside_the_output(
    inputs: tuple[Path, Path], tmp_path: Path, existing: bool
) -> None:
    # The test machine's own file system, then tmpfs.
    for folder in output_folders(tmp_path):
        folder.mkdir()
        try:
            output = folder / "out.jpg"
            if existing:
                output.write_bytes(OLD_CONTENTS)
            kill_while_writing(inputs, output)
            assert sorted(os.listdir(folder)) == (["out.jpg"] if existing else []), folder
            if existing:
                assert output.read_bytes() == OLD_CONTENTS
        finally:
            for name in os.listdir(folder):
                (folder / name).unlink()
            folder.rmdir()


def test_dev_stdout_to_a_pipe_receives_the_jpeg(tmp_path: Path) -> None:
    lut = write_cube(tmp_path / "identity.cube")
    image = ppm(tmp_path / "small.ppm", np.full((48, 64, 3), 200, dtype=np.uint8))
    completed = subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys, tonvik; print(tonvik.apply_lut(sys.argv[1], sys.argv[2], '/dev/stdout'), file=sys.stderr)",
            str(lut),
            str(image),
        ],
        capture_output=True,
        timeout=60,
        check=False,
    )
    assert completed.returncode == 0, completed.stderr[-4000:]
    assert completed.stderr.decode().strip() == OK
    assert completed.stdout[:2] == b"\xff\xd8" and completed.stdout[-2:] == b"\xff\xd9"
    with Image.open(io.BytesIO(completed.stdout)) as received:
        assert received.size == (64, 48)


def test_fifo_as_output_receives_the_jpeg_in_place(tmp_path: Path) -> None:
    lut = write_cube(tmp_path / "identity.cube")
    image = ppm(tmp_path / "small.ppm", np.full((48, 64, 3), 90, dtype=np.uint8))
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    # Holding the FIFO open for reading lets the module open it for writing at
    # once; a small JPEG fits in the pipe's buffer.
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        assert tonvik.apply_lut(str(lut), str(image), str(fifo)) == OK
        received = b""
        while chunk := os.read(reader, 1 << 16):
            received += chunk
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(fifo.lstat().st_mode)
    assert sorted(os.listdir(tmp_path)) == ["identity.cube", "out.fifo", "small.ppm"]
    with Image.open(io.BytesIO(received)) as picture:
        assert picture.size == (64, 48)


def test_setuid_and_setgid_are_dropped_from_a_replaced_file(tmp_path: Path) -> None:
    lut = write_cube(tmp_path / "identity.cube")
    image = ppm(tmp_path / "small.ppm", np.full((8, 8, 3), 90, dtype=np.uint8))
    output = tmp_path / "out.jpg"
    output.write_bytes(OLD_CONTENTS)
    output.chmod(0o6755)
    assert tonvik.apply_lut(str(lut), str(image), str(output)) == OK
    assert stat.S_IMODE(output.stat().st_mode) == 0o755


def test_largest_side_written_is_65500(tmp_path: Path) -> None:
    lut = write_cube(tmp_path / "identity.cube")
    image = ppm(tmp_path / "wide.ppm", np.full((1, 65500, 3), 90, dtype=np.uint8))
    output = tmp_path / "wide.jpg"
    assert tonvik.apply_lut(str(lut), str(image), str(output)) == OK
    with Image.open(output) as written:
        assert written.size == (65500, 1)
