"""Loading one profile as a normalised credentials mapping."""

import pytest

URL = "https://localhost:1717//OauthRedirect"
SNOW = ["connection_type", "account", "user", "role", "warehouse", "private_key_file",
        "private_key_passphrase"]
SALES = ["connection_type", "client_id", "client_key", "sandbox", "my_domain", "redirect_url"]


@pytest.mark.parametrize("body, keys, values", [
    ("connection_type = ' SnowFlake '\naccount = 42\nuser = ' u '\nauthenticator = 'JWT'\n"
     "private_key_passphrase = '   '\ndatabase = '  '\nschema = ' s '\nextra = 'x'",
     SNOW + ["schema"], ["snowflake", "42", "u", "", "", "", None, "s"]),
    ("database = 'db'\nprivate_key_passphrase = ' pw '\nrole = true",
     SNOW + ["database"], ["snowflake", "", "", "True", "", "", "pw", "db"]),
    ("connection_type = 'SALESFORCE'\nsandbox = ' yes '\nredirect_url = '  https://x/cb  '\n"
     "client_key = 9", SALES, ["salesforce", "", "9", " yes ", "", "https://x/cb"]),
    ("connection_type = 'salesforce'", SALES, ["salesforce", "", "", False, "", URL]),
    ("connection_type = 'salesforce'\nsandbox = true", SALES, ["salesforce", "", "", True, "", URL]),
    ("connection_type = ''\naccount = 'a'", ["connection_type"], [""]),
    ("connection_type = ' Oracle '\naccount = 'a'", ["connection_type"], ["oracle"]),
])
def test_result_shapes(manager, write_store, capsys, body, keys, values):
    store = write_store(f"[p]\n{body}\n")
    before = store.read_bytes()
    assert list(manager.load_connection("p").items()) == list(zip(keys, values))
    assert store.read_bytes() == before and capsys.readouterr().out == ""


def test_saved_profiles_load_back_with_defaults(manager, home):
    manager.save_connection_config("s", {"schema": " sc "})
    manager.save_connection_config("f", {}, "salesforce")
    assert list(manager.load_connection("s").items()) == list((dict.fromkeys(SNOW, "") | {
        "connection_type": "snowflake", "private_key_passphrase": None, "schema": "sc"}).items())
    assert list(manager.load_connection("f").items()) == list(zip(
        SALES, ["salesforce", "", "", False, "", URL]))


@pytest.mark.parametrize("name, account", [
    ("  prod\t", "a1"), ("PROD", None), ("missing", None), ("_primary", None),
    (" _primary ", None), ("", None), ("   ", None),
])
def test_lookup_by_stripped_exact_name(manager, write_store, name, account):
    write_store("[prod]\naccount = 'a1'\n\n[_primary]\nname = 'prod'\n")
    result = manager.load_connection(name)
    assert (result and result["account"]) == account


def test_missing_store_raises_unless_name_is_reserved(manager, store, velmor_dir):
    assert manager.load_connection(" _primary") is None and manager.load_connection("  ") is None
    with pytest.raises(FileNotFoundError, match=f"^Connections file not found: {store}$"):
        manager.load_connection("prod")
    assert not velmor_dir.exists()


def test_result_is_independent(manager, write_store):
    write_store("[prod]\naccount = 'a1'\n")
    first = manager.load_connection("prod")
    del first["account"]
    assert manager.load_connection("prod")["account"] == "a1"


def test_late_bound_reader(manager, home, monkeypatch):
    monkeypatch.setattr(manager, "_load_connections_file",
                        lambda: {"x": {"connection_type": "salesforce", "client_id": " c "}})
    assert manager.load_connection("x")["client_id"] == "c"
