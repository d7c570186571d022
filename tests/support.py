"""Helpers and constants shared by the tests (imported as `support`)."""

import datetime as dt, errno, os, stat, struct, subprocess, sys, tempfile, textwrap, tomllib

import pytest

TOML_ERROR = "TOML library is required. Install one of: tomli, toml, or use Python 3.11+"
REDIRECT = "https://localhost:1717//OauthRedirect"
SNOWFLAKE = ["connection_type", "private_key_file", "private_key_passphrase", "account", "user",
             "authenticator", "warehouse", "database", "schema", "role"]
SALESFORCE = ["connection_type", "client_id", "client_key", "sandbox", "my_domain", "redirect_url"]
# The entries that credentials without any field give.
DEFAULTS = {
    "snowflake": dict.fromkeys(SNOWFLAKE, "") | {"connection_type": "snowflake",
                                                 "authenticator": "SNOWFLAKE_JWT"},
    "salesforce": dict.fromkeys(SALESFORCE, "") | {"connection_type": "salesforce", "sandbox": False,
                                                   "redirect_url": REDIRECT}}
# The example profile of a new store, and its exact text.
EXAMPLE = dict.fromkeys(SNOWFLAKE, "") | {"connection_type": "snowflake"}
TEMPLATE = "[yorsk_dev1]\n\n" + "".join(f"{key} = '{value}'\n" for key, value in EXAMPLE.items())


# A store that a refused or failed write must leave as it is (the conftest
# fixture `old_store` writes it).
OLD = "[keep]\n\nk = 'old'\n\n"


def listing(directory) -> list:
    """The names in a directory but the store's lock file, which every write
    creates and none removes."""
    return sorted(set(os.listdir(directory)) - {"connections.toml.lock"})


def assert_untouched(store):
    assert store.read_text(encoding="utf-8") == OLD
    assert listing(store.parent) == ["connections.toml"]


# Where the tests make their directories, homes among them: a mount point
# in the file-system stage of ./dev test; unset, pytest's and the system's
# temporary directories.
HOME_ROOT = os.environ.get("QIVO_TEST_HOME_ROOT") or None


def mode(path) -> int:
    return stat.S_IMODE(os.stat(path).st_mode)


def kept_mode(bits: int, path) -> int:
    """The mode that `path`'s file system shows after a chmod to `bits` of an
    entry of the same kind (directory or not) beside `path`: `bits` itself,
    except on file systems without permission bits (exfat, ntfs-3g)."""
    parent, is_dir = os.path.dirname(os.path.abspath(path)), os.path.isdir(path)
    if is_dir:
        probe = tempfile.mkdtemp(dir=parent)
    else:
        descriptor, probe = tempfile.mkstemp(dir=parent)
        os.close(descriptor)
    try:
        os.chmod(probe, bits)
        return mode(probe)
    finally:
        (os.rmdir if is_dir else os.unlink)(probe)


def symlink(link, target, required=True) -> bool:
    """Makes `link` a symbolic link to `target` that can be read back. Where
    the file system refuses (exfat has no symbolic links; sshfs by default
    refuses to read one whose target is absolute or has a `..`), the test is
    skipped, or, unless `required`, False is returned."""
    try:
        os.symlink(target, link)
        os.readlink(link)
        return True
    except OSError as error:
        if error.errno not in (errno.ENOSYS, errno.EPERM, errno.EOPNOTSUPP):
            raise
        if required:
            shown = "an absolute path" if os.path.isabs(target) else target
            pytest.skip(f"the file system refuses a symbolic link to {shown}: {error.strerror}")
        return False


def read(path) -> dict:
    return tomllib.loads(path.read_text(encoding="utf-8"))


# The differential check of the native parser against tomllib (the tests and
# the fuzzer share it).
def outcome(call):
    try:
        return call()
    except Exception as error:  # compared by type and message
        return (type(error), str(error))


def assert_same(got, expected, path="document"):
    """Equal as a caller can tell: exact types, key order, float bits (the sign
    and payload of nan too) and the very tzinfo objects."""
    assert type(got) is type(expected), (path, got, expected)
    if isinstance(expected, dict):
        assert list(got) == list(expected), path
        assert all(type(key) is str for key in got), path
        for key in expected:
            assert_same(got[key], expected[key], f"{path}[{key!r}]")
    elif isinstance(expected, list):
        assert len(got) == len(expected), path
        for index, (item, wanted) in enumerate(zip(got, expected, strict=False)):
            assert_same(item, wanted, f"{path}[{index}]")
    elif isinstance(expected, float):
        assert struct.pack("<d", got) == struct.pack("<d", expected), (path, got, expected)
    elif isinstance(expected, (dt.datetime, dt.time)):
        assert (got, got.fold) == (expected, expected.fold), path
        assert got.tzinfo is expected.tzinfo, (path, got.tzinfo, expected.tzinfo)
    else:
        assert got == expected, (path, got, expected)


def run_python(code: str, *, args=(), env: dict | None = None, timeout: float = 60,
               **kwargs) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of this environment (`args` in sys.argv[1:])."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args], env=os.environ | (env or {}),
        capture_output=True, text=True, timeout=timeout, **kwargs)


MODULE = "qivo.user.connections.manager"

# Plain Python functions with the interface of the module's twelve functions,
# compiled at top level so that their qualified names are the bare names too.
REFERENCES = {}
exec('''
def get_velmor_dir() -> "Path": pass
def get_connections_file() -> "Path": pass
def initialize_velmor_directory() -> "Path": pass
def _load_connections_file() -> "Dict[str, Any]": pass
def _save_connections_file(connections: "Dict[str, Any]") -> "None": pass
def save_connection_config(connection_name: "str", credentials: "Dict[str, Any]",
        connection_type: "str" = "snowflake", copy_key: "bool" = True) -> "None": pass
def load_connection(connection_name: "str") -> "Optional[Dict[str, Any]]": pass
def list_connections() -> "List[str]": pass
def delete_connection(connection_name: "str") -> "bool": pass
def update_connection(connection_name: "str", credentials: "Dict[str, Any]",
        connection_type: "Optional[str]" = None, copy_key: "bool" = True) -> "bool": pass
def get_primary_connection(connection_type: "Optional[str]" = None) -> "Optional[str]": pass
def set_primary_connection(connection_name: "str",
        connection_type: "Optional[str]" = None) -> "bool": pass
''', REFERENCES)
del REFERENCES["__builtins__"]
NAMES = list(REFERENCES)
