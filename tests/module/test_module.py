"""Module entry, registration table and the conversion rules at the Python boundary."""

import glob
import os
import subprocess
import sys

import numpy as np
import pytest

import vasq_core as vc


def test_docstring_and_registration_order():
    assert vc.__doc__ == "VASQ-P performans-kritik cekirdegi (C++/Eigen)."
    public = [name for name in vc.__dict__ if not name.startswith("_")]
    expected = [
        "mad", "compute_sr", "mdl_score", "mdl_score_reg", "design_matrix_1d",
        "smoothness_penalty_matrices_1d", "boundary_reduce_1d", "design_matrix_nd",
        "build_penalty_matrices_nd", "ols", "fit_regularized_linear", "GibbsResult",
        "gibbs_entropy", "MCMCResult", "TournamentMCMC", "robust_fit", "design_matrix",
        "biweight", "BIWEIGHT_C", "weighted_leverage", "noise_scale", "INLIER_CUT",
        "degree_score", "search_degrees", "parsimonious", "log_sd_gradient", "fit_uncertainty",
        "fit_series",
    ]
    assert public == expected


def test_second_import_returns_the_same_module():
    first = sys.modules.pop("vasq_core")
    try:
        import vasq_core as again

        assert again is first
    finally:
        sys.modules["vasq_core"] = first


@pytest.mark.parametrize("cls", [vc.GibbsResult, vc.MCMCResult])
def test_result_classes_have_no_constructor(cls):
    with pytest.raises(TypeError, match="No constructor defined!$"):
        cls()


def _other_pythons():
    roots = [os.environ.get("PYENV_ROOT", ""), os.path.expanduser("~/.pyenv"), "/root/.pyenv"]
    found = []
    for minor in ("3.12", "3.14"):
        for root in roots:
            found += glob.glob(f"{root}/versions/{minor}.*/bin/python{minor}")
        found += glob.glob(f"/usr/bin/python{minor}")
    return sorted(set(found))


@pytest.mark.skipif(not _other_pythons(), reason="no Python other than 3.13 on this machine")
def test_other_interpreter_version_is_refused():
    code = (
        "import importlib.machinery, importlib.util, os, sys\n"
        # Lazy binding lets the init entry run although newer API symbols are missing.
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        f"loader = importlib.machinery.ExtensionFileLoader('vasq_core', {vc.__file__!r})\n"
        "spec = importlib.util.spec_from_loader('vasq_core', loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([_other_pythons()[0], "-c", code], capture_output=True, text=True,
                         timeout=60)
    message = out.stdout.strip()
    assert message.startswith(
        "Python version mismatch: module was compiled for Python 3.13, but the interpreter "
        "version is incompatible: "
    )
    assert message.endswith(".")
    assert not message.split("incompatible: ")[1].startswith("3.13")


# Conversion rules, exercised through the simplest rows that use each kind.

@pytest.mark.parametrize(
    "y",
    [[1.0, 2.0, 3.0, 4.0], (1, 2, 3, 4), np.array([1, 2, 3, 4]), np.array([[1.0], [2.0], [3.0], [4.0]]),
     np.array([1.0, 0.0, 2.0, 0.0, 3.0, 0.0, 4.0, 0.0])[::2], np.array([1, 2, 3, 4], dtype=np.float32)],
    ids=["list", "tuple", "int-array", "column", "strided", "float32"],
)
def test_column_vector_accepts_array_likes(y):
    assert vc.mad(y) == 1.0


REFUSED = {
    "matrix": lambda: vc.mad(np.zeros((4, 2))),
    "row": lambda: vc.mad(np.zeros((1, 4))),
    "3-d": lambda: vc.mad(np.zeros((2, 2, 1))),
    "text": lambda: vc.mad("abc"),
    "none": lambda: vc.mad(None),
    **{f"int-{k!r}": lambda k=k: vc.mdl_score([0.0], [0.0], k)
       for k in [2.0, np.float64(2.0), "2", 2**31]},
    "unknown-keyword": lambda: vc.compute_sr([0.0], [0.0], tol=0.2),
    "missing-argument": lambda: vc.mdl_score_reg([0.0], [0.0], 1, beta=[0.0], R1=[[0.0]],
                                                 R2=[[0.0]]),
}


@pytest.mark.parametrize("call", REFUSED.values(), ids=REFUSED.keys())
def test_other_shapes_kinds_and_names_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(("call", "same"), [
    (lambda: vc.mdl_score([0.0], [0.0], np.int64(1)), lambda: vc.mdl_score([0.0], [0.0], 1)),
    (lambda: vc.compute_sr([0.0, 0.0], [0.5, 2.0], 1),
     lambda: vc.compute_sr([0.0, 0.0], [0.5, 2.0], 1.0)),
    (lambda: vc.compute_sr(yt=[0.0, 1.0, 2.0], yp=[0.1, 1.5, 2.0], eps=0.2),
     lambda: vc.compute_sr([0.1, 1.5, 2.0], [0.0, 1.0, 2.0], 0.2)),
], ids=["index-protocol-int", "int-as-float", "keywords"])
def test_equivalent_arguments_give_the_same_result(call, same):
    assert call() == same()


