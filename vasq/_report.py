"""The summary of a fitted model: coefficients with their tests, the degrees tried, the noise."""

from __future__ import annotations

import textwrap
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray
from scipy.stats import t as student_t

from vasq._uncertainty import critical_value

if TYPE_CHECKING:
    from vasq._model import PolynomialModel

COVARIANCE = {"robust": "H2, local scales", "ols": "classical (WLS)",
              "penalized": "classical, penalty left out"}


def summary(model: PolynomialModel) -> str:
    """The table of `model.summary`, its terms named after `model.feature_names`."""
    coef, se, dof = model.coef, model.coef_se, model.dof
    order = term_order(model.powers)
    best = min(model.bic_scores, key=lambda d: model.bic_scores[d])
    rows = [
        (str(d), score,
         " ".join(m for m, on in (("chosen", d == model.degree), ("lowest", d == best)) if on))
        for d, score in model.bic_scores.items()
    ]
    header = [
        ("Method", model.method),
        ("Degree", str(model.degree)),
        ("Observations", str(model.n_samples)),
        ("Inliers", str(model.n_inliers)),
        ("Noise scale", f"{model.scale:.4g}"),
        ("Noise model", model.noise.kind),
        ("Df residuals", f"{dof:g}"),
        ("Covariance", COVARIANCE[model.method]),
    ]
    names = term_names(model.powers, model.feature_names)
    text = table(
        [names[i] for i in order], coef[order], se[order], dof, rows, header
    )
    if len(model.bic_scores) > 1:
        rule = (
            "the lowest trimmed BIC among every degree that could be fitted (normal "
            "likelihood of the leave-one-out residuals, standardised ones below 30 points, on "
            "the best-fitting half, the same weight for every degree, plus k log W)"
        )
    else:
        rule = "the only degree tried"
    notes = [f"Degree rule: {rule}."]
    if model.reached_max_degree:
        notes.append("The highest degree that could be tried was chosen: a higher one may fit "
                     "better (raise max_degree).")
    if np.isnan(dof) or np.isnan(se).all():
        notes.append("Standard errors are NaN: the inliers' total weight does not exceed the "
                     "number of terms.")
    return "\n".join([text, *(line for n in notes for line in textwrap.wrap(n, 78))])


def term_order(powers: NDArray[np.int64]) -> list[int]:
    """The terms by total degree, then with the earlier features' exponents first."""
    rows = powers.tolist()
    return sorted(range(len(rows)), key=lambda i: (sum(rows[i]), [-e for e in rows[i]]))


def term_names(powers: NDArray[np.int64], features: Sequence[str]) -> list[str]:
    """Names of the monomial terms, such as "const", "x0^2" or "x0*x1"."""
    names = []
    for p in powers.tolist():
        parts = [f if e == 1 else f"{f}^{e}" for f, e in zip(features, p, strict=True) if e > 0]
        names.append("*".join(parts) or "const")
    return names


def table(
    names: Sequence[str],
    coef: NDArray[np.float64],
    se: NDArray[np.float64],
    dof: float,
    degree_rows: Sequence[tuple[str, float, str]],
    header: Sequence[tuple[str, str]],
) -> str:
    """The table of coefficients and candidates under `header`.

    Coefficients with their t tests and 95 % intervals (Student's t, `dof` degrees of
    freedom), then (degree, trimmed BIC, mark) of every candidate.
    """
    width = max(78, max(len(n) for n in names) + 66)
    rule, thin = "=" * width, "-" * width
    half = (len(header) + 1) // 2
    left, right = header[:half], header[half:]
    lines = ["Robust polynomial regression results".center(width), rule]
    span = width // 2
    for i, (label, value) in enumerate(left):
        text = f"{label + ':':<20}{value:>{span - 22}}  "
        if i < len(right):
            label2, value2 = right[i]
            text += f"{label2 + ':':<20}{value2:>{width - span - 20}}"
        lines.append(text.rstrip())
    with np.errstate(invalid="ignore", divide="ignore"):
        t = coef / se
    p = 2.0 * student_t.sf(np.abs(t), dof)
    q = critical_value(0.95, dof)
    name_width = width - 66
    lines += [
        rule,
        f"{'':<{name_width}}{'coef':>12}{'std err':>11}{'t':>10}{'P>|t|':>9}"
        f"{'[0.025':>12}{'0.975]':>12}",
        thin,
    ]
    for name, c, s, ti, pi in zip(names, coef, se, t, p, strict=True):
        lines.append(
            f"{name:<{name_width}}{c:>12.4g}{s:>11.3g}{ti:>10.3f}{pi:>9.3f}"
            f"{c - q * s:>12.4g}{c + q * s:>12.4g}"
        )
    lines += [rule, f"{'degree':<16}{'trimmed BIC':>14}", thin]
    lines += [f"{d:<16}{score:>14.4f}  {mark}".rstrip() for d, score, mark in degree_rows]
    lines.append(rule)
    return "\n".join(lines)
