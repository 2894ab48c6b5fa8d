"""Generated inputs for every registered entry: each call returns a value or raises a
documented exception, leaves its inputs unchanged, and repeats to the same bits."""

import gc
import math
import os
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
    if isinstance(result, dict):
        return [(key, bits(value)) for key, value in result.items()]
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


def raised(error):
    # Argument-mismatch messages show the addresses of the objects passed.
    return ("raised", type(error), re.sub(" at 0x[0-9a-f]+", "", str(error)))


def outcome(fn, args):
    try:
        return ("returned", bits(fn(*args)))
    except Exception as error:  # every exception is judged by the caller
        return raised(error)


def twice(fn, args):
    """fn's result and exception over `args`, the inputs unchanged and a second call the same
    bits or the same exception."""
    before = snapshot(args)
    try:
        result, error = fn(*args), None
    except Exception as caught:  # judged by the caller
        result, error = None, caught
    assert snapshot(args) == before, "the call changed its inputs"
    first = ("returned", bits(result)) if error is None else raised(error)
    assert outcome(fn, args) == first, "a second identical call gave another outcome"
    return result, error


def check(entry, fn, args, outcomes, casts_objects=False):
    _, error = twice(fn, args)
    if error is None:
        outcomes[(entry, "returned")] += 1
        return
    assert documented(error, casts_objects), f"undocumented {type(error).__name__}: {error}"
    kind = f"ValueError '{error}'" if type(error) is ValueError else type(error).__name__
    outcomes[(entry, kind)] += 1


def optional_args(data, args, wrong, required):
    """The first `required` arguments and a generated number of the optional ones."""
    k = data.draw(st.integers(required, len(args)), label="arguments passed")
    return spoil(data, args[:k], wrong[:k])


def residual_pair(data):
    """(yp, yt) of one length n, or yp of any length."""
    n = data.draw(lengths, label="n")
    return data.draw(mostly(vectors(n), vectors()), label="yp"), data.draw(vectors(n))


def mdl_score_reg_args(data):
    p = data.draw(st.integers(0, 5), label="p")
    R = mostly(matrices(p, p), matrices())
    args = [*residual_pair(data), data.draw(ints()), data.draw(ints()),
            data.draw(mostly(vectors(p), vectors())), data.draw(R), data.draw(R),
            data.draw(floats), data.draw(floats)]
    wrong = [WRONG_VECTOR, WRONG_VECTOR, WRONG_INT, WRONG_INT, WRONG_VECTOR, WRONG_ARRAY,
             WRONG_ARRAY, WRONG_FLOAT, WRONG_FLOAT]
    return optional_args(data, args, wrong, 7)


def design_matrix_nd_args(data):
    dims = data.draw(st.integers(0, 4), label="dims")
    n = data.draw(lengths, label="n")
    index = st.lists(ints((-2, 6)), min_size=dims, max_size=dims + 1)
    columns = mostly(st.lists(vectors(n), min_size=dims, max_size=dims),
                     st.lists(vectors(), max_size=dims + 1))
    args = [data.draw(st.lists(index, max_size=12)), data.draw(columns)]
    return spoil(data, args, [WRONG_LIST, WRONG_LIST])


def build_penalty_matrices_nd_args(data):
    # Small degrees and grids keep the work small; the extremes fail at once.
    dims = data.draw(st.one_of(st.integers(0, 3), st.just(24)), label="dims")
    degrees = data.draw(st.lists(ints((-2, 4)), min_size=dims, max_size=dims + 1))
    pairs = st.tuples(floats, floats)
    bounds = data.draw(mostly(st.lists(pairs, min_size=len(degrees), max_size=len(degrees)),
                              st.lists(pairs, max_size=dims + 1)))
    args = [degrees, bounds, data.draw(ints((-2, 12), extremes=False))]
    wrong = [WRONG_LIST, st.one_of(WRONG_LIST, st.just([(1.0, 2.0, 3.0)])), WRONG_INT]
    return optional_args(data, args, wrong, 2)


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


def fit_regularized_linear_args(data):
    p, Phi, y = design_and_observations(data)
    args = [Phi, y, data.draw(optional_matrices(p)), data.draw(optional_matrices(p)),
            data.draw(floats), data.draw(floats), data.draw(floats)]
    wrong = [WRONG_ARRAY, WRONG_VECTOR, WRONG_PENALTY, WRONG_PENALTY, WRONG_FLOAT,
             WRONG_FLOAT, WRONG_FLOAT]
    return optional_args(data, args, wrong, 2)


def gibbs_args(data):
    args = [data.draw(vectors()), data.draw(floats)]
    return optional_args(data, args, [WRONG_VECTOR, WRONG_FLOAT], 1)


