"""What installing puts on a machine: the files, the menu entry and its AppStream metadata, the icons,
and the Debian package, all from the build tree this suite was built in. lintian also checks the
package's manual page, copyright and changelog."""
import os
import struct
import subprocess

import pytest
from debian.copyright import Copyright

BUILD_DIR = os.environ.get("DANCER_BUILD_DIR", "build")
CMAKE = os.environ.get("DANCER_CMAKE", "cmake")
CPACK = os.environ.get("DANCER_CPACK", "cpack")
SOURCE_DIR = os.environ.get("DANCER_SOURCE_DIR", os.getcwd())

APP_ID = "org.example.dancer"
# Relative to the prefix.
INSTALLED_FILES = {
    "games/dancer",
    "share/dancer/1.mp3",
    f"share/applications/{APP_ID}.desktop",
    f"share/metainfo/{APP_ID}.metainfo.xml",
    "share/icons/hicolor/48x48/apps/dancer.png",
    "share/icons/hicolor/128x128/apps/dancer.png",
    "share/icons/hicolor/256x256/apps/dancer.png",
    "share/man/man6/dancer.6.gz",
    "share/doc/dancer/copyright",
    "share/doc/dancer/changelog.gz",
}


def run(*args, **kwargs):
    """Runs a command that must succeed, and shows what it said if it does not."""
    result = subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)
    assert result.returncode == 0, f"{args}: {result.stdout}{result.stderr}"
    return result.stdout


def files_under(root):
    return {os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs}


def desktop_entry(path):
    with open(path, encoding="utf-8") as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


@pytest.fixture(scope="module")
def staged(tmp_path_factory):
    """A DESTDIR install with the prefix the Debian package uses; returns DESTDIR."""
    root = tmp_path_factory.mktemp("destdir")
    run(CMAKE, "--install", BUILD_DIR, "--prefix", "/usr", env=dict(os.environ, DESTDIR=str(root)))
    return root


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("package")
    run(CPACK, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-G", "DEB",
        "-B", str(out))
    [package] = [p for p in os.listdir(out) if p.endswith(".deb")]
    return os.path.join(out, package)


def test_install_puts_every_file_in_its_place_and_nothing_else(staged):
    assert files_under(staged / "usr") == INSTALLED_FILES
    with open(staged / "usr/share/dancer/1.mp3", "rb") as installed, \
            open(os.path.join(SOURCE_DIR, "data/1.mp3"), "rb") as demo:
        assert installed.read() == demo.read()
    # Debian's own reader of the machine-readable format, strict about what breaks it.
    with open(staged / "usr/share/doc/dancer/copyright", encoding="utf-8") as copyright:
        Copyright(copyright, strict=True)


def test_menu_entry_and_metainfo_validate_and_name_the_installed_icons(staged):
    entry_path = staged / f"usr/share/applications/{APP_ID}.desktop"
    check = subprocess.run(["desktop-file-validate", str(entry_path)], capture_output=True,
                           text=True)
    assert check.returncode == 0 and check.stdout + check.stderr == "", check.stdout + check.stderr
    # Fails on warnings too; the tree check also finds the menu entry the metadata launches.
    run("appstreamcli", "validate-tree", "--no-net", str(staged / "usr"))
    icon = desktop_entry(entry_path)["Icon"]
    for size in (48, 128, 256):
        with open(staged / f"usr/share/icons/hicolor/{size}x{size}/apps/{icon}.png", "rb") as f:
            header = f.read(24)
        assert header[:8] == b"\x89PNG\r\n\x1a\n"
        assert struct.unpack(">II", header[16:24]) == (size, size)


def test_menu_entry_follows_the_install_prefix(tmp_path):
    # The prefix given at install time, not the one the build was configured with.
    run(CMAKE, "--install", BUILD_DIR, "--prefix", str(tmp_path / "opt"))
    entry = desktop_entry(tmp_path / f"opt/share/applications/{APP_ID}.desktop")
    assert entry["Path"] == str(tmp_path / "opt/share/dancer")
    assert entry["Exec"] == str(tmp_path / "opt/games/dancer")


def test_installed_program_opens_its_window_where_the_menu_starts_it(staged, start_dancer):
    entry = desktop_entry(staged / f"usr/share/applications/{APP_ID}.desktop")
    dancer = start_dancer(cwd=str(staged) + entry["Path"], binary=str(staged) + entry["Exec"])
    dancer.wait_for_window()
    dancer.key("q")
    assert dancer.wait() == 0


def owning_packages(paths):
    """The installed Debian package that owns each path, trying both sides of the merged /usr."""
    variants = {}
    for path in paths:
        other = path[len("/usr"):] if path.startswith("/usr/") else "/usr" + path
        variants[path] = variants[other] = path
    # One dpkg call for all: each is slow. It fails if any variant is unknown, so check is off.
    found = subprocess.run(["dpkg", "-S", *variants], capture_output=True, text=True).stdout
    owners = {}
    for line in found.splitlines():
        package, _, path = line.partition(": ")
        if path in variants:
            owners[variants[path]] = package.split(":")[0]
    return owners


def test_package_is_lintian_clean_installs_the_same_files_and_depends_on_every_linked_library(deb):
    # Informational tags may stay: those left ask for hardening flags and a closer strip, which a
    # distribution's own build adds.
    run("lintian", "--fail-on", "error,warning", deb)
    listing = run("dpkg-deb", "--contents", deb)
    packaged = {line.split()[-1].removeprefix("./") for line in listing.splitlines()
                if not line.startswith("d")}
    assert packaged == {"usr/" + f for f in INSTALLED_FILES}

    def field(name):
        return run("dpkg-deb", "--field", deb, name).strip()

    assert field("Package") == "dancer"
    assert field("Architecture") == run("dpkg", "--print-architecture").strip()
    depends = {alternative.split()[0] for clause in field("Depends").split(",")
               for alternative in clause.split("|")}
    binary = os.path.join(BUILD_DIR, "dancer")
    needed = [line.split()[1] for line in run("objdump", "-p", binary).splitlines()
              if line.strip().startswith("NEEDED")]
    resolved = {}
    for line in run("ldd", binary).splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] == "=>":
            resolved[parts[0]] = parts[2]
    owners = owning_packages(resolved[soname] for soname in needed)
    for soname in needed:
        assert owners.get(resolved[soname]) in depends, soname
