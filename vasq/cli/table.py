"""The columns a command needs from a CSV table, and nothing else of it.

Numbers are parsed by pandas straight into float arrays, so that the memory taken is that
of the arrays, not of the text; ids are read as text and each distinct one converted once.
When a cell cannot be used, the file is read again, record by record, and judged by the
same rule as pandas' parser, to name its line and column.
"""

from __future__ import annotations

import argparse
import csv
import functools
import io
import math
import re
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import numpy as np
import pandas as pd

STDIO = "-"
MISSING = ("drop", "error")
# Cells that stand for a missing number.
MISSING_CELLS = ("", "NA", "N/A", "n/a", "NaN", "nan", "null", "NULL")
ID_TYPES = ("str", "int", "float")
INT64 = range(-(2**63), 2**63)


def add_format_arguments(parser: argparse.ArgumentParser) -> None:
    """The options shared by the commands that read a table."""
    parser.add_argument("--delimiter", default=",", type=_delimiter, metavar="CHAR",
                        help="field delimiter (default: ,)")
    parser.add_argument("--decimal", default=".", type=_decimal_mark, metavar="CHAR",
                        help="decimal mark of the numbers, a punctuation mark other than the "
                             "delimiter, e.g. , (default: .)")
    parser.add_argument("--missing", choices=MISSING, default="drop",
                        help="what a row with a missing number (an empty cell, NA, NaN, null) "
                             "in a used column means: drop leaves the row out, error refuses "
                             "the file (default: drop)")


def _delimiter(text: str) -> str:
    if len(text) != 1 or text in "\r\n\"":
        raise argparse.ArgumentTypeError(f"expected one character other than a quote or a line "
                                         f"break, got {text!r}")
    return text


def _decimal_mark(text: str) -> str:
    # A digit, sign, letter (e is the exponent) or space inside a number cannot be told
    # from the number itself.
    if len(text) != 1 or text.isalnum() or text.isspace() or text in "+-\"":
        raise argparse.ArgumentTypeError(f"expected one punctuation mark other than a sign or a "
                                         f"quote, got {text!r}")
    return text


@dataclass(frozen=True)
class Source:
    """A file, or standard input (``-``) read once into memory so that it can be read again."""

    name: str
    path: str | None
    content: bytes = b""

    @classmethod
    def of(cls, argument: str | Path) -> Source:
        """The source named on the command line."""
        if str(argument) == STDIO:
            return cls("<stdin>", None, sys.stdin.buffer.read())
        return cls(str(argument), str(argument))

    def binary(self) -> IO[bytes]:
        """A new binary stream over the whole source."""
        return open(self.path, "rb") if self.path is not None else io.BytesIO(self.content)

    def records(self, delimiter: str) -> Iterator[tuple[int, list[str]]]:
        """The cells of every record that is not blank, and the line it starts on."""
        with io.TextIOWrapper(self.binary(), encoding="utf-8-sig", newline="") as text:
            reader = csv.reader(text, delimiter=delimiter)
            start = 1
            try:
                for cells in reader:
                    if cells:
                        yield start, cells
                    start = reader.line_num + 1  # a quoted cell may span lines
            except UnicodeDecodeError:
                raise ValueError(f"{self.name} is not a UTF-8 text file") from None
            except csv.Error as error:
                raise ValueError(f"{self.name}, line {reader.line_num}: {error}") from None