# The entries whose arguments are numbers and arrays alone: each, its arguments from `data`.
PLAIN = {
    "mad": (vc.mad, lambda d: spoil(d, [d.draw(vectors())], [WRONG_VECTOR])),
    "compute_sr": (vc.compute_sr, lambda d: spoil(
        d, [*residual_pair(d), d.draw(floats)], [WRONG_VECTOR, WRONG_VECTOR, WRONG_FLOAT])),
    "mdl_score": (vc.mdl_score, lambda d: optional_args(
        d, [*residual_pair(d), d.draw(ints()), d.draw(ints())],
        [WRONG_VECTOR, WRONG_VECTOR, WRONG_INT, WRONG_INT], 3)),
    "mdl_score_reg": (vc.mdl_score_reg, mdl_score_reg_args),
    "design_matrix_1d": (vc.design_matrix_1d, lambda d: spoil(
        d, [d.draw(ints()), d.draw(vectors())], [WRONG_INT, WRONG_VECTOR])),
    # Huge grids are valid requests that take minutes; huge degrees fail at once.
    "smoothness_penalty_matrices_1d": (vc.smoothness_penalty_matrices_1d, lambda d: optional_args(
        d, [d.draw(ints()), d.draw(floats), d.draw(floats), d.draw(ints(extremes=False))],
        [WRONG_INT, WRONG_FLOAT, WRONG_FLOAT, WRONG_INT], 3)),
    "boundary_reduce_1d": (vc.boundary_reduce_1d, lambda d: spoil(
        d, [d.draw(ints()), d.draw(floats), d.draw(floats)],
        [WRONG_INT, WRONG_FLOAT, WRONG_FLOAT])),
    "design_matrix_nd": (vc.design_matrix_nd, design_matrix_nd_args),
    "build_penalty_matrices_nd": (vc.build_penalty_matrices_nd, build_penalty_matrices_nd_args),
    "ols": (vc.ols, lambda d: spoil(
        d, list(design_and_observations(d)[1:]), [WRONG_ARRAY, WRONG_VECTOR])),
    "fit_regularized_linear": (vc.fit_regularized_linear, fit_regularized_linear_args),
    "gibbs_entropy": (vc.gibbs_entropy, gibbs_args),
}


def read_only_fields(obj, names):
    """Every field's value; writing any of them fails."""
    for name in names:
        with pytest.raises(AttributeError):
            setattr(obj, name, 0)
    return [getattr(obj, name) for name in names]


GIBBS_FIELDS = ["H", "Hmax", "He", "r_heat", "var_E", "T"]
MCMC_FIELDS = ["beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"]


def gibbs_fields(energies, *T):
    return read_only_fields(vc.gibbs_entropy(energies, *T), GIBBS_FIELDS)


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


def make_sampler(*args):
    sampler = vc.TournamentMCMC(*args)
    with pytest.raises(AttributeError):
        sampler.n_chains  # noqa: B018  the configuration cannot be read back


def fit_args(data):
    p, X, y = design_and_observations(data, max_rows=40)
    args = [X, y, data.draw(optional_matrices(p)), data.draw(optional_matrices(p)),
            data.draw(floats), data.draw(floats)]
    wrong = [WRONG_ARRAY, WRONG_VECTOR, WRONG_PENALTY, WRONG_PENALTY, WRONG_FLOAT,
             WRONG_FLOAT]
    return optional_args(data, args, wrong, 2)


def mcmc_fields(config, args):
    result = vc.TournamentMCMC(*config).fit(*args)
    values = read_only_fields(result, MCMC_FIELDS)
    assert not values[0].flags.writeable
    del result
    gc.collect()
    # The views outlive the result.
    return [*values[:2], read_only_fields(values[2], GIBBS_FIELDS), *values[3:]]


def sampler_and_fit_args(data):
    return sampler_args(data), fit_args(data)


ENTRIES = {
    **PLAIN,
    "GibbsResult": (gibbs_fields, gibbs_args),
    "TournamentMCMC": (make_sampler, sampler_args),
    "TournamentMCMC.fit": (lambda config, args: vc.TournamentMCMC(*config).fit(*args),
                           sampler_and_fit_args),
    "MCMCResult": (mcmc_fields, sampler_and_fit_args),
}
CASTS_OBJECTS = {"fit_regularized_linear", "TournamentMCMC.fit", "MCMCResult"}


@pytest.mark.parametrize("entry", ENTRIES)
@FUZZ
@given(data=st.data())
def test_entry(entry, data, outcomes):
    fn, draw_args = ENTRIES[entry]
    check(entry, fn, draw_args(data), outcomes, casts_objects=entry in CASTS_OBJECTS)


@pytest.mark.parametrize("k", range(7))
@pytest.mark.parametrize("result", [vc.GibbsResult, vc.MCMCResult])
def test_results_are_not_made_from_python(result, k):
    with pytest.raises(TypeError):
        result(*[1.0] * k)