def test_arguments_are_left_unchanged_and_results_are_independent_of_later_changes():
    y = np.array([1.0, 2.0, 3.0, 4.0])
    vc.mad(y)
    np.testing.assert_array_equal(y, [1.0, 2.0, 3.0, 4.0])
    x = np.array([2.0, -1.0])
    V = vc.design_matrix_1d(3, x)
    x[:] = 0.0
    np.testing.assert_array_equal(V, [[1, 2, 4, 8], [1, -1, 1, -1]])
    V[:] = 0.0
    np.testing.assert_array_equal(vc.design_matrix_1d(3, [2.0, -1.0]), [[1, 2, 4, 8], [1, -1, 1, -1]])
    assert V.flags.writeable


# Vectors of the rows are read in NumPy's memory where they are contiguous float64 aligned as
# Eigen's own storage, and copied elsewhere. A view at another address must give the same
# bits: Eigen's vectorised sums start at the first aligned element, so summing a view eight
# bytes off would round differently.

def _at_address(values, offset):
    """`values` in memory `offset` bytes past a 16-byte boundary (0 or 8)."""
    raw = np.empty(values.size + 2)
    start = ((offset - raw.ctypes.data) % 16) // 8
    view = raw[start:start + values.size]
    view[:] = values
    assert view.ctypes.data % 16 == offset
    return view


def _strided(values):
    raw = np.zeros(2 * values.size)
    raw[::2] = values
    return raw[::2]


LAYOUTS = {
    "offset-8": lambda a: _at_address(a, 8),
    "strided": _strided,
    "big-endian": lambda a: a.astype(">f8"),
    "list": lambda a: a.tolist(),
}


def _heteroscedastic_rows(n=300):
    rng = np.random.default_rng(3)
    x = np.sort(rng.uniform(-1.0, 1.0, n))
    mean = 2.0 + x - 1.5 * x**2
    y = mean + 0.05 * (1.0 + 4.0 * np.abs(mean)) * rng.standard_normal(n)
    y[::37] += 3.0  # outliers
    w = rng.integers(1, 3, n).astype(float)
    v = np.exp(rng.normal(0.0, 0.3, n))
    return x, y, w, v


def _search(x, y, w, v):
    candidates = [[[j] for j in range(k)] for k in range(1, 5)]
    return vc.search_degrees([x], candidates, y, w, 5, var_weights=v, zero=-1.0)


def _bits(*arrays):
    return [np.asarray(a, dtype=np.float64).tobytes() for a in arrays]


def _fit_bits(fit):
    return _bits(fit["beta"], fit["weights"], fit["noise_params"], [fit["s0"], fit["trimmed_rms"]])


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("moved", ["x", "y", "w", "v"])
def test_vector_arguments_give_the_same_bits_at_any_address(layout, moved):
    rows = dict(zip("xywv", (_at_address(a, 0) for a in _heteroscedastic_rows()), strict=True))
    fits, scores, best = _search(*rows.values())
    chosen = fits[best]
    assert chosen["noise_kind"] != "constant"  # the varying noise fits read the rows too
    given = {**rows, moved: LAYOUTS[layout](rows[moved])}
    fits_2, scores_2, best_2 = _search(*given.values())
    assert (best_2, scores_2) == (best, scores)
    assert _fit_bits(fits_2[best]) == _fit_bits(chosen)

    def uncertainty(x, y, w, v, weights):
        out = vc.fit_uncertainty([x], [[j] for j in range(chosen["beta"].size)], chosen["beta"],
                                 y, w, v, weights, chosen["noise_kind"], chosen["noise_params"],
                                 -1.0, True)
        return _bits(out["mean"], out["scale"], out["beta_cov"], out["noise_cov"],
                     out["dof_moments"], [out["scale_dof"]])

    weights = _at_address(chosen["weights"], 0)
    reference = uncertainty(*rows.values(), weights)
    assert uncertainty(*given.values(), weights) == reference
    assert uncertainty(*rows.values(), LAYOUTS[layout](weights)) == reference



def test_weights_whose_total_depends_on_the_order_of_summation():
    # Each half is absorbed into 2**52 (ties to even) where it is added to it, and kept where
    # the halves are summed first: a view whose sum started one element later would change
    # the total weight by 75, and so every trimmed mass.
    x, y, _, v = _heteroscedastic_rows()
    w = np.full(x.size, 0.5)
    w[0] = 2.0**52
    aligned = _search(x, y, _at_address(w, 0), v)
    for layout in ("offset-8", "strided"):
        fits, scores, best = _search(x, y, LAYOUTS[layout](w), v)
        assert (best, scores) == (aligned[2], aligned[1])
        assert [_fit_bits(f) for f in fits] == [_fit_bits(f) for f in aligned[0]]
