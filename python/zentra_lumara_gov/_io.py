"""Reading record tables and writing results: one suffix table, one cell codec, atomic writes.

Every door reads and writes through here: the command line, the cluster path
and the result's exports.

Formats, by the file's suffix (any case):

========================  ==========  =====================================================
suffix                    format      cells
========================  ==========  =====================================================
.csv                      CSV         every cell text; "[...]"/"{...}" cells decoded as JSON
.jsonl, .ndjson           JSON Lines  one JSON object per line
.json                     JSON        one array of JSON objects
.parquet, .pq             Parquet     arrays read back as lists
========================  ==========  =====================================================

Text files are read as UTF-8 (a byte-order mark is skipped) unless another
encoding is given. Lists and mappings are written as JSON text in CSV and
Parquet (:func:`encode_cell`) and read back by :func:`decode_cell`.

Single files are written to a temporary file beside the target, flushed and
renamed into place: a write that fails or is interrupted leaves the previous
file whole.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import tempfile
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from zentra_lumara_gov.errors import DataReadError, OutputError

# Suffix -> format of a data file.
READ_FORMATS = {
    ".csv": "csv",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "json",
    ".parquet": "parquet",
    ".pq": "parquet",
}
# Suffix -> what a result is written as.
WRITE_FORMATS = {".json": "json", ".csv": "csv", ".parquet": "parquet", ".pq": "parquet", ".html": "html"}
# Formats and the module each needs beyond the SDK's own dependencies.
OPTIONAL_MODULES = {"parquet": ("pyarrow", "pip install 'zentra_lumara_gov[parquet]'")}


def data_format(path: str | os.PathLike[str]) -> str:
    """The format of a data file by its suffix, or :class:`DataReadError` naming the known ones."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    kind = READ_FORMATS.get(suffix)
    if kind is None:
        raise DataReadError(
            f"{os.fspath(path)}: cannot tell the format from {suffix or 'a name without suffix'!r}; "
            f"name a {', '.join(READ_FORMATS)} file."
        )
    return kind


def text_encoding(encoding: str | None) -> str:
    """The codec text files are read with: UTF-8 skips a byte-order mark."""
    if encoding is None or encoding.lower().replace("_", "-") in ("utf-8", "utf8"):
        return "utf-8-sig"
    return encoding


# --- cells ------------------------------------------------------------------------------------------------------


def decode_cell(value: Any) -> Any:
    """A cell as read: JSON text of a list or mapping becomes the list or mapping; arrays become lists."""
    if isinstance(value, str):
        if value[:1] in ("[", "{"):
            try:
                return json.loads(value)
            except (ValueError, RecursionError):
                return value
        return value
    if hasattr(value, "tolist") and not isinstance(value, (bytes, bytearray)) and getattr(value, "ndim", 0) > 0:
        return [decode_cell(item) for item in value.tolist()]
    return value


def encode_cell(value: Any) -> Any:
    """A cell as written: lists, tuples, mappings and arrays as JSON text; other cells unchanged."""
    if hasattr(value, "tolist") and getattr(value, "ndim", 0) > 0:
        value = value.tolist()
    if isinstance(value, (list, tuple, dict)):
        return json.dumps(value, default=str, ensure_ascii=False)
    return value


def holds_objects(column: Any) -> bool:
    """A column of Python objects or texts (pandas 3 keeps texts in a string dtype of its own)."""
    from pandas.api.types import is_object_dtype, is_string_dtype

    return is_object_dtype(column.dtype) or is_string_dtype(column.dtype)


def decoded_cells(table: Any) -> Any:
    """``table`` with every text or object column's cells decoded (numeric columns untouched)."""
    for column in table.columns:
        if holds_objects(table[column]):
            table[column] = table[column].astype(object).map(decode_cell)
    return table


def encoded_cells(table: Any, plain: Iterable[Any] = ()) -> Any:
    """A copy of ``table`` with lists and mappings as JSON text (numeric columns untouched).

    ``plain`` names columns known to hold no list or mapping, left as they are.
    """
    table = table.copy()
    plain = set(plain)
    for column in table.columns:
        if column not in plain and holds_objects(table[column]):
            table[column] = table[column].astype(object).map(encode_cell)
    return table


# --- reading ----------------------------------------------------------------------------------------------------


