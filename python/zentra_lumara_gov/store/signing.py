"""Reviewers' sign-offs: Ed25519 signatures bound to one run's digest.

A sign-off signs the canonical JSON (sorted keys, no spaces, UTF-8) of
{"digest", "note", "run_id", "signed_at", "signed_by"}; the signature and
the reviewer's raw public key are stored as hex beside it, so anyone can
check it with any Ed25519 implementation.
"""

from __future__ import annotations

import json
import os
import pathlib
from typing import Any

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey


def keygen(path: str | os.PathLike[str]) -> tuple[pathlib.Path, pathlib.Path]:
    """Write a new key pair: the private key (PEM, readable by its owner only) at ``path``, the public key at ``path.pub``.

    Refuses to overwrite an existing key.
    """
    private_path = pathlib.Path(path)
    public_path = private_path.with_name(private_path.name + ".pub")
    key = Ed25519PrivateKey.generate()
    private_pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    public_pem = key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)
    descriptor = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as handle:
        handle.write(private_pem)
    public_path.write_bytes(public_pem)
    return private_path, public_path


def load_private_key(key: Any) -> Ed25519PrivateKey:
    """A private key given as a key object or the path of a PEM file written by :func:`keygen`."""
    if isinstance(key, Ed25519PrivateKey):
        return key
    loaded = serialization.load_pem_private_key(pathlib.Path(key).read_bytes(), password=None)
    if not isinstance(loaded, Ed25519PrivateKey):
        raise ValueError(f"{key} is not an Ed25519 private key")
    return loaded


def public_key_hex(key: Ed25519PrivateKey) -> str:
    return key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw).hex()


def signoff_message(run_id: str, digest: str, signed_by: str, note: str | None, signed_at: str) -> bytes:
    """The bytes a sign-off signs."""
    fields = {"digest": digest, "note": note, "run_id": run_id, "signed_at": signed_at, "signed_by": signed_by}
    return json.dumps(fields, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def sign(key: Ed25519PrivateKey, message: bytes) -> str:
    return key.sign(message).hex()


def signature_holds(public_key: str, signature: str, message: bytes) -> bool:
    """Whether ``signature`` (hex) over ``message`` was made by the key whose raw public part is ``public_key`` (hex)."""
    try:
        Ed25519PublicKey.from_public_bytes(bytes.fromhex(public_key)).verify(bytes.fromhex(signature), message)
    except (InvalidSignature, ValueError):
        return False
    return True
