"""Loading one profile as a normalised credentials mapping."""

import pytest

from support import REDIRECT, SALESFORCE as SALES

# The Snowflake fields a load returns always, in their order.
SNOW = ["connection_type", "account", "user", "role", "warehouse", "private_key_file",
        "private_key_passphrase"]


@pytest.mark.parametrize("body, keys, values", [
    ("connection_type = ' SnowFlake '\naccount = 42\nuser = ' u '\nauthenticator = 'JWT'\n"
     "private_key_passphrase = '   '\ndatabase = '  '\nschema = ' s '\nextra = 'x'",
     SNOW + ["schema"], ["snowflake", "42", "u", "", "", "", None, "s"]),
    ("database = 'db'\nprivate_key_passphrase = ' pw '\nrole = true",
     SNOW + ["database"], ["snowflake", "", "", "True", "", "", "pw", "db"]),
    ("connection_type = 'SALESFORCE'\nsandbox = ' yes '\nredirect_url = '  https://x/cb  '\n"
     "client_key = 9", SALES, ["salesforce", "", "9", " yes ", "", "https://x/cb"]),
    ("connection_type = 'salesforce'", SALES, ["salesforce", "", "", False, "", REDIRECT]),
    ("connection_type = 'salesforce'\nsandbox = true", SALES, ["salesforce", "", "", True, "", REDIRECT]),
    ("connection_type = ''\naccount = 'a'", ["connection_type"], [""]),
    ("connection_type = ' Oracle '\naccount = 'a'", ["connection_type"], ["oracle"]),
])
def test_result_shapes(manager, write_store, capsys, body, keys, values):
    store = write_store(f"[p]\n{body}\n")
    before = store.read_bytes()
    assert list(manager.load_connection("p").items()) == list(zip(keys, values, strict=False))
    assert store.read_bytes() == before and capsys.readouterr().out == ""


@pytest.mark.parametrize("name, account", [
    ("  prod\t", "a1"), ("PROD", None), ("missing", None), ("_primary", None),
    (" _primary ", None), ("", None), ("   ", None),
])
def test_lookup_by_stripped_exact_name(manager, write_store, name, account):
    write_store("[prod]\naccount = 'a1'\n\n[_primary]\nname = 'prod'\n")
    result = manager.load_connection(name)
    assert (result and result["account"]) == account
