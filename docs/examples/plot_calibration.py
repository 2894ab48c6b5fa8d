"""
Calibration curve and inverse prediction
========================================

A detector is calibrated with 12 standards from 0 to 500 µg/L, each measured four times.
The noise grows with the signal, and six readings are spoiled (a bubble in the cell, a
carry-over from the previous sample). The calibration curve is fitted robustly; then the
concentrations of unknown samples are read from their signals.
"""

# %%
# The standards
# -------------
import warnings

import matplotlib.pyplot as plt
import numpy as np

from vasq import RobustPolynomialRegressor

rng = np.random.default_rng(2026)
standards = np.linspace(0.0, 500.0, 12)
conc = np.repeat(standards, 4)


def response(c: np.ndarray) -> np.ndarray:
    """The detector's true response in mV: slightly saturating."""
    return 5.0 + 1.9 * c - 6.0e-4 * c**2


signal = response(conc) + rng.normal(0.0, 1.0, conc.size) * (1.0 + 0.01 * conc)
spoiled = rng.choice(conc.size, 6, replace=False)
signal[spoiled] += rng.choice([-1.0, 1.0], 6) * rng.uniform(40.0, 120.0, 6)

# %%
# The fit
# -------
# The degree is left to the estimator, at most a cubic: a calibration curve with four
# replicates of twelve standards cannot support more.
model = RobustPolynomialRegressor(max_degree=3, random_state=0).fit(conc[:, None], signal)
rejected = np.flatnonzero(~model.inlier_mask_)
print("degree:", model.degree_)
print("coefficients (mV, µg/L):", np.array2string(model.coef_, precision=6))
print("rejected readings:", sorted(rejected.tolist()), " spoiled:", sorted(spoiled.tolist()))

# %%
# Reading unknown samples
# -----------------------
# The concentration of a sample is the x at which the curve reaches its signal, found
# only inside the calibrated range. Its 95 % interval holds the concentrations whose
# prediction band contains the signal: it covers the noise of the sample's own reading as
# well as the uncertainty of the curve. A signal beyond the calibrated range gets NaN and a
# warning, never an extrapolated reading.
unknown = np.array([60.0, 400.0, 900.0])
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    found, low, high = model.inverse_predict(unknown, level=0.95)
for message in caught:
    print("warning:", message.message)
fine = np.linspace(0.0, 500.0, 5001)  # the true response is monotone: invert it on a grid
truth = np.interp(unknown, response(fine), fine, left=np.nan, right=np.nan)
for y, c, lo, hi, t in zip(unknown, found, low, high, truth, strict=True):
    print(f"signal {y:6.1f} mV -> {c:7.2f} µg/L, 95 % interval [{lo:7.2f}, {hi:7.2f}] "
          f"(true curve: {t:7.2f})")

# %%
# Lack of fit and limits of detection
# -----------------------------------
# The four readings of each standard scatter about their mean by the pure error alone: the
# F test compares the spread of the standards' means about the curve with it (a small p
# would say the degree is too low). The critical signal is the highest a blank reads in 95
# % of cases; the detection limit the concentration that exceeds it in 95 % of cases; the
# quantitation limit where one reading gives the concentration to 10 %.
test = model.lack_of_fit()
print(f"lack of fit: F = {test.F:.2f} on ({test.df_lack:g}, {test.df_pure:g}) df, "
      f"p = {test.p_value:.3f}")
limits = model.detection_limit(level=0.95)
print(f"critical signal {limits.critical_signal:.2f} mV, detection limit "
      f"{limits.detection_limit:.2f} µg/L, quantitation limit {limits.quantitation_limit:.2f} µg/L")

# %%
# The plot
# --------
# The rejected readings are marked; the prediction band, where 95 % of new readings of a
# standard fall, widens with the signal as the noise does. The unknown samples are read off
# the curve, with the interval where their signal crosses the band; below, the band around
# the curve shows how it widens.
grid = np.linspace(0.0, 500.0, 400)
fig, (ax, res) = plt.subplots(2, 1, figsize=(7.5, 7.0), sharex=True,
                              gridspec_kw={"height_ratios": [3, 1]})
keep = model.inlier_mask_
ax.scatter(conc[keep], signal[keep], s=14, c="0.3", label="readings kept")
ax.scatter(conc[~keep], signal[~keep], s=40, marker="x", c="tab:red", label="readings rejected")
curve = model.predict(grid[:, None])
ax.plot(grid, curve, c="tab:blue", lw=2,
        label=f"fit, degree {model.degree_}")
ax.plot(grid, response(grid), "k--", lw=1, label="true response")
band_low, band_high = model.predict_interval(grid[:, None], level=0.95, kind="prediction")
ax.fill_between(grid, band_low, band_high, color="tab:blue", alpha=0.2, lw=0,
                label="95 % prediction band")
for y, c, lo, hi in zip(unknown, found, low, high, strict=True):
    if np.isfinite(c):
        ax.plot([0.0, c, c], [y, y, ax.get_ylim()[0]], c="tab:green", lw=1, ls=":")
        ax.plot([lo, hi], [y, y], c="tab:green", lw=3)
ax.set(ylabel="signal (mV)", title="Calibration: 12 standards, 4 replicates each")
ax.legend(loc="upper left", fontsize=8)
res.axhline(0.0, c="0.5", lw=1)
res.fill_between(grid, band_low - curve, band_high - curve, color="tab:blue", alpha=0.2, lw=0)
res.scatter(conc, signal - model.predict(conc[:, None]), s=10,
            c=np.where(keep, "0.3", "tab:red"))
res.set(xlabel="concentration (µg/L)", ylabel="residual (mV)", ylim=(-15, 15))
fig.tight_layout()
plt.show()

# %%
# The signal of 900 mV lies above the highest standard: it has no reading (NaN), rather than
# an extrapolated one. Dilute such a sample and measure it again. The residual panel shows
# the spread growing with the concentration, which the band follows: one noise level for the
# whole range would make the intervals too wide at the low end and too narrow at the high.
