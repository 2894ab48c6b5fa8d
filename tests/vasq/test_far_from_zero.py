"""Data far from zero or near the ends of the double range: saved models, coefficients, y."""

import re
from fractions import Fraction

import numpy as np
import pytest

from vasq import RobustPolynomialRegressor, load_model
from vasq.cli import main, plot


def exact_coefficients(model):
    """The one-feature model's polynomial in raw x, in rationals: interpolated at 0, 1, ..., d.

    Evaluation of the scaled form and a Vandermonde solve, independent of any expansion.
    """
    s = model.scaling
    c, h = Fraction(s.centre[0]), Fraction(s.half[0])
    loc, scale = Fraction(s.y_loc), Fraction(s.y_scale)
    terms = [(Fraction(b), int(p)) for b, p in zip(model.beta.tolist(), model.powers[:, 0], strict=True)]

    def value(x):
        return loc + scale * sum(b * ((x - c) / h) ** p for b, p in terms)

    n = int(model.powers.max()) + 1
    rows = [[Fraction(x) ** j for j in range(n)] + [value(Fraction(x))] for x in range(n)]
    for i in range(n):  # Gauss-Jordan; the Vandermonde matrix at 0..d needs no pivoting
        rows[i] = [v / rows[i][i] for v in rows[i]]
        for r in range(n):
            if r != i:
                rows[r] = [a - rows[r][i] * b for a, b in zip(rows[r], rows[i], strict=True)]
    return [row[n] for row in rows]


def fitted(x, y, **params):
    return RobustPolynomialRegressor(random_state=0, **params).fit(x[:, None], y)


def offset_cases():
    """(x, y, truth, degree): a polynomial in (x - x0) / w and noise 0.01, x0 >> w."""
    rng = np.random.default_rng(11)
    u = rng.uniform(-1.0, 1.0, 300)
    poly = np.polynomial.Polynomial([0.3, -1.0, 0.5, 0.8, -0.4, 0.2, 0.1])
    for x0, w, degree in ((1e4, 10.0, 6), (2451545.0 + 182.5, 182.5, 4), (2020.5, 0.5, 4)):
        truth = poly.cutdeg(degree)
        yield x0 + w * u, truth(u) + rng.normal(0.0, 0.01, u.size), (x0, w, truth), degree


CASES = list(offset_cases())
CASE_IDS = ["1e4", "julian", "decimal-years"]


def test_cli_plot_and_json_use_the_scaled_model(tmp_path, capsys):
    x, y, (x0, w, _), degree = CASES[0]
    path = tmp_path / "d.csv"
    path.write_text("x,y\n" + "".join(f"{a!r},{b!r}\n" for a, b in zip(x.tolist(), y.tolist(), strict=True)))
    json_path = tmp_path / "m.json"
    assert main(["fit", str(path), "--x", "x", "--y", "y", "--degree", str(degree), "--json",
                 str(json_path), "--plot", str(tmp_path / "p.png")]) == 0
    capsys.readouterr()
    est = RobustPolynomialRegressor(degree=degree, random_state=0).fit(x[:, None], y)
    loaded = load_model(json_path)
    grid = np.linspace(x.min(), x.max(), 400)
    assert loaded.predict(grid[:, None]).tobytes() == est.predict(grid[:, None]).tobytes()
    figure = plot.plot_fit(loaded, x[:, None], y)
    curve = figure.axes[0].lines[0]
    np.testing.assert_array_equal(curve.get_xdata(), grid)
    assert np.asarray(curve.get_ydata()).tobytes() == est.predict(grid[:, None]).tobytes()


def test_cli_reports_coefficients_beyond_range_and_still_writes_the_model(tmp_path, capsys):
    u = np.linspace(-1.0, 1.0, 40)
    path = tmp_path / "d.csv"
    path.write_text("x,y\n" + "".join(f"{1e300 * (2 + a)!r},{a * a!r}\n" for a in u.tolist()))
    assert main(["fit", str(path), "--x", "x", "--y", "y", "--degree", "2", "--method", "ols",
                 "--json", str(tmp_path / "m.json")]) == 0
    out = capsys.readouterr().out
    assert "coefficients not shown: the coefficient of x0^2" in out
    assert re.search(r"^trimmed BIC by degree: 2: -?\d+\.\d{4}$", out, flags=re.M)
    loaded = load_model(tmp_path / "m.json")
    np.testing.assert_allclose(loaded.predict(1e300 * (2 + u[:, None])), u * u, atol=1e-9)


def edge_data(x_scale, y_scale, seed=5):
    """40 points of 0.3 + u - u**2 (u in [-1, 1]) at x = x_scale * (2 + u), y times y_scale."""
    u = np.random.default_rng(seed).uniform(-1.0, 1.0, 40)
    return x_scale * (2.0 + u), y_scale * (0.3 + u - u * u)


