"""
A surface in two variables
==========================

The yield of a process is measured over a grid of settings of temperature and pressure,
with some runs spoiled (a clogged valve, a mislabelled sample). A robust quadratic surface
is fitted in both variables at once; the estimator chooses the degree, the same for both,
and reports every monomial term in the units of the data.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np

from vasq import RobustPolynomialRegressor

rng = np.random.default_rng(3)
n = 400
temperature = rng.uniform(150.0, 250.0, n)  # °C
pressure = rng.uniform(1.0, 5.0, n)  # bar


def true_yield(t: np.ndarray, p: np.ndarray) -> np.ndarray:
    """A ridge of best yield, in per cent."""
    return 60.0 + 0.3 * (t - 200.0) + 6.0 * (p - 3.0) - 0.004 * (t - 200.0) ** 2 \
        - 2.5 * (p - 3.0) ** 2 + 0.05 * (t - 200.0) * (p - 3.0)


X = np.column_stack([temperature, pressure])
y = true_yield(temperature, pressure) + rng.normal(0.0, 0.8, n)
spoiled = rng.random(n) < 0.15
y[spoiled] -= rng.uniform(10.0, 40.0, spoiled.sum())

model = RobustPolynomialRegressor(random_state=0).fit(X, y)
print("degree per variable:", model.degree_)
print("terms (powers of temperature, pressure) and coefficients:")
for (a, b), c in zip(model.powers_, model.coef_, strict=True):
    print(f"  T^{a} p^{b}  {c:+.6g}")
flagged = ~model.inlier_mask_
print(f"runs rejected: {flagged.sum()}, of which spoiled: {(flagged & spoiled).sum()} "
      f"(spoiled in all: {spoiled.sum()})")

# %%
# The fitted surface and its error
# --------------------------------
t, p = np.meshgrid(np.linspace(150.0, 250.0, 101), np.linspace(1.0, 5.0, 81))
grid = np.column_stack([t.ravel(), p.ravel()])
fitted = model.predict(grid).reshape(t.shape)
error = fitted - true_yield(t, p)
print(f"RMSE against the true surface: {np.sqrt(np.mean(error**2)):.3f} %")

fig, (left, right) = plt.subplots(1, 2, figsize=(11.0, 4.5))
levels = np.linspace(20.0, 70.0, 11)
filled = left.contourf(t, p, fitted, levels=levels, cmap="viridis")
left.contour(t, p, true_yield(t, p), levels=levels, colors="w", linewidths=0.7,
             linestyles="--")
left.scatter(temperature[~flagged], pressure[~flagged], s=5, c="k", label="runs kept")
left.scatter(temperature[flagged], pressure[flagged], s=25, marker="x", c="tab:red",
             label="runs rejected")
left.set(xlabel="temperature (°C)", ylabel="pressure (bar)",
         title="Fitted yield (dashed: true)")
left.legend(loc="lower left", fontsize=8)
fig.colorbar(filled, ax=left, label="yield (%)")
bound = float(np.max(np.abs(error)))
shown = right.pcolormesh(t, p, error, cmap="RdBu_r", vmin=-bound, vmax=bound,
                         shading="auto")
right.set(xlabel="temperature (°C)", ylabel="pressure (bar)",
          title="Fitted minus true yield")
fig.colorbar(shown, ax=right, label="error (%)")
fig.tight_layout()
plt.show()
