"""Scores a noisy prediction with the MDL criterion (placeholder until the tournament lands)."""

import numpy as np
import vasq_core

rng = np.random.default_rng(0)
y = np.sin(np.linspace(0, 3, 200)) + rng.normal(0, 0.05, 200)
print("mad(y) =", vasq_core.mad(y))
print("mdl_score =", vasq_core.mdl_score(np.sin(np.linspace(0, 3, 200)), y, 3))
