#!/usr/bin/env python3
"""Checks the .deb as a user's machine gets it: lintian accepts it, its programs are for its
architecture, its dependencies were computed, ask for no more than the oldest release it is for
has, and bring a font for Chinese, it installs, the installed command edits the list without a
display, and the installed launcher, started from an unrelated folder, shows the window with its
real pictures.

    package_test.py DEB SOURCE_FOLDER          checks it, and installs it here
    package_test.py DEB SOURCE_FOLDER SUITE    installs it in a pristine SUITE root instead

(run under tests/with-desktop, for the window; a root of another architecture than this
machine's under tools/with-emulator too). Here, as root, the package goes into this machine and
is purged afterwards (unless some version of it was there already); otherwise it is unpacked into
a throwaway root with dpkg --root; a package for another architecture is checked but not
installed here. In a SUITE root it is installed with apt into a copy of a pristine root of that
release and the package's architecture (tools/debian-root), and used there the same way, the
window drawn on this desktop; that needs root, and exits 77 (skipped) without it.
"""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

PACKAGE = "quillora-installer"
APP_ID = "com.quillora.Installer"
LIST = ".local/share/Kingsoft/wps/jsaddons/publish.xml"
# Where each picture shows in the window's content: the background, and each button's picture
# 5 px right and 4 px down of the button's corner, where the theme draws a flat button's image.
PICTURES = {"bg.jpg": (0, 0), "install.png": (335, 189), "uninstall.png": (575, 294),
            "exit.png": (590, 24)}
BORDER = 1
# User nobody's and group nogroup's ids, whom the window runs as where root runs the test.
NOBODY = 65534
# How long a wait for the window may last, in seconds: only a guard against a hang.
PATIENCE = 120
# The manual pages as man(1) shows them: where each is installed, and headings it must show.
MANUAL_PAGES = [
    ("man/man1", ("NAME", "RUNNING AS ROOT", "EXIT STATUS")),
    ("man/zh_CN/man1", ("名称", "概述", "描述", "选项", "以root身份运行", "退出状态", "文件", "环境")),
]
# What a line of the Chinese page, 80 columns wide, may neither end nor start with.
OPENING, CLOSING = "“‘（《「", "，。、；：！？）”’》」"
# The oldest release the package is for, as the systems tried in a pristine root of theirs: the
# versions it has of the libraries the package links with, which its Depends may not exceed.
OLDEST = {"libc6": "2.31-13", "libstdc++6": "10.2.1-6", "libgtk-3-0": "3.24.24-4",
          "libglib2.0-0": "2.66.8-1", "libexpat1": "2.2.10-2"}
SYSTEMS = {"bullseye": "Debian 11", "bookworm": "Debian 12", "trixie": "Debian 13"}
# The ELF machine of each architecture's programs.
MACHINES = {"amd64": 62, "arm64": 183}
DEBIAN_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/debian-root")


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def package_installed():
    status = run(["dpkg-query", "-W", "-f=${db:Status-Status}", PACKAGE]).stdout
    return status not in ("", "not-installed")


def install(deb, scratch):
    """Installs the package; gives the root it went into and how to take it out again."""
    if os.geteuid() == 0 and not package_installed():
        done = run(["dpkg", "-i", deb])
        check(done.returncode == 0, f"dpkg -i failed:\n{done.stdout}{done.stderr}")
        return "/", lambda: run(["dpkg", "--purge", PACKAGE])
    root = os.path.join(scratch, "root")
    admin = os.path.join(root, "var/lib/dpkg")
    for folder in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(admin, folder))
    open(os.path.join(admin, "status"), "w").close()
    done = run(["dpkg", "--root", root, "--admindir", admin, "--force-not-root",
                "--force-depends", "--force-script-chrootless", "--log=/dev/null", "-i", deb])
    check(done.returncode == 0, f"dpkg --root failed:\n{done.stdout}{done.stderr}")
    return root, lambda: None