# The robust fit and its building blocks. Inputs are small (few rows and terms) so that the
# long profile makes many calls; they hold every degenerate case that still has a meaning
# (n < p, duplicated rows, constant columns, magnitudes near the ends of the double range,
# subnormals, zero, tiny and huge weights, huge exponents) and at most one fault. An oracle
# judges each call from the values the core receives: meaningful input must give a finite
# fit or one of the refusals of finite data, meaningless input its own ValueError.
DIMENSION = "Dimension mismatch."
NON_FINITE = "Non-finite input."
DESIGN_OVERFLOW = "the design overflows: features too large for their exponents"
COEF_OVERFLOW = "the coefficients overflow the double range"
RESIDUAL_OVERFLOW = "the residuals overflow the double range"
NOISE_OVERFLOW = "the noise model's parameters overflow the double range"
BELOW_TERMS = "sample weights must sum to at least the number of terms"
INFINITE_SUM = "sample weights must have a finite sum"
STAGES = ("elemental", "concentration", "reweighting")
ROBUST_EXAMPLES = {"bounded": 300, "long": 100_000}[os.environ.get("VASQ_FUZZ", "bounded")]

# Arrays come from NumPy's generator under a drawn seed: the draws stay few, so each
# example costs little more than its calls.
SPECIAL = np.array([0.0, -0.0, 1.0, -1.0, 5e-324, -1e-310, 1e-300, 1e300, -1.7e308, 1.7e308])
MAGNITUDES = [1.0, 1.0, 1.0, 1.0, 1e-300, 1e-160, 1e150, 1e300, 5e-324]
COLUMNS = ["uniform", "uniform", "special", "constant", "repeated"]
WEIGHTS = ["ones", "counts", "uniform", "huge", "top", "subnormal", "tiny", "one row"]


def finite_column(rng, kind, scale, n):
    """n finite values of a kind (generated, ends of the range, constant, a few repeated),
    times a magnitude unless that overflows."""
    if kind == "uniform":
        a = rng.uniform(-1.0, 1.0, n)
    elif kind == "special":
        a = np.where(rng.random(n) < 0.5, rng.choice(SPECIAL, n), rng.normal(0.0, 1.0, n))
    elif kind == "constant":
        a = np.full(n, rng.choice(SPECIAL[:-2]))
    else:
        a = np.resize(rng.uniform(-1.0, 1.0, max(1, (n + 2) // 3)), n)
    with np.errstate(over="ignore", under="ignore"):
        out = a * scale
    return out if np.all(np.isfinite(out)) else a


def sample_weights(rng, kind, n):
    """Weights >= 0 of every kind that means something, some summing below p or overflowing."""
    a = rng.uniform(0.0, 2.0, n)
    return {
        "ones": np.ones(n),
        "counts": np.floor(a * 1.5),
        "uniform": a,
        "huge": a * 1e300,
        "top": np.full(n, 1e307),  # a sum that overflows
        "subnormal": np.where(a > 1.0, 1.0, 5e-324),
        "tiny": np.full(n, 1e-3),
        "one row": np.eye(1, n, 0).ravel() * 40.0,
    }[kind]


EXPONENTS = [0, 1, 2, 3, 4] * 3 + [30, 1000, 2**31 - 1]


def passed_as(rng, a):
    """The same numbers as another dtype, a list, a strided view or a read-only array."""
    way = rng.integers(len(RECASTS) + 3)
    if way < len(RECASTS):
        return RECASTS[way](a)
    if way == len(RECASTS):
        return np.repeat(a, 2)[::2]
    if way == len(RECASTS) + 1:
        a = a.copy()
        a.flags.writeable = False
        return a
    return a[:, None]


FAULTS = [None] * 20 + [
    "nan T", "inf y", "nan w", "length T", "length y", "length w", "negative w", "zero w",
    "negative exponent", "no T", "no powers", "index length", "stage", "type T", "type powers",
    "type y", "type w", "exponent beyond int32", "negative seed",
]


@st.composite
def robust_arguments(draw):
    """(T, powers, y, w, seed, disabled) and the fault put in, if any."""
    n = draw(st.one_of(st.integers(0, 12), st.integers(13, 40)), label="n")
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1), label="values"))
    d = int(rng.integers(1, 3))
    T = [finite_column(rng, rng.choice(COLUMNS), rng.choice(MAGNITUDES), n) for _ in range(d)]
    powers = [[int(e) for e in rng.choice(EXPONENTS, d)] for _ in range(rng.integers(1, 5))]
    y = finite_column(rng, rng.choice(COLUMNS), rng.choice(MAGNITUDES), n)
    w = sample_weights(rng, rng.choice(WEIGHTS), n)
    seed = int(rng.integers(0, 2**64, dtype=np.uint64))
    disabled = [str(s) for s in rng.choice(STAGES, rng.integers(0, 3), replace=False)]
    fault = draw(st.sampled_from(FAULTS), label="fault")
    i = int(rng.integers(0, max(n, 1)))
    if n == 0 and fault in ("nan T", "inf y", "nan w", "negative w"):
        fault = None
    if fault == "nan T":
        T[-1] = T[-1].copy()
        T[-1][i] = math.nan
    elif fault == "inf y":
        y = y.copy()
        y[i] = -math.inf
    elif fault == "nan w":
        w = w.copy()
        w[i] = math.nan
    elif fault == "length T":
        T[-1] = np.append(T[-1], 0.5)
    elif fault == "length y":
        y = y[1:] if n else np.ones(1)
    elif fault == "length w":
        w = np.append(w, 1.0)
    elif fault == "negative w":
        w = w.copy()
        w[i] = -draw(st.sampled_from([1.0, 5e-324, 1e300]))
    elif fault == "zero w":
        w = np.zeros(n)
    elif fault == "negative exponent":
        powers[-1] = [*powers[-1][:-1], -draw(st.sampled_from([1, 2**31]))]
    elif fault == "no T":
        T = []
    elif fault == "no powers":
        powers = []
    elif fault == "index length":
        powers[0] = [*powers[0], 1]
    elif fault == "stage":
        disabled = [*disabled, draw(st.sampled_from(["tournament", "", "Elemental"]))]
    elif fault == "type T":
        T = draw(st.sampled_from(["x", [np.ones((n, 2))], [["a"] * (n + 1)], 1.0]))
    elif fault == "type powers":
        powers = draw(st.sampled_from([[[0.5] * d], "ab", [None], [["1"] * d]]))
    elif fault == "type y":
        y = draw(st.sampled_from(["y", np.ones((n, 2)), np.ones((2, 2, 2)), [1j] * (n + 1)]))
    elif fault == "type w":
        w = draw(st.sampled_from([None, np.ones((n, 3)), ["w"] * (n + 1)]))
    elif fault == "exponent beyond int32":
        powers[0] = [2**31, *powers[0][1:]]
    elif fault == "negative seed":
        seed = -1
    if fault is None or not fault.startswith("type"):
        T = [passed_as(rng, t) for t in T]
        y, w = passed_as(rng, y), passed_as(rng, w)
    return (T, powers, y, w, seed, disabled), fault


