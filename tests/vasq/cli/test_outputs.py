"""Outputs never replace an input, and a failed write leaves the old file whole."""

import os
import resource
import shutil
import signal
import stat
import subprocess
import sys

import matplotlib.font_manager  # noqa: F401  (its cache is built here, not by a limited child)
import numpy as np
import pytest

from vasq._files import atomic_open
from vasq.cli import main

FIT = ["fit", "DATA.csv", "--x", "x", "--y", "y", "--degree", "1", "--method", "ols"]
MANY = ["fit-many", "MANY.csv", "--id", "id", "--x", "x", "--y", "y", "--degree", "1",
        "--method", "ols"]


def write_data(folder, n=300):
    """DATA.csv (x, y) and MANY.csv (id, x, y: two lines) of `n` rows each."""
    x = np.linspace(0.0, 1.0, n)
    rows = "".join(f"{a!r},{2 * a + 1!r}\n" for a in x.tolist())
    (folder / "DATA.csv").write_text("x,y\n" + rows)
    (folder / "MANY.csv").write_text(
        "id,x,y\n" + "".join(f"{i % 2},{line}" for i, line in enumerate(rows.splitlines(True))))


def alias(folder, kind):
    """Another name of DATA.csv."""
    target = folder / f"{kind}.csv"
    if kind == "symlink":
        target.symlink_to(folder / "DATA.csv")
    else:
        os.link(folder / "DATA.csv", target)
    return target.name


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        ([*FIT, "--points", "DATA.csv"], "--points DATA.csv would overwrite the input DATA.csv"),
        ([*FIT, "--json", "./DATA.csv"], "--json DATA.csv would overwrite the input DATA.csv"),
        ([*FIT, "--points", "{symlink}"], "--points symlink.csv would overwrite the input"),
        ([*FIT, "--plot", "{hardlink}"], "--plot hardlink.csv would overwrite the input"),
        ([*FIT, "--json", "DATA.csv", "--plot", "x.png"], "--json DATA.csv would overwrite"),
        ([*FIT, "--json", "{hardlink}", "--points", "symlink.csv"], "would overwrite the input"),
        ([*FIT, "--json", "out.csv", "--points", "./out.csv"],
         "--json and --points both name out.csv"),
        ([*MANY, "--out", "MANY.csv"], "--out MANY.csv would overwrite the input MANY.csv"),
        ([*MANY, "--out", "r.csv", "--points", "MANY.csv"], "--points MANY.csv would overwrite"),
        ([*MANY, "--out", "r.csv", "--points", "sub/../r.csv"],
         "--out and --points both name r.csv"),
    ],
    ids=["points", "json-dot", "points-symlink", "plot-hard-link", "json-beside-plot",
         "json-hard-link", "json-is-points", "many-out", "many-points", "many-out-is-points"],
)
def test_an_output_naming_an_input_or_another_output_is_refused(tmp_path, monkeypatch, capsys,
                                                               argv, message):
    write_data(tmp_path)
    (tmp_path / "sub").mkdir()
    (tmp_path / "out.csv").write_text("earlier\n")
    monkeypatch.chdir(tmp_path)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    names = {kind: alias(tmp_path, kind) for kind in ("symlink", "hardlink")}
    assert main([a.format(**names) for a in argv]) == 2
    err = capsys.readouterr().err
    assert err.startswith("vasq: error: ") and err.count("\n") == 1 and message in err
    after = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    assert after == before | {"symlink.csv": before["DATA.csv"], "hardlink.csv": before["DATA.csv"]}


def limited(limit):
    """A child set-up: writes beyond `limit` bytes fail (EFBIG, not a signal)."""

    def setup():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return setup


def unprivileged():
    """A command prefix under which a read-only folder is read-only, for root too."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        pytest.skip("root writes into read-only folders, and setpriv is missing")
    return ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--inh-caps=-all"]


WRITERS = {
    "fit --points": [*FIT, "--points", "out/old"],
    "fit --json": [*FIT, "--json", "out/old"],
    "fit --plot": [*FIT, "--plot", "out/old.png"],
    "fit-many --out": [*MANY, "--out", "out/old"],
    "fit-many --points": [*MANY, "--out", "-", "--points", "out/old"],
}


@pytest.mark.parametrize("failure", ["file-size-limit", "read-only-folder"])
@pytest.mark.parametrize("writer", WRITERS)
def test_a_failed_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path, writer, failure):
    write_data(tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    argv = [a.replace("out/old", f"out/{writer.split()[-1][2:]}") for a in WRITERS[writer]]
    old = out / argv[-1].removeprefix("out/")
    old.write_bytes(b"earlier results\n")
    prefix, limit = [], 256
    if failure == "read-only-folder":
        out.chmod(0o555)
        prefix, limit = unprivileged(), resource.RLIM_INFINITY
    result = subprocess.run([*prefix, sys.executable, "-m", "vasq", *argv], cwd=tmp_path,
                            preexec_fn=limited(limit), capture_output=True, text=True,
                            timeout=300, check=False)
    out.chmod(0o755)
    assert result.returncode == 2, result.stderr
    assert result.stderr.startswith("vasq: error: ") and result.stderr.count("\n") == 1
    assert str(old.relative_to(tmp_path)) in result.stderr
    assert old.read_bytes() == b"earlier results\n"
    assert sorted(p.name for p in out.iterdir()) == [old.name]


def test_atomic_open_replaces_the_file_only_when_the_block_succeeds(tmp_path):
    target = tmp_path / "t.txt"
    target.write_text("old\n")
    with pytest.raises(RuntimeError), atomic_open(target) as f:
        f.write("half")
        raise RuntimeError
    assert target.read_text() == "old\n" and os.listdir(tmp_path) == ["t.txt"]
    with atomic_open(target, newline="") as f:
        f.write("new\r\n")
    assert target.read_bytes() == b"new\r\n" and os.listdir(tmp_path) == ["t.txt"]
    with atomic_open(tmp_path / "b.bin", binary=True) as f:
        f.write(b"\x00\xff")
    with open(tmp_path / "plain", "w"):
        pass
    plain = stat.S_IMODE(os.stat(tmp_path / "plain").st_mode)
    assert (tmp_path / "b.bin").read_bytes() == b"\x00\xff"
    for written in ("t.txt", "b.bin"):
        assert stat.S_IMODE(os.stat(tmp_path / written).st_mode) == plain
