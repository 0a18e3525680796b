"""Token counting without the network: the shipped "cl100k_base" file is placed
where tiktoken looks for it, and real counts come out."""

from __future__ import annotations

import functools
import hashlib
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from zentra_lumara_gov.utils import tiktoken_offline as offline

KEY = "9b5ad71b2ce5302211f9c61530b329a4922fc6a4"


@functools.cache
def network_isolation() -> list[str]:
    """A command prefix that runs a program without any network, when the machine allows it."""
    unshare = shutil.which("unshare")
    if unshare and subprocess.run([unshare, "-n", "true"], capture_output=True).returncode == 0:
        return [unshare, "-n"]
    return []


def run_offline(code: str, tmp_path, **env_overrides) -> subprocess.CompletedProcess:
    """Runs ``code`` in a fresh interpreter that cannot reach any host.

    Without a network namespace, every HTTP(S) request is sent to a closed
    loopback port through the proxy settings, so it fails at once.
    """
    env = {k: v for k, v in os.environ.items() if k not in ("TIKTOKEN_CACHE_DIR", "DATA_GYM_CACHE_DIR")}
    env.update(TMPDIR=str(tmp_path), HTTP_PROXY="http://127.0.0.1:9", HTTPS_PROXY="http://127.0.0.1:9",
               http_proxy="http://127.0.0.1:9", https_proxy="http://127.0.0.1:9", NO_PROXY="", no_proxy="")
    env.update(env_overrides)
    return subprocess.run([*network_isolation(), sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=env, timeout=120)


class TestShippedFile:
    def test_is_the_file_tiktoken_expects(self):
        assert offline.cache_key(offline.CL100K_BASE_URL) == KEY
        assert offline.shipped_file() == offline.SHIPPED_CACHE_DIR / KEY
        assert hashlib.sha256(offline.shipped_file().read_bytes()).hexdigest() == offline.CL100K_BASE_SHA256
        import tiktoken_ext.openai_public as public
        import inspect

        # The same address and hash as tiktoken's own definition of the encoding.
        source = inspect.getsource(public.cl100k_base)
        assert offline.CL100K_BASE_URL in source and offline.CL100K_BASE_SHA256 in source


class TestOffline:
    def test_without_the_file_tiktoken_cannot_load_the_encoding(self, tmp_path):
        # The control: this environment really has no way to download it.
        done = run_offline("import tiktoken; tiktoken.get_encoding('cl100k_base')", tmp_path)
        assert done.returncode != 0
        assert "Error" in done.stderr.splitlines()[-1]
        assert not (tmp_path / "data-gym-cache" / KEY).exists()

    def test_importing_the_provider_is_enough(self, tmp_path):
        done = run_offline(
            """
            import zentra_lumara_gov.providers.verdix_provider as vp
            encoding = vp.tiktoken.get_encoding("cl100k_base")
            print(encoding.encode("hello world"), len(encoding.encode("The quick brown fox jumps over the lazy dog.")))
            """,
            tmp_path,
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "[15339, 1917] 10"
        assert (tmp_path / "data-gym-cache" / KEY).read_bytes() == offline.shipped_file().read_bytes()

    def test_a_cache_folder_of_the_users_choice_is_filled(self, tmp_path):
        chosen = tmp_path / "my-cache"
        done = run_offline(
            """
            from zentra_lumara_gov.utils.tiktoken_offline import ensure_cl100k_base_offline
            print(ensure_cl100k_base_offline())
            import os, tiktoken
            print(os.environ["TIKTOKEN_CACHE_DIR"], tiktoken.get_encoding("cl100k_base").encode("hello world"))
            """,
            tmp_path,
            TIKTOKEN_CACHE_DIR=str(chosen),
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines() == [str(chosen), f"{chosen} [15339, 1917]"]
        assert sorted(os.listdir(chosen)) == [KEY]


class TestCacheFolder:
    @pytest.fixture(autouse=True)
    def clean_environment(self, monkeypatch):
        # setenv first, so that whatever a test sets is undone afterwards.
        for name in ("TIKTOKEN_CACHE_DIR", "DATA_GYM_CACHE_DIR"):
            monkeypatch.setenv(name, "")
            monkeypatch.delenv(name)

    def test_tiktokens_own_order_of_folders(self, monkeypatch, tmp_path):
        monkeypatch.setattr(offline.tempfile, "gettempdir", lambda: str(tmp_path))
        assert offline.tiktoken_cache_dir() == (str(tmp_path / "data-gym-cache"), False)
        monkeypatch.setenv("DATA_GYM_CACHE_DIR", "/gym")
        assert offline.tiktoken_cache_dir() == ("/gym", True)
        monkeypatch.setenv("TIKTOKEN_CACHE_DIR", "/tik")
        assert offline.tiktoken_cache_dir() == ("/tik", True)

    def test_an_existing_file_is_left_alone(self, monkeypatch, tmp_path):
        monkeypatch.setenv("TIKTOKEN_CACHE_DIR", str(tmp_path))
        (tmp_path / KEY).write_bytes(b"already there")
        assert offline.ensure_cl100k_base_offline() == str(tmp_path)
        assert (tmp_path / KEY).read_bytes() == b"already there"
        assert sorted(os.listdir(tmp_path)) == [KEY]

    def test_caching_disabled_by_the_user_is_respected(self, monkeypatch):
        monkeypatch.setenv("TIKTOKEN_CACHE_DIR", "")
        assert offline.ensure_cl100k_base_offline() is None
        assert os.environ["TIKTOKEN_CACHE_DIR"] == ""

    def test_an_unwritable_default_folder_falls_back_to_the_shipped_one(self, monkeypatch, tmp_path):
        blocker = tmp_path / "a-file"
        blocker.write_text("not a folder")
        monkeypatch.setattr(offline.tempfile, "gettempdir", lambda: str(blocker))
        assert offline.ensure_cl100k_base_offline() == str(offline.SHIPPED_CACHE_DIR)
        assert os.environ["TIKTOKEN_CACHE_DIR"] == str(offline.SHIPPED_CACHE_DIR)

    def test_an_unwritable_folder_of_the_users_choice_is_not_overridden(self, monkeypatch, tmp_path):
        blocker = tmp_path / "a-file"
        blocker.write_text("not a folder")
        monkeypatch.setenv("DATA_GYM_CACHE_DIR", str(blocker / "cache"))
        assert offline.ensure_cl100k_base_offline() == str(blocker / "cache")
        assert "TIKTOKEN_CACHE_DIR" not in os.environ
        assert sorted(os.listdir(tmp_path)) == ["a-file"]
