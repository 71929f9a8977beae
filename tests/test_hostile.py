"""Hostile input: whatever reaches DataPy (any dtype, byte order, dimension count,
layout or subclass, angles whose conversion misbehaves, shapes that do not fit
together), the module raises exactly the exception its interface promises or
returns float64 spectra of the right shape. It never crashes or hangs, and the
caller's arrays are left as they were."""

import array
import faulthandler
import math
import os
import struct
import sys
import warnings
from collections import Counter
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, event, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as npst  # noqa: E402

from lamina import DataPy  # noqa: E402

from helpers import HUGE_ALLOCATION_FAILS  # noqa: E402

EXAMPLES = int(os.environ.get("LAMINA_HYPOTHESIS_EXAMPLES", "300"))
HOSTILE = settings(
    max_examples=EXAMPLES,
    deadline=None,
    # The same examples on every CI run, but for CI's sampled long run, which draws them from
    # the seed it prints (LAMINA_HYPOTHESIS_SEED, given to --hypothesis-seed too).
    derandomize=bool(os.environ.get("CI")) and "LAMINA_HYPOTHESIS_SEED" not in os.environ,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)
TRIED = Counter()

NAMES = ("d", "n", "wl", "theta", "phi")
SHAPE_PANIC = "Failed to convert n to 2D array: ShapeError/IncompatibleShape: incompatible shapes"
OUT_OF_BOUNDS = "ndarray: index out of bounds"
FLOAT64 = np.dtype(np.float64)
COMPLEX128 = np.dtype(np.complex128)


@pytest.fixture(scope="module", autouse=True)
def report_examples(request):
    yield
    plugins = request.config.pluginmanager
    reporter, capture = plugins.get_plugin("terminalreporter"), plugins.get_plugin("capturemanager")
    if reporter is not None and capture is not None and TRIED:
        counts = ", ".join(f"{name} {count}" for name, count in sorted(TRIED.items()))
        with capture.global_and_fixture_disabled():
            reporter.write_line(f"\nhostile input: {sum(TRIED.values())} examples tried ({counts})")


@pytest.fixture(autouse=True)
def watchdog():
    """A hang ends the run with every thread's traceback instead of stalling CI."""
    faulthandler.dump_traceback_later(600, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def true(attribute, value):
    """An ndarray attribute as the C level sees it, whatever a subclass claims."""
    return np.ndarray.__dict__[attribute].__get__(value)


def plain(value):
    """The caller's array as a plain row-major ndarray with the same values."""
    return np.array(np.ndarray.view(value, np.ndarray), order="C")


# ---------------------------------------------------------------- hostile objects


class Tagged(np.ndarray):
    """A subclass that adds nothing."""


class Liar(np.ndarray):
    """A subclass whose Python-level attributes lie; only the C level tells the truth."""

    ndim = property(lambda self: 1)
    shape = property(lambda self: (2,))
    strides = property(lambda self: (8,))
    dtype = property(lambda self: FLOAT64)

    def __len__(self):
        return 2

    def __array__(self, *args, **kwargs):
        raise RuntimeError("read my buffer, not my __array__")

    def __repr__(self):
        return f"Liar({np.ndarray.view(self, np.ndarray)!r})"


class ArrayLike:
    """Looks like an array to NumPy's converters, but is not an ndarray."""

    def __init__(self):
        self.base = np.zeros(3)
        self.__array_interface__ = self.base.__array_interface__

    def __array__(self, *args, **kwargs):
        return np.zeros(3)


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=NamelessMeta):
    pass


class Unprintable:
    def __repr__(self):
        raise RuntimeError("no repr")


class Interrupt(BaseException):
    pass


class TypeErrorSubclass(TypeError):
    pass


class FloatSubclass(float):
    pass


class FloatReturns:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        return self.result

    def __repr__(self):
        return f"FloatReturns({self.result!r})"


class IndexReturns:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        return self.result

    def __repr__(self):
        return f"IndexReturns({self.result!r})"


class Raising:
    """Its conversion raises the same exception instance every time."""

    def __init__(self, error, cause):
        self.error, self.cause = error, cause

    def __repr__(self):
        return f"{type(self).__name__}({type(self.error).__name__}, cause={self.cause!r})"


class FloatRaises(Raising):
    def __float__(self):
        raise self.error from self.cause


