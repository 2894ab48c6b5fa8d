"""
Saving a model and using it again
=================================

A fit made once, by a script or from the command line, is used long after: to convert
new readings, on another machine, without the data it was fitted to. The model is saved as a
small JSON file and read back with :func:`vasq.load_model`.

Here a thermistor's resistance is fitted against temperature from the command line, the
JSON file is inspected, and the model converts new readings.
"""

# %%
# Fit from the command line
# -------------------------
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import vasq
from vasq import RobustPolynomialRegressor

rng = np.random.default_rng(42)
temperature = np.sort(rng.uniform(-20.0, 80.0, 150))  # °C
log_r = 10.0 - 0.045 * temperature + 1.2e-4 * temperature**2  # ln(ohm)
log_r += rng.normal(0.0, 0.004, temperature.size)
log_r[rng.choice(temperature.size, 12, replace=False)] += 0.3  # contact faults

folder = Path(tempfile.mkdtemp())
data = folder / "thermistor.csv"
np.savetxt(data, np.column_stack([temperature, log_r]), delimiter=",",
           header="temperature,log_resistance", comments="", fmt="%.8g")
command = [sys.executable, "-m", "vasq", "fit", str(data), "--x", "temperature",
           "--y", "log_resistance", "--json", str(folder / "thermistor.json")]
print("$ python -m vasq fit thermistor.csv --x temperature --y log_resistance "
      "--json thermistor.json")
print(subprocess.run(command, capture_output=True, text=True, check=True).stdout)

# %%
# What the file holds
# -------------------
# Plain JSON, with a format name and version that later versions of the package read.
print(json.dumps(json.loads((folder / "thermistor.json").read_text()), indent=1))

# %%
# Use it again
# ------------
# :func:`vasq.load_model` gives a :class:`vasq.PolynomialModel`: it predicts like the
# estimator did and knows the names of its input and output.
model = vasq.load_model(folder / "thermistor.json")
print(model.feature_names, "->", model.target_name, "| degree", model.degree,
      "|", model.n_inliers, "of", model.n_samples, "readings kept")

new_temperatures = np.array([[-10.0], [25.0], [60.0]])
print("ln(R) at -10, 25, 60 °C:", model.predict(new_temperatures))

# The same fit made in this process (the command line's default seed is 0) gives the same
# model: the file holds the estimator's ``model_`` with the column names.
estimator = RobustPolynomialRegressor(random_state=0).fit(temperature[:, None], log_r)
grid = np.linspace(-20.0, 80.0, 201)[:, None]
print("same predictions as the estimator:",
      np.array_equal(model.predict(grid), estimator.predict(grid)))
print("same file:", estimator.model_.with_names(["temperature"], "log_resistance").to_json()
      == model.to_json())
print(model.summary())

# %%
# The model drawn over its data, and the resistance it implies.
fig, (left, right) = plt.subplots(1, 2, figsize=(10.0, 4.0))
left.scatter(temperature, log_r, s=8, c="0.4", label="calibration readings")
left.plot(grid[:, 0], model.predict(grid), c="tab:blue", label="saved model")
left.set(xlabel="temperature (°C)", ylabel="ln(R / Ω)", title="Model read from JSON")
left.legend(fontsize=8)
right.semilogy(grid[:, 0], np.exp(model.predict(grid)), c="tab:blue")
right.set(xlabel="temperature (°C)", ylabel="R (Ω)", title="Resistance")
fig.tight_layout()
plt.show()
