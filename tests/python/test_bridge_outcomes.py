"""What the caller sees for each answer of the engine bridge.

The bridge's three entry points are replaced, in a child interpreter, by a
small scripted library loaded with LD_PRELOAD: it records the strings it is
handed and answers with the outcome, errno and result bytes a test sets. So
every failure the engine can report, and the faults it should never produce,
are reached through the real module without touching the engine."""

import json
import os
import shutil
import subprocess
import sys

import pytest
import tonvik

# The result string's layout, in field order: data, capacity, length (pinned by
# static_asserts beside BridgeString in src/bridge/bridge_string.hpp). A
# capacity of 0 means the string owns no buffer, so the module's release of the
# result leaves the shim's static bytes alone.
SHIM_SOURCE = r"""
#include <stdint.h>
#include <string.h>

struct bridge_string { char* data; uint64_t capacity; uint64_t length; };

int32_t shim_client_outcome = 0;
int shim_null_client = 0;
int32_t shim_apply_outcome = 0;
int32_t shim_os_error = 0;
char shim_result[256];
uint64_t shim_result_length = 0;

int shim_clients_created = 0;
int shim_clients_dropped = 0;
int shim_applies = 0;
char shim_arguments[3][256];
uint64_t shim_argument_lengths[3];

static char client_token;

int32_t tonvik_bridge_client_new(void** client) {
  ++shim_clients_created;
  if (shim_client_outcome != 0) return shim_client_outcome;
  *client = shim_null_client ? NULL : &client_token;
  return 0;
}

int32_t tonvik_bridge_apply_lut(const void* client, struct bridge_string* lut,
                                struct bridge_string* image, struct bridge_string* output,
                                void* result_storage, int32_t* os_error) {
  struct bridge_string* in[3] = {lut, image, output};
  struct bridge_string* result = (struct bridge_string*)result_storage;
  (void)client;
  ++shim_applies;
  for (int i = 0; i < 3; ++i) {
    uint64_t n = in[i]->length < 255 ? in[i]->length : 255;
    if (n) memcpy(shim_arguments[i], in[i]->data, n);
    shim_argument_lengths[i] = in[i]->length;
  }
  result->data = shim_result_length ? shim_result : NULL;
  result->capacity = 0;
  result->length = shim_result_length;
  *os_error = shim_os_error;
  return shim_apply_outcome;
}

void tonvik_bridge_client_drop(void** client) {
  if (*client) ++shim_clients_dropped;
  *client = NULL;
}
"""

# Runs every scenario in one child and prints one JSON record per scenario.
DRIVER = r"""
import ctypes, json, os, sys
import tonvik

shim = ctypes.CDLL(os.environ["SHIM_PATH"])
def var(kind, name):
    return kind.in_dll(shim, name)

def run(scenario):
    var(ctypes.c_int32, "shim_client_outcome").value = scenario.get("client_outcome", 0)
    var(ctypes.c_int, "shim_null_client").value = scenario.get("null_client", 0)
    var(ctypes.c_int32, "shim_apply_outcome").value = scenario.get("outcome", 0)
    var(ctypes.c_int32, "shim_os_error").value = scenario.get("os_error", 0)
    result = bytes.fromhex(scenario.get("result", ""))
    ctypes.memmove(ctypes.addressof(var(ctypes.c_char * 256, "shim_result")), result, len(result))
    var(ctypes.c_uint64, "shim_result_length").value = len(result)
    for name in ("shim_clients_created", "shim_clients_dropped", "shim_applies"):
        var(ctypes.c_int, name).value = 0
    record = {"name": scenario["name"]}
    try:
        try:
            value = tonvik.apply_lut(*scenario["args"])
            record["returned"] = value
            record["returned_type"] = type(value).__name__
        except Exception as error:
            record["caught_by"] = "Exception"
            raise
    except BaseException as error:
        kind = type(error)
        record.update(
            error_type=kind.__name__,
            error_module=kind.__module__,
            error_args=[str(a) if not isinstance(a, int) else a for a in error.args],
            error_str=str(error),
            is_exception=isinstance(error, Exception),
            bases=[base.__name__ for base in kind.__bases__],
            filename=getattr(error, "filename", None),
            errno=getattr(error, "errno", None),
            type_id=id(kind),
            type_doc=kind.__doc__,
        )
    lengths = (ctypes.c_uint64 * 3).in_dll(shim, "shim_argument_lengths")
    arguments = (ctypes.c_char * 256 * 3).in_dll(shim, "shim_arguments")
    record["bridge_arguments"] = [bytes(arguments[i])[: lengths[i]].hex() for i in range(3)]
    for name in ("shim_clients_created", "shim_clients_dropped", "shim_applies"):
        record[name] = var(ctypes.c_int, name).value
    print(json.dumps(record), flush=True)

for scenario in json.loads(sys.stdin.read()):
    run(scenario)
"""

