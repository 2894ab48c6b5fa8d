"""Fixtures shared by the whole suite."""

import pytest


@pytest.fixture(scope="session")
def address_sanitizer():
    """Whether the address sanitizer is loaded (`make sanitize`)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()