TYPE_FAULTS = {"type T", "type powers", "type y", "type w", "exponent beyond int32",
               "negative seed"}


def as_vector(v):
    return np.asarray(v, dtype=np.float64).reshape(-1)


def numpy_design(T, powers):
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        return np.column_stack([np.prod([t ** float(e) for t, e in zip(T, index, strict=True)], axis=0)
                                for index in powers])


def design_refusal(T, powers):
    """The message of term_design for this input, or None; "either" at the overflow edge."""
    if not T or not powers:
        return DIMENSION
    for t in T:
        if t.size != T[0].size:
            return DIMENSION
        if not np.all(np.isfinite(t)):
            return NON_FINITE
    for index in powers:
        if len(index) != len(T):
            return DIMENSION
        if any(e < 0 for e in index):
            return "exponents must be >= 0"
    top = np.max(np.abs(numpy_design(T, powers)), initial=0.0)
    if not np.isfinite(top):
        return DESIGN_OVERFLOW
    return "either" if top > 1e300 else None


def robust_refusal(T, powers, y, w, disabled):
    """The message robust_fit owes this input (numbers as the core receives them), None
    for meaningful input, "either" where rounding decides."""
    for name in disabled:
        if name not in STAGES:
            return f"unknown stage '{name}'"
    design = design_refusal(T, powers)
    if design not in (None, "either"):
        return design
    n, p = T[0].size, len(powers)
    if y.size != n or w.size != n:
        return DIMENSION
    if not (np.all(np.isfinite(y)) and np.all(np.isfinite(w))):
        return NON_FINITE
    if np.any(w < 0.0):
        return "sample weights must be >= 0"
    with np.errstate(over="ignore"):
        total = float(np.sum(w))
    if not total > 0.0:
        return "sample weights must not all be zero"
    if not np.isfinite(total):
        return INFINITE_SUM
    if total < p * (1.0 - 1e-12):
        return BELOW_TERMS
    return "either" if design == "either" or total > 1e307 or total < p * (1 + 1e-12) else None


def overflow_refusals(T, powers, y):
    """Refusals of meaningful input that the data's magnitudes explain: coefficients of a
    term that is nearly zero everywhere or of a huge y, residuals of a huge y or design."""
    allowed = set()
    column_tops = np.max(np.abs(numpy_design(T, powers)), axis=0, initial=0.0)
    top_y = np.max(np.abs(y), initial=0.0)
    if np.any(column_tops < 1e-80) or top_y > 1e200:
        allowed.add(COEF_OVERFLOW)
    # A row of zero weight far out, or a y near the top, can lie beyond any double of the fit.
    if top_y > 1e250 or np.max(column_tops, initial=0.0) > 1e250:
        allowed.add(RESIDUAL_OVERFLOW)
    # A power of the mean holds its level as sd / |mu|^theta, of the order of y^(1 - theta).
    if top_y > 1e150:
        allowed.add(NOISE_OVERFLOW)
    return allowed