class IndexRaises(Raising):
    def __index__(self):
        raise self.error from self.cause


exceptions = st.builds(
    lambda kind, text: kind(text),
    st.sampled_from([TypeError, TypeErrorSubclass, ValueError, OverflowError, ZeroDivisionError, Interrupt]),
    st.text(max_size=6),
) | st.builds(lambda: TypeError(Unprintable(), Unprintable())) | st.builds(TypeError)

angles = st.one_of(
    st.floats(),
    st.integers(min_value=-(2**1100), max_value=2**1100),
    st.booleans(),
    st.sampled_from([
        np.float16(0.5), np.float32("nan"), np.longdouble("1e-4000"), np.int64(-3), np.uint8(7), np.bool_(True),
        np.complex128(1 + 1j), np.datetime64(1, "s"), np.timedelta64(3, "D"), np.array(2.5), np.array([0.5]),
        np.zeros(2), Fraction(1, 3), Decimal("1.5"), Decimal("nan"), Decimal("sNaN"), "0.5", b"1", None, 1j,
        [0.5], (), object(), float, Nameless(),
    ]),
    st.builds(FloatReturns, st.floats() | st.integers() | st.text(max_size=2) | st.none() |
              st.builds(FloatSubclass, st.floats())),
    st.builds(IndexReturns, st.integers(min_value=-(2**1100), max_value=2**1100) | st.floats() | st.booleans()),
    st.builds(FloatRaises, exceptions, st.none() | st.just(KeyError("cause"))),
    st.builds(IndexRaises, exceptions, st.none() | st.just(KeyError("cause"))),
)

non_arrays = st.one_of(
    st.none(), st.floats(), st.integers(), st.text(max_size=3), st.lists(st.floats(), max_size=3),
    st.tuples(st.floats()), st.builds(ArrayLike), st.just(Nameless()),
    st.sampled_from([np.float64(1.0), np.complex128(1j), np.dtype(float), np.ndarray, memoryview(b"12345678")]),
    st.builds(lambda: array.array("d", [1.0, 2.0])),
)

near_misses = st.sampled_from([
    np.dtype("<f8"), np.dtype(">f8"), np.dtype("<c16"), np.dtype(">c16"), np.dtype("f4"), np.dtype("c8"),
    np.dtype(np.longdouble), np.dtype(np.clongdouble), np.dtype("i8"), np.dtype("u8"), np.dtype("M8[ns]"),
    np.dtype("V16"), np.dtype([("re", "f8"), ("im", "f8")]), np.dtype(object),
])
any_dtype = st.one_of(
    near_misses,
    npst.scalar_dtypes(),
    npst.floating_dtypes(endianness="?"),
    npst.complex_number_dtypes(endianness="?"),
    npst.integer_dtypes(endianness="?"),
    npst.nested_dtypes(max_itemsize=48),
)


def dense(dtype, shape):
    if dtype.hasobject:
        return npst.arrays(dtype, shape, elements=st.none() | st.floats() | st.text(max_size=2))
    if dtype.kind == "V" and dtype.fields is None:  # raw bytes
        return npst.arrays(dtype, shape, elements=st.binary(min_size=dtype.itemsize, max_size=dtype.itemsize))
    return npst.arrays(dtype, shape)


class Argument:
    """An array argument and the buffers behind it, to check they stay untouched."""

    def __init__(self, value, owners):
        self.value, self.owners = value, owners

    def snapshot(self):
        view = (true("shape", self.value), true("strides", self.value), true("flags", self.value).writeable) \
            if isinstance(self.value, np.ndarray) else None
        return [np.ndarray.tobytes(owner) for owner in self.owners], view

    def __repr__(self):
        return f"Argument({self.value!r})"


