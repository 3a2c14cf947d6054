"""Binding and conversion of apply_lut's arguments: every message, and the
order in which the checks run. None of these calls may reach the engine, so
their LUT path names a missing file: reaching the engine would raise
FileNotFoundError instead of the expected error."""

import ctypes
import pathlib
import re
import sys

import pytest
import tonvik

L, I, O = "lut.cube", "in.png", "out.jpg"


def call(*args, **kwargs):
    return tonvik.apply_lut(*args, **kwargs)


class TestBinding:
    @pytest.mark.parametrize(
        ("args", "kwargs", "message"),
        [
            pytest.param(
                (), {},
                "apply_lut() missing 3 required positional arguments: "
                "'lut_path', 'image_path', and 'output_path'",
                id="none",
            ),
            pytest.param(
                (L,), {},
                "apply_lut() missing 2 required positional arguments: 'image_path' and 'output_path'",
                id="one-positional",
            ),
            pytest.param(
                (L,), {"output_path": O},
                "apply_lut() missing 1 required positional argument: 'image_path'",
                id="middle-missing",
            ),
            pytest.param(
                (), {"image_path": I},
                "apply_lut() missing 2 required positional arguments: 'lut_path' and 'output_path'",
                id="outer-two-missing",
            ),
            pytest.param(
                (L, I), {},
                "apply_lut() missing 1 required positional argument: 'output_path'",
                id="last-missing",
            ),
            pytest.param(
                (L, I, O, "x"), {},
                "apply_lut() takes 3 positional arguments but 4 were given",
                id="four-positional",
            ),
            pytest.param(
                (L, I, O, "x", "y"), {"foo": 1},
                "apply_lut() takes 3 positional arguments but 5 were given",
                id="too-many-before-unknown-keyword",
            ),
            pytest.param(
                (L, I, O, "x"), {"lut_path": L},
                "apply_lut() takes 3 positional arguments but 4 were given",
                id="too-many-before-multiple-values",
            ),
            pytest.param(
                (L, I, O), {"lut_path": "x"},
                "apply_lut() got multiple values for argument 'lut_path'",
                id="multiple-values",
            ),
            pytest.param(
                (L, I), {"image_path": "x"},
                "apply_lut() got multiple values for argument 'image_path'",
                id="multiple-values-second",
            ),
            pytest.param(
                (L,), {"foo": 1},
                "apply_lut() got an unexpected keyword argument 'foo'",
                id="unknown-keyword-before-missing",
            ),
            pytest.param(
                (L, I, O), {"foo": 1},
                "apply_lut() got an unexpected keyword argument 'foo'",
                id="unknown-keyword",
            ),
            pytest.param(
                (), {"LUT_PATH": L, "image_path": I, "output_path": O},
                "apply_lut() got an unexpected keyword argument 'LUT_PATH'",
                id="keyword-case-matters",
            ),
            pytest.param(
                (L,), {"foo": 1, "lut_path": "x"},
                "apply_lut() got an unexpected keyword argument 'foo'",
                id="keywords-in-call-order-unknown-first",
            ),
            pytest.param(
                (L,), {"lut_path": "x", "foo": 1},
                "apply_lut() got multiple values for argument 'lut_path'",
                id="keywords-in-call-order-duplicate-first",
            ),
            pytest.param(
                (L,), {"lut_path\0": 1},
                "apply_lut() got an unexpected keyword argument 'lut_path\0'",
                id="keyword-compared-by-full-length",
            ),
            pytest.param(
                (None,), {"foo": 1},
                "apply_lut() got an unexpected keyword argument 'foo'",
                id="binding-before-conversion",
            ),
            pytest.param(
                (None, 1), {},
                "apply_lut() missing 1 required positional argument: 'output_path'",
                id="missing-before-conversion",
            ),
        ],
    )
    def test_type_error_message(self, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            call(*args, **kwargs)
        assert type(caught.value) is TypeError
        assert str(caught.value) == message

    def test_keyword_with_lone_surrogate_is_unknown(self):
        with pytest.raises(TypeError) as caught:
            call(L, I, O, **{"lut_\ud800": 1})
        assert caught.value.args == ("apply_lut() got an unexpected keyword argument 'lut_\ud800'",)


class TestKeywordsReachTheirParameters:
    """The LUT path is the only argument whose value shows in the engine's
    error, so each case puts the missing file into lut_path by some route."""

    @pytest.mark.parametrize(
        "bind",
        [
            pytest.param(lambda l: call(l, I, O), id="positional"),
            pytest.param(lambda l: call(output_path=O, lut_path=l, image_path=I), id="any-order"),
            pytest.param(lambda l: call(l, output_path=O, image_path=I), id="mixed"),
            pytest.param(
                lambda l: call(**{"".join(["lut", "_path"]): l, "image_path": I, "output_path": O}),
                id="name-not-interned",
            ),
        ],
    )
    def test_lut_path_is_bound(self, bind, missing_lut):
        with pytest.raises(FileNotFoundError) as caught:
            bind(missing_lut)
        assert caught.value.filename == missing_lut


class TestConversion:
    @pytest.mark.parametrize(
        ("args", "message"),
        [
            ((None, 1, b"x"), "argument 'lut_path': 'NoneType' object cannot be converted to 'PyString'"),
            ((L, b"in.png", O), "argument 'image_path': 'bytes' object cannot be converted to 'PyString'"),
            ((L, I, 3), "argument 'output_path': 'int' object cannot be converted to 'PyString'"),
            ((L, I, bytearray(b"o")), "argument 'output_path': 'bytearray' object cannot be converted to 'PyString'"),
        ],
    )
    def test_non_str_is_refused_first_one_in_parameter_order(self, args, message):
        with pytest.raises(TypeError) as caught:
            call(*args)
        assert type(caught.value) is TypeError
        assert str(caught.value) == message
        assert caught.value.__cause__ is None

    def test_path_object_is_refused_with_its_qualname(self):
        path = pathlib.Path(L)
        with pytest.raises(TypeError) as caught:
            call(path, I, O)
        assert str(caught.value) == (
            f"argument 'lut_path': '{type(path).__qualname__}' object cannot be converted to 'PyString'"
        )

    def test_nested_class_is_named_by_qualname(self):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError, match=re.escape(
            "argument 'image_path': 'TestConversion.test_nested_class_is_named_by_qualname"
            ".<locals>.Outer.Inner' object cannot be converted to 'PyString'"
        )):
            call(L, Outer.Inner(), O)

    @staticmethod
    def type_whose_qualname_raises(error: BaseException) -> type:
        class Meta(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    raise error
                return super().__getattribute__(name)

        class Odd(metaclass=Meta):
            pass

        return Odd

    @pytest.mark.parametrize("error", [RuntimeError("no name"), AttributeError("__qualname__")])
    def test_unreadable_qualname_has_a_stand_in(self, error):
        with pytest.raises(TypeError) as caught:
            call(self.type_whose_qualname_raises(error)(), I, O)
        assert str(caught.value) == (
            "argument 'lut_path': '<failed to extract type name>' object cannot be converted to 'PyString'"
        )

    @pytest.mark.parametrize("error", [MemoryError(), KeyboardInterrupt(), SystemExit(3)])
    def test_qualname_error_that_is_no_ordinary_failure_is_never_swallowed(self, error):
        with pytest.raises(type(error)) as caught:
            call(self.type_whose_qualname_raises(error)(), I, O)
        assert caught.value is error

    def test_str_subclass_is_accepted(self, missing_lut):
        class Path(str):
            pass

        with pytest.raises(FileNotFoundError) as caught:
            call(Path(missing_lut), Path(I), Path(O))
        assert str(caught.value).count(f"failed to open the file: {missing_lut}") == 1

    @pytest.mark.parametrize("position", [0, 1, 2])
    def test_lone_surrogate_raises_the_interpreters_encode_error(self, position, missing_lut, output_path):
        args = [missing_lut, I, str(output_path)]
        args[position] = args[position] + "\udc80"
        with pytest.raises(UnicodeEncodeError) as caught:
            call(*args)
        assert caught.value.encoding == "utf-8"
        assert caught.value.object == args[position]
        assert "surrogates not allowed" in str(caught.value)
        assert not str(caught.value).startswith("argument")
        assert not output_path.exists()

    @pytest.mark.parametrize(
        ("args", "message"),
        [
            (("a\0b", None, 1), "argument 'lut_path': embedded null byte"),
            (("\0", I, O), "argument 'lut_path': embedded null byte"),
            ((L, "in.png\0.cube", "\0"), "argument 'image_path': embedded null byte"),
            ((L, I, "out\0"), "argument 'output_path': embedded null byte"),
            ((L, "\0", None), "argument 'image_path': embedded null byte"),
            ((L, None, "\0"), "argument 'image_path': 'NoneType' object cannot be converted to 'PyString'"),
            ((L, "\0\udc80", O), "'utf-8' codec can't encode character '\\udc80' in position 1: surrogates not allowed"),
        ],
    )
    def test_conversion_errors_come_in_parameter_order(self, args, message, missing_lut):
        args = tuple(missing_lut if a == L else a for a in args)
        with pytest.raises((TypeError, ValueError)) as caught:
            call(*args)
        assert str(caught.value) == message

    def test_embedded_nul_is_a_value_error_and_touches_nothing(self, tmp_path, output_path):
        with pytest.raises(ValueError) as caught:
            call(str(tmp_path / "missing.cube"), I, str(output_path) + "\0.png")
        assert type(caught.value) is ValueError
        assert not output_path.exists()
        assert list(tmp_path.iterdir()) == []

    def test_argument_objects_are_not_leaked(self, missing_lut):
        lut = "".join([missing_lut])  # a fresh object, referenced here only
        before = sys.getrefcount(lut)
        for _ in range(50):
            with pytest.raises(FileNotFoundError):
                call(lut, I, O)
            with pytest.raises(TypeError):
                call(lut, I, None)
        assert sys.getrefcount(lut) == before


def vectorcall(args, kwnames):
    """Calls apply_lut the way C code may, with any keyword-name tuple."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    api.restype = ctypes.py_object
    values = (ctypes.py_object * len(args))(*args)
    return api(tonvik.apply_lut, values, len(args) - len(kwnames), kwnames)


class TestKeywordNamesFromC:
    def test_non_str_name_is_refused_with_its_qualname(self):
        with pytest.raises(TypeError) as caught:
            vectorcall([L, I, O], (1,))
        assert str(caught.value) == "'int' object cannot be converted to 'PyString'"

    def test_name_given_twice_is_multiple_values(self):
        with pytest.raises(TypeError) as caught:
            vectorcall([L, I, O, "x"], ("output_path",) * 2)
        assert str(caught.value) == "apply_lut() got multiple values for argument 'output_path'"

    def test_not_interned_name_binds_by_value(self, missing_lut):
        name = "".join(["lut", "_path"])
        assert sys.intern(name) is not name
        with pytest.raises(FileNotFoundError):
            vectorcall([I, O, missing_lut], ("image_path", "output_path", name))