OK, LUT_UNOPENABLE, INVALID_INPUT, OUT_OF_MEMORY, INTERNAL_ERROR = range(5)
ARGS = ["lut.cube", "in.png", "out.jpg"]

SCENARIOS = [
    {"name": "success", "result": b"success:ok".hex()},
    {"name": "image-not-found", "result": b"error:image_not_found".hex()},
    {"name": "text-is-passed-exactly", "result": b"success:ok".hex(),
     "args": ["L\u00fct \u2603.cube", "in\U0001f600.png", "o"]},
    {"name": "result-not-utf8", "result": b"success:\xff".hex()},
    {"name": "null-client", "null_client": 1},
    {"name": "null-client-again", "null_client": 1},
    {"name": "client-out-of-memory", "client_outcome": OUT_OF_MEMORY},
    {"name": "missing-lut", "outcome": LUT_UNOPENABLE, "os_error": 2,
     "result": b"failed to open the file: lut.cube".hex()},
    {"name": "lut-permission", "outcome": LUT_UNOPENABLE, "os_error": 13,
     "result": b"failed to open the file: lut.cube".hex()},
    {"name": "lut-is-directory", "outcome": LUT_UNOPENABLE, "os_error": 21,
     "result": b"failed to open the file: lut.cube".hex()},
    {"name": "lut-unopenable-without-errno", "outcome": LUT_UNOPENABLE,
     "result": b"failed to open the file: lut.cube".hex()},
    {"name": "invalid-input", "outcome": INVALID_INPUT,
     "result": b"[lut.exception.parse_error.101] bad data line".hex()},
    {"name": "out-of-memory", "outcome": OUT_OF_MEMORY, "result": b"std::bad_alloc".hex()},
    {"name": "internal-error-not-utf8", "outcome": INTERNAL_ERROR, "result": b"bad \xff\xfe end".hex()},
    {"name": "internal-error-empty", "outcome": INTERNAL_ERROR},
    {"name": "unknown-outcome", "outcome": 99},
    {"name": "argument-error", "args": ["lut.cube", None, "out.jpg"], "result": b"success:ok".hex()},
]


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None or not sys.platform.startswith("linux"):
        pytest.skip("needs a C compiler and LD_PRELOAD")
    shim = tmp_path_factory.mktemp("shim") / "bridge_shim.so"
    source = shim.with_suffix(".c")
    source.write_text(SHIM_SOURCE)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(shim), str(source)], check=True)

    for scenario in SCENARIOS:
        scenario.setdefault("args", ARGS)
    preload = " ".join(p for p in (os.environ.get("LD_PRELOAD", ""), str(shim)) if p)
    # The shim never frees the argument strings it is handed.
    env = {"LD_PRELOAD": preload, "SHIM_PATH": str(shim), "ASAN_OPTIONS": "detect_leaks=0"}
    child = subprocess.run(
        [sys.executable, "-c", DRIVER], input=json.dumps(SCENARIOS), capture_output=True,
        text=True, env={**os.environ, **env}, timeout=120, check=False,
    )
    assert child.returncode == 0, child.stderr
    records = {r["name"]: r for r in map(json.loads, child.stdout.splitlines())}
    if records["success"]["shim_applies"] != 1:
        pytest.fail("the bridge entry points were not replaced: is the module linked -Bsymbolic?")
    return records, child.stderr


