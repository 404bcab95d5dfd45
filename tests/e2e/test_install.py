"""What installing puts on a machine, from the build tree the tests run in: every file where a
distribution keeps it, a menu entry and metadata that validate, a hardened, lintian-clean .deb."""
import os
import pathlib
import subprocess

from conftest import Dancer, within

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
    main_group, listen_action = open(entry_file).read().split("\n\n")
    entry = dict(line.split("=", 1) for line in main_group.splitlines() if "=" in line)
    program = f"{usr}/games/dancer"
    assert (entry["Exec"], entry["Path"]) == (f"{program} %F", f"{usr}/share/dancer")
    assert (entry["Icon"], entry["StartupWMClass"]) == ("dancer", "Dancer")
    assert listen_action.endswith(f"\nExec={program} --listen\n")
    # Once a distribution's trigger has indexed the entry, a file manager offers it for music
    # files. Started as a desktop starts it: from the menu it plays the demo track where the
    # entry's Path is, and "Open With" hands it the file, here one that has gone.
    run("update-desktop-database", entry_file.parent)
    offers = run("gio", "mime", "audio/flac", env={**os.environ, "XDG_DATA_DIRS": usr / "share"})
    assert f"Registered applications:\n\t{APP}.desktop\n" in offers
    gone = f"{workdir}/gone.flac"
    for files, said in (([], ""), ([gone], f"{gone}: No such file or directory; running without")):
        d = dancer(command=("gio", "launch"), binary=entry_file, args=files)
        assert d.quit("Q") == (said and f"dancer: {said} music\n")
        within(5, lambda: not Dancer.windows(), lambda: "it goes on")
    # The package: lintian-clean, the same files under /usr, hardened as Debian builds its own:
    # lintian asks for nothing more, and functions guard stacks.
    run("cpack", "--config", f"{BUILD}/CPackConfig.cmake", "-B", tmp_path / "package")
    [deb] = (tmp_path / "package").glob("*.deb")
    lintian = run("lintian", "-I", "--fail-on", "error,warning", deb,
                  env={**os.environ, "TMPDIR": workdir})  # where it leaves its scratch files
    elf = run("readelf", "--wide", "--dynamic", "--dyn-syms", program)
    assert "__stack_chk_fail" in elf and "hardening" not in lintian
    listing = run("dpkg-deb", "--contents", deb).splitlines()
    assert {line.split()[-1][len("./usr/"):] for line in listing if line[0] != "d"} == FILES