def read_table(path: str | os.PathLike[str], encoding: str | None = None) -> Any:
    """The records of one data file as a pandas DataFrame, or :class:`DataReadError`."""
    import pandas as pd

    path = os.fspath(path)
    kind = data_format(path)
    try:
        if kind == "jsonl":
            table = pd.DataFrame(_json_lines(path, encoding))
        elif kind == "json":
            table = pd.DataFrame(_json_array(path, encoding))
        elif kind == "csv":
            table = decoded_cells(pd.read_csv(path, dtype=str, keep_default_na=False, encoding=text_encoding(encoding)))
        else:
            _require_module("parquet", f"reading {path}")
            table = decoded_cells(pd.read_parquet(path))
    except DataReadError:
        raise
    except UnicodeDecodeError as problem:
        raise DataReadError(_encoding_message(path, encoding, problem)) from None
    except RecursionError:
        raise DataReadError(f"{path}: nested too deeply to read.") from None
    except (OSError, ValueError, ImportError) as problem:
        raise DataReadError(f"cannot read {path}: {problem}") from problem
    if table.empty:
        raise DataReadError(f"{path} holds no records.")
    return table


def read_partitioned(path: str | os.PathLike[str], encoding: str | None = None) -> Any:
    """The records of a data file, a glob of files or a Parquet dataset folder as a dask DataFrame.

    Cells are decoded on the workers exactly as :func:`read_table` decodes them.
    """
    import glob

    import dask
    import dask.dataframe as dd

    path = os.fspath(path)
    # Dask would otherwise turn object columns into its own string type, and a
    # list of contexts into the text of its repr.
    with dask.config.set({"dataframe.convert-string": False}):
        if os.path.isdir(path):
            return dd.read_parquet(path).map_partitions(decoded_cells)
        kind = data_format(path)
        if kind == "parquet":
            return dd.read_parquet(path).map_partitions(decoded_cells)
        if kind == "csv":
            table = dd.read_csv(path, dtype=str, keep_default_na=False, encoding=text_encoding(encoding))
            return table.map_partitions(decoded_cells)
        # JSON: one partition per file, read (and its errors told) as read_table does.
        files = sorted(glob.glob(path)) or [path]
        return dd.from_map(_read_one, files, encoding=encoding)


def _read_one(path: str, encoding: str | None) -> Any:
    return read_table(path, encoding)


def _json_lines(path: str, encoding: str | None) -> list[dict[str, Any]]:
    records = []
    with open(path, encoding=text_encoding(encoding), newline="") as handle:
        for number, line in enumerate(handle, start=1):
            if not line.strip():
                continue
            try:
                record = json.loads(line.rstrip("\r\n"))
            except RecursionError:
                raise DataReadError(f"{path}, line {number}: nested too deeply to read.") from None
            except json.JSONDecodeError as problem:
                raise DataReadError(f"{path}, line {number}, column {problem.colno}: not JSON: {problem.msg}.") from None
            if not isinstance(record, dict):
                raise DataReadError(
                    f"{path}, line {number}: a record must be a JSON object, not {type(record).__name__}."
                )
            records.append(record)
    return records


def _json_array(path: str, encoding: str | None) -> list[dict[str, Any]]:
    with open(path, encoding=text_encoding(encoding)) as handle:
        try:
            records = json.load(handle)
        except RecursionError:
            raise DataReadError(f"{path}: nested too deeply to read.") from None
        except ValueError as problem:
            raise DataReadError(f"{path}: not JSON: {_json_problem(problem)}") from None
    if not isinstance(records, list) or not all(isinstance(record, dict) for record in records):
        raise DataReadError(f"{path}: a .json file must hold one array of JSON objects (one per record).")
    return records


def _json_problem(problem: ValueError) -> str:
    if isinstance(problem, json.JSONDecodeError):
        return f"{problem.msg} (line {problem.lineno}, column {problem.colno})"
    return str(problem)


def _encoding_message(path: str, encoding: str | None, problem: UnicodeDecodeError) -> str:
    name = encoding or "UTF-8"
    return (f"{path}: cannot be read as {name} (byte {problem.object[problem.start]:#04x} at offset "
            f"{problem.start}); name its encoding, e.g. --encoding latin-1.")


def _require_module(kind: str, purpose: str) -> None:
    needed = OPTIONAL_MODULES.get(kind)
    if needed is None:
        return
    module, command = needed
    import importlib.util

    if importlib.util.find_spec(module) is None:
        raise OutputError(f"{purpose} needs {module}, which is not installed: {command}")