class TestResults:
    @pytest.mark.parametrize(
        ("name", "status"), [("success", "success:ok"), ("image-not-found", "error:image_not_found")]
    )
    def test_status_string_is_returned_as_str(self, outcomes, name, status):
        record = outcomes[0][name]
        assert record["returned"] == status
        assert record["returned_type"] == "str"
        assert (record["shim_clients_created"], record["shim_applies"], record["shim_clients_dropped"]) == (1, 1, 1)

    def test_paths_reach_the_bridge_as_exact_utf8_in_order(self, outcomes):
        record = outcomes[0]["text-is-passed-exactly"]
        expected = ["L\u00fct \u2603.cube", "in\U0001f600.png", "o"]
        assert record["bridge_arguments"] == [a.encode().hex() for a in expected]

    def test_argument_error_creates_no_client(self, outcomes):
        record = outcomes[0]["argument-error"]
        assert record["error_type"] == "TypeError"
        assert (record["shim_clients_created"], record["shim_applies"]) == (0, 0)


class TestEngineErrors:
    @pytest.mark.parametrize(
        ("name", "error_type", "errno"),
        [
            ("missing-lut", "FileNotFoundError", 2),
            ("lut-permission", "PermissionError", 13),
            ("lut-is-directory", "IsADirectoryError", 21),
            ("lut-unopenable-without-errno", "OSError", 0),
        ],
    )
    def test_unopenable_lut_is_an_os_error_chosen_by_errno(self, outcomes, name, error_type, errno):
        record = outcomes[0][name]
        assert record["error_type"] == error_type
        assert record["errno"] == errno
        assert record["filename"] == "lut.cube"
        assert "failed to open the file: lut.cube" in record["error_str"]
        assert record["shim_clients_dropped"] == 1

    @pytest.mark.parametrize(
        ("name", "error_type", "args"),
        [
            ("invalid-input", "ValueError", ["[lut.exception.parse_error.101] bad data line"]),
            ("out-of-memory", "MemoryError", []),
            ("client-out-of-memory", "MemoryError", []),
            ("internal-error-not-utf8", "RuntimeError", ["bad \ufffd\ufffd end"]),
            ("internal-error-empty", "RuntimeError", [""]),
        ],
    )
    def test_engine_failure_is_an_ordinary_exception(self, outcomes, name, error_type, args):
        record = outcomes[0][name]
        assert record["error_type"] == error_type
        assert record["error_args"] == args
        assert record["caught_by"] == "Exception"
        assert record["shim_clients_dropped"] == record["shim_clients_created"] - (name == "client-out-of-memory")

    def test_failed_client_creation_calls_no_apply(self, outcomes):
        assert outcomes[0]["client-out-of-memory"]["shim_applies"] == 0


class TestPanicException:
    @pytest.mark.parametrize(
        ("name", "message"),
        [
            ("null-client", "called deref on a null UniquePtr<BridgeClient>"),
            ("result-not-utf8", "Python API call failed"),
            ("unknown-outcome", "the engine bridge reported an unknown outcome"),
        ],
    )
    def test_fault_raises_panic_exception(self, outcomes, name, message):
        record = outcomes[0][name]
        assert record["error_type"] == "PanicException"
        assert record["error_module"] == "pyo3_runtime"
        assert record["error_args"] == [message]

    def test_panic_is_a_base_exception_but_not_an_exception(self, outcomes):
        record = outcomes[0]["null-client"]
        assert record["bases"] == ["BaseException"]
        assert record["is_exception"] is False
        assert "caught_by" not in record

    def test_panic_type_is_made_once(self, outcomes):
        records = outcomes[0]
        ids = {records[n]["type_id"] for n in ("null-client", "null-client-again", "result-not-utf8")}
        assert len(ids) == 1
        assert "BaseException" in records["null-client"]["type_doc"]

    def test_null_client_calls_no_apply(self, outcomes):
        record = outcomes[0]["null-client"]
        assert (record["shim_clients_created"], record["shim_applies"]) == (1, 0)

    def test_undecodable_result_prints_the_decode_error(self, outcomes):
        assert "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff" in outcomes[1]


class TestThroughTheRealBridge:
    @pytest.mark.parametrize(
        ("make_lut", "error_type"),
        [
            pytest.param(lambda tmp: tmp / "missing.cube", FileNotFoundError, id="missing"),
            pytest.param(lambda tmp: tmp, IsADirectoryError, id="directory"),
        ],
    )
    def test_unopenable_lut(self, tmp_path, make_lut, error_type):
        lut = str(make_lut(tmp_path))
        with pytest.raises(error_type) as caught:
            tonvik.apply_lut(lut, "in.png", str(tmp_path / "out.jpg"))
        assert caught.value.filename == lut
        assert f"failed to open the file: {lut}" in str(caught.value)
        assert not (tmp_path / "out.jpg").exists()
