"""Generated inputs for every registered entry: each call returns a value or raises a
documented exception, leaves its inputs unchanged, and repeats to the same bits."""

import gc
import math
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vasq_core as vc

FUZZ = settings.get_profile("vasq-fuzz")

# The numeric code's own messages, and the standard library's length error (a negative
# count converted to a size).
MESSAGES = {"deg < 0", "deg < -1", "n_grid < 2", "Dimension mismatch.", "n_chains < 1",
            "H_piH < 1", "Non-finite input."}
LENGTH_ERROR = "cannot create std::vector larger than max_size()"
CAST_ERROR = "Unable to cast Python instance of type "

INT32 = [-(2**31), 2**31 - 1]
BEYOND_INT32 = [-(2**31) - 1, 2**31, 2**63, 2**64, -(2**64)]

# Values: every float class (NaN, infinities, signed zeros, subnormals, huge), as doubles.
values = st.one_of(
    st.floats(width=64),
    st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, -5e-324, 1.7e308,
                     -1.7e308, 1.0, -1.0]),
)
lengths = st.one_of(st.sampled_from([0, 1, 2, 3]), st.integers(4, 12), st.integers(13, 300))


def arrays(shape):
    """A float64 array of `shape`, of finite values or of any, in C order, Fortran order or
    as a strided view."""
    base = st.one_of(hnp.arrays(np.float64, shape, elements=st.floats(-1e6, 1e6)),
                     hnp.arrays(np.float64, shape, elements=values))
    return st.one_of(
        base,
        base.map(np.asfortranarray),
        base.map(lambda a: np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a),
    )


def as_int64(a):
    return np.clip(np.nan_to_num(a), -(2.0**62), 2.0**62).astype(np.int64)


def as_float32(a):
    with np.errstate(over="ignore"):
        return a.astype(np.float32)


RECASTS = [
    lambda a: a, as_float32, as_int64, lambda a: a != 0, lambda a: a.astype(object),
    lambda a: a.tolist(), lambda a: tuple(a.tolist()),
]


def recast(a):
    """The same numbers as another dtype that converts to float64, a list or a tuple."""
    return st.sampled_from(RECASTS).map(lambda f: f(a))


def vectors(n=None):
    """Column vectors, of length n if given: 1-D or (n, 1), any dtype that converts, any
    layout."""
    k = st.just(n) if n is not None else lengths
    return k.flatmap(lambda k: st.one_of(arrays((k,)), arrays((k, 1)))).flatmap(recast)


def matrices(rows=None, cols=None):
    """Matrices, rows x cols if given (else 1-D arrays too), any dtype and layout."""
    r = st.just(rows) if rows is not None else lengths
    c = st.just(cols) if cols is not None else st.integers(0, 6)
    shapes = st.tuples(r, c)
    if rows is None:
        shapes = st.one_of(shapes, r.map(lambda m: (m,)))
    return shapes.flatmap(arrays).flatmap(recast)


def ints(small=(-3, 12), extremes=True):
    """32-bit ints: small ones and, if `extremes`, the ends of the range."""
    options = [st.integers(*small), st.integers(*small).map(np.int32)]
    if extremes:
        options.append(st.sampled_from(INT32))
    return st.one_of(*options)


floats = st.one_of(values, st.integers(-5, 5))

# Arguments of the wrong kind, one kind of parameter each.
WRONG_ARRAY = st.one_of(
    arrays(()), arrays((2, 2, 2)), arrays((3,)).map(lambda a: a.astype(np.complex128) + 1j),
    st.just(np.array([1.0, "x"], dtype=object)), st.sampled_from(["abc", None, [[1.0], []]]))
WRONG_VECTOR = st.one_of(WRONG_ARRAY, arrays((3, 2)))
WRONG_INT = st.sampled_from([*BEYOND_INT32, 2.0, np.float64(1.0), "3", None])
WRONG_FLOAT = st.sampled_from(["1.0", None, 2**1100, 1j])
WRONG_LIST = st.sampled_from(["ab", 3, None, [None], [[1, 2], "x"]])


def mostly(usual, other):
    """`usual` three times in four."""
    return st.one_of(usual, usual, usual, other)


def spoil(data, args, wrong):
    """About a quarter of the calls get one argument of the wrong kind."""
    if not args or data.draw(st.sampled_from([True, True, True, False]), label="all right"):
        return tuple(args)
    i = data.draw(st.integers(0, len(args) - 1), label="spoiled argument")
    return (*args[:i], data.draw(wrong[i], label="wrong kind"), *args[i + 1 :])


