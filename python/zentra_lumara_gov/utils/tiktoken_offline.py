"""The "cl100k_base" token encoding without reaching any host.

tiktoken downloads an encoding's rank file on first use and keeps it in a
cache folder, under the SHA-1 of the download address. The SDK ships that
file (tiktoken_data/, the exact bytes tiktoken expects: it checks their
SHA-256 when loading) and places it in tiktoken's cache before the first use,
so counting tokens works on a machine without network access.

Nothing else about tiktoken changes: the cache folder is the one tiktoken
itself chooses (TIKTOKEN_CACHE_DIR, then DATA_GYM_CACHE_DIR, then
<temp>/data-gym-cache), and other encodings are downloaded and cached as
usual. Only when that folder cannot be written, and the user chose no folder
of their own, is tiktoken pointed at the shipped folder through
TIKTOKEN_CACHE_DIR.
"""

from __future__ import annotations

import hashlib
import os
import pathlib
import shutil
import tempfile
import uuid

CL100K_BASE_URL = "https://openaipublic.blob.core.windows.net/encodings/cl100k_base.tiktoken"
CL100K_BASE_SHA256 = "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7"

SHIPPED_CACHE_DIR = pathlib.Path(__file__).resolve().parent / "tiktoken_data"


def cache_key(url: str) -> str:
    """The file name tiktoken gives the cached download of ``url``."""
    return hashlib.sha1(url.encode()).hexdigest()


def shipped_file() -> pathlib.Path:
    """The cl100k_base encoding file shipped with the package, named as tiktoken's cache names it."""
    return SHIPPED_CACHE_DIR / cache_key(CL100K_BASE_URL)


def tiktoken_cache_dir() -> tuple[str, bool]:
    """The folder tiktoken caches downloads in, and whether the user chose it."""
    if "TIKTOKEN_CACHE_DIR" in os.environ:
        return os.environ["TIKTOKEN_CACHE_DIR"], True
    if "DATA_GYM_CACHE_DIR" in os.environ:
        return os.environ["DATA_GYM_CACHE_DIR"], True
    return os.path.join(tempfile.gettempdir(), "data-gym-cache"), False


def ensure_cl100k_base_offline() -> str | None:
    """Make tiktoken find "cl100k_base" locally; returns the folder it will read.

    Returns None when the user disabled tiktoken's cache (an empty
    TIKTOKEN_CACHE_DIR): tiktoken then always downloads, as they asked.
    """
    cache_dir, chosen_by_user = tiktoken_cache_dir()
    if cache_dir == "":
        return None
    target = os.path.join(cache_dir, cache_key(CL100K_BASE_URL))
    if os.path.exists(target):
        return cache_dir
    try:
        os.makedirs(cache_dir, exist_ok=True)
        # Copy under a unique name, then rename: a reader never sees half a file.
        partial = f"{target}.{uuid.uuid4()}.tmp"
        try:
            shutil.copyfile(shipped_file(), partial)
            os.replace(partial, target)
        finally:
            if os.path.exists(partial):
                os.remove(partial)
        return cache_dir
    except OSError:
        if chosen_by_user:
            # Their folder, their choice: tiktoken reports what goes wrong there.
            return cache_dir
        os.environ["TIKTOKEN_CACHE_DIR"] = str(SHIPPED_CACHE_DIR)
        return str(SHIPPED_CACHE_DIR)
