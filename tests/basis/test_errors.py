"""Invalid input of the basis functions: exception type and message, checked in order."""

import pytest

import vasq_core as vc

UNIT = (0.0, 1.0)


@pytest.mark.parametrize(("fn", "args", "message"), [
    (vc.design_matrix_1d, (-1, [1.0]), "deg < 0"),
    (vc.smoothness_penalty_matrices_1d, (-1, 0.0, 1.0, 1), "deg < 0"),
    (vc.smoothness_penalty_matrices_1d, (2, 0.0, 1.0, 1), "n_grid < 2"),
    (vc.smoothness_penalty_matrices_1d, (0, 0.0, 1.0, -4), "n_grid < 2"),
    (vc.boundary_reduce_1d, (-2, 0.0, 1.0), "deg < 0"),
    (vc.design_matrix_nd, ([[1]], []), "Dimension mismatch."),
    (vc.design_matrix_nd, ([[1, 1]], [[1.0, 2.0], [3.0]]), "Dimension mismatch."),
    (vc.design_matrix_nd, ([[1, 1], [2]], [[1.0], [3.0]]), "Dimension mismatch."),
    (vc.build_penalty_matrices_nd, ([1], [UNIT, UNIT]), "Dimension mismatch."),
    (vc.build_penalty_matrices_nd, ([-2, 1], [UNIT], 0), "Dimension mismatch."),
    (vc.build_penalty_matrices_nd, ([1, -2], [UNIT, UNIT], 0), "deg < -1"),
    (vc.build_penalty_matrices_nd, ([1, 1], [UNIT, UNIT], 1), "n_grid < 2"),
    (vc.build_penalty_matrices_nd, ([], [], 0), "n_grid < 2"),
])
def test_invalid_input_raises_value_error(fn, args, message):
    with pytest.raises(ValueError) as error:
        fn(*args)
    assert str(error.value) == message


@pytest.mark.parametrize(("degrees", "d"), [
    ([0] * 40, 10),                   # grid of 10^40 points
    ([1] * 18, 10),                   # grid 10^18 fits, Phi of 10^18 x 2^18 does not
    ([2**31 - 2] * 3, 2),             # M = 2^93
    ([2**31 - 2, 1], 2),              # M = 2^32 fits, M x M does not
])
def test_overflowing_sizes_raise_memory_error(degrees, d):
    with pytest.raises(MemoryError):
        vc.build_penalty_matrices_nd(degrees, [UNIT] * len(degrees), d)