def snapshot(obj):
    """Everything observable about an argument, to show that a call changed nothing."""
    if isinstance(obj, np.ndarray):
        if obj.dtype == object:
            return ("object array", obj.shape, [repr(v) for v in obj.ravel()])
        return (obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable, obj.tobytes())
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [snapshot(v) for v in obj])
    if isinstance(obj, float):
        return ("float", obj.hex())
    return (type(obj).__name__, repr(obj))


def bits(result):
    """A result as bytes and exact values, for comparing two calls bit for bit."""
    if isinstance(result, np.ndarray):
        return (result.dtype.str, result.shape, result.tobytes())
    if isinstance(result, float):
        return result.hex()
    if isinstance(result, (list, tuple)):
        return [bits(v) for v in result]
    if isinstance(result, vc.GibbsResult):
        return [bits(getattr(result, f)) for f in ("H", "Hmax", "He", "r_heat", "var_E", "T")]
    if isinstance(result, vc.MCMCResult):
        return [bits(result.beta_mcmc), bits(result.energy), bits(result.gibbs),
                result.n_chains, result.n_elite]
    return result


def documented(error, casts_objects):
    if isinstance(error, (TypeError, MemoryError)):
        return True
    if type(error) is ValueError:
        return str(error) in MESSAGES or str(error) == LENGTH_ERROR
    if type(error) is RuntimeError:
        return casts_objects and str(error).startswith(CAST_ERROR)
    return False


def outcome(fn, args):
    try:
        return ("returned", bits(fn(*args)))
    except Exception as error:  # every exception is judged by `documented`
        # Argument-mismatch messages show the addresses of the objects passed.
        return ("raised", type(error), re.sub(" at 0x[0-9a-f]+", "", str(error)), error)


def check(entry, fn, args, outcomes, casts_objects=False):
    before = snapshot(args)
    first = outcome(fn, args)
    assert snapshot(args) == before, "the call changed its inputs"
    if first[0] == "raised":
        error = first[3]
        assert documented(error, casts_objects), f"undocumented {type(error).__name__}: {error}"
        kind = f"ValueError '{error}'" if type(error) is ValueError else type(error).__name__
        outcomes[(entry, kind)] += 1
        first = first[:3]
    else:
        outcomes[(entry, "returned")] += 1
    second = outcome(fn, args)
    assert second[:3] == first, "a second identical call gave other bits"


def optional_args(data, args, wrong, required):
    """The first `required` arguments and a generated number of the optional ones."""
    k = data.draw(st.integers(required, len(args)), label="arguments passed")
    return spoil(data, args[:k], wrong[:k])


def residual_pair(data):
    """(yp, yt) of one length n, or yp of any length."""
    n = data.draw(lengths, label="n")
    return data.draw(mostly(vectors(n), vectors()), label="yp"), data.draw(vectors(n))


@FUZZ
@given(data=st.data())
def test_mad(data, outcomes):
    args = spoil(data, [data.draw(vectors())], [WRONG_VECTOR])
    check("mad", vc.mad, args, outcomes)


@FUZZ
@given(data=st.data())
def test_compute_sr(data, outcomes):
    args = [*residual_pair(data), data.draw(floats)]
    check("compute_sr", vc.compute_sr,
          spoil(data, args, [WRONG_VECTOR, WRONG_VECTOR, WRONG_FLOAT]), outcomes)


@FUZZ
@given(data=st.data())
def test_mdl_score(data, outcomes):
    args = [*residual_pair(data), data.draw(ints()), data.draw(ints())]
    wrong = [WRONG_VECTOR, WRONG_VECTOR, WRONG_INT, WRONG_INT]
    check("mdl_score", vc.mdl_score, optional_args(data, args, wrong, 3), outcomes)


@FUZZ
@given(data=st.data(), p=st.integers(0, 5))
def test_mdl_score_reg(data, p, outcomes):
    R = mostly(matrices(p, p), matrices())
    args = [*residual_pair(data), data.draw(ints()), data.draw(ints()),
            data.draw(mostly(vectors(p), vectors())), data.draw(R), data.draw(R),
            data.draw(floats), data.draw(floats)]
    wrong = [WRONG_VECTOR, WRONG_VECTOR, WRONG_INT, WRONG_INT, WRONG_VECTOR, WRONG_ARRAY,
             WRONG_ARRAY, WRONG_FLOAT, WRONG_FLOAT]
    check("mdl_score_reg", vc.mdl_score_reg, optional_args(data, args, wrong, 7), outcomes)


