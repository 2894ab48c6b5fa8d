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


@pytest.fixture
def data():
    rng = np.random.default_rng(7)
    yt = rng.normal(size=50)
    yp = yt + rng.normal(scale=0.5, size=50)
    return yp, yt


def test_k0_all_hits_is_zero():
    yt = np.arange(10.0)
    assert vc.mdl_score(yt, yt, 0) == 0.0


def test_k1_all_hits():
    yt = np.arange(10.0)
    assert vc.mdl_score(yt, yt, 1) == pytest.approx(math.log(40) / 10, rel=1e-15)


@pytest.mark.parametrize("k", [1, 3, 6])
def test_no_hits(k):
    yt = np.arange(8.0)
    yp = yt + 100
    n = yt.size
    assert vc.mdl_score(yp, yt, k) == pytest.approx(k * k * math.log(40) / n + n * math.log(2 * n),
                                                    rel=1e-14)


@pytest.mark.parametrize("k", [-3, 0, 1, 4])
@pytest.mark.parametrize("H", [1, 20, 1000])
def test_matches_closed_form(data, k, H):
    yp, yt = data
    assert vc.mdl_score(yp, yt, k, H) == pytest.approx(closed_form(yp, yt, k, H), rel=1e-13)


def test_default_H_is_20(data):
    yp, yt = data
    assert vc.mdl_score(yp, yt, 3) == vc.mdl_score(yp, yt, 3, 20)
    assert vc.mdl_score(yp, yt, 3) == vc.mdl_score(yp=yp, yt=yt, k=3, H=20)


def test_constant_observations_use_tolerance_04():
    yt = np.zeros(4)
    yp = np.array([0.4, 0.39, 0.0, -0.41])
    expected = -4 * math.log(0.5)
    assert vc.mdl_score(yp, yt, 0) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize(("H", "expected"), [(0, -math.inf), (-1, math.nan)])
def test_degenerate_H(H, expected):
    score = vc.mdl_score([0.0, 1.0], [0.0, 1.0], 2, H)
    assert score == expected or (math.isnan(expected) and math.isnan(score))


def test_empty_observations_give_nan():
    assert math.isnan(vc.mdl_score([], [], 1))


def test_reg_with_zero_weights_equals_unregularised(data):
    yp, yt = data
    junk = np.full((3, 5), np.nan)  # never read with zero weights, so never checked
    assert vc.mdl_score_reg(yp, yt, 2, 7, [1.0, 2.0], junk, junk) == vc.mdl_score(yp, yt, 2, 7)
    assert vc.mdl_score_reg(yp, yt, 2, 7, [1.0, 2.0], junk, junk, -0.0, 0.0) == vc.mdl_score(
        yp, yt, 2, 7)


def test_reg_identity_R1_adds_squared_norm(data):
    yp, yt = data
    base = vc.mdl_score(yp, yt, 2, 20)
    assert vc.mdl_score_reg(yp, yt, 2, 20, [1.0, 2.0], np.eye(2), np.zeros((2, 2)), 1.0) == base + 5.0


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


@pytest.mark.parametrize(
    ("R1", "R2", "gamma1", "gamma2"),
    [(np.eye(3), np.eye(2), 1.0, 0.0), (np.eye(2), np.ones((2, 3)), 0.0, 1.0),
     (np.eye(2)[:, :1], np.eye(2), 1.0, 1.0), (np.zeros((0, 0)), np.eye(2), 1.0, 0.0)],
)
def test_reg_refuses_applied_penalty_of_wrong_shape(data, R1, R2, gamma1, gamma2):
    yp, yt = data
    with pytest.raises(ValueError, match=r"^Dimension mismatch\.$"):
        vc.mdl_score_reg(yp, yt, 2, 20, [1.0, 2.0], R1, R2, gamma1, gamma2)


@pytest.mark.parametrize("score", [lambda yp, yt: vc.mdl_score(yp, yt, 1),
                                   lambda yp, yt: vc.mdl_score_reg(yp, yt, 1, 20, [1.0], [[1.0]], [[1.0]])])
def test_short_prediction_is_refused(score):
    with pytest.raises(ValueError, match=r"^Dimension mismatch\.$"):
        score([0.0], [0.0, 1.0])


def test_reg_requires_H():
    with pytest.raises(TypeError):
        vc.mdl_score_reg([0.0], [0.0], 1, beta=[0.0], R1=[[1.0]], R2=[[1.0]])