@st.composite
def laid_out(draw, owner, keep_shape):
    """A view of `owner`: any strides, alignment, writability or subclass. With
    `keep_shape` the view has owner's shape, otherwise any basic index applies."""
    owners = [owner]
    base = owner
    if not owner.dtype.hasobject and owner.dtype.itemsize > 1 and draw(st.booleans()):
        buffer = np.zeros(owner.nbytes + 1, np.uint8)
        base = buffer[1:].view(owner.dtype).reshape(owner.shape)
        base[...] = owner
        owners = [buffer]
    view = base
    layout = draw(st.sampled_from(["as is", "reversed", "strided", "fortran", "broadcast", "index"]))
    if layout == "reversed" and view.ndim:
        view = view[(slice(None, None, -1),) * view.ndim]
    elif layout == "strided" and view.ndim:
        wide = np.repeat(view, 2, axis=-1)
        owners.append(wide)
        view = wide[..., ::2]
    elif layout == "fortran" and view.ndim >= 2:
        view = np.asfortranarray(view)
        owners.append(view)
    elif layout == "broadcast" and view.ndim and view.shape[-1]:
        view = np.broadcast_to(view[..., :1], view.shape)
    elif layout == "index" and not keep_shape:
        view = view[draw(npst.basic_indices(view.shape, allow_newaxis=True))]
    if not keep_shape and isinstance(view, np.ndarray) and view.ndim >= 2 and draw(st.booleans()):
        view = view.transpose(draw(st.permutations(range(view.ndim))))
    if isinstance(view, np.ndarray):
        if draw(st.booleans()):
            view = view.view()
            view.flags.writeable = False
        subclass = draw(st.sampled_from([None, Tagged, Liar, np.ma.MaskedArray, np.recarray]))
        if subclass is not None:
            with warnings.catch_warnings():  # a masked view computes a fill value, which may overflow
                warnings.simplefilter("ignore")
                view = view.view(subclass)
    return Argument(view, owners)


@st.composite
def array_arguments(draw, dtypes):
    dtype = draw(dtypes)
    shape = draw(npst.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5))
    return draw(laid_out(draw(dense(dtype, shape)), keep_shape=False))


def many_dimensions():
    """n with more dimensions than NumPy 1.x allows (NumPy 2 takes 64)."""
    values = []
    for dims in (5, 32, 33, 64):
        try:
            values.append(Argument(np.zeros((1,) * dims, complex), []))
        except ValueError:
            pass
    return st.sampled_from(values)


def huge(dtype):
    """A broadcast view far larger than any machine's memory."""
    shapes = [(1 << 44,)] if dtype == FLOAT64 else [(2, 1 << 43), (1 << 22, 1 << 22)]
    return st.sampled_from([Argument(np.broadcast_to(np.zeros((), dtype), shape), []) for shape in shapes])


def argument_for(dtype):
    """Mostly arrays of the right dtype and dimension count (so that some calls get
    through), then any shape, any dtype, no array at all, absurd sizes."""
    dims = 1 if dtype == FLOAT64 else 2
    right_kind = npst.array_shapes(min_dims=dims, max_dims=dims, min_side=0, max_side=6).flatmap(
        lambda shape: dense(dtype, shape)).flatmap(lambda owner: laid_out(owner, True))
    wrong = [
        array_arguments(st.just(dtype)),
        array_arguments(any_dtype),
        non_arrays.map(lambda value: Argument(value, [])),
    ]
    if dtype == COMPLEX128:
        wrong.append(many_dimensions())
    if HUGE_ALLOCATION_FAILS:
        wrong.append(huge(dtype))
    return st.one_of([right_kind] * 5 + [st.one_of(wrong)] * 2)


@st.composite
def call_forms(draw):
    """How many arguments go by position; the rest go by keyword, in any order."""
    positional = draw(st.integers(0, 5))
    return positional, draw(st.permutations(NAMES[positional:]))


# ---------------------------------------------------------------- the promised outcomes


def type_name(value):
    try:
        name = type(value).__qualname__
    except BaseException:
        return "<failed to extract type name>"
    return name if isinstance(name, str) else "<failed to extract type name>"


def accepted(value, dtype, vector):
    if not isinstance(value, np.ndarray):
        return False
    return (not vector or true("ndim", value) == 1) and true("dtype", value) == dtype


def converted(value):
    """The interpreter's float conversion (PyFloat_AsDouble) of `value`."""
    try:
        return math.ldexp(value, 0), None
    except BaseException as error:  # noqa: B036 - whatever __float__ raised
        return None, error


