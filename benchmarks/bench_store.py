"""The stores under test and the floors every operation is measured against.

A store of N profiles is half Snowflake, half Salesforce, with both primaries
set, written by the module itself into a throwaway HOME.  The floors work on
the same file: ``tomllib.load`` for the reading operations, and
``tomllib.load`` plus a durable atomic replace of the same bytes for the
changing ones.
"""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile
import tomllib
from pathlib import Path

MODULE_NAME = "qivo.user.connections.manager"

# (key, kind, label), in the order they appear in the table.
OPERATIONS = (
    ("save_new", "change", "save (new profile)"),
    ("save_replace", "change", "save (replace profile)"),
    ("load", "read", "load"),
    ("list", "read", "list"),
    ("update", "change", "update"),
    ("delete", "change", "delete"),
    ("set_primary", "change", "set primary"),
    ("get_primary", "read", "get primary"),
)
# kind -> (benchmark key, label)
FLOORS = {
    "read": ("floor_read", "tomllib.load"),
    "change": ("floor_change", "tomllib.load + durable replace"),
}


def silence_module(manager) -> None:
    """Sends the module's one-line reports nowhere: they are not what is timed."""
    manager.print = lambda *args, **kwargs: None


def profile_name(index: int) -> str:
    kind = "snowflake" if index % 2 == 0 else "salesforce"
    return f"{kind}_{index:05d}"


def snowflake_entry(index: int, velmor_dir: Path) -> dict:
    # Fields in the order the module writes a Snowflake profile.
    return {
        "connection_type": "snowflake",
        "private_key_file": str(velmor_dir / f"rsa_key_{index:05d}.p8"),
        "private_key_passphrase": f"passphrase-{index:05d}",
        "account": f"xy{index:05d}.eu-west-1",
        "user": f"ETL_SERVICE_{index:05d}",
        "authenticator": "SNOWFLAKE_JWT",
        "warehouse": "COMPUTE_WH",
        "database": f"ANALYTICS_{index % 7}",
        "schema": "PUBLIC",
        "role": "TRANSFORMER",
    }


def salesforce_entry(index: int) -> dict:
    # Fields in the order the module writes a Salesforce profile.
    return {
        "connection_type": "salesforce",
        "client_id": f"3MVG9{index:05d}ClientId",
        "client_key": f"client-secret-{index:05d}",
        "sandbox": index % 4 == 1,
        "my_domain": f"org{index:05d}.my.salesforce.com",
        "redirect_url": "https://localhost:1717//OauthRedirect",
    }


def make_store(size: int, velmor_dir: Path) -> dict:
    """Half Snowflake, half Salesforce profiles, with both primaries set
    (a one-profile store has only a Snowflake profile and its primary)."""
    store = {}
    for index in range(size):
        name = profile_name(index)
        store[name] = (
            snowflake_entry(index, velmor_dir) if index % 2 == 0 else salesforce_entry(index)
        )
    primary = {"snowflake_primary": profile_name(0), "name": profile_name(0)}
    if size > 1:
        primary["salesforce_primary"] = profile_name(1)
        primary["name"] = profile_name(1)
    store["_primary"] = primary
    return store


def new_snowflake_credentials(velmor_dir: Path) -> dict:
    """The credentials of the profile that "save (new profile)" adds."""
    return {
        "account": "zz99999.us-east-1",
        "user": "NEW_SERVICE",
        "private_key_file": str(velmor_dir / "rsa_key_new.p8"),
        "private_key_passphrase": "new-passphrase",
        "warehouse": "LOAD_WH",
        "database": "RAW",
        "schema": "LANDING",
        "role": "LOADER",
    }


def durable_replace(path: Path | str, data: bytes) -> None:
    """Atomically and durably replaces `path` with `data`: the floor of every
    change to the store."""
    directory = os.path.dirname(path)
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".bench-")
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.rename(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory_fd)
    finally:
        os.close(directory_fd)


def read_floor(path: Path) -> dict:
    with open(path, "rb") as file:
        return tomllib.load(file)


class BenchStore:
    """A store of `size` profiles in a fresh HOME under `home_root`, written by
    the module itself, and removed when the process exits."""

    def __init__(self, size: int, home_root: Path, manager) -> None:
        home_root.mkdir(parents=True, exist_ok=True)
        self.home = Path(tempfile.mkdtemp(prefix=f"store-{size}-", dir=home_root))
        atexit.register(shutil.rmtree, self.home, ignore_errors=True)
        os.environ["HOME"] = str(self.home)
        self.size = size
        self.velmor_dir = manager.get_velmor_dir()
        self.velmor_dir.mkdir(mode=0o700)
        manager._save_connections_file(make_store(size, self.velmor_dir))
        self.path = manager.get_connections_file()
        self.data = self.path.read_bytes()
        if len(manager.list_connections()) != size:
            raise RuntimeError(f"store of {size} profiles was not written as expected")

    def restore(self) -> None:
        """Puts the original store back, durably, so the next timed call
        starts from the same store and a quiet disk."""
        durable_replace(self.path, self.data)