@dataclass(frozen=True)
class Table:
    """A CSV table's layout: its header and its width.

    The first record is the header unless it is all numbers or missing cells.
    """

    source: Source
    header: tuple[str, ...] | None
    width: int
    delimiter: str = ","
    decimal: str = "."
    missing: str = "drop"

    @classmethod
    def open(cls, source: Source, delimiter: str = ",", decimal: str = ".",
             missing: str = "drop") -> Table:
        """Read the first record; refuse an empty file and duplicate column names."""
        if decimal == delimiter:
            raise ValueError(f"--decimal and --delimiter cannot both be {decimal!r}")
        first = next(source.records(delimiter), None)
        if first is None:
            raise ValueError(f"{source.name} is empty")
        cells = first[1]
        header = None
        if not all(cell in MISSING_CELLS or _is_number(cell, decimal) for cell in cells):
            header = tuple(cell.strip() for cell in cells)
            repeated = sorted({name for name in header if header.count(name) > 1})
            if repeated:
                raise ValueError(f"{source.name} has duplicate column names: "
                                 + ", ".join(map(repr, repeated)))
        return cls(source, header, len(cells), delimiter, decimal, missing)

    def index(self, spec: str) -> int:
        """The column given by header name or 0-based index."""
        if self.header is not None and spec in self.header:
            return self.header.index(spec)
        if spec.isdecimal() and int(spec) < self.width:
            return int(spec)
        known = (f"names {', '.join(self.header)} or indices" if self.header is not None
                 else "no header, so indices")
        raise ValueError(f"{self.source.name} has no column {spec!r} ({known} 0 to "
                         f"{self.width - 1})")

    def name(self, index: int) -> str:
        """The column's header name, or ``column i`` without a header."""
        return self.header[index] if self.header is not None else f"column {index}"

    def read(self, numbers: Sequence[int], labels: Mapping[int, str] | None = None,
             ) -> pd.DataFrame:
        """The given columns, labelled by index, as one frame (see `chunks`)."""
        [frame] = self.chunks(numbers, labels)
        return frame

    def chunks(self, numbers: Sequence[int], labels: Mapping[int, str] | None = None,
               rows: int | None = None) -> Iterator[pd.DataFrame]:
        """The given columns, labelled by index, `rows` records at a time (all with None).

        `numbers` are floats and `labels` id types. A missing number is NaN with
        ``missing="drop"`` and an error with "error". An empty label is missing; other labels
        are kept verbatim ("NA" is an id) with kind "str", and read as 64-bit integers or
        finite floats with "int" and "float". Cells beyond the header's width are ignored,
        and absent cells at the end of a record are missing. A cell that is not usable is
        named by line and column in a ValueError, raised when its chunk is reached. The
        frames' index numbers the records across chunks.
        """
        labels = labels or {}
        empty = True
        for frame in self._parsed(numbers, labels, rows):
            if frame.empty:
                continue
            empty = False
            if self.missing == "error" and frame[list(numbers)].isna().to_numpy().any():
                self.locate(numbers, {}, lambda value: None)
            for i, kind in labels.items():
                frame[i] = self._labels(frame[i], i, kind)
            yield frame
        if empty:
            raise ValueError(f"{self.source.name} has a header but no data")

    def _parsed(self, numbers: Sequence[int], labels: Mapping[int, str],
                rows: int | None) -> Iterator[pd.DataFrame]:
        """Pandas' frames of the columns, labels as text; a ValueError for an unusable cell."""
        dtypes: Any = {i: str for i in labels} | {i: np.float64 for i in numbers}
        # Keyed by position: pandas' stubs know only names.
        na: Any = {i: [""] for i in labels} | {i: list(MISSING_CELLS) for i in numbers}
        with self.source.binary() as data:
            try:
                # Without a chunk size the reader gives the whole table as one frame.
                with pd.read_csv(
                    data, sep=self.delimiter, decimal=self.decimal,
                    header=0 if self.header is not None else None, names=range(self.width),
                    index_col=False, usecols=list(dtypes), dtype=dtypes, keep_default_na=False,
                    na_values=na, encoding="utf-8-sig", skip_blank_lines=True, iterator=True,
                    chunksize=rows) as frames:
                    yield from frames
            except ValueError:  # pandas' parser and conversion errors among them
                self.locate(numbers, {}, lambda value: None)
                raise ValueError(f"{self.source.name} cannot be split into cells at "
                                 f"{self.delimiter!r} (is a quote left open?)") from None

    def _labels(self, column: pd.Series, index: int, kind: str) -> Any:
        """The ids of one column as `kind`, each distinct text read once."""
        if kind == "str":
            return column
        codes, texts = pd.factorize(column)
        try:
            values = [_label(text, kind, self.decimal) for text in texts]
        except ValueError:
            self.locate([], {index: kind}, lambda value: None)
            raise
        # One more entry, which the code -1 of a missing id picks.
        if kind == "int":
            integers = np.array([*values, 0], dtype=np.int64)
            return pd.arrays.IntegerArray(integers[codes], codes < 0)
        return np.where(codes < 0, np.nan, np.array([*values, 0.0])[codes])

    def locate(self, numbers: Sequence[int], labels: Mapping[int, str],
               problem: Callable[[float], str | None]) -> None:
        """Raise a ValueError naming the first cell that is not usable, if there is one.

        `problem` names what is wrong with a parsed number, if anything.
        """
        records = self.source.records(self.delimiter)
        if self.header is not None:
            next(records)
        for line, cells in records:
            for i in (*labels, *numbers):
                cell = cells[i] if i < len(cells) else ""
                if i in labels:
                    wrong = _label_problem(cell, labels[i], self.decimal)
                else:
                    wrong = self._number_problem(cell, problem)
                if wrong:
                    raise ValueError(f"{self.source.name}, line {line}, {self.name(i)}: "
                                     f"{wrong}: {cell!r}")

    def _number_problem(self, cell: str, problem: Callable[[float], str | None]) -> str | None:
        if cell in MISSING_CELLS:
            return "missing value (see --missing)" if self.missing == "error" else None
        try:
            value = _to_float(cell, self.decimal)
        except ValueError:
            return f"not a number{_with_mark(self.decimal)}"
        return problem(value)


