"""
Drift with noise that grows over time
=====================================

A reference sensor is read every six hours for two years. Its offset drifts slowly, and as
it ages its readings get noisier: the noise standard deviation grows from 0.02 to 0.15 K.
About one reading in twelve is spoiled by a transmission error. The drift curve, and the
drift rate at the end of the record, are what the maintenance team needs.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from vasq import RobustPolynomialRegressor

rng = np.random.default_rng(7)
days = np.arange(0.0, 730.0, 0.25)
drift = 0.3 * days / 730.0 + 0.25 * (days / 730.0) ** 2  # K
noise_sd = 0.02 + 0.13 * days / 730.0
reading = drift + rng.normal(0.0, 1.0, days.size) * noise_sd
spoiled = rng.random(days.size) < 1 / 12
reading[spoiled] += rng.choice([-1.0, 1.0], spoiled.sum()) * rng.uniform(0.5, 3.0, spoiled.sum())

# The noise grows with time, not with the signal: a log-linear noise model over the feature.
model = RobustPolynomialRegressor(noise="log_linear", random_state=0).fit(days[:, None], reading)
rate = model.polynomial_.deriv()
print("degree:", model.degree_)
(end_low,), (end_high,) = model.predict_interval([[days[-1]]], level=0.95)
print(f"drift at the end: {model.predict([[days[-1]]])[0]:.3f} K, 95 % confidence interval "
      f"[{end_low:.3f}, {end_high:.3f}] K (true {drift[-1]:.3f} K)")
print(f"drift rate at the end: {1000 * rate(days[-1]):.3f} mK/day "
      f"(true {1000 * (0.3 / 730 + 0.5 * days[-1] / 730**2):.3f} mK/day)")
flagged = ~model.inlier_mask_
print(f"readings rejected: {flagged.sum()}, of which spoiled: {(flagged & spoiled).sum()} "
      f"(spoiled in all: {spoiled.sum()})")
scales = model.model_.noise_scale([[0.0], [365.0], [730.0]])
print("noise scale of the fit at day 0, 365, 730:", np.round(scales, 3), "K")

# %%
# How the noise grows
# -------------------
# The residuals of the kept readings, with a rolling robust scale (1.4826 MAD over 30 days):
# it follows the true noise level, which is why one global scale would reject too many of
# the late readings or too few of the early ones. The fit models that growth, so its 95 %
# prediction band, where a new clean reading falls, widens with it.
residual = reading - model.predict(days[:, None])
low, high = model.predict_interval(days[:, None], level=0.95, kind="prediction")
inside = (reading >= low) & (reading <= high)
print(f"clean readings inside the 95 % prediction band: {inside[~spoiled].mean():.1%}")
kept = pd.Series(np.where(model.inlier_mask_, residual, np.nan), index=days)
rolling_mad = kept.rolling(120, center=True, min_periods=30).apply(
    lambda r: 1.4826 * np.nanmedian(np.abs(r - np.nanmedian(r))), raw=True)

fig, (top, bottom) = plt.subplots(2, 1, figsize=(8.0, 7.0), sharex=True)
top.scatter(days[~flagged], reading[~flagged], s=3, c="0.4", label="readings kept")
top.scatter(days[flagged], reading[flagged], s=8, marker="x", c="tab:red",
            label="readings rejected")
top.plot(days, model.predict(days[:, None]), c="tab:blue", lw=2,
         label=f"fit, degree {model.degree_}")
top.plot(days, drift, "k--", lw=1, label="true drift")
top.fill_between(days, low, high, color="tab:blue", alpha=0.2, lw=0,
                 label="95 % prediction band")
top.set(ylabel="offset (K)", ylim=(-0.5, 1.2), title="Two years of a drifting sensor")
top.legend(loc="upper left", fontsize=8)
bottom.scatter(days[~flagged], residual[~flagged], s=3, c="0.4")
bottom.plot(days, 3 * rolling_mad, c="tab:orange", label="3 × rolling robust scale")
bottom.plot(days, -3 * rolling_mad, c="tab:orange")
curve = model.predict(days[:, None])
bottom.fill_between(days, low - curve, high - curve, color="tab:blue", alpha=0.2, lw=0,
                    label="95 % prediction band")
bottom.plot(days, 3 * noise_sd, "k--", lw=1, label="3 × true noise sd")
bottom.plot(days, -3 * noise_sd, "k--", lw=1)
bottom.set(xlabel="days", ylabel="residual (K)", ylim=(-0.6, 0.6))
bottom.legend(loc="upper left", fontsize=8)
fig.tight_layout()
plt.show()
