"""Results do not depend on the number of OpenMP threads of the matrix products and reductions."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vasq_core as vc

CALLS = {
    "ols": """
X = rng.standard_normal((2000, 200))
out = vc.ols(X, rng.standard_normal(2000))
""",
    "fit_regularized_linear": """
Phi, R = rng.standard_normal((20000, 40)), rng.standard_normal((40, 40))
out = vc.fit_regularized_linear(Phi, rng.standard_normal(20000), R @ R.T, R.T @ R, 1e-3, 1e-4)
""",
    # Reduced in parts of the rows, the parts on the threads.
    "weighted_leverage": """
X = np.vander(rng.uniform(-1.0, 1.0, 200000), 5, increasing=True)
out = vc.weighted_leverage(X, rng.uniform(0.0, 2.0, 200000))
""",
}


def run_with_threads(call, n):
    script = "import sys, numpy as np, vasq_core as vc\nrng = np.random.default_rng(1)\n"
    script += CALLS[call] + "sys.stdout.buffer.write(out.tobytes())\n"
    path = os.pathsep.join([os.path.dirname(vc.__file__), os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, OMP_NUM_THREADS=str(n), PYTHONPATH=path)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, check=True)
    return np.frombuffer(out.stdout)


@pytest.mark.parametrize("call", CALLS)
def test_bit_identical_across_thread_counts(call):
    np.testing.assert_array_equal(run_with_threads(call, 1), run_with_threads(call, 2))