def check_package(deb):
    lint = run(["lintian", "--fail-on", "error", "--display-level", ">=info", deb])
    tags = [line for line in lint.stdout.splitlines() if re.match(r"^[EWIPX]: ", line)]
    check(lint.returncode == 0, "lintian found errors:\n" + lint.stdout + lint.stderr)
    errors = sum(1 for tag in tags if tag.startswith("E: "))
    warnings = sum(1 for tag in tags if tag.startswith("W: "))
    print(f"package: lintian: {errors} errors, {warnings} warnings, {len(tags)} tags in all")
    for tag in tags:
        print("  " + tag)
    depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
    print(f"package: Depends: {depends.strip()}")
    for library in ("libc6", "libgtk-3-0", "libglib2.0-0", "libstdc++6"):
        check(re.search(rf"\b{re.escape(library)} \(>= ", depends),
              f"Depends names no version of {library}: {depends}")
    for library, oldest in OLDEST.items():
        for wanted in re.findall(rf"(?:^|, ){re.escape(library)} \(>= ([^)]+)\)", depends):
            check(run(["dpkg", "--compare-versions", wanted, "le", oldest]).returncode == 0,
                  f"Depends asks for {library} {wanted}, newer than the oldest release's {oldest}")
    check(re.search(r"(^|, )fonts-noto-cjk \| fonts-wqy-microhei \| fonts-wqy-zenhei(,|$)",
                    depends.strip()), f"Depends names no font with Chinese glyphs: {depends}")


def check_chinese_font(inside=()):
    """The window's texts are Chinese: the system that runs it has a font that draws them."""
    fonts = run([*inside, "fc-list", ":lang=zh", "family"]).stdout.splitlines()
    check(fonts, "no font on this system draws Chinese (fc-list :lang=zh found none)")
    print(f"package: {len(fonts)} fonts draw Chinese, e.g. {sorted(fonts)[0]}")