def finite_fit(result, n, p, d):
    """Every number of a fit finite, of its shape, and within its range."""
    for key in ("beta", "weights", "scale", "residuals", "leverage", "noise_params"):
        assert np.all(np.isfinite(result[key])), f"non-finite {key} from finite input"
    assert np.all(np.isfinite([result["s0"], result["trimmed_rms"]]))
    counts = {"constant": 1, "power": 3, "two_component": 2, "log_linear": d + 3}
    assert result["beta"].shape == (p,)
    assert result["noise_params"].shape == (counts[result["noise_kind"]],)
    for key in ("weights", "scale", "residuals", "leverage"):
        assert result[key].shape == (n,), key
    assert np.all((result["leverage"] >= 0.0) & (result["leverage"] <= 1.0))
    assert np.all((result["weights"] >= 0.0) & (result["weights"] <= 1.0))
    assert result["s0"] > 0.0 and np.all(result["scale"] > 0.0)


def judged(entry, fn, args, outcomes, refusal, allowed=frozenset(), on_result=None):
    """Calls fn twice: the inputs unchanged, the same bits, and the outcome the oracle
    expects: TypeError for a wrong kind ("type"), the message `refusal`, or (None) a
    result passing `on_result` or one of the `allowed` refusals; "either" accepts both."""
    result, error = twice(fn, args)
    if error is None:
        assert refusal in (None, "either"), f"a result from meaningless input ({refusal})"
        if on_result is not None:
            on_result(result)
        outcomes[(entry, "returned")] += 1
        return
    if refusal == "type":
        assert isinstance(error, TypeError), f"{type(error).__name__}: {error}"
        outcomes[(entry, "TypeError")] += 1
        return
    assert type(error) is ValueError, f"{type(error).__name__}: {error}"
    message = str(error)
    if refusal is None:
        assert message in allowed, f"finite input refused: {message}"
    elif refusal == "either":
        assert message in allowed | {BELOW_TERMS, INFINITE_SUM, DESIGN_OVERFLOW}, message
    else:
        assert message == refusal, f"{message!r} where {refusal!r} was due"
    outcomes[(entry, f"ValueError '{message}'")] += 1


def converted(args):
    T, powers, y, w, seed, disabled = args
    return [as_vector(t) for t in T], powers, as_vector(y), as_vector(w), disabled


@settings(FUZZ, max_examples=ROBUST_EXAMPLES)
@given(case=robust_arguments())
def test_robust_fit(case, outcomes):
    args, fault = case
    if fault in TYPE_FAULTS:
        judged("robust_fit", vc.robust_fit, args, outcomes, "type")
        return
    T, powers, y, w, disabled = converted(args)
    refusal = robust_refusal(T, powers, y, w, disabled)
    allowed = overflow_refusals(T, powers, y) if refusal in (None, "either") else set()
    judged("robust_fit", vc.robust_fit, args, outcomes, refusal, allowed,
           lambda result: finite_fit(result, y.size, len(powers), len(T)))


def fit_outcome(call):
    """The arrays and numbers of a fit, or the kind of its refusal and, for ValueError, its
    message (a TypeError names the entry)."""
    try:
        fits = call()
    except TypeError:
        return "TypeError"
    except ValueError as exc:
        return f"ValueError {exc}"
    return [[np.asarray(value).tobytes() for key, value in sorted(fit.items())
             if key != "noise_scores"] + [sorted(fit["noise_scores"].items())]
            for fit in (fits if isinstance(fits, list) else [fits])]


