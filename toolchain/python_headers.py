"""Stages the CPython 3.13 headers that zig's clang builds the wheel with, as
one directory DEST/python3.13 whose pyconfig.h is the real one (zig searches
none of the host's system directories, so the multiarch pyconfig.h of
Debian's Python, which includes <x86_64-linux-gnu/python3.13/pyconfig.h>,
would not be found).

`python python_headers.py host DEST`: the running interpreter's headers.

`python python_headers.py aarch64 DEST`: the headers of another
architecture, from Debian 13 (trixie)'s libpython3.13-dev for it, with that
architecture's own pyconfig.h (the host's has other ABI settings).
Everything is checked before it is used: the suite's InRelease file by its
signature (gpgv and Debian's archive keyring), the package index by the
SHA-256 that InRelease lists, and the package by the SHA-256 the index
lists. Run again, it does nothing when DEST already holds the headers.
"""

import hashlib, io, lzma, shutil, subprocess, sys, sysconfig, tarfile, tempfile, urllib.request
from pathlib import Path

MIRROR = "http://deb.debian.org/debian"
SUITE = "trixie"
PACKAGE = "libpython3.13-dev"
KEYRING = Path("/usr/share/keyrings/debian-archive-keyring.gpg")
DEBIAN_ARCHITECTURES = {"aarch64": ("arm64", "aarch64-linux-gnu"), "x86_64": ("amd64", "x86_64-linux-gnu")}


def fetch(path: str) -> bytes:
    with urllib.request.urlopen(f"{MIRROR}/{path}", timeout=120) as response:
        return response.read()


def checked(data: bytes, sha256: str, what: str) -> bytes:
    if hashlib.sha256(data).hexdigest() != sha256:
        raise SystemExit(f"error: {what} does not have the SHA-256 its index gives")
    return data


def verified_release() -> str:
    if not KEYRING.exists() or shutil.which("gpgv") is None:
        raise SystemExit(f"error: verifying Debian's index needs gpgv and {KEYRING} "
                         "(apt-get install gpgv debian-archive-keyring)")
    with tempfile.NamedTemporaryFile(suffix=".InRelease") as release:
        release.write(fetch(f"dists/{SUITE}/InRelease"))
        release.flush()
        # gpgv --output writes just the signed text, so nothing unsigned is read.
        result = subprocess.run(["gpgv", "--keyring", str(KEYRING), "--output", "-", release.name],
                                capture_output=True)
    if result.returncode != 0:
        raise SystemExit("error: Debian's InRelease did not verify:\n" + result.stderr.decode())
    return result.stdout.decode()


def index_entry(release: str, architecture: str) -> dict[str, str]:
    name = f"main/binary-{architecture}/Packages.xz"
    sha256 = next(line.split()[0] for line in release.split("SHA256:", 1)[1].splitlines()
                  if line.split()[-1:] == [name])
    packages = lzma.decompress(checked(fetch(f"dists/{SUITE}/{name}"), sha256, name)).decode()
    for stanza in packages.split("\n\n"):
        fields = dict(line.split(": ", 1) for line in stanza.splitlines()
                      if ": " in line and not line.startswith(" "))
        if fields.get("Package") == PACKAGE:
            return fields
    raise SystemExit(f"error: {PACKAGE} is not in Debian {SUITE} for {architecture}")


def data_tar(deb: bytes) -> tarfile.TarFile:
    """The data.tar.* member of a .deb (an ar archive)."""
    position = 8  # after "!<arch>\n"
    while position < len(deb):
        header = deb[position:position + 60]
        name, size = header[:16].decode().strip().rstrip("/"), int(header[48:58])
        if name.startswith("data.tar"):
            return tarfile.open(fileobj=io.BytesIO(deb[position + 60:position + 60 + size]))
        position += 60 + size + size % 2
    raise SystemExit("error: the package has no data.tar member")


def stage(include: Path, pyconfig: Path, dest: Path) -> None:
    """Copies `include` to DEST/python3.13, with `pyconfig` as its pyconfig.h."""
    dest.mkdir(parents=True, exist_ok=True)
    staging = dest / "python3.13.partial"
    shutil.rmtree(staging, ignore_errors=True)
    shutil.copytree(include, staging)
    (staging / "pyconfig.h").unlink(missing_ok=True)
    shutil.copy2(pyconfig, staging / "pyconfig.h")  # mtimes kept: no needless rebuilds
    shutil.rmtree(dest / "python3.13", ignore_errors=True)
    staging.rename(dest / "python3.13")


def host(dest: Path) -> None:
    include = Path(sysconfig.get_path("include"))
    # Debian's pyconfig.h only includes <MULTIARCH/python3.13/pyconfig.h>
    # from the directory above; elsewhere pyconfig.h is the real one.
    multiarch = include.parent / sysconfig.get_config_var("MULTIARCH") / include.name / "pyconfig.h"
    stage(include, multiarch if multiarch.exists() else include / "pyconfig.h", dest)


def debian(arch: str, dest: Path) -> None:
    if (dest / "python3.13" / "Python.h").exists():
        return
    architecture, triplet = DEBIAN_ARCHITECTURES[arch]
    entry = index_entry(verified_release(), architecture)
    deb = checked(fetch(entry["Filename"]), entry["SHA256"], entry["Filename"])
    with tempfile.TemporaryDirectory() as unpacked:
        data_tar(deb).extractall(unpacked, filter="data")
        stage(Path(unpacked, "usr/include/python3.13"),
              Path(unpacked, f"usr/include/{triplet}/python3.13/pyconfig.h"), dest)
    print(f"{PACKAGE} {entry['Version']} ({architecture}) headers in {dest / 'python3.13'}")


if __name__ == "__main__":
    source, destination = sys.argv[1], Path(sys.argv[2]).resolve()
    host(destination) if source == "host" else debian(source, destination)