@FUZZ
@given(data=st.data())
def test_design_matrix_1d(data, outcomes):
    args = [data.draw(ints()), data.draw(vectors())]
    check("design_matrix_1d", vc.design_matrix_1d,
          spoil(data, args, [WRONG_INT, WRONG_VECTOR]), outcomes)


@FUZZ
@given(data=st.data())
def test_smoothness_penalty_matrices_1d(data, outcomes):
    # Huge grids are valid requests that take minutes; huge degrees fail at once.
    args = [data.draw(ints()), data.draw(floats), data.draw(floats),
            data.draw(ints(extremes=False))]
    wrong = [WRONG_INT, WRONG_FLOAT, WRONG_FLOAT, WRONG_INT]
    check("smoothness_penalty_matrices_1d", vc.smoothness_penalty_matrices_1d,
          optional_args(data, args, wrong, 3), outcomes)


@FUZZ
@given(data=st.data())
def test_boundary_reduce_1d(data, outcomes):
    args = [data.draw(ints()), data.draw(floats), data.draw(floats)]
    check("boundary_reduce_1d", vc.boundary_reduce_1d,
          spoil(data, args, [WRONG_INT, WRONG_FLOAT, WRONG_FLOAT]), outcomes)


@FUZZ
@given(data=st.data(), dims=st.integers(0, 4), n=lengths)
def test_design_matrix_nd(data, dims, n, outcomes):
    index = st.lists(ints((-2, 6)), min_size=dims, max_size=dims + 1)
    columns = mostly(st.lists(vectors(n), min_size=dims, max_size=dims),
                     st.lists(vectors(), max_size=dims + 1))
    args = [data.draw(st.lists(index, max_size=12)), data.draw(columns)]
    check("design_matrix_nd", vc.design_matrix_nd, spoil(data, args, [WRONG_LIST, WRONG_LIST]),
          outcomes)


@FUZZ
@given(data=st.data(), dims=st.one_of(st.integers(0, 3), st.just(24)))
def test_build_penalty_matrices_nd(data, dims, outcomes):
    # Small degrees and grids keep the work small; the extremes fail at once.
    degrees = data.draw(st.lists(ints((-2, 4)), min_size=dims, max_size=dims + 1))
    pairs = st.tuples(floats, floats)
    bounds = data.draw(mostly(st.lists(pairs, min_size=len(degrees), max_size=len(degrees)),
                              st.lists(pairs, max_size=dims + 1)))
    args = [degrees, bounds, data.draw(ints((-2, 12), extremes=False))]
    wrong = [WRONG_LIST, st.one_of(WRONG_LIST, st.just([(1.0, 2.0, 3.0)])), WRONG_INT]
    check("build_penalty_matrices_nd", vc.build_penalty_matrices_nd,
          optional_args(data, args, wrong, 2), outcomes)


def design_and_observations(data, max_rows=300):
    """(X, y) with matching rows, or of any shapes."""
    m = data.draw(st.integers(0, max_rows), label="m")
    p = data.draw(st.integers(0, 5), label="p")
    X = data.draw(mostly(matrices(m, p), matrices()), label="X")
    y = data.draw(mostly(vectors(m), vectors()), label="y")
    return p, X, y


def optional_matrices(p):
    return mostly(st.one_of(st.none(), matrices(p, p)), matrices())


# Penalties that cannot be converted are a RuntimeError, not a wrong kind.
WRONG_PENALTY = st.sampled_from(["R", [1.0, "x"], np.zeros((2, 2, 2)), 1j])


@FUZZ
@given(data=st.data())
def test_ols(data, outcomes):
    _, X, y = design_and_observations(data)
    check("ols", vc.ols, spoil(data, [X, y], [WRONG_ARRAY, WRONG_VECTOR]), outcomes)


