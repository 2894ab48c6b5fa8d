"""Many data sets in one call: each as its own search and uncertainty, whatever shares the call."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vasq_core as vc

CANDIDATES = [[[j] for j in range(k)] for k in range(1, 5)]


def data_sets():
    """Mixed lengths (odd, so that most start off the stack's alignment), candidate counts,
    weights and noise, one data set with a NaN feature and one too short for its candidates."""
    rng = np.random.default_rng(5)
    out = []
    for n, count in [(31, 4), (7, 4), (48, 2), (25, 3), (3, 4), (57, 4)]:
        x = np.linspace(-1.0, 1.0, n)
        y = 1.0 - x + 2.0 * x**2 + rng.normal(0.0, 0.1 + 0.2 * (x + 1.0), n)
        y[rng.random(n) < 0.15] += 4.0
        if n == 25:
            x[3] = np.nan
        w = rng.integers(1, 3, n).astype(float) if n > 3 else np.ones(n)
        out.append((x, y, w, rng.uniform(0.5, 2.0, n), count, rng.uniform(-1.0, 0.0),
                    int(rng.integers(1 << 31))))
    return out


def stacked_call(sets, noise="auto"):
    offsets = np.cumsum([0] + [s[0].size for s in sets])
    x, y, w, v = (np.concatenate([s[k] for s in sets]) for k in range(4))
    return vc.fit_series([x], y, w, v, offsets, CANDIDATES, [s[4] for s in sets],
                         [s[5] for s in sets], [s[6] for s in sets], noise)


def alone(x, y, w, v, count, zero, seed, noise):
    try:
        fits, scores, best = vc.search_degrees([x], CANDIDATES[:count], y, w, seed, v, zero, noise)
    except ValueError as error:
        return str(error)
    chosen = fits[best]
    fitted = vc.fit_uncertainty([x], CANDIDATES[best], chosen["beta"], y, w, v,
                                chosen["weights"], chosen["noise_kind"], chosen["noise_params"],
                                zero, True)
    return fits, scores, best, fitted


def assert_same(stacked, single):
    if isinstance(single, str):
        assert stacked == single
        return
    (fits, scores, best, fitted), (fits1, scores1, best1, fitted1) = stacked, single
    assert (scores, best) == (scores1, best1)
    for a, b in zip(fits + [fitted], fits1 + [fitted1], strict=True):
        assert a.keys() == b.keys()
        for key in a:
            np.testing.assert_array_equal(a[key], b[key], strict=True)


@pytest.mark.parametrize("noise", ["auto", "power"])
def test_each_data_set_is_the_same_bits_as_fitted_alone(noise):
    sets = data_sets()
    found = stacked_call(sets, noise)
    for s, result in zip(sets, found, strict=True):
        assert_same(result, alone(*s, noise))
    assert "Non-finite input" in found[3] and "number of terms" in found[4]


def results_in_subprocess(n_threads):
    script = """
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
from test_series import data_sets, stacked_call
parts = []
for result in stacked_call(data_sets()):
    if isinstance(result, str):
        continue
    fits, scores, best, fitted = result
    parts += [np.ravel(scores), [best], fits[best]["weights"], fitted["beta_cov"].ravel()]
    parts += [f["beta"] for f in fits]
sys.stdout.buffer.write(np.concatenate(parts).tobytes())
"""
    path = os.pathsep.join([os.path.dirname(vc.__file__), os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, OMP_NUM_THREADS=str(n_threads), PYTHONPATH=path)
    out = subprocess.run([sys.executable, "-c", script, os.path.dirname(__file__)], env=env,
                         capture_output=True, check=True)
    return np.frombuffer(out.stdout)


def test_same_bits_on_any_thread_count():
    reference = results_in_subprocess(1)
    for n_threads in (2, 4):
        np.testing.assert_array_equal(results_in_subprocess(n_threads), reference)


X = np.linspace(-1.0, 1.0, 10)
GOOD = {"T": [X], "y": np.sin(X), "w": np.ones(10), "var_weights": np.ones(10),
        "offsets": [0, 4, 10], "candidates": CANDIDATES[:2], "n_candidates": [1, 2],
        "zero": [0.0, 0.0], "seeds": [1, 2], "noise": "constant"}


@pytest.mark.parametrize("change", [
    {"offsets": [1, 4, 10]}, {"offsets": [0, 4, 9]}, {"offsets": [0, 11, 10]},
    {"offsets": [0, 10]}, {"n_candidates": [0, 2]}, {"n_candidates": [1, 3]},
    {"zero": [0.0]}, {"seeds": [1, 2, 3]}, {"w": np.ones(9)}, {"T": [X, X[:9]]},
])
def test_a_stack_that_does_not_cover_its_rows_is_refused(change):
    with pytest.raises(ValueError, match="Dimension mismatch"):
        vc.fit_series(**(GOOD | change))


def test_no_data_sets_give_no_results():
    empty = np.empty(0)
    assert vc.fit_series([empty], empty, empty, empty, [0], CANDIDATES, [], [], [], "auto") == []
