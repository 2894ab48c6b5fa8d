"""MDL scores against the closed form k^2 ln(2H)/n - n ln(sr)."""

import math

import numpy as np
import pytest

import vasq_core as vc


def tolerance(yt):
    yt = np.asarray(yt, dtype=float)
    s = float(np.median(np.abs(yt - np.median(yt)))) if yt.size else 0.0
    return 0.4 * s if s > 0 else 0.4


def closed_form(yp, yt, k, H):
    yp, yt = np.asarray(yp, float), np.asarray(yt, float)
    n = yt.size
    sr = max(np.mean(np.abs(yp[:n] - yt) < tolerance(yt)), 1 / (2 * n))
    model = k * k * math.log(2 * H) / n if k > 0 else 0.0
    return model - n * math.log(sr)


_rng = np.random.default_rng(7)
YT = _rng.normal(size=50)
YP = YT + _rng.normal(scale=0.5, size=50)


@pytest.fixture
def data():
    return YP, YT


@pytest.mark.parametrize("k", [-3, 0, 1, 3, 4, 6])
@pytest.mark.parametrize("H", [1, 20, 1000])
@pytest.mark.parametrize(
    ("yp", "yt", "rel"),
    [
        (np.arange(10.0), np.arange(10.0), 1e-15),  # every hit: the model term alone
        (np.arange(8.0) + 100, np.arange(8.0), 1e-14),  # no hit: sr floored at 1 / (2n)
        ([0.4, 0.39, 0.0, -0.41], np.zeros(4), 1e-15),  # constant observations: tolerance 0.4
        (YP, YT, 1e-13),
    ],
)
def test_matches_closed_form(yp, yt, rel, k, H):
    assert vc.mdl_score(yp, yt, k, H) == pytest.approx(closed_form(yp, yt, k, H), rel=rel, abs=0)


@pytest.mark.parametrize(
    ("yt", "H", "expected"),
    [([0.0, 1.0], 0, -math.inf), ([0.0, 1.0], -1, math.nan), ([], 20, math.nan)],
)
def test_degenerate_H_and_empty_observations(yt, H, expected):
    np.testing.assert_array_equal(vc.mdl_score(yt, yt, 2, H), expected)


def test_reg_with_zero_weights_equals_unregularised(data):
    yp, yt = data
    junk = np.full((3, 5), np.nan)  # never read with zero weights, so never checked
    assert vc.mdl_score_reg(yp, yt, 2, 7, [1.0, 2.0], junk, junk) == vc.mdl_score(yp, yt, 2, 7)
    assert vc.mdl_score_reg(yp, yt, 2, 7, [1.0, 2.0], junk, junk, -0.0, 0.0) == vc.mdl_score(
        yp, yt, 2, 7
    )


def test_reg_identity_R1_adds_squared_norm(data):
    yp, yt = data
    base = vc.mdl_score(yp, yt, 2, 20)
    got = vc.mdl_score_reg(yp, yt, 2, 20, [1.0, 2.0], np.eye(2), np.zeros((2, 2)), 1.0)
    assert got == base + 5.0


def test_reg_matches_quadratic_forms(data):
    yp, yt = data
    rng = np.random.default_rng(11)
    beta = rng.normal(size=4)
    A, B = rng.normal(size=(4, 4)), rng.normal(size=(4, 4))
    R1, R2 = A @ A.T, B @ B.T
    got = vc.mdl_score_reg(yp, yt, 4, 20, beta, R1, R2, 0.3, 0.7)
    expected = closed_form(yp, yt, 4, 20) + 0.3 * beta @ R1 @ beta + 0.7 * beta @ R2 @ beta
    assert got == pytest.approx(expected, rel=1e-13)


def test_reg_nan_weight_is_applied(data):
    yp, yt = data
    assert math.isnan(vc.mdl_score_reg(yp, yt, 1, 20, [1.0], [[1.0]], [[1.0]], math.nan, 0.0))


def reg(R1, R2, gamma1, gamma2):
    return lambda: vc.mdl_score_reg(YP, YT, 2, 20, [1.0, 2.0], R1, R2, gamma1, gamma2)


DIMENSION = r"^Dimension mismatch\.$"


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        # An applied penalty of the wrong shape.
        (reg(np.eye(3), np.eye(2), 1.0, 0.0), ValueError, DIMENSION),
        (reg(np.eye(2), np.ones((2, 3)), 0.0, 1.0), ValueError, DIMENSION),
        (reg(np.eye(2)[:, :1], np.eye(2), 1.0, 1.0), ValueError, DIMENSION),
        (reg(np.zeros((0, 0)), np.eye(2), 1.0, 0.0), ValueError, DIMENSION),
        # A short prediction.
        (lambda: vc.mdl_score([0.0], [0.0, 1.0], 1), ValueError, DIMENSION),
        (
            lambda: vc.mdl_score_reg([0.0], [0.0, 1.0], 1, 20, [1.0], [[1.0]], [[1.0]]),
            ValueError,
            DIMENSION,
        ),
        # The regularised score has no default H.
        (
            lambda: vc.mdl_score_reg([0.0], [0.0], 1, beta=[0.0], R1=[[1.0]], R2=[[1.0]]),
            TypeError,
            None,
        ),
    ],
)
def test_bad_input_is_refused(call, error, match):
    with pytest.raises(error, match=match):
        call()