# --- writing ----------------------------------------------------------------------------------------------------


def check_output_file(path: str | os.PathLike[str], *, inputs: tuple[str | os.PathLike[str], ...] = ()) -> str:
    """The format ``path`` will be written as, after checking that it can be written without losing data.

    Checked before anything is evaluated: the suffix is known, its module is
    installed, the folder exists and is writable, the path is not a folder
    and not one of ``inputs``.
    """
    text = os.fspath(path)
    suffix = os.path.splitext(text)[1].lower()
    kind = WRITE_FORMATS.get(suffix)
    if kind is None:
        raise OutputError(f"{text}: the output must end in one of {', '.join(WRITE_FORMATS)}.")
    _require_module(kind, f"writing {text}")
    if os.path.isdir(text):
        raise OutputError(f"{text} is a folder; name a file to write.")
    check_writable_folder(os.path.dirname(os.path.abspath(text)), text)
    for given in inputs:
        if _same_file(text, os.fspath(given)):
            raise OutputError(f"{text} is the input file: writing to it would overwrite the records; name another.")
    return kind


def check_writable_folder(folder: str, for_path: str) -> None:
    if not os.path.isdir(folder):
        raise OutputError(f"{for_path}: the folder {folder} does not exist.")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"{for_path}: the folder {folder} is not writable.")


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[str]:
    """A temporary path beside ``path`` to write to; renamed onto ``path`` when the block ends without error.

    The temporary file starts with a dot, so dataset readers skip it, and is
    removed when the block fails.
    """
    target = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    os.close(handle)
    try:
        yield temporary
        with open(temporary, "rb+") as written:
            os.fsync(written.fileno())
        os.chmod(temporary, _file_mode(target))
        os.replace(temporary, target)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(temporary)


def _file_mode(target: str) -> int:
    # The mode a new file gets (or the replaced file's own): not mkstemp's 0600.
    try:
        return os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def write_atomically(path: Any, write: Callable[[str], Any]) -> None:
    """``write(temporary_path)`` then the rename of :func:`atomic_path`; a file object is written to directly."""
    if not isinstance(path, (str, os.PathLike)):
        write(path)
        return
    with atomic_path(path) as temporary:
        write(temporary)


def write_text_atomically(path: Any, text: str) -> None:
    def write(target: Any) -> None:
        if isinstance(target, (str, os.PathLike)):
            with open(target, "w", encoding="utf-8", newline="") as handle:
                handle.write(text)
        else:
            target.write(text)

    write_atomically(path, write)


def summary_json(summary: Any) -> str:
    """A summary table as JSON records, numbers exact: a missing number as null, infinities as "Infinity"."""
    def cell(value: Any) -> Any:
        if hasattr(value, "item"):  # a numpy scalar
            value = value.item()
        if isinstance(value, float) and not math.isfinite(value):
            return None if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
        return value

    rows = [{column: cell(value) for column, value in row.items()} for row in summary.to_dict("records")]
    return json.dumps(rows, indent=2, ensure_ascii=False)


# Text a spreadsheet would run as a formula when it opens a CSV file.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def guard_formula(value: Any) -> Any:
    """A text cell a spreadsheet would run as a formula, made plain text by a leading apostrophe."""
    if isinstance(value, str) and value.startswith(FORMULA_STARTS):
        return "'" + value
    return value


def csv_ready(table: Any, *, guard_formulas: bool) -> Any:
    """``table`` as CSV cells: lists and mappings as JSON text, formulas guarded (text cells only)."""
    table = encoded_cells(table)
    if guard_formulas:
        for column in table.columns:
            if holds_objects(table[column]):
                table[column] = table[column].map(guard_formula)
    return table


# --- datasets ---------------------------------------------------------------------------------------------------

MANIFEST_NAME = "_zlg_manifest.json"
LOCK_NAME = "_zlg_run.lock"


def part_name(position: int) -> str:
    return f"part.{position:05d}.parquet"