@settings(FUZZ, max_examples=ROBUST_EXAMPLES // 3)
@given(case=robust_arguments())
def test_search_degrees_is_robust_fit_of_each_candidate(case):
    """Two copies of a candidate side by side: the first, chosen, gets the bits of robust_fit
    with "auto" alone, the second those of constant noise unless "auto" fits a varying model,
    without its weights; a refusal is one of theirs or the score's."""
    (T, powers, y, w, seed, _), _ = case
    automatic = fit_outcome(lambda: vc.robust_fit(T, powers, y, w, seed))
    constant = fit_outcome(lambda: vc.robust_fit(T, powers, y, w, seed, noise="constant"))
    try:
        fits, _, best = vc.search_degrees(T, [powers, powers], y, w, seed)
    except TypeError:
        assert automatic == "TypeError"
        return
    except ValueError as exc:
        assert f"ValueError {exc}" in (automatic, constant) or "score" in str(exc)
        return
    assert best == 0
    auto_fit = vc.robust_fit(T, powers, y, w, seed)
    constant_fit = vc.robust_fit(T, powers, y, w, seed, noise="constant")
    second = auto_fit if auto_fit["noise_kind"] != "constant" else constant_fit
    # The chosen fit alone keeps its weights.
    second = dict(second, weights=[])
    for fit, alone in zip(fits, (auto_fit, second), strict=True):
        assert fit.keys() == alone.keys() - {"residuals", "scale", "leverage"}
        for key, value in fit.items():
            if key == "noise_scores":
                assert value == alone[key]
            else:
                assert np.asarray(value).tobytes() == np.asarray(alone[key]).tobytes(), key


@FUZZ
@given(case=robust_arguments())
def test_design_matrix(case, outcomes):
    (T, powers, *_), fault = case
    if fault in {"type T", "type powers", "exponent beyond int32"}:
        judged("design_matrix", vc.design_matrix, (T, powers), outcomes, "type")
        return
    refusal = design_refusal([as_vector(t) for t in T], powers)
    n = as_vector(T[0]).size if T else 0

    def finite_design(X):
        assert X.shape == (n, len(powers)) and np.all(np.isfinite(X))

    judged("design_matrix", vc.design_matrix, (T, powers), outcomes, refusal,
           on_result=finite_design)


@FUZZ
@given(case=robust_arguments(), data=st.data())
def test_weighted_leverage(case, data, outcomes):
    (T, _, _, w, *_), fault = case
    features = fault not in TYPE_FAULTS | {"length T", "no T"}
    if features and data.draw(st.integers(0, 3), label="the features as X") > 0:
        X = np.column_stack([as_vector(t) for t in T])
    else:
        X = data.draw(matrices(), label="X")
    if fault == "type w":
        judged("weighted_leverage", vc.weighted_leverage, (X, w), outcomes, "type")
        return
    Xc, wc = np.asarray(X, dtype=np.float64), as_vector(w)
    Xc = Xc.reshape(-1, 1) if Xc.ndim == 1 else Xc
    if wc.size != Xc.shape[0]:
        refusal = DIMENSION
    elif not (np.all(np.isfinite(Xc)) and np.all(np.isfinite(wc))):
        refusal = NON_FINITE
    elif np.any(wc < 0.0):
        refusal = "weights must be >= 0"
    else:
        refusal = None

    def within_unit(h):
        assert h.shape == (wc.size,) and np.all((h >= 0.0) & (h <= 1.0))
        assert np.all(h[wc == 0.0] == 0.0)

    judged("weighted_leverage", vc.weighted_leverage, (X, w), outcomes, refusal,
           on_result=within_unit)


@FUZZ
@given(u=vectors())
def test_biweight(u, outcomes):
    values = as_vector(u)

    def finite_parts(parts):
        rho, psi, psi_prime, weight = parts
        for a in parts:
            assert a.shape == values.shape and np.all(np.isfinite(a))
        assert np.all((rho >= 0.0) & (rho <= vc.BIWEIGHT_C**2 / 6))
        assert np.all((weight >= 0.0) & (weight <= 1.0))

    judged("biweight", vc.biweight, (u,), outcomes,
           None if np.all(np.isfinite(values)) else NON_FINITE, on_result=finite_parts)


# The degree score's refusals, in the order the core checks them.
SCALES_NOT_POSITIVE = "the noise scales must be positive"
BAD_WEIGHTS = "the weights must be >= 0 with a finite sum of at least 1"
NOT_A_PERMUTATION = "the order must be a permutation of the rows"
SCORE_OVERFLOW = "the score overflows the double range"


@FUZZ
@given(data=st.data())
def test_degree_score(data, outcomes):
    n = data.draw(lengths, label="n")

    # Meaningful vectors of n rows, one of them of any length and values in a quarter of calls.
    ranges = [(-1e6, 1e6), (0.0, 1.0), (1e-300, 1e300), (0.0, 1.0)]
    rows = [data.draw(hnp.arrays(np.float64, n, elements=st.floats(*r))) for r in ranges]
    rows.append(data.draw(hnp.arrays(np.float64, n, elements=st.integers(0, 3).map(float))))
    if data.draw(st.sampled_from([False, False, False, True]), label="one vector of any kind"):
        rows[data.draw(st.integers(0, 4), label="which")] = data.draw(vectors(), label="vector")
    residuals, leverage, scale, weights, w = rows
    s0 = data.draw(mostly(st.floats(1e-300, 1e300), floats), label="s0")
    n_params = data.draw(ints(), label="n_params")
    mass = data.draw(mostly(st.floats(1e-300, 1e300), floats), label="mass")
    order = data.draw(mostly(st.one_of(st.none(), st.permutations(range(n)).map(np.array)),
                             st.lists(st.integers(-2, n + 1), max_size=n + 1).map(np.array)),
                      label="order")
    args = (residuals, leverage, scale, weights, s0, n_params, w, mass, order)
    r, h, s, rw, ww = map(as_vector, (residuals, leverage, scale, weights, w))
    finite = all(np.all(np.isfinite(a)) for a in (r, h, s, rw, ww)) and math.isfinite(s0)
    with np.errstate(over="ignore", invalid="ignore"):
        total = ww.sum()
    if len({a.size for a in (r, h, s, rw, ww)}) > 1:
        refusal = DIMENSION
    elif not finite:
        refusal = NON_FINITE
    elif not (s0 > 0 and np.all(s > 0)):
        refusal = SCALES_NOT_POSITIVE
    elif np.any(ww < 0) or not (1.0 <= total < math.inf):
        refusal = BAD_WEIGHTS
    elif n_params < 0:
        refusal = "n_params must be >= 0"
    elif order is not None and order.size not in (0, n):
        refusal = DIMENSION
    elif order is not None and order.size and sorted(order.tolist()) != list(range(n)):
        refusal = NOT_A_PERMUTATION
    elif not mass > 0:
        refusal = "the mass must be > 0"
    else:
        refusal = None

    def finite_parts(parts):
        assert len(parts) == 3 and all(math.isfinite(p) for p in parts)
        assert parts[2] >= 0.0

    judged("degree_score", vc.degree_score, args, outcomes, refusal,
           allowed=frozenset({SCORE_OVERFLOW}), on_result=finite_parts)


# A noise model of each kind, its parameters meaningful for d features, and the faults that
# its refusals name, in the order the core checks them.
NOISE_FAULTS = [None] * 12 + ["unknown kind", "count", "nan", "sign", "bounds"]
NOISE_SIGN = {
    "constant": "the noise sd must be positive",
    "power": "the noise sd and the mean's floor must be positive",
    "two_component": "the noise components must be >= 0 and not both 0",
    "log_linear": "the bounds of the log sd must be in increasing order",
}
MEAN_OVERFLOW = "the fitted mean overflows the double range"
SD_OVERFLOW = "the noise sd overflows the double range"


def noise_model(rng, d, fault):
    """(kind, params, zero) of a noise model for d features with `fault` put in."""
    kind = str(rng.choice(list(NOISE_SIGN)))
    params = {
        "constant": lambda: [rng.uniform(1e-3, 2.0)],
        "power": lambda: [rng.uniform(1e-3, 2.0), rng.uniform(-1.0, 2.0), rng.uniform(1e-3, 1.0)],
        "two_component": lambda: [rng.uniform(0.0, 1.0), rng.uniform(1e-3, 1.0)],
        "log_linear": lambda: [*rng.normal(0.0, 1.0, d + 1), -30.0, rng.uniform(-30.0, 30.0)],
    }[kind]()
    if fault == "unknown kind":
        kind = "Constant"
    elif fault == "count":
        params = params[:-1]
    elif fault == "nan":
        params[0] = math.nan
    elif fault == "sign":
        params = [-1.0, *params[1:]] if kind != "log_linear" else [*params[:-2], 1.0, -1.0]
    elif fault == "bounds" and kind == "log_linear":
        params = [*params[:-2], 1.0, -1.0]
    return kind, np.array(params), float(rng.uniform(-1.0, 1.0))


def noise_refusal(kind, fault):
    """The noise model's refusal for `fault` once its rows have passed their checks."""
    if fault == "count":
        return DIMENSION
    if fault == "nan":
        return NON_FINITE
    if fault == "sign" or (fault == "bounds" and kind == "log_linear"):
        return NOISE_SIGN[kind]
    return None


CURVE_FAULTS = [None] * 12 + ["beta length", "nan beta", "length v", "zero v", "nan weights",
                              "inf zero"]


@st.composite
def curve_arguments(draw):
    """fit_uncertainty's arguments on robust_arguments' rows, the faults put in."""
    (T, powers, y, w, seed, _), fault = draw(robust_arguments())
    rng = np.random.default_rng(seed % 2**32)
    curve_fault = draw(st.sampled_from(CURVE_FAULTS), label="curve fault")
    noise_fault = draw(st.sampled_from(NOISE_FAULTS), label="noise fault")
    n = as_vector(T[0]).size if fault not in TYPE_FAULTS and len(T) else 0
    d = len(T) if isinstance(T, list) else 1
    p = len(powers) if isinstance(powers, list) else 1
    beta = rng.normal(0.0, 1.0, p) * rng.choice(MAGNITUDES)
    v = np.exp(rng.normal(0.0, 1.0, n))
    weights = rng.uniform(0.0, 1.0, n)
    kind, params, zero = noise_model(rng, d, noise_fault)
    if curve_fault == "beta length":
        beta = np.append(beta, 1.0)
    elif curve_fault == "nan beta" and p:
        beta[0] = math.nan
    elif curve_fault == "length v":
        v = np.append(v, 1.0)
    elif curve_fault == "zero v" and n:
        v[rng.integers(n)] = draw(st.sampled_from([0.0, -1.0]))
    elif curve_fault == "nan weights" and n:
        weights[rng.integers(n)] = math.nan
    elif curve_fault == "inf zero":
        zero = math.inf
    robust = bool(rng.integers(2))
    args = (T, powers, beta, y, w, v, weights, kind, params, zero, robust)
    return args, (fault, curve_fault, noise_fault)


def rows_refusal(T, powers, beta, y, w, v, weights, zero):
    """The refusal of the curve's rows and coefficients, in the order the core checks them."""
    design = design_refusal(T, powers)
    if design not in (None, "either", DESIGN_OVERFLOW):
        return design
    n = T[0].size
    if beta.size != len(powers) or any(a.size != n for a in (y, w, v, weights)):
        return DIMENSION
    if not all(np.all(np.isfinite(a)) for a in (beta, y, w, v, weights)) or not math.isfinite(
            zero):
        return NON_FINITE
    if np.any(w < 0.0):
        return "sample weights must be >= 0"
    if np.any(v <= 0.0):
        return "var_weights must be > 0"
    return None


@FUZZ
@given(case=curve_arguments())
def test_fit_uncertainty(case, outcomes):
    args, (fault, _, noise_fault) = case
    T, powers, beta, y, w, v, weights, kind, params, zero, robust = args
    if fault in TYPE_FAULTS - {"negative seed"}:
        judged("fit_uncertainty", vc.fit_uncertainty, args, outcomes, "type")
        return
    Tc = [as_vector(t) for t in T]
    allowed = frozenset({MEAN_OVERFLOW, SD_OVERFLOW})
    if noise_fault == "unknown kind":
        refusal = f"unknown noise model '{kind}'"
    else:
        refusal = rows_refusal(Tc, powers, beta, as_vector(y), as_vector(w), v, weights, zero)
    if refusal is None:
        refusal = noise_refusal(kind, noise_fault)
        with np.errstate(all="ignore"):
            X = numpy_design(Tc, powers)
            mean = X @ beta
        if not (np.all(np.abs(X) < 1e300) and np.all(np.abs(mean) < 1e300)):
            # The design's and the mean's overflows are refused before the noise model is
            # read; at their edge rounding decides.
            allowed = allowed | {DESIGN_OVERFLOW} | ({refusal} if refusal else set())
            refusal = None
    n, p = Tc[0].size if Tc else 0, len(powers)

    def shaped(result):
        q = result["noise_cov"].shape[0]
        assert result["mean"].shape == result["scale"].shape == (n,)
        assert np.all(np.isfinite(result["mean"])) and not np.any(np.isnan(result["scale"]))
        assert result["beta_cov"].shape == (p, p) and result["noise_cov"].shape == (q, q)
        assert result["dof_moments"].shape == (1 + q, p, p)

    judged("fit_uncertainty", vc.fit_uncertainty, args, outcomes, refusal, allowed, shaped)


@FUZZ
@given(case=curve_arguments(), data=st.data())
def test_log_sd_gradient(case, data, outcomes):
    (T, _, _, y, _, _, _, kind, params, zero, _), (fault, _, noise_fault) = case
    of_rows = data.draw(mostly(st.just(True), st.just(False)), label="the mean as y")
    mean = y if of_rows else data.draw(vectors(), label="mean")
    args = (kind, params, zero, mean, T)
    if fault == "type T" or (of_rows and fault == "type y"):
        judged("log_sd_gradient", vc.log_sd_gradient, args, outcomes, "type")
        return
    Tc, m = [as_vector(t) for t in T], as_vector(mean)
    if noise_fault == "unknown kind":
        refusal = f"unknown noise model '{kind}'"
    elif noise_fault == "count" or any(t.size != m.size for t in Tc):
        refusal = DIMENSION
    elif noise_fault == "nan" or not (np.all(np.isfinite(m)) and math.isfinite(zero)):
        refusal = NON_FINITE
    else:
        refusal = noise_refusal(kind, noise_fault)
    # The features are read, and so refused when not finite, by the log-linear sd alone.
    if refusal is None and kind == "log_linear" and not all(np.all(np.isfinite(t)) for t in Tc):
        refusal = NON_FINITE
    q = {"power": 2, "two_component": 2, "log_linear": len(Tc) + 1}.get(kind, 1)

    def shaped(J):
        # Infinite only where the gradient lies beyond the doubles (a mean near the top of
        # their range over a small sd), never NaN.
        assert J.shape == (m.size, q) and not np.any(np.isnan(J))

    judged("log_sd_gradient", vc.log_sd_gradient, args, outcomes, refusal,
           frozenset({SD_OVERFLOW}), shaped)