def promised(values):
    """What DataPy(*values) must do: ("ok", theta, phi) or (exception class, message, extra)."""
    d, n, wl, theta, phi = values
    for name, value, dtype, vector in (("d", d, FLOAT64, True), ("n", n, COMPLEX128, False),
                                       ("wl", wl, FLOAT64, True)):
        if not accepted(value, dtype, vector):
            return TypeError, f"argument '{name}': '{type_name(value)}' object cannot be converted to 'PyArray<T, D>'", None
    angles = []
    for name, value in (("theta", theta), ("phi", phi)):
        number, error = converted(value)
        if error is None:
            angles.append(number)
        elif type(error) is TypeError:
            try:
                text = str(error)
            except BaseException:
                text = None  # the message then says only that str() failed
            return TypeError, None if text is None else f"argument '{name}': {text}", error
        else:
            return type(error), str(error), error
    if true("ndim", n) != 2:
        return BaseException, SHAPE_PANIC, None
    if max(true("nbytes", value) for value in (d, n, wl)) >= 1 << 40:
        return MemoryError, None, None
    return "ok", *angles


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def construct(values, form):
    positional, keyword_order = form
    by_name = dict(zip(NAMES, values))
    return DataPy(*values[:positional], **{name: by_name[name] for name in keyword_order})


def fresh(argument):
    value = argument.value if isinstance(argument, Argument) else argument
    return np.ndarray.view(value, type(value)) if isinstance(value, np.ndarray) else value


def release_tracebacks(values):
    """A stored exception, once raised, holds the frames it passed through."""
    for value in values:
        if isinstance(value, Raising):
            value.error.__traceback__ = None


def check_construction(arguments, form):
    """Constructs DataPy from the arguments; checks the outcome against the promise
    and the caller's arrays against their snapshots. Returns the object or None."""
    # Arrays go in as fresh views that only this frame holds, so their reference
    # counts tell whether DataPy kept one.
    values = [fresh(argument) for argument in arguments]
    expected = promised(values)
    release_tracebacks(values)
    before = [argument.snapshot() for argument in arguments if isinstance(argument, Argument)]
    arrays = [value for value in values[:3] if isinstance(value, np.ndarray)]
    references = [sys.getrefcount(value) for value in arrays]
    data = error = None
    try:
        data = construct(values, form)
    except BaseException as raised:  # noqa: B036
        error = raised
    kind, message, original = expected
    event(f"construction: {kind if isinstance(kind, str) else kind.__name__}")
    if kind == "ok":
        assert error is None, f"expected success, got {error!r}"
        assert same_float(data.theta, message) and same_float(data.phi, original)
        check_getters(data, values)
    elif kind is BaseException:
        assert type(error).__name__ == "PanicException" and str(error) == message, repr(error)
    elif kind is TypeError and (original is None or type(original) is TypeError):
        assert type(error) is TypeError, repr(error)
        if message is None:
            assert str(error).startswith(("argument 'theta': ", "argument 'phi': ")), str(error)
        else:
            assert str(error) == message
        if original is not None:
            assert error.__cause__ is original.__cause__
    elif kind is MemoryError:
        assert type(error) is MemoryError, repr(error)
    else:  # the conversion's own exception, passed through unchanged
        assert error is original or (type(error) is kind and str(error) == message), repr(error)
    del error, original
    release_tracebacks(values)
    after = [argument.snapshot() for argument in arguments if isinstance(argument, Argument)]
    assert after == before, "the caller's arrays changed"
    if data is None:
        assert [sys.getrefcount(value) for value in arrays] == references, "a reference to an argument was kept"
    return data


def check_getters(data, values):
    d, n, wl = values[:3]
    for stored, source in ((data.d, d), (data.wl, wl)):
        assert type(stored) is np.ndarray and stored.dtype == FLOAT64 and stored.flags.c_contiguous
        assert stored.tobytes() == plain(source).tobytes()
    stored = data.n
    assert type(stored) is np.ndarray and stored.dtype == COMPLEX128 and stored.shape == true("shape", n)
    assert np.ascontiguousarray(stored).tobytes() == plain(n).tobytes()
    fortran = n.flags.f_contiguous and not n.flags.c_contiguous
    assert stored.flags.f_contiguous if fortran else stored.flags.c_contiguous