def check_files(deb, scratch):
    """The files the package ships, as dpkg-deb unpacks them: a machine that keeps no manual
    pages or documentation drops some of them on install."""
    root = os.path.join(scratch, "unpacked")
    run(["dpkg-deb", "-x", deb, root], check=True)
    share = os.path.join(root, "usr/share")
    desktop = os.path.join(share, "applications", APP_ID + ".desktop")
    valid = run(["desktop-file-validate", desktop])
    check(valid.returncode == 0 and valid.stdout == "", f"{desktop}:\n{valid.stdout}")
    metainfo = os.path.join(share, "metainfo", APP_ID + ".metainfo.xml")
    valid = run(["appstreamcli", "validate", "--no-net", "--no-color", metainfo])
    check(valid.returncode == 0, f"{metainfo}:\n{valid.stdout}{valid.stderr}")
    for size in ("48x48", "128x128", "256x256"):
        icon = os.path.join(share, "icons/hicolor", size, "apps", APP_ID + ".png")
        shown = run(["identify", "-format", "%wx%h", icon]).stdout
        check(shown == size, f"{icon} is {shown!r}, not {size}")
    manual = run(["man", "-l", os.path.join(share, "man/man1", PACKAGE + ".1.gz")],
                 env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", LC_ALL="C.UTF-8"))
    for section in ("SYNOPSIS", "OPTIONS", "EXIT STATUS", "FILES", "ENVIRONMENT"):
        check(section in manual.stdout, f"the manual page has no {section} section")
    check_manual_pages(share, scratch)
    print("package: desktop entry, metainfo, icons and manual page valid")
    arch = architecture(deb)
    programs = os.path.join(root, "usr/libexec", PACKAGE)
    for name in sorted(os.listdir(programs)):
        with open(os.path.join(programs, name), "rb") as f:
            header = f.read(20)
        check(header[:4] == b"\x7fELF" and int.from_bytes(header[18:20], "little") ==
              MACHINES[arch], f"{name} is no {arch} program: {header!r}")
    print(f"package: its programs are {arch} programs")


def architecture(deb):
    return run(["dpkg-deb", "-f", deb, "Architecture"]).stdout.strip()


def check_manual_pages(share, scratch):
    """Each manual page renders without a warning from man-db, groff or mandoc's lint, and shows
    its headings; no line of the Chinese page ends on opening punctuation or starts with closing
    punctuation."""
    env = dict(os.environ, MANWIDTH="80", MANPAGER="cat", LC_ALL="C.UTF-8")
    for folder, headings in MANUAL_PAGES:
        page = os.path.join(share, folder, PACKAGE + ".1.gz")
        source = os.path.join(scratch, "page.1")
        with open(source, "wb") as f:
            f.write(gzip.decompress(open(page, "rb").read()))
        for lint in (["man", "--warnings", "-l", page],
                     ["groff", "-ww", "-man", "-z", "-K", "utf8", "-T", "utf8", source],
                     ["mandoc", "-T", "lint", source]):
            said = run(lint, env=env)
            quiet = said.stderr == "" and (lint[0] == "man" or said.stdout == "")
            check(said.returncode == 0 and quiet,
                  f"{page}: {' '.join(lint[:-1])}:\n{said.stdout}{said.stderr}")
        shown = run(["man", "-l", page], env=env).stdout
        for heading in headings:
            check(re.search(rf"^{re.escape(heading)}$", shown, re.M),
                  f"{page} shows no heading {heading}")
        if "zh_CN" in folder:
            broken = [line for line in shown.splitlines() if line.strip() and
                      (line.rstrip()[-1] in OPENING or line.strip()[0] in CLOSING)]
            check(not broken, f"{page}: lines broken at punctuation:\n" + "\n".join(broken))


def check_command_line(start, scratch):
    """The installed command, run from an unrelated folder with no display; start(folder, args)
    gives the command line that runs it there."""
    home = os.path.join(scratch, "home")
    os.makedirs(os.path.join(home, os.path.dirname(LIST)))
    elsewhere = os.path.join(scratch, "elsewhere")
    os.makedirs(elsewhere)
    env = {"HOME": home, "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
    version = run(start(elsewhere, ["--version"]), cwd=elsewhere, env=env)
    found = re.fullmatch(r"quillora-installer (\S+)\n插件发布服务器：(https://\S+)\n",
                         version.stdout)
    check(version.returncode == 0 and found, f"--version: {version}")
    origin = found.group(2)
    done = run(start(elsewhere, ["--install"]), cwd=elsewhere, env=env)
    check(done.returncode == 0 and done.stderr == "" and done.stdout ==
          f"用户主目录路径：{home}\n当前工作目录：{home}\n已创建新的XML文件：{LIST}\n", f"--install: {done}")
    entry = (f'<jspluginonline enable="true" install="{origin}" url="{origin}/" type="wps" '
             'name="Quillora插件"/>')
    with open(os.path.join(home, LIST), encoding="utf-8") as f:
        check(f.read() == f'<?xml version="1.0" encoding="UTF-8"?>\n<jsplugins>\n{entry}\n'
              '</jsplugins>\n', "the list --install wrote")
    status = run(start(elsewhere, ["--status"]), cwd=elsewhere, env=env)
    check(status.returncode == 0 and status.stdout == "Quillora插件：已注册，已启用\n",
          f"--status: {status}")
    print("package: --version, --install and --status from an unrelated folder, no display")
    return home, elsewhere


def pixels_apart(first, second, scratch):
    """How many pixels of two pictures of one size differ by more than a little."""
    diff = run(["compare", "-metric", "AE", "-fuzz", "12%", first, second,
                os.path.join(scratch, "diff.png")])
    return int(float(diff.stderr.split()[0]))


def as_window_user(command, home, scratch):
    """Root's window never starts GTK on a home that root keeps: run by root, the window is user
    nobody's, in a home handed to nobody, as a person's window is hers. `command` runs it, through
    chroot where it is tried in a root of its own."""
    if os.geteuid() != 0:
        return command
    os.chmod(scratch, 0o755)
    for top, folders, files in os.walk(home):
        for name in [top] + [os.path.join(top, n) for n in folders + files]:
            os.lchown(name, NOBODY, NOBODY)
    if os.path.basename(command[0]) == "chroot":
        return [command[0], f"--userspec={NOBODY}:{NOBODY}", *command[1:]]
    return ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", "--",
            *command]


def check_window(start, source, home, elsewhere, scratch, saved_as="package-window"):
    """The installed launcher from an unrelated folder: the window shows its real pictures."""
    env = dict(os.environ, HOME=home)
    command = as_window_user(start(elsewhere, []), home, scratch)
    program = subprocess.Popen(command, cwd=elsewhere, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        found = run(["xdotool", "search", "--sync", "--onlyvisible", "--pid", str(program.pid)],
                    timeout=PATIENCE)
        window = found.stdout.split()[0] if found.stdout.split() else ""
        check(window, f"no window appeared: {found}")
        geometry = dict(re.findall(r"(\w+)=(\d+)",
                                   run(["xdotool", "getwindowgeometry", "--shell", window]).stdout))
        x, y = int(geometry["X"]), int(geometry["Y"])
        width, height = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
        pictures = os.path.join(source, "imgs")
        bg_size = run(["identify", "-format", "%w %h", os.path.join(pictures, "bg.jpg")]).stdout
        bg_w, bg_h = map(int, bg_size.split())
        check((width, height) == (bg_w + 2 * BORDER, bg_h + 2 * BORDER),
              f"the window is {width}x{height}, not the background's size plus its border")

        expected = os.path.join(scratch, "expected.png")
        layers = [os.path.join(pictures, "bg.jpg")]
        for name, (px, py) in PICTURES.items():
            if name != "bg.jpg":
                layers += [os.path.join(pictures, name), "-geometry", f"+{px}+{py}", "-composite"]
        run(["convert"] + layers + [expected], check=True)
        shot = os.path.join(scratch, "shot.png")
        content = os.path.join(scratch, "content.png")

        def pictures_apart():
            """Each picture's own spot on a screenshot, so that one small broken picture can't
            hide in the whole: what differs in each, and the share of pixels of the worst."""
            check(run(["import", "-window", "root", shot]).returncode == 0, "no screenshot")
            run(["convert", shot, "-crop", f"{bg_w}x{bg_h}+{x + BORDER}+{y + BORDER}", "+repage",
                 content], check=True)
            problems, worst = [], 0.0
            for name, (px, py) in PICTURES.items():
                size = run(["identify", "-format", "%w %h", os.path.join(pictures, name)]).stdout
                w, h = map(int, size.split())
                parts = []
                for whole in (content, expected):
                    part = os.path.join(scratch, f"{len(parts)}-{name}.png")
                    run(["convert", whole, "-crop", f"{w}x{h}+{px}+{py}", "+repage", part],
                        check=True)
                    parts.append(part)
                apart = pixels_apart(parts[0], parts[1], scratch)
                if apart > w * h // 50:
                    problems.append(f"{name}: {apart} of {w * h} pixels differ from the picture")
                worst = max(worst, apart / (w * h))
            return problems, worst

        # The first frame comes a moment after the window maps, later on a busy machine.
        until = time.monotonic() + PATIENCE
        problems, worst = pictures_apart()
        while problems and time.monotonic() < until:
            time.sleep(0.2)
            problems, worst = pictures_apart()
        check(not problems, "; ".join(problems) + f"; see {shot}")
        print(f"package: the window from the launcher shows its four pictures; at most "
              f"{worst:.2%} of a picture's pixels differ (2% allowed)")

        # The × ends the run.
        run(["xdotool", "mousemove", "--window", window, str(585 + BORDER + 10),
             str(20 + BORDER + 10), "click", "1"])
        check(program.wait(timeout=PATIENCE) == 0, "the × did not end the run with status 0")
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        os.makedirs("screenshots", exist_ok=True)
        shot = os.path.join(scratch, "shot.png")
        if os.path.exists(shot):
            shutil.copy(shot, os.path.join("screenshots", saved_as + ".png"))


def try_in_root(suite, deb, source, scratch):
    """Installs the package with apt into a copy of a pristine root of a release and the
    package's architecture, as an administrator there would, and uses it the same way; the
    window goes to this desktop."""
    arch = architecture(deb)
    system = f"{SYSTEMS.get(suite, suite)} {arch}"
    root_name = f"{suite}:{arch}"
    ours = os.path.join(scratch, suite)
    os.makedirs(ours)
    shutil.copy(deb, ours)
    up = run([DEBIAN_ROOT, root_name, "up", "--bind", ours, "--bind", "/tmp/.X11-unix"])
    check(up.returncode == 0, f"no {system} root:\n{up.stdout}{up.stderr}")
    root = up.stdout.strip()
    try:
        # By its full path: the command's own runs get a PATH without sbin.
        inside = (shutil.which("chroot", path="/usr/sbin:/usr/bin:/sbin:/bin") or "chroot", root)
        apt = [DEBIAN_ROOT, root_name, "apt", root]
        done = run(apt + ["update", "-qq"])
        if done.returncode == 0:
            done = run(apt + ["install", "-y", "-q", os.path.join(ours, os.path.basename(deb))])
        check(done.returncode == 0, f"apt-get in {system} failed:\n{done.stdout}{done.stderr}")
        version = run([*inside, "cat", "/etc/debian_version"]).stdout.strip()
        print(f"package: installed with apt into a pristine {system} root ({version})")
        check_chinese_font(inside)

        # chroot keeps the working folder outside the root: the command goes there inside it.
        def start(folder, args):
            return [*inside, "/bin/sh", "-c", 'cd "$0" && exec "$@"', folder,
                    "/usr/bin/" + PACKAGE, *args]

        home, elsewhere = check_command_line(start, ours)
        check_window(start, source, home, elsewhere, ours, f"package-window-{suite}-{arch}")
    finally:
        down = run([DEBIAN_ROOT, root_name, "down", root])
        if down.returncode != 0:
            print(f"package: {root} not taken down: {down.stderr}")


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    deb, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    suite = sys.argv[3] if len(sys.argv) == 4 else None
    if suite and os.geteuid() != 0:
        print(f"package: not tried in {SYSTEMS.get(suite, suite)}: a root of it needs root")
        return 77
    scratch = tempfile.mkdtemp(prefix="quillora-package.")
    os.chmod(scratch, 0o755)  # the window may run as nobody, from a folder in it
    remove = lambda: None
    try:
        if suite:
            try_in_root(suite, deb, source, scratch)
        else:
            check_package(deb)
            check_files(deb, scratch)
            here = run(["dpkg", "--print-architecture"]).stdout.strip()
            if architecture(deb) != here:
                print(f"package: not installed here, on {here}: it is tried in a root of its own")
            else:
                root, remove = install(deb, scratch)
                print(f"package: installed into {root}")
                check_chinese_font()
                launcher = os.path.join(root, "usr/bin", PACKAGE)
                start = lambda folder, args: [launcher, *args]
                home, elsewhere = check_command_line(start, scratch)
                check_window(start, source, home, elsewhere, scratch)
    except (Failed, subprocess.SubprocessError, OSError) as failure:
        print(f"FAILED: {failure}")
        return 1
    finally:
        remove()
        shutil.rmtree(scratch, ignore_errors=True)
    print("package: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
