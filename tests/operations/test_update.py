"""Updating a stored profile: type resolution and refusals. Key placement is
shared with the save and tested there."""

import pytest

from support import DEFAULTS, read

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
    data = read(saved)  # the entry is rebuilt from the credentials alone, in its place
    assert list(data) == ["first", "n", "sf", "untyped", "blank", "numeric", "_primary"]
    assert list(data[name].items()) == list(DEFAULTS[kind].items())
    assert data["_primary"] == {"snowflake_primary": "n"}


@pytest.mark.parametrize("name, creds, error", [
    *[(name, {}, None) for name in ("missing", " n", "n ", "N")],  # looked up exactly as given
    ("n", {"connection_type": 5}, "^Expected str, got int$"),
    ("numeric", {}, "^Expected str, got int$"),
    ("sf", {"connection_type": b"x"}, "^Expected str, got bytes$"),
    ("n", {"connection_type": None}, "^Unknown connection type: none. Must be"),
    ("blank", {}, "^Unknown connection type: . Must be"),
    ("sf", {"connection_type": " MySQL"}, "^Unknown connection type: mysql. Must be "
                                         "'snowflake' or 'salesforce'$"),
])
def test_refused_update_changes_nothing(manager, saved, tmp_path, capsys, name, creds, error):
    before = saved.read_bytes()
    (tmp_path / "rsa.p8").write_text("SECRET")
    creds = dict(creds, private_key_file=str(tmp_path / "rsa.p8"))
    if error is None:
        assert manager.update_connection(name, creds) is False
    else:
        with pytest.raises(TypeError if "Expected" in error else ValueError, match=error):
            manager.update_connection(name, creds)
    assert saved.read_bytes() == before and capsys.readouterr().out == ""
    assert not (saved.parent / "rsa.p8").exists()


@pytest.mark.parametrize("kind, creds", [
    ("snowflake", {"account": "acc", "private_key_passphrase": None, "database": None,
                   "private_key_file": None, "role": None}),
    ("salesforce", {"client_id": None, "client_key": "k", "my_domain": None, "redirect_url": None,
                    "sandbox": None}),
])
def test_none_fields_are_stored_empty_and_survive_a_round_trip(manager, store, kind, creds):
    manager.save_connection_config("p", creds, kind)
    saved = read(store)["p"]
    # sandbox is stored as given, and None reads back as "" like the text fields.
    assert {key: saved[key] for key in creds} == {key: creds[key] or "" for key in creds}
    # Load, change one field, update: what loading returns is stored as it was.
    loaded = manager.load_connection("p")
    loaded["client_key" if kind == "salesforce" else "account"] = "changed"
    assert manager.update_connection("p", loaded)
    again = manager.load_connection("p")
    assert again == loaded and "None" not in read(store)["p"].values()
