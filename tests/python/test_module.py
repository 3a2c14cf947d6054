"""The module object: attributes, the function's signature, once-per-process
initialisation and the type stubs."""

import importlib.util
import inspect
import pathlib
import subprocess
import sys
import textwrap
import types

import pytest
import tonvik
from support import run_python

IMPORT_TWICE = "PyO3 modules may only be initialized once per interpreter process"


class TestModuleAttributes:
    def test_all_lists_apply_lut_alone(self):
        assert tonvik.__all__ == ["apply_lut"]
        assert type(tonvik.__all__) is list

    def test_module_docstring(self):
        assert tonvik.__doc__ == "A Python module implemented in C++."

    def test_module_name(self):
        assert tonvik.__name__ == "tonvik"

    def test_star_import_gives_apply_lut_only(self):
        namespace: dict[str, object] = {}
        exec("from tonvik import *", namespace)
        assert sorted(k for k in namespace if not k.startswith("__")) == ["apply_lut"]


class TestFunctionAttributes:
    @pytest.mark.parametrize(
        ("attribute", "expected"),
        [
            ("__name__", "apply_lut"),
            ("__qualname__", "apply_lut"),
            ("__module__", "tonvik"),
            ("__doc__", "Formats the sum of two numbers as string."),
            ("__text_signature__", "(lut_path, image_path, output_path)"),
        ],
    )
    def test_attribute(self, attribute, expected):
        assert getattr(tonvik.apply_lut, attribute) == expected

    def test_is_a_builtin_bound_to_the_module(self):
        assert isinstance(tonvik.apply_lut, types.BuiltinFunctionType)
        assert tonvik.apply_lut.__self__ is tonvik

    def test_signature_has_three_required_parameters(self):
        parameters = inspect.signature(tonvik.apply_lut).parameters
        assert list(parameters) == ["lut_path", "image_path", "output_path"]
        for parameter in parameters.values():
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert parameter.default is inspect.Parameter.empty


class TestOncePerProcess:
    def test_reimport_after_removal_raises_import_error(self):
        code = textwrap.dedent(
            """
            import sys
            import tonvik
            first = tonvik
            del sys.modules["tonvik"]
            try:
                import tonvik
            except ImportError as error:
                print(type(error).__name__, error, sep=": ")
            else:
                print("imported again")
            # The first module keeps working.
            print(first.__all__)
            """
        )
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [f"ImportError: {IMPORT_TWICE}", "['apply_lut']"]

    def test_every_later_attempt_fails_too(self):
        code = textwrap.dedent(
            """
            import importlib, sys
            import tonvik
            for _ in range(3):
                sys.modules.pop("tonvik", None)
                try:
                    importlib.import_module("tonvik")
                except ImportError as error:
                    print(error)
            """
        )
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [IMPORT_TWICE] * 3


def _installed_stub() -> pathlib.Path | None:
    found = importlib.util.find_spec("tonvik")
    assert found is not None and found.origin is not None
    stub = pathlib.Path(found.origin).parent / "tonvik-stubs" / "__init__.pyi"
    return stub if stub.is_file() else None


class TestTypeStubs:
    @pytest.fixture
    def mypy_check(self, tmp_path):
        pytest.importorskip("mypy")
        if _installed_stub() is None:
            if "site-packages" in (tonvik.__file__ or ""):
                pytest.fail("tonvik is installed without its tonvik-stubs package")
            pytest.skip("tonvik runs from a build tree, not an installed wheel")

        def check(source: str) -> subprocess.CompletedProcess[str]:
            program = tmp_path / "program.py"
            program.write_text(textwrap.dedent(source))
            return subprocess.run(
                [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(program)],
                capture_output=True,
                text=True,
                cwd=tmp_path,
                check=False,
            )

        return check

    def test_stub_matches_the_module(self):
        stub = _installed_stub()
        if stub is None:
            pytest.skip("tonvik-stubs is not installed next to the module")
        text = stub.read_text()
        assert 'def apply_lut(lut_path: str, image_path: str, output_path: str) -> str:' in text
        assert '__all__ = ["apply_lut"]' in text
        # Editors show the stub's docstring: it must name every status a caller handles.
        for status in ("success:ok", "error:image_not_found", "error:image_too_large",
                       "error:output_not_written"):
            assert f'"{status}"' in text

    def test_mypy_accepts_correct_use(self, mypy_check):
        result = mypy_check(
            """
            import tonvik
            status: str = tonvik.apply_lut("a.cube", "in.png", output_path="out.jpg")
            """
        )
        assert result.returncode == 0, result.stdout

    def test_mypy_rejects_a_path_object(self, mypy_check):
        result = mypy_check(
            """
            import pathlib
            import tonvik
            tonvik.apply_lut(pathlib.Path("a.cube"), "in.png", "out.jpg")
            """
        )
        assert result.returncode == 1
        assert 'Argument 1 to "apply_lut" has incompatible type "Path"' in result.stdout
