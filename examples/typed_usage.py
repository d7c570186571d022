"""Typed use of the module, checked with mypy against the installed stub."""

from pathlib import Path
from typing import Any, Dict, List, Optional

from qivo.user.connections import manager


def describe_primary(service: str) -> str:
    name: Optional[str] = manager.get_primary_connection(service)
    if name is None:
        return f"no primary {service} connection"
    credentials: Optional[Dict[str, Any]] = manager.load_connection(name)
    fields = sorted(credentials) if credentials is not None else []
    return f"{name}: {', '.join(fields)}"


def rotate_key(name: str, new_key: Path) -> bool:
    current = manager.load_connection(name)
    if current is None:
        return False
    current["private_key_file"] = str(new_key)
    return manager.update_connection(name, current, "snowflake", copy_key=True)


def main() -> None:
    store: Path = manager.get_connections_file()
    names: List[str] = manager.list_connections() if store.exists() else []
    for name in names:
        print(name)
    print(describe_primary("snowflake"))
    if manager.TOML_AVAILABLE:
        print(manager.TOML_READ_MODE)


if __name__ == "__main__":
    main()
