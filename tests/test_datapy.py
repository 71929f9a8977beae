"""DataPy: argument binding, type checks, conversions, copies and getters."""

import math
import sys

import numpy as np
import pytest

from lamina import DataPy

D = np.array([100.0, 50.0])
N = np.arange(12).reshape(4, 3) * (1 + 0.5j) + 1
WL = np.array([400.0, 500.0, 600.0])
SHAPE_PANIC = "Failed to convert n to 2D array: ShapeError/IncompatibleShape: incompatible shapes"


def fields(data):
    return (data.d.tolist(), data.n.tolist(), data.wl.tolist(), data.theta, data.phi)


def rejection(name, value):
    return f"argument '{name}': '{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'"


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((D, N, WL, 0.1, 0.2), {}),
        ((D, N, WL), {"theta": 0.1, "phi": 0.2}),
        ((), {"d": D, "n": N, "wl": WL, "theta": 0.1, "phi": 0.2}),
        ((), {"phi": 0.2, "wl": WL, "theta": 0.1, "n": N, "d": D}),
    ],
)
def test_positional_and_keyword_binding_agree(args, kwargs):
    assert fields(DataPy(*args, **kwargs)) == fields(DataPy(D, N, WL, 0.1, 0.2))


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((D, N, WL, 0, 0, 0), {}, "takes 5 positional arguments but 6 were given"),
        ((D, N, WL, 0, 0, 0, 0), {"bogus": 1}, "takes 5 positional arguments but 7 were given"),
        ((), {}, "missing 5 required positional arguments: 'd', 'n', 'wl', 'theta', and 'phi'"),
        ((D, N), {}, "missing 3 required positional arguments: 'wl', 'theta', and 'phi'"),
        ((D, N, WL), {}, "missing 2 required positional arguments: 'theta' and 'phi'"),
        ((D, N, WL, 0), {}, "missing 1 required positional argument: 'phi'"),
        ((D, N, WL), {"phi": 0}, "missing 1 required positional argument: 'theta'"),
        (("not an array",), {}, "missing 4 required positional arguments: 'n', 'wl', 'theta', and 'phi'"),
        ((D, N, WL, 0, 0), {"n": N}, "got multiple values for argument 'n'"),
        ((D, N, WL, 0, 0), {"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
        ((D,), {"zz": 1, "d": D}, "got an unexpected keyword argument 'zz'"),
        ((D,), {"d": D, "zz": 1}, "got multiple values for argument 'd'"),
        ((), {"d": D, "n": N, "wl": WL, "theta": 0, "phi": 0, "Theta": 0}, "unexpected keyword argument 'Theta'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        DataPy(*args, **kwargs)
    assert str(info.value).startswith("DataPy.__new__() ")
    assert str(info.value).endswith(message)


# ---------------------------------------------------------------- array checks


def big_endian(array):
    return array.astype(array.dtype.newbyteorder(">"))


class Tagged(np.ndarray):
    pass


@pytest.mark.parametrize(
    "name, value",
    [
        ("d", [1.0, 2.0]),
        ("d", (1.0,)),
        ("d", 1.0),
        ("d", None),
        ("d", np.float64(1.0)),
        ("d", np.array(1.0)),
        ("d", np.zeros(2, np.float32)),
        ("d", np.zeros(2, np.int64)),
        ("d", np.zeros(2, np.longdouble)),
        ("d", np.zeros(2, complex)),
        ("d", np.zeros((2, 1))),
        ("d", big_endian(np.zeros(2))),
        ("n", np.zeros((2, 2))),
        ("n", np.zeros((2, 2), np.complex64)),
        ("n", big_endian(np.zeros((2, 2), complex))),
        ("n", [[1 + 0j]]),
        ("wl", [400.0]),
        ("wl", np.zeros((1, 1))),
        ("wl", np.array(["a"])),
        ("wl", np.zeros(2, object)),
    ],
)
def test_rejected_arrays(name, value):
    arguments = {"d": D, "n": N, "wl": WL, "theta": 0.0, "phi": 0.0, name: value}
    with pytest.raises(TypeError) as info:
        DataPy(**arguments)
    assert str(info.value) == rejection(name, value)


def test_type_name_is_the_qualified_name():
    class Local:
        pass

    with pytest.raises(TypeError, match=r"'test_type_name_is_the_qualified_name\.<locals>\.Local' object"):
        DataPy(Local(), N, WL, 0, 0)


def test_native_byte_order_copy_of_a_rejected_array_is_accepted():
    swapped = big_endian(np.array([1.0, 2.0]))
    native = swapped.astype(swapped.dtype.newbyteorder("="))
    assert DataPy(native, N, WL, 0, 0).d.tolist() == [1.0, 2.0]


def test_subclasses_are_accepted_and_read_back_as_ndarray():
    data = DataPy(D.view(Tagged), N.view(Tagged), WL.view(Tagged), 0, 0)
    for value, source in [(data.d, D), (data.n, N), (data.wl, WL)]:
        assert type(value) is np.ndarray
        np.testing.assert_array_equal(value, source)


@pytest.mark.parametrize(
    "args, bad",
    [
        (([1.0], [1.0], [1.0], "x", "y"), "d"),
        ((D, [1.0], [1.0], "x", "y"), "n"),
        ((D, N, [1.0], "x", "y"), "wl"),
        ((D, N[0], [1.0], "x", "y"), "wl"),
    ],
)
def test_first_bad_argument_in_order_is_reported(args, bad):
    with pytest.raises(TypeError, match=rf"^argument '{bad}': "):
        DataPy(*args)


# ---------------------------------------------------------------- floats


class Indexable:
    def __index__(self):
        return 3


class Floatable:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize(
    "value, expected",
    [(0, 0.0), (True, 1.0), (2**60, float(2**60)), (np.float32(0.5), 0.5), (Indexable(), 3.0), (Floatable(), 0.25)],
)
def test_angles_go_through_float_conversion(value, expected):
    data = DataPy(D, N, WL, value, value)
    assert type(data.theta) is float and type(data.phi) is float
    assert data.theta == data.phi == expected


class Reshaping:
    """A float whose conversion changes an array the constructor has already accepted."""

    def __init__(self, change):
        self.change = change

    def __float__(self):
        self.change()
        return 0.0


def reshape(array, shape):
    """Changes an accepted array's shape in place (setting `.shape` is deprecated)."""
    array.resize(shape, refcheck=False)


def retype(array, dtype):
    """Changes an accepted array's dtype in place, as unpickling does (setting `.dtype` is
    deprecated)."""
    new = np.zeros(array.shape, dtype)
    array.__setstate__((1, new.shape, new.dtype, False, new.tobytes()))


def not_accepted(name):
    return f"argument '{name}': 'ndarray' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("change, expected", [
    (lambda d, n, wl: reshape(d, ()), not_accepted("d")),
    (lambda d, n, wl: retype(d, np.float32), not_accepted("d")),
    (lambda d, n, wl: retype(n, np.float64), not_accepted("n")),
    (lambda d, n, wl: reshape(wl, (2, 2)), not_accepted("wl")),
    (lambda d, n, wl: reshape(n, (8,)), SHAPE_PANIC),
])
def test_arrays_changed_during_angle_conversion_are_checked_again(change, expected):
    d, n, wl = np.ones(1), np.ones((2, 4), complex), np.ones(4)
    with pytest.raises(BaseException) as failure:
        DataPy(d, n, wl, Reshaping(lambda: change(d, n, wl)), 0.0)
    assert str(failure.value) == expected


@pytest.mark.parametrize("name", ["theta", "phi"])
@pytest.mark.parametrize("value", ["0", None, 1j, [0.0]])
def test_type_error_from_float_conversion_names_the_argument(name, value):
    with pytest.raises(TypeError) as expected:
        math.copysign(value, 1.0)  # the same conversion, unwrapped
    arguments = {"d": D, "n": N, "wl": WL, "theta": 0.0, "phi": 0.0, name: value}
    with pytest.raises(TypeError) as info:
        DataPy(**arguments)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {expected.value}"
    assert info.value.__cause__ is None


class Root(Exception):
    pass


class Failing:
    def __init__(self, error, cause=None):
        self.error, self.cause = error, cause

    def __float__(self):
        raise self.error from self.cause


class TypeErrorSubclass(TypeError):
    pass


def test_reworded_type_error_keeps_the_original_cause():
    root = Root("root")
    with pytest.raises(TypeError) as info:
        DataPy(D, N, WL, 0.0, Failing(TypeError("boom"), root))
    assert str(info.value) == "argument 'phi': boom"
    assert info.value.__cause__ is root


@pytest.mark.parametrize("error", [TypeErrorSubclass("sub"), ValueError("value"), Root("other")])
def test_other_conversion_errors_pass_unchanged(error):
    with pytest.raises(BaseException) as info:
        DataPy(D, N, WL, Failing(error), 0.0)
    assert info.value is error


# ---------------------------------------------------------------- the 2-D check of n


@pytest.mark.parametrize("n", [N[0], N[np.newaxis], np.array(1 + 0j), np.zeros((2, 2, 2, 2), complex)])
def test_n_must_be_two_dimensional(n):
    assert panic_message(lambda: DataPy(D, n, WL, 0, 0)) == SHAPE_PANIC


@pytest.mark.parametrize("args", [(D, N[0], WL, "x", 0), (D, N[0], WL, 0, "y"), (D, N[0], [1.0], 0, 0)])
def test_shape_of_n_is_checked_after_every_conversion(args):
    with pytest.raises(TypeError):
        DataPy(*args)


# ---------------------------------------------------------------- copies and memory order


def unaligned(values):
    buffer = np.zeros(values.nbytes + 1, np.uint8)
    view = buffer[1:].view(values.dtype).reshape(values.shape)
    view[...] = values
    assert not view.flags.aligned
    return view


BIG_N = np.arange(20).reshape(4, 5) * (1 - 2j) + 0.5j


@pytest.mark.parametrize(
    "n, fortran",
    [
        (BIG_N, False),
        (np.asfortranarray(BIG_N), True),
        (BIG_N.T, True),
        (BIG_N[::-1], False),
        (BIG_N[:, ::-1], False),
        (BIG_N[::-1, ::-1], False),
        (BIG_N.T[::-1], False),
        (BIG_N[:, ::2], False),
        (np.asfortranarray(BIG_N)[1:3], False),
        (BIG_N[:, :1], False),
        (np.asfortranarray(BIG_N[:1]), False),
        (np.zeros((2, 0), complex), False),
        (np.zeros((0, 3), complex, order="F"), False),
        (unaligned(BIG_N), False),
        (unaligned(BIG_N[:, ::2].copy()), False),
    ],
)
def test_n_reads_back_with_its_values_and_memory_order(n, fortran):
    stored = DataPy(D, n, WL, 0, 0).n
    assert stored.dtype == np.complex128 and stored.shape == n.shape
    np.testing.assert_array_equal(stored, n)
    assert stored.flags.f_contiguous if fortran else stored.flags.c_contiguous
    if fortran:
        assert not stored.flags.c_contiguous


@pytest.mark.parametrize(
    "vector",
    [
        np.arange(7.0),
        np.arange(7.0)[::2],
        np.arange(7.0)[::-1],
        np.arange(7.0)[::-3],
        np.arange(12.0).reshape(3, 4)[:, 1],
        np.arange(12.0).reshape(3, 4).T[0],
        np.zeros(0),
        np.array([4.5]),
        unaligned(np.arange(5.0)),
        unaligned(np.arange(5.0))[::-2],
    ],
)
def test_vectors_read_back_with_their_values(vector):
    data = DataPy(vector, N, vector, 0, 0)
    for stored in (data.d, data.wl):
        assert stored.dtype == np.float64 and stored.shape == vector.shape
        assert stored.flags.c_contiguous
        np.testing.assert_array_equal(stored, vector)


def test_empty_stack_is_accepted():
    data = DataPy(np.zeros(0), np.zeros((2, 0), complex), np.zeros(0), 0, 0)
    assert data.d.shape == (0,) and data.n.shape == (2, 0) and data.wl.shape == (0,)


def test_getters_return_fresh_owning_arrays():
    data = DataPy(D, N, WL, 0, 0)
    for name in ("d", "n", "wl"):
        first, second = getattr(data, name), getattr(data, name)
        assert first is not second
        assert type(first) is np.ndarray
        assert first.flags.writeable and first.flags.owndata and first.base is None
        np.testing.assert_array_equal(first, second)


def test_copies_are_independent_both_ways():
    d, n, wl = D.copy(), N.copy(), WL.copy()
    data = DataPy(d, n, wl, 0, 0)
    d[0], n[0, 0], wl[0] = -1.0, -1j, -1.0
    np.testing.assert_array_equal(data.d, D)
    np.testing.assert_array_equal(data.n, N)
    np.testing.assert_array_equal(data.wl, WL)
    for name in ("d", "n", "wl"):
        getattr(data, name)[...] = 0
    np.testing.assert_array_equal(data.d, D)
    np.testing.assert_array_equal(data.n, N)
    np.testing.assert_array_equal(data.wl, WL)


def test_arguments_are_not_modified_and_not_retained():
    n = N.copy()
    before = sys.getrefcount(n)
    DataPy(D, n, WL, 0, 0)
    assert sys.getrefcount(n) == before
    np.testing.assert_array_equal(n, N)
    assert n.flags.writeable