def check_simulation(data, d, n, wl):
    media, columns = true("shape", n)
    count, layers = true("shape", wl)[0], true("shape", d)[0]
    fits = count == 0 or (media >= 2 and columns >= count and layers >= media - 2)
    event(f"simulate: {'fits' if fits else 'does not fit'}, {'pool' if count > 100 else 'serial'}")
    try:
        result = data.simulate()
    except BaseException as error:  # noqa: B036
        assert not fits, f"{error!r} for a stack that fits"
        assert type(error).__name__ == "PanicException" and str(error) == OUT_OF_BOUNDS, repr(error)
        return
    assert fits, "a stack that does not fit was simulated"
    r, t = result.r, result.t
    for spectrum in (r, t):
        assert type(spectrum) is np.ndarray and spectrum.dtype == FLOAT64 and spectrum.shape == (count,)
    # The same values laid out plainly give the same bits.
    plainly = DataPy(plain(d), plain(n), plain(wl), data.theta, data.phi).simulate()
    assert r.tobytes() == plainly.r.tobytes() and t.tobytes() == plainly.t.tobytes()


# ---------------------------------------------------------------- the properties


@HOSTILE
@pytest.mark.heavy
@given(d=argument_for(FLOAT64), n=argument_for(COMPLEX128), wl=argument_for(FLOAT64),
       theta=st.one_of(st.floats(), st.floats(), angles), phi=st.one_of(st.floats(), st.floats(), angles),
       form=call_forms())
def test_any_arguments_get_the_promised_outcome(d, n, wl, theta, phi, form, capfd):
    TRIED["any arguments"] += 1
    data = check_construction([d, n, wl, theta, phi], form)
    if data is not None:
        check_simulation(data, d.value, n.value, wl.value)
    capfd.readouterr()


@HOSTILE
@pytest.mark.heavy
@given(theta=angles, phi=angles, form=call_forms())
def test_any_angles_convert_or_raise_as_the_interpreter_does(theta, phi, form, capfd):
    TRIED["angles"] += 1
    arguments = [np.zeros(0), np.zeros((2, 0), complex), np.zeros(0), theta, phi]
    data = check_construction(arguments, form)
    if data is not None:
        assert data.simulate().r.shape == (0,)
    capfd.readouterr()


# NaN, infinities, signed zeros, the smallest subnormal, the largest finite values.
SPECIAL = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, 1.7976931348623157e308, -1.0, 1.0, 2.5])


def values(rng, shape, low, high, wild, complex_values=False):
    """Plausible values, or special ones everywhere; made by NumPy from a drawn seed
    rather than drawn one by one, so long sweeps cost hypothesis nothing."""
    def part():
        if wild:
            return rng.choice(SPECIAL, shape) * rng.choice([1.0, 1.0, -1.0], shape)
        return rng.uniform(low, high, shape)

    if not complex_values:
        return part()
    z = np.empty(shape, complex)
    z.real, z.imag = part(), part() / 6
    return z


@st.composite
def stacks(draw):
    """Arrays of the accepted kinds whose shapes may or may not fit together,
    on both sides of the serial limit, with any values and layouts."""
    count = draw(st.sampled_from([0, 1, 2, 3, 5, 8, 100, 101, 150, 257, 1000]))
    media = draw(st.sampled_from([2, 3, 4, 6, 0, 1]))
    fitting = max(media - 2, 0)
    columns = draw(st.sampled_from([count, count + 1, max(count - 1, 0), 0]))
    layers = draw(st.sampled_from([fitting, fitting + 2, max(fitting - 1, 0)]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    wild = draw(st.booleans())
    d = values(rng, layers, 0.0, 500.0, wild)
    n = values(rng, (media, columns), 1.0, 3.0, wild, complex_values=True)
    wl = values(rng, count, 200.0, 2000.0, wild)
    return [draw(laid_out(d, True)), draw(laid_out(n, True)), draw(laid_out(wl, True)),
            draw(st.floats()), draw(st.floats())]


@HOSTILE
@pytest.mark.heavy
@given(arguments=stacks())
def test_shapes_that_do_not_fit_fail_cleanly_and_layout_never_matters(arguments, capfd):
    TRIED["stacks"] += 1
    before = [argument.snapshot() for argument in arguments[:3]]
    data = check_construction(arguments, (5, ()))
    assert data is not None
    check_simulation(data, *(argument.value for argument in arguments[:3]))
    assert [argument.snapshot() for argument in arguments[:3]] == before, "the caller's arrays changed"
    capfd.readouterr()
