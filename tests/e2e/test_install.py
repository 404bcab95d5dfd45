"""What installing puts on a machine, from the build tree the tests run in: every file where a
distribution keeps it, a menu entry and metadata that validate, a hardened, lintian-clean .deb."""
import os
import pathlib
import subprocess

BUILD = os.environ["DANCER_BUILD_DIR"]
APP = "org.example.dancer"
FILES = {"games/dancer", "share/dancer/1.mp3", f"share/applications/{APP}.desktop",
         f"share/metainfo/{APP}.metainfo.xml", "share/man/man6/dancer.6.gz",
         "share/doc/dancer/copyright", "share/doc/dancer/changelog.gz",
         *(f"share/icons/hicolor/{size}x{size}/apps/dancer.png" for size in (48, 128, 256))}


def run(*command, env=None):
    result = subprocess.run(command, capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout + result.stderr


def test_install_validates_starts_from_the_menu_and_packages_clean_and_hardened(dancer, workdir):
    tmp_path = pathlib.Path(workdir)
    run("cmake", "--install", BUILD, "--prefix", usr := tmp_path / "usr")
    assert {str(path.relative_to(usr)) for path in tmp_path.rglob("*") if path.is_file()} == FILES
    entry_file = usr / f"share/applications/{APP}.desktop"
    assert run("desktop-file-validate", entry_file) == ""
    run("appstreamcli", "validate-tree", "--no-net", "--strict", usr,
        "--override=unknown-tag=pedantic")  # AppStream 0.16 predates the <developer> tag
    # The entry names the prefix given when installing, not the one the build was configured with.
    entry = dict(line.strip().split("=", 1) for line in open(entry_file) if "=" in line)
    assert (entry["Exec"], entry["Path"]) == (f"{usr}/games/dancer", f"{usr}/share/dancer")
    assert entry["Icon"] == "dancer" and entry["StartupWMClass"] == "Dancer"
    assert dancer(cwd=entry["Path"], binary=entry["Exec"]).quit("Q") == ""
    # The package: lintian-clean, the same files under /usr. Unless built with sanitizers, it is
    # hardened as Debian builds its own: lintian asks for nothing more, and functions guard stacks.
    run("cpack", "--config", f"{BUILD}/CPackConfig.cmake", "-B", tmp_path / "package")
    [deb] = (tmp_path / "package").glob("*.deb")
    lintian = run("lintian", "-I", "--fail-on", "error,warning", deb,
                  env={**os.environ, "TMPDIR": workdir})  # where it leaves its scratch files
    elf = run("readelf", "--wide", "--dynamic", "--dyn-syms", entry["Exec"])
    assert "libasan" in elf or ("__stack_chk_fail" in elf and "hardening" not in lintian)
    listing = run("dpkg-deb", "--contents", deb).splitlines()
    assert {line.split()[-1][len("./usr/"):] for line in listing if line[0] != "d"} == FILES