@pytest.mark.parametrize(
    ("x_scale", "y_scale", "term", "index"),
    [(1e300, 1.0, "x0^2", 2), (1e-300, 1.0, "x0^2", 2), (1e300, 1e-300, "x0", 1)],
)
def test_coefficients_beyond_double_range_are_refused_but_the_fit_stands(
    tmp_path, x_scale, y_scale, term, index
):
    x, y = edge_data(x_scale, y_scale)
    est = fitted(x, y, degree=2, method="ols")
    exact = exact_coefficients(est.model_)[index]
    pattern = (rf"the coefficient of {re.escape(term)} in the units of the data, about "
               r"(-?\d\.\d\d)e(-?\d+), is beyond the range of double precision")
    for attribute in ("coef_", "polynomial_"):
        with pytest.raises(ValueError, match=pattern) as caught:
            getattr(est, attribute)
        mantissa, exponent = re.search(pattern, str(caught.value)).groups()
        shown = Fraction(mantissa) * Fraction(10) ** int(exponent)
        assert abs(shown / exact - 1) < Fraction(1, 100)
    u = x / x_scale - 2.0
    np.testing.assert_allclose(est.predict(x[:, None]), y_scale * (0.3 + u - u * u),
                               rtol=1e-9, atol=1e-9 * y_scale)
    est.model_.save(tmp_path / "m.json")
    loaded = load_model(tmp_path / "m.json").predict(x[:, None])
    assert loaded.tobytes() == est.predict(x[:, None]).tobytes()


EDGES = [(1e300, 1e300), (1e-300, 1e-300), (1.0, 2e307), (1.0, 1e-300), (3.0, 2.5e307)]


@pytest.mark.parametrize(
    ("x", "y", "degree", "truth", "atol"),
    [(x, y, degree, lambda t, x0=x0, w=w, p=p: p((t - x0) / w), 0.02)
     for x, y, (x0, w, p), degree in CASES]
    + [(*edge_data(a, b), 2, lambda t, a=a, b=b: b * (0.3 + (t / a - 2) - (t / a - 2) ** 2),
        1e-9 * b) for a, b in EDGES],
    ids=CASE_IDS + [f"x{a:g}-y{b:g}" for a, b in EDGES],
)
def test_coefficients_are_the_exact_ones_correctly_rounded(tmp_path, x, y, degree, truth, atol):
    """Also: a saved model predicts what the estimator does, to the bit, 20 % beyond the data."""
    est = fitted(x, y, degree=degree, method="ols")
    exact = exact_coefficients(est.model_)
    np.testing.assert_array_equal(est.coef_, [float(v) for v in exact])
    np.testing.assert_array_equal(est.polynomial_.coef, est.coef_)
    np.testing.assert_allclose(est.predict(x[:, None]), truth(x), rtol=0, atol=atol)
    est.model_.save(tmp_path / "m.json")
    grid = x.min() + (x.max() - x.min()) * np.linspace(-0.1, 1.1, 301)
    assert load_model(tmp_path / "m.json").predict(grid[:, None]).tobytes() == est.predict(
        grid[:, None]).tobytes()


@pytest.mark.parametrize("top", [1e308, 1.7e308])
@pytest.mark.parametrize("method", ["robust", "ols"])
def test_y_across_the_whole_double_range_is_fitted(method, top):
    u = np.random.default_rng(2).uniform(-1.0, 1.0, 60)
    y = top * u  # differences, sums and squares of y overflow; 1.7e308 caps y's scale
    est = fitted(u, y, degree=1, method=method)
    assert est.degree_ == 1 and est.inlier_mask_.all()
    np.testing.assert_allclose(est.predict(u[:, None]) / top, u, atol=1e-12)
    np.testing.assert_allclose(est.coef_ / top, [0.0, 1.0], atol=1e-12)


def test_powers_of_two_in_x_and_y_scale_the_fit_exactly():
    # Exact changes of units give the same standardised data, so the same fit to the bit.
    x, y = edge_data(1.0, 1.0)
    base = fitted(x, y, degree=2)
    grid = np.linspace(0.5, 3.5, 31)[:, None]
    for kx, ky in ((0, 1020), (0, -1000), (900, 0), (-900, 500)):
        moved = fitted(np.ldexp(x, kx), np.ldexp(y, ky), degree=2)
        assert moved.inlier_mask_.tolist() == base.inlier_mask_.tolist()
        expected = np.ldexp(base.predict(grid), ky)
        assert moved.predict(np.ldexp(grid, kx)).tobytes() == expected.tobytes(), (kx, ky)


@pytest.mark.parametrize("method", ["robust", "ols"])
@pytest.mark.parametrize("seed", [1, 2, 5])
def test_coefficient_covariance_scales_with_y_until_it_leaves_the_double_range(method, seed):
    """Beyond y_scale ~ 1.3e154 the square of the scale overflows: a covariance that fits
    in doubles is still given (y times 2^520 scales it exactly by 2^1040, whatever the
    digits of the noise), one that does not is refused with a ValueError, not an
    OverflowError."""
    x, y = edge_data(1.0, 1.0)
    y = y + np.random.default_rng(seed).normal(0.0, 1e-3, y.size)
    base = fitted(x, y, degree=2, method=method).coef_se_
    big = fitted(x, y * 2.0**520, degree=2, method=method).coef_se_
    np.testing.assert_array_equal(big, base * 2.0**520)
    with pytest.raises(ValueError, match="covariance in the units of the data is beyond"):
        fitted(x, y * 1e200, degree=2, method=method).coef_se_
