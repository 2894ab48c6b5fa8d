"""
A thousand sensors, and the readings they reject
================================================

A network of 1000 temperature sensors reports every hour for a day. Each sensor has its
own slow trend; some readings are spikes from interference, a few sensors are faulty, and
one sensor reported only three readings before it failed. :func:`vasq.fit_curves` fits all
of them in one call, one robust polynomial each, on two worker processes; the table it
returns is the same, bit for bit, on one process or a Dask cluster.
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
results = vasq.fit_curves(table, id="sensor", x="hour", y="celsius", estimator=estimator,
                          n_jobs=2, random_state=0)
print(results[["id", "degree", "inlier_share", "n_points", "error"]].head().to_string())
print()
print("degrees chosen:", results["degree"].value_counts(dropna=False).to_dict())
print("series that could not be fitted:")
print(results.loc[results["error"].notna(), ["id", "n_points", "error"]].to_string())

# %%
# The sensors that reject the most
# --------------------------------
# A sensor that rejects far more readings than the rest is faulty, or its curve is not a
# low-degree polynomial; both deserve a look. The share of kept readings is in the table;
# to see *which* readings were rejected, the few suspects are fitted again on their own.
fitted = results[results["error"].isna()]
# TODO(merge): fit_curves(..., per_point=True) returns every reading with its fitted value
# and inlier flag, so the refit below becomes a lookup in that table.
suspects = fitted.nsmallest(4, "inlier_share")["id"].tolist()
print(fitted.nsmallest(4, "inlier_share")[["id", "degree", "inlier_share"]].to_string())

fig = plt.figure(figsize=(10.0, 7.0))
hist = fig.add_subplot(2, 1, 1)
hist.hist(100 * fitted["inlier_share"], bins=np.arange(50, 101, 2), color="tab:blue")
hist.set(xlabel="readings kept (%)", ylabel="sensors", yscale="log",
         title="Share of readings each sensor's fit keeps")
for k, sensor in enumerate(suspects):
    ax = fig.add_subplot(2, 4, 5 + k)
    rows = table[table["sensor"] == sensor]
    x, y = rows[["hour"]].to_numpy(), rows["celsius"].to_numpy()
    model = RobustPolynomialRegressor(max_degree=2, random_state=0).fit(x, y)
    keep = model.inlier_mask_
    ax.scatter(x[keep, 0], y[keep], s=6, c="0.4")
    ax.scatter(x[~keep, 0], y[~keep], s=18, marker="x", c="tab:red")
    ax.plot(hours, model.predict(hours[:, None]), c="tab:blue")
    ax.set(title=f"{sensor}: {int((~keep).sum())} rejected", xlabel="hour")
    ax.title.set_fontsize(9)
fig.tight_layout()
plt.show()
