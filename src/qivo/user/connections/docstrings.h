// Documentation strings of the module and of its twelve functions. Every line
// is spelled out with its indentation, including the whitespace-only lines,
// because callers see the text exactly as it stands here.
#pragma once

namespace qivo::docs {

inline constexpr const char* module =
    "\n"
    "Connection management module for Snowflake.\n"
    "\n"
    "This module provides functionality to save, load, and manage Snowflake\n"
    "connection configurations stored in TOML format.\n";

inline constexpr const char* get_velmor_dir =
    "\n"
    "    Get the path to the .velmor directory in the user's home directory.\n"
    "    \n"
    "    Returns:\n"
    "        Path object pointing to ~/.velmor\n"
    "    ";

inline constexpr const char* get_connections_file =
    "\n"
    "    Get the path to the connections.toml file.\n"
    "    \n"
    "    Returns:\n"
    "        Path object pointing to ~/.velmor/connections.toml\n"
    "    ";

inline constexpr const char* initialize_velmor_directory =
    "\n"
    "    Create the .velmor directory and connections.toml file if they don't exist.\n"
    "    \n"
    "    Returns:\n"
    "        Path to the .velmor directory\n"
    "        \n"
    "    Raises:\n"
    "        OSError: If directory creation fails\n"
    "    ";

inline constexpr const char* load_connections_file =
    "\n"
    "    Load all connections from the connections.toml file.\n"
    "    \n"
    "    Returns:\n"
    "        Dictionary of all connections\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available\n"
    "        FileNotFoundError: If connections.toml doesn't exist\n"
    "    ";

inline constexpr const char* save_connections_file =
    "\n"
    "    Save connections dictionary to the connections.toml file.\n"
    "    \n"
    "    Args:\n"
    "        connections: Dictionary of all connections to save\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available\n"
    "        OSError: If file operations fail\n"
    "    ";

inline constexpr const char* save_connection_config =
    "\n"
    "    Save connection credentials to connections.toml file.\n"
    "    \n"
    "    Args:\n"
    "        connection_name: Name of the connection (e.g., 'yorsk_dev1')\n"
    "        credentials: Dictionary containing connection credentials\n"
    "        connection_type: Type of connection ('snowflake' or 'salesforce'), default "
    "'snowflake'\n"
    "        copy_key: If True, copy the private key file to .velmor directory (Snowflake "
    "only)\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available\n"
    "        OSError: If file operations fail\n"
    "    ";

inline constexpr const char* load_connection =
    "\n"
    "    Load connection credentials from connections.toml file.\n"
    "    \n"
    "    Args:\n"
    "        connection_name: Name of the connection to load (whitespace will be trimmed)\n"
    "        \n"
    "    Returns:\n"
    "        Dictionary containing connection credentials with 'connection_type' field, or "
    "None if not found\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available\n"
    "        FileNotFoundError: If connections.toml doesn't exist\n"
    "    ";

inline constexpr const char* list_connections =
    "\n"
    "    List all saved connection names.\n"
    "    \n"
    "    Returns:\n"
    "        List of connection names (excludes metadata entries like '_primary')\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available\n"
    "        FileNotFoundError: If connections.toml doesn't exist\n"
    "    ";

inline constexpr const char* delete_connection =
    "\n"
    "    Delete a connection from connections.toml.\n"
    "    \n"
    "    Args:\n"
    "        connection_name: Name of the connection to delete\n"
    "        \n"
    "    Returns:\n"
    "        True if connection was deleted, False if not found\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available\n"
    "        FileNotFoundError: If connections.toml doesn't exist\n"
    "    ";

inline constexpr const char* update_connection =
    "\n"
    "    Update an existing connection's credentials.\n"
    "    \n"
    "    Args:\n"
    "        connection_name: Name of the connection to update\n"
    "        credentials: Dictionary containing updated connection credentials\n"
    "        connection_type: Type of connection ('snowflake' or 'salesforce'). If None, will "
    "try to detect from existing connection.\n"
    "        copy_key: If True, copy the private key file to .velmor directory (Snowflake "
    "only)\n"
    "        \n"
    "    Returns:\n"
    "        True if connection was updated, False if not found\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available\n"
    "        FileNotFoundError: If connections.toml doesn't exist\n"
    "        OSError: If file operations fail\n"
    "    ";

inline constexpr const char* get_primary_connection =
    "\n"
    "    Get the name of the primary/default connection.\n"
    "    \n"
    "    Args:\n"
    "        connection_type: Optional connection type ('snowflake' or 'salesforce').\n"
    "                        If None, returns the legacy primary connection for backward "
    "compatibility.\n"
    "    \n"
    "    Returns:\n"
    "        Name of primary connection, or None if not set\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available\n"
    "        FileNotFoundError: If connections.toml doesn't exist\n"
    "    ";

inline constexpr const char* set_primary_connection =
    "\n"
    "    Set a connection as the primary/default connection for its type.\n"
    "    \n"
    "    Args:\n"
    "        connection_name: Name of the connection to set as primary\n"
    "        connection_type: Optional connection type ('snowflake' or 'salesforce').\n"
    "                        If None, will be auto-detected from the connection.\n"
    "        \n"
    "    Returns:\n"
    "        True if primary connection was set, False if connection doesn't exist\n"
    "        \n"
    "    Raises:\n"
    "        ValueError: If TOML library is not available or connection type is invalid\n"
    "        FileNotFoundError: If connections.toml doesn't exist\n"
    "    ";

} // namespace qivo::docs