@FUZZ
@given(data=st.data())
def test_fit_regularized_linear(data, outcomes):
    p, Phi, y = design_and_observations(data)
    args = [Phi, y, data.draw(optional_matrices(p)), data.draw(optional_matrices(p)),
            data.draw(floats), data.draw(floats), data.draw(floats)]
    wrong = [WRONG_ARRAY, WRONG_VECTOR, WRONG_PENALTY, WRONG_PENALTY, WRONG_FLOAT,
             WRONG_FLOAT, WRONG_FLOAT]
    check("fit_regularized_linear", vc.fit_regularized_linear,
          optional_args(data, args, wrong, 2), outcomes, casts_objects=True)


@FUZZ
@given(data=st.data())
def test_gibbs_entropy(data, outcomes):
    args = [data.draw(vectors()), data.draw(floats)]
    check("gibbs_entropy", vc.gibbs_entropy,
          optional_args(data, args, [WRONG_VECTOR, WRONG_FLOAT], 1), outcomes)


def read_only_fields(obj, names):
    """Every field's value; writing any of them fails."""
    for name in names:
        with pytest.raises(AttributeError):
            setattr(obj, name, 0)
    return [getattr(obj, name) for name in names]


GIBBS_FIELDS = ["H", "Hmax", "He", "r_heat", "var_E", "T"]


@FUZZ
@given(data=st.data())
def test_gibbs_result(data, outcomes):
    def fields(energies, *T):
        return read_only_fields(vc.gibbs_entropy(energies, *T), GIBBS_FIELDS)

    args = [data.draw(vectors()), data.draw(floats)]
    check("GibbsResult", fields, optional_args(data, args, [WRONG_VECTOR, WRONG_FLOAT], 1),
          outcomes)
    with pytest.raises(TypeError):
        vc.GibbsResult(*data.draw(st.lists(floats, max_size=6)))


def sampler_args(data):
    """A small configuration: the defaults run for long, so the three step counts are always
    given; the rest, from n_elite on, may be left at their defaults."""
    args = [
        data.draw(mostly(st.integers(1, 6), st.sampled_from([0, -1, -(2**31)]))),  # n_chains
        data.draw(ints((-2, 15), extremes=False)),  # n_warmup
        data.draw(ints((-2, 15), extremes=False)),  # n_deep
        data.draw(ints((-2, 8))),  # n_elite
        data.draw(floats),  # step_size
        data.draw(mostly(st.integers(1, 30), ints((-2, 0)))),  # H_piH
        data.draw(st.one_of(st.integers(0, 2**64 - 1), st.integers(0, 5))),  # seed
    ]
    wrong = [WRONG_INT] * 4 + [WRONG_FLOAT, WRONG_INT,
                               st.sampled_from([-1, 2**64, 1.5, "1"])]
    return optional_args(data, args, wrong, 3)


@FUZZ
@given(data=st.data())
def test_tournament_mcmc(data, outcomes):
    def make(*args):
        sampler = vc.TournamentMCMC(*args)
        with pytest.raises(AttributeError):
            sampler.n_chains  # noqa: B018  the configuration cannot be read back
        return None

    check("TournamentMCMC", make, sampler_args(data), outcomes)


def fit_args(data):
    p, X, y = design_and_observations(data, max_rows=40)
    args = [X, y, data.draw(optional_matrices(p)), data.draw(optional_matrices(p)),
            data.draw(floats), data.draw(floats)]
    wrong = [WRONG_ARRAY, WRONG_VECTOR, WRONG_PENALTY, WRONG_PENALTY, WRONG_FLOAT,
             WRONG_FLOAT]
    return optional_args(data, args, wrong, 2)


@FUZZ
@given(data=st.data())
def test_fit(data, outcomes):
    def fit(config, args):
        return vc.TournamentMCMC(*config).fit(*args)

    check("TournamentMCMC.fit", fit, (sampler_args(data), fit_args(data)), outcomes,
          casts_objects=True)


MCMC_FIELDS = ["beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"]


@FUZZ
@given(data=st.data())
def test_mcmc_result(data, outcomes):
    def fields(config, args):
        result = vc.TournamentMCMC(*config).fit(*args)
        values = read_only_fields(result, MCMC_FIELDS)
        assert not values[0].flags.writeable
        del result
        gc.collect()
        # The views outlive the result.
        return [*values[:2], read_only_fields(values[2], GIBBS_FIELDS), *values[3:]]

    check("MCMCResult", fields, (sampler_args(data), fit_args(data)), outcomes,
          casts_objects=True)
    with pytest.raises(TypeError):
        vc.MCMCResult()
