"""
A thousand sensors, and the readings they reject
================================================

A network of 1000 temperature sensors reports every hour for a day. Each sensor has its
own slow trend; some readings are spikes from interference, a few sensors are faulty, and
one sensor reported only three readings before it failed. :func:`vasq.fit_curves` fits all
of them in one call, one robust polynomial each, on two threads; the table it returns is
the same, bit for bit, on one thread, on worker processes or on a Dask cluster.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import vasq
from vasq import RobustPolynomialRegressor

rng = np.random.default_rng(1000)
hours = np.arange(24.0)
frames = []
for sensor in range(1000):
    level, trend, bend = rng.normal(20.0, 2.0), rng.normal(0.0, 0.05), rng.normal(0.0, 2e-3)
    value = level + trend * hours + bend * (hours - 12.0) ** 2 + rng.normal(0.0, 0.1, 24)
    spikes = rng.random(24) < (0.3 if sensor % 97 == 0 else 0.04)  # every 97th is faulty
    value[spikes] += rng.choice([-1.0, 1.0], spikes.sum()) * rng.uniform(1.0, 6.0, spikes.sum())
    frames.append(pd.DataFrame({"sensor": f"S{sensor:04d}", "hour": hours, "celsius": value}))
frames.append(pd.DataFrame({"sensor": "S9999", "hour": hours[:3], "celsius": 21.0}))
table = pd.concat(frames, ignore_index=True)
print(f"{len(table)} readings of {table['sensor'].nunique()} sensors")

# %%
# One call for all of them
# ------------------------
estimator = RobustPolynomialRegressor(max_degree=2)
results, points = vasq.fit_curves(table, id="sensor", x="hour", y="celsius",
                                  estimator=estimator, n_jobs=2, random_state=0, per_point=True)
print(results[["id", "degree", "n_samples", "n_inliers", "error"]].head().to_string())
print()
print("degrees chosen:", results["degree"].value_counts(dropna=False).to_dict())
print("series that could not be fitted:")
print(results.loc[results["error"].notna(), ["id", "n_samples", "error"]].to_string())

# %%
# The sensors that reject the most
# --------------------------------
# A sensor that rejects far more readings than the rest is faulty, or its curve is not a
# low-degree polynomial; both deserve a look. The share of kept readings is in the table;
# *which* readings were rejected is in the second table, ``points``, that ``per_point=True``
# returns: every reading of every fitted sensor with its fitted value, residual, weight and
# inlier flag. Its ``row`` numbers the readings of each sensor in the order given, so that
# numbering the table's rows the same way joins the two.
fitted = results[results["error"].isna()]
fitted = fitted.assign(inlier_share=fitted["n_inliers"] / fitted["n_samples"])
suspects = fitted.nsmallest(4, "inlier_share")["id"].tolist()
print(fitted.nsmallest(4, "inlier_share")[["id", "degree", "inlier_share"]].to_string())
print()
readings = table.assign(row=table.groupby("sensor").cumcount()).merge(
    points, left_on=["sensor", "row"], right_on=["id", "row"])
rejected = readings[~readings["inlier"]]
print(f"{len(rejected)} readings rejected in all; the largest residuals:")
print(rejected.reindex(rejected["residual"].abs().sort_values(ascending=False).index)
      .head(5)[["sensor", "hour", "celsius", "fitted", "residual"]].to_string(index=False))

fig = plt.figure(figsize=(10.0, 7.0))
hist = fig.add_subplot(2, 1, 1)
hist.hist(100 * fitted["inlier_share"], bins=np.arange(50, 101, 2), color="tab:blue")
hist.set(xlabel="readings kept (%)", ylabel="sensors", yscale="log",
         title="Share of readings each sensor's fit keeps")
for k, sensor in enumerate(suspects):
    ax = fig.add_subplot(2, 4, 5 + k)
    rows = readings[readings["sensor"] == sensor]
    keep = rows["inlier"].to_numpy()
    x, y = rows["hour"].to_numpy(), rows["celsius"].to_numpy()
    ax.scatter(x[keep], y[keep], s=6, c="0.4")
    ax.scatter(x[~keep], y[~keep], s=18, marker="x", c="tab:red")
    ax.plot(x, rows["fitted"], c="tab:blue")
    ax.set(title=f"{sensor}: {int((~keep).sum())} rejected", xlabel="hour")
    ax.title.set_fontsize(9)
fig.tight_layout()
plt.show()