def write_parquet_part(records: Any, path: str) -> None:
    """One part of a dataset, written whole or not at all; text columns stay text where a part holds only nulls."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    from pandas.api.types import is_bool_dtype, is_numeric_dtype

    schema = pa.schema([
        (column, pa.from_numpy_dtype(dtype) if is_numeric_dtype(dtype) or is_bool_dtype(dtype) else pa.string())
        for column, dtype in records.dtypes.items()
    ])
    table = pa.Table.from_pandas(records, schema=schema, preserve_index=False)
    # A worker killed while writing leaves a temporary file, never a torn part;
    # the partition's next attempt replaces the part whole.
    write_atomically(path, lambda target: pq.write_table(table, target))


class DatasetWriter:
    """A Parquet dataset folder written by one run and committed by a manifest written last.

    Parts go to a staging folder inside the dataset whose name starts with
    "_", which Parquet readers skip; :meth:`commit` moves them into place and
    writes the manifest. A lock file keeps a second run out while this one
    writes.
    """

    def __init__(self, folder: str | os.PathLike[str], run_id: str, *, overwrite: bool = False) -> None:
        self.folder = os.path.abspath(os.fspath(folder))
        self.run_id = run_id
        self.overwrite = overwrite
        self.staging = os.path.join(self.folder, f"_zlg_staging-{run_id}")
        self._lock = os.path.join(self.folder, LOCK_NAME)
        self._locked = False

    def check(self) -> None:
        """Refuse, before any work, a folder that cannot take this run's dataset."""
        if os.path.exists(self.folder) and not os.path.isdir(self.folder):
            raise OutputError(f"{self.folder} is a file; the records of a cluster run go to a folder.")
        check_writable_folder(os.path.dirname(self.folder), self.folder)
        if os.path.isdir(self.folder):
            check_writable_folder(self.folder, self.folder)
            holder = _lock_holder(self._lock)
            if holder is not None:
                raise OutputError(f"{self.folder} is being written by another run ({holder}); wait for it to end.")
            if self._existing_data() and not self.overwrite:
                raise OutputError(
                    f"{self.folder} holds another run's dataset; pass overwrite=True (--overwrite) to replace it whole, "
                    "or name another folder."
                )

    def begin(self) -> None:
        self.check()
        os.makedirs(self.folder, exist_ok=True)
        try:
            handle = os.open(self._lock, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
        except FileExistsError:
            if _lock_holder(self._lock) is not None:
                raise OutputError(f"{self.folder} is being written by another run; wait for it to end.") from None
            os.remove(self._lock)  # left by a run that died
            handle = os.open(self._lock, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
        with os.fdopen(handle, "w") as lock:
            json.dump({"run_id": self.run_id, "pid": os.getpid(), "host": _host()}, lock)
        self._locked = True
        os.makedirs(self.staging)

    def commit(self, counts: list[int]) -> str:
        """Move every part into place, replacing the previous dataset, and write the manifest last."""
        parts = [part_name(position) for position in range(len(counts))]
        missing = [name for name in parts if not os.path.exists(os.path.join(self.staging, name))]
        if missing:
            raise OutputError(f"{self.folder}: the parts {', '.join(missing)} were never written; nothing committed.")
        for name in self._existing_data():
            os.remove(os.path.join(self.folder, name))
        for name in parts:
            os.replace(os.path.join(self.staging, name), os.path.join(self.folder, name))
        manifest = {"run_id": self.run_id, "parts": parts, "records": sum(counts), "complete": True}
        write_text_atomically(os.path.join(self.folder, MANIFEST_NAME), json.dumps(manifest, indent=2))
        self._release()
        return self.folder

    def abort(self) -> None:
        """Leave the folder as it was before the run: staged parts removed, the lock released."""
        self._release()

    def _release(self) -> None:
        import shutil

        shutil.rmtree(self.staging, ignore_errors=True)
        if self._locked:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self._lock)
            self._locked = False

    def _existing_data(self) -> list[str]:
        # What a Parquet reader would read here, and a previous run's manifest.
        return sorted(
            name for name in os.listdir(self.folder)
            if name == MANIFEST_NAME or (not name.startswith(("_", ".")) and os.path.isfile(os.path.join(self.folder, name)))
        )


def _host() -> str:
    import socket

    return socket.gethostname()


def _lock_holder(path: str) -> str | None:
    """Who holds the dataset's lock, or None when nobody does (no lock, or one its process left behind)."""
    try:
        with open(path, encoding="utf-8") as handle:
            holder = json.load(handle)
    except FileNotFoundError:
        return None
    except ValueError:
        return "an unknown run"  # being written this very moment
    pid, host = holder.get("pid"), holder.get("host")
    if host == _host() and isinstance(pid, int):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return None
        except PermissionError:
            pass
    return f"run {holder.get('run_id')}, process {pid} on {host}"
