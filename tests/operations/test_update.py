"""Updating a stored profile: rebuild from credentials, type resolution, refusals."""

import stat
import tomllib

import pytest

SNOWFLAKE_FIELDS = ["connection_type", "private_key_file", "private_key_passphrase", "account",
                    "user", "authenticator", "warehouse", "database", "schema", "role"]
SALESFORCE_FIELDS = ["connection_type", "client_id", "client_key", "sandbox", "my_domain",
                     "redirect_url"]
STORE = """\
    first = {connection_type = 'snowflake'}
    n = {connection_type = 'snowflake', private_key_file = '/k.p8', account = 'acc', role = 'old'}
    sf = {connection_type = 'Salesforce ', client_id = 'cid'}
    untyped = {account = 'a'}
    blank = {connection_type = ''}
    numeric = {connection_type = 5}
    _primary = {snowflake_primary = 'n'}
    """


def read(path):
    return tomllib.loads(path.read_text(encoding="utf-8"))


@pytest.fixture
def saved(write_store):
    return write_store(STORE)


def test_rebuilds_from_credentials_only(manager, saved, capsys):
    assert manager.update_connection("n", {"role": " new ", "authenticator": "X"}) is True
    assert capsys.readouterr().out == "✓ Updated connection 'n' (snowflake)\n"
    data = read(saved)
    assert list(data) == ["first", "n", "sf", "untyped", "blank", "numeric", "_primary"]
    assert list(data["n"].items()) == list((dict.fromkeys(SNOWFLAKE_FIELDS, "") | {
        "connection_type": "snowflake", "authenticator": "SNOWFLAKE_JWT", "role": "new"}).items())
    assert data["_primary"] == {"snowflake_primary": "n"}


@pytest.mark.parametrize("name", ["missing", " n", "n ", "N"])
def test_unknown_or_spaced_name_returns_false(manager, saved, capsys, name):
    before = saved.read_bytes()
    assert manager.update_connection(name, {"role": "r"}) is False
    assert saved.read_bytes() == before and capsys.readouterr().out == ""


def test_metadata_names_and_missing_store(manager, velmor_dir):
    assert manager.update_connection("_primary", {}) is False  # decided before any read
    with pytest.raises(FileNotFoundError):
        manager.update_connection("n", {})
    assert not velmor_dir.exists()


@pytest.mark.parametrize("name, creds, explicit, kind", [
    ("sf", {}, None, "salesforce"),
    ("untyped", {}, None, "snowflake"),
    ("n", {"connection_type": " SalesForce "}, None, "salesforce"),
    ("sf", {"connection_type": "salesforce"}, " SNOWFLAKE ", "snowflake"),
    ("sf", {}, "snowflake", "snowflake"),
    ("numeric", {"connection_type": "salesforce"}, None, "salesforce"),
])
def test_type_resolution(manager, saved, capsys, name, creds, explicit, kind):
    assert manager.update_connection(name, creds, explicit) is True
    assert capsys.readouterr().out == f"✓ Updated connection '{name}' ({kind})\n"
    entry = read(saved)[name]
    assert entry["connection_type"] == kind
    assert list(entry) == (SNOWFLAKE_FIELDS if kind == "snowflake" else SALESFORCE_FIELDS)


@pytest.mark.parametrize("name, creds, error", [
    ("n", {"connection_type": 5}, "^Expected str, got int$"),
    ("numeric", {}, "^Expected str, got int$"),
    ("sf", {"connection_type": b"x"}, "^Expected str, got bytes$"),
    ("n", {"connection_type": None}, "^Unknown connection type: none. Must be"),
    ("blank", {}, "^Unknown connection type: . Must be"),
    ("sf", {"connection_type": " MySQL"}, "^Unknown connection type: mysql. Must be "
                                         "'snowflake' or 'salesforce'$"),
])
def test_unusable_type_is_refused(manager, saved, tmp_path, capsys, name, creds, error):
    before = saved.read_bytes()
    (tmp_path / "rsa.p8").write_text("SECRET")
    with pytest.raises((TypeError, ValueError), match=error) as caught:
        manager.update_connection(name, dict(creds, private_key_file=str(tmp_path / "rsa.p8")))
    assert caught.type is (TypeError if "Expected" in error else ValueError)
    assert saved.read_bytes() == before and capsys.readouterr().out == ""
    assert not (saved.parent / "rsa.p8").exists()


@pytest.mark.parametrize("inside, copy_key, line", [
    (False, True, "✓ Copied private key to {dest}"),
    (True, True, "✓ Private key already in .velmor directory"),
    (False, False, None),
])
def test_key_placement_on_update(manager, saved, tmp_path, capsys, inside, copy_key, line):
    dest = saved.parent / "rsa.p8"
    key = dest if inside else tmp_path / "rsa.p8"
    key.write_text("SECRET")
    assert manager.update_connection("n", {"private_key_file": str(key)}, "snowflake", copy_key)
    expected = [line.format(dest=dest)] if line else []
    assert capsys.readouterr().out.splitlines() == expected + [
        "✓ Updated connection 'n' (snowflake)"]
    assert read(saved)["n"]["private_key_file"] == str(dest if line else key)
    assert dest.exists() == bool(line)
    if line:
        assert stat.S_IMODE(dest.stat().st_mode) == 0o600 and dest.read_text() == "SECRET"


def test_late_bound_print(manager, saved, monkeypatch, capsys):
    lines = []
    monkeypatch.setattr(manager, "print", lines.append, raising=False)
    assert manager.update_connection("sf", {}) is True
    assert lines == ["✓ Updated connection 'sf' (salesforce)"] and capsys.readouterr().out == ""
