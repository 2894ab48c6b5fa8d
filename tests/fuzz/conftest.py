"""Profiles of the generated-input suite: `bounded` (default, part of the test suite) and
`long` (VASQ_FUZZ=long, `make fuzz`). Both are derandomized without an example database,
so every run tries the same inputs, and have no deadline, so a loaded machine cannot fail
them."""

import collections
import os
import resource

import pytest
from hypothesis import HealthCheck, settings

PROFILE = os.environ.get("VASQ_FUZZ", "bounded")
EXAMPLES = {"bounded": 200, "long": 3000}[PROFILE]
CALLS_PER_ENTRY = {"bounded": 300, "long": 5000}[PROFILE]

settings.register_profile(
    "vasq-fuzz",
    max_examples=EXAMPLES,
    derandomize=True,
    database=None,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much],
)


def mapped_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize in /proc/self/status")


@pytest.fixture(scope="package", autouse=True)
def bounded_address_space(address_sanitizer):
    """Huge sizes are among the inputs: beyond a few GiB more, allocations fail with
    MemoryError instead of taking the machine's memory. Under the address sanitizer, which
    maps its own shadow memory, ASAN_OPTIONS bounds allocations instead."""
    if address_sanitizer:
        yield
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + 4 * 2**30, hard))
    yield
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@pytest.fixture(scope="session")
def calls_per_entry():
    return CALLS_PER_ENTRY


OUTCOMES: collections.Counter = collections.Counter()
GROWTH: dict[str, int] = {}


@pytest.fixture(scope="session")
def outcomes():
    """Counts of (entry, outcome) over the whole run, printed at its end."""
    return OUTCOMES


@pytest.fixture(scope="session")
def resident_growth():
    """Growth of resident memory in bytes over the repeated calls of each entry, printed at
    the end of the run."""
    return GROWTH


def pytest_terminal_summary(terminalreporter):
    if GROWTH:
        terminalreporter.section(f"resident memory growth over {CALLS_PER_ENTRY} calls")
        for entry, growth in GROWTH.items():
            terminalreporter.write_line(f"{entry:32s} {growth / 1024:+9.0f} KiB")
    if not OUTCOMES:
        return
    terminalreporter.section(f"generated calls ({PROFILE} profile)")
    entries = sorted({entry for entry, _ in OUTCOMES})
    for entry in entries:
        counts = {kind: n for (e, kind), n in sorted(OUTCOMES.items()) if e == entry}
        total = sum(counts.values())
        detail = ", ".join(f"{kind} {n}" for kind, n in counts.items())
        terminalreporter.write_line(f"{entry:32s} {total:7d} calls: {detail}")