def not_finite(value: float) -> str | None:
    """The problem of a number that must be finite."""
    return None if math.isfinite(value) else "not a finite number"


def _label(cell: str, kind: str, decimal: str) -> int | float:
    """An id read as an integer or a finite float; a ValueError names what it is not."""
    if kind == "int":
        if _INTEGER.fullmatch(cell) is None:
            raise ValueError("not an integer")
        if int(cell) not in INT64:
            raise ValueError("not a 64-bit integer")
        return int(cell)
    try:
        value = _to_float(cell, decimal)
    except ValueError:
        raise ValueError(f"not a number{_with_mark(decimal)}") from None
    if not math.isfinite(value):
        raise ValueError("not a finite number")
    return value


def _label_problem(cell: str, kind: str, decimal: str) -> str | None:
    if cell == "" or kind == "str":
        return None
    try:
        _label(cell, kind, decimal)
    except ValueError as error:
        return str(error)
    return None


def _with_mark(decimal: str) -> str:
    return "" if decimal == "." else f" with the decimal mark {decimal!r}"


# The numbers pandas' parser reads: spaces and tabs around digits with at most one decimal
# mark and an exponent, or an infinity with no space around it.
_SPACE = "[ \t]*"
_INTEGER = re.compile(f"{_SPACE}[+-]?[0-9]+{_SPACE}")


@functools.cache
def _number_pattern(decimal: str) -> re.Pattern[str]:
    mark = re.escape(decimal)
    digits = f"(?:[0-9]+(?:{mark}[0-9]*)?|{mark}[0-9]+)(?:[eE][+-]?[0-9]+)?"
    return re.compile(f"{_SPACE}[+-]?{digits}{_SPACE}|[+-]?(?i:inf(?:inity)?)")


def _to_float(cell: str, decimal: str) -> float:
    if _number_pattern(decimal).fullmatch(cell) is None:
        raise ValueError(f"not a number: {cell!r}")
    return float(cell.replace(decimal, "."))


def _is_number(cell: str, decimal: str) -> bool:
    return _number_pattern(decimal).fullmatch(cell) is not None
