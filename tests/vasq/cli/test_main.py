"""The command-line frame: subcommand dispatch, exit codes, one-line errors."""

import signal
import subprocess
import sys
from types import SimpleNamespace

import pytest

from vasq import cli


def subcommand(name, outcome):
    """A subcommand module stand-in whose run returns ``outcome`` or raises it."""

    def add_parser(subparsers):
        subparsers.add_parser(name).add_argument("--value")

    def run(args):
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    return SimpleNamespace(add_parser=add_parser, run=run)


@pytest.fixture
def commands(monkeypatch):
    def install(*modules):
        monkeypatch.setattr(cli, "SUBCOMMANDS", modules)

    return install


def test_each_subcommand_runs_its_own_run(commands):
    commands(subcommand("one", 0), subcommand("two", 7))
    assert cli.main(["one"]) == 0
    assert cli.main(["two", "--value", "x"]) == 7


@pytest.mark.parametrize(
    ("error", "code", "line"),
    [
        (ValueError("bad value\n  in row 3"), 2, "vasq: error: bad value in row 3"),
        (FileNotFoundError(2, "No such file or directory", "data.csv"), 2,
         "vasq: error: data.csv: No such file or directory"),
        (PermissionError("cannot write"), 2, "vasq: error: cannot write"),
        (KeyError("sensor"), 2, "vasq: error: not found: 'sensor'"),
        (ValueError(), 2, "vasq: error: ValueError"),
        (KeyboardInterrupt(), 130, "vasq: interrupted"),
    ],
    ids=["value-multiline", "missing-file", "os-no-filename", "key", "empty-message",
         "interrupted"],
)
def test_input_errors_and_interruption_become_one_line_and_an_exit_code(commands, capsys, error,
                                                                        code, line):
    commands(subcommand("go", error))
    assert cli.main(["go"]) == code
    captured = capsys.readouterr()
    assert captured.err == line + "\n"
    assert captured.out == ""


def test_programming_errors_are_not_disguised(commands):
    commands(subcommand("go", TypeError("a bug")))
    with pytest.raises(TypeError, match="a bug"):
        cli.main(["go"])


@pytest.mark.parametrize("argv", [[], ["nonsense"], ["fit"]], ids=["none", "unknown", "fit-without-args"])
def test_usage_errors_exit_with_code_2(argv, capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(argv)
    assert exit_info.value.code == 2
    assert "usage: python -m vasq" in capsys.readouterr().err


def test_ctrl_c_while_reading_standard_input_ends_without_traceback():
    # A shell's background job inherits SIGINT ignored, and Python then leaves it ignored.
    process = subprocess.Popen([sys.executable, "-m", "vasq", "fit", "-", "--x", "0", "--y", "1"],
                               stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # Once more than a pipe's capacity is written, the command is reading its input: the
    # interpreter is up and the signal lands in the command, not in start-up.
    process.stdin.write(b"1,2\n" * 100_000)
    process.stdin.flush()
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=120)
    assert process.returncode == 130 and err == b"vasq: interrupted\n"
