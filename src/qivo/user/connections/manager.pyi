"""
Connection management module for Snowflake.

This module provides functionality to save, load, and manage Snowflake
connection configurations stored in TOML format.
"""

import os as os
import shutil as shutil
from pathlib import Path as Path
from types import ModuleType
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional

# Whether a TOML reader module could be imported; the two names below exist
# only when it is true.
TOML_AVAILABLE: bool
# "rb" for the standard tomllib or tomli, "r" for the toml package.
TOML_READ_MODE: str
# The selected TOML reader module (tomllib, tomli or toml).
tomllib: ModuleType

def get_velmor_dir() -> Path: ...
def get_connections_file() -> Path: ...
def initialize_velmor_directory() -> Path: ...
def _load_connections_file() -> Dict[str, Any]: ...
def _save_connections_file(connections: Dict[str, Any]) -> None: ...
def save_connection_config(
    connection_name: str,
    credentials: Dict[str, Any],
    connection_type: str = "snowflake",
    copy_key: bool = True,
) -> None: ...
def load_connection(connection_name: str) -> Optional[Dict[str, Any]]: ...
def list_connections() -> List[str]: ...
def delete_connection(connection_name: str) -> bool: ...
def update_connection(
    connection_name: str,
    credentials: Dict[str, Any],
    connection_type: Optional[str] = None,
    copy_key: bool = True,
) -> bool: ...
def get_primary_connection(connection_type: Optional[str] = None) -> Optional[str]: ...
def set_primary_connection(connection_name: str, connection_type: Optional[str] = None) -> bool: ...
