"""Updating a stored profile: rebuild from credentials, type resolution, refusals.
Key placement is shared with the save and tested there."""

import pytest

from support import SALESFORCE, SNOWFLAKE, read

STORE = """\
    first = {connection_type = 'snowflake'}
    n = {connection_type = 'snowflake', private_key_file = '/k.p8', account = 'acc', role = 'old'}
    sf = {connection_type = 'Salesforce ', client_id = 'cid'}
    untyped = {account = 'a'}
    blank = {connection_type = ''}
    numeric = {connection_type = 5}
    _primary = {snowflake_primary = 'n'}
    """


@pytest.fixture
def saved(write_store):
    return write_store(STORE)


def test_rebuilds_from_credentials_only(manager, saved, capsys):
    assert manager.update_connection("n", {"role": " new ", "authenticator": "X"}) is True
    assert capsys.readouterr().out == "✓ Updated connection 'n' (snowflake)\n"
    data = read(saved)
    assert list(data) == ["first", "n", "sf", "untyped", "blank", "numeric", "_primary"]
    assert list(data["n"].items()) == list((dict.fromkeys(SNOWFLAKE, "") | {
        "connection_type": "snowflake", "authenticator": "SNOWFLAKE_JWT", "role": "new"}).items())
    assert data["_primary"] == {"snowflake_primary": "n"}


@pytest.mark.parametrize("name", ["missing", " n", "n ", "N"])
def test_unknown_or_spaced_name_returns_false(manager, saved, capsys, name):
    before = saved.read_bytes()
    assert manager.update_connection(name, {"role": "r"}) is False
    assert saved.read_bytes() == before and capsys.readouterr().out == ""


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
    assert list(entry) == (SNOWFLAKE if kind == "snowflake" else SALESFORCE)


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
