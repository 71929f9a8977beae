"""The module frame: import, registration, class properties, PanicException."""

import gc
import importlib
import inspect
import pathlib
import shutil
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import lamina


def make_datapy():
    return lamina.DataPy(np.array([]), np.array([[1.0 + 0j], [1.5 + 0j]]), np.array([500.0]), 0.0, 0.0)


def panic():
    """A PanicException raised by the module (a 1-D n)."""
    with pytest.raises(BaseException) as info:
        lamina.DataPy(np.array([]), np.array([1 + 0j]), np.array([]), 0.0, 0.0)
    return info.value


def run_python(code, *flags):
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_module_exports_exactly_the_two_classes():
    assert lamina.__all__ == ["DataPy", "Simulation"]
    assert all(type(name) is str for name in lamina.__all__)
    assert {name for name in vars(lamina) if not name.startswith("__")} == {"DataPy", "Simulation"}
    assert isinstance(lamina.__doc__, str) and lamina.__doc__


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_shared_object_exports_only_its_init_function():
    listing = subprocess.run(["nm", "-D", "--defined-only", lamina.__file__], capture_output=True, text=True)
    assert [line.split()[-1] for line in listing.stdout.splitlines()] == ["PyInit_lamina"]


@pytest.mark.parametrize("name", ["DataPy", "Simulation"])
def test_class_identity(name):
    cls = getattr(lamina, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_docstrings_and_signatures():
    assert lamina.DataPy.__doc__ == ""
    assert lamina.DataPy.__text_signature__ == "(d, n, wl, theta, phi)"
    assert list(inspect.signature(lamina.DataPy).parameters) == ["d", "n", "wl", "theta", "phi"]
    assert lamina.Simulation.__doc__ is None
    assert lamina.Simulation.__text_signature__ is None
    simulate = lamina.DataPy.simulate
    assert simulate.__doc__ is None
    assert simulate.__text_signature__ == "($self)"
    assert list(inspect.signature(simulate).parameters) == ["self"]


@pytest.mark.parametrize(
    "name, attributes",
    [("DataPy", ["d", "n", "wl", "theta", "phi"]), ("Simulation", ["t", "r"])],
)
def test_read_only_attributes(name, attributes):
    data = make_datapy()
    instance = data if name == "DataPy" else data.simulate()
    cls = type(instance)
    for attribute in attributes:
        descriptor = vars(cls)[attribute]
        assert type(descriptor).__name__ == "getset_descriptor"
        assert descriptor.__doc__ == ""
        with pytest.raises(AttributeError):
            setattr(instance, attribute, getattr(instance, attribute))
        with pytest.raises(AttributeError):
            delattr(instance, attribute)
    with pytest.raises(AttributeError):
        instance.extra = 1
    assert not hasattr(instance, "__dict__")
    assert cls.__itemsize__ == 0
    assert not gc.is_tracked(instance)
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize(
    "call",
    [
        lambda: lamina.Simulation(),
        lambda: lamina.Simulation(1, key=2),
        lambda: lamina.Simulation.__new__(lamina.Simulation),
    ],
)
def test_simulation_cannot_be_constructed(call):
    with pytest.raises(TypeError, match=r"^No constructor defined for Simulation$"):
        call()


def test_init_is_inert():
    data = make_datapy()
    data.__init__(1, 2, three=3)
    assert data.wl.tolist() == [500.0]


def test_panic_exception_type(capfd):
    first, second = panic(), panic()
    kind = type(first)
    assert type(second) is kind
    assert kind.__name__ == "PanicException"
    assert kind.__module__ != "lamina"
    assert f"{kind.__module__}.{kind.__qualname__}".endswith(".PanicException")
    assert kind.__bases__ == (BaseException,)
    assert not issubclass(kind, Exception)
    assert kind.__doc__
    assert not hasattr(lamina, "PanicException")
    message = "Failed to convert n to 2D array: ShapeError/IncompatibleShape: incompatible shapes"
    assert first.args == (message,)
    assert message in capfd.readouterr().err


def test_panic_escapes_except_exception():
    with pytest.raises(BaseException) as info:
        try:
            lamina.DataPy(np.array([]), np.zeros((2, 2, 2), complex), np.array([]), 0, 0)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value).__name__ == "PanicException"


def test_reimport_returns_the_same_module():
    module = sys.modules.pop("lamina")
    try:
        again = importlib.import_module("lamina")
        assert again is module
        assert again.DataPy is module.DataPy and again.Simulation is module.Simulation
        assert again.__all__ == ["DataPy", "Simulation"]
    finally:
        sys.modules["lamina"] = module


SUBINTERPRETER = """
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        raise SystemExit(77)
import sys
sys.path[:0] = {path!r}

SUB = '''
import sys
sys.path[:0] = {path!r}
try:
    import lamina
    print("sub: ok", flush=True)
except ImportError as error:
    print("sub: ImportError:", error, flush=True)
'''

def import_in_sub():
    interpreters.run_string(interpreters.create(), SUB)

def import_in_main():
    try:
        import lamina
        print("main: ok", flush=True)
    except ImportError as error:
        print("main: ImportError:", error, flush=True)

{order}
"""


@pytest.mark.parametrize(
    "order, expected",
    [
        ("import_in_main(); import_in_sub()", ["main: ok", "sub: ImportError"]),
        ("import_in_sub(); import_in_main()", ["sub: ok", "main: ImportError"]),
    ],
)
def test_second_interpreter_is_refused(order, expected):
    path = [str(pathlib.Path(lamina.__file__).parent), str(pathlib.Path(np.__file__).parent.parent)]
    result = run_python(SUBINTERPRETER.format(path=path, order=order))
    if result.returncode == 77:
        pytest.skip("no sub-interpreter support in this Python")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if "does not support loading in subinterpreters" in result.stdout:
        pytest.skip("this Python refuses single-phase modules in sub-interpreters itself")
    assert len(lines) == len(expected)
    assert all(line.startswith(prefix) for line, prefix in zip(lines, expected)), lines
    assert "sub-interpreters" in result.stdout


def test_import_without_numpy(tmp_path):
    """The module imports without NumPy; each array use then fails, until NumPy appears."""
    shutil.copy(lamina.__file__, tmp_path)
    engine = pathlib.Path(lamina.__file__).parent / "lamina.libs"  # the shared engine it loads
    if engine.is_dir():
        shutil.copytree(engine, tmp_path / engine.name)
    site = str(pathlib.Path(np.__file__).parent.parent)
    code = f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import lamina
        assert "numpy" not in sys.modules
        for attempt in range(2):
            try:
                lamina.DataPy([], [], [], 0.0, 0.0)
            except BaseException as error:
                print(type(error).__name__, "|", error)
        sys.path.append({site!r})
        import numpy as np
        data = lamina.DataPy(np.zeros(1), np.ones((2, 1), complex), np.ones(1), 0.5, 0.0)
        print("bound", data.theta)
    """
    result = run_python(code, "-I", "-S")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    for line in lines[:2]:
        kind, message = line.split(" | ")
        assert kind == "PanicException"
        assert message.startswith("Failed to access NumPy array API capsule: ")
        assert "numpy" in message
    assert lines[2] == "bound 0.5"
