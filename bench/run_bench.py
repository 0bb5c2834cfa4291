#!/usr/bin/env python3
"""Measures the installer against baselines timed in the same run, prints the table and writes
it as Markdown.

    run_bench.py BUILD_FOLDER MARKDOWN_FILE [--quick]

Run from the project's folder (the window finds its pictures there), on a desktop of its own
(tests/with-desktop). BUILD_FOLDER holds quillora-installer and bench/{window_timer,
minimal_window}. Every figure is a median over repeated runs:

1. the editor's rewrite (--install, --uninstall) of lists of 1 KB, 1 MB and 10 MB (it refuses
   lists over 16 MiB) with the entry near the end, against a copy synced to disk (dd conv=fsync), sed -i doing the same edit
   (in the C locale, its fastest), and bench/safe_copy, the least that a safe replacement of the
   list costs (read, copy, fsync, rename, fsync of the folder), each file put back and synced to
   disk before every run (hyperfine);
2. peak resident memory of those runs on the 1 KB and the 10 MB list;
3. exec until the window is mapped, against a minimal GTK program with the same background;
4. the install click until the notice is mapped, on a small list, against the same click on the
   minimal program, which shows the same notice without editing anything.

--quick runs each figure a few times on smaller lists, to check that the bench itself works.
"""
import datetime
import json
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys

LIST = ".local/share/Kingsoft/wps/jsaddons/publish.xml"
NOTICE_TITLE = "安装提示"
# The install button's middle, from the window's inner corner: its spot in the window, plus the
# window's 1 px border, plus half the button.
INSTALL_CLICK = "441,220"
# sed's version of each edit, as a user would write it by hand. The install text is the entry
# that the installer itself writes, read from its result.
SED_UNINSTALL = '/name="Quillora插件"/d'
FLOOR = "safe copy (floor)"


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def run(args, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, **kwargs)
    check(done.returncode == 0, f"{shlex.join(args)} failed ({done.returncode}):\n"
                                f"{done.stdout}{done.stderr}")
    return done


# ---- lists ----------------------------------------------------------------------------------

def other_addon(n):
    return (f'  <jspluginonline enable="true" install="https://addons.example.org/tool-{n:07d}" '
            f'url="https://addons.example.org/tool-{n:07d}/" type="wps" '
            f'name="Tool {n:07d}"/>\n').encode()


def write_list(path, size):
    """A list of about `size` bytes: other add-ons, then the closing tag on the last line."""
    head = b'<?xml version="1.0" encoding="UTF-8"?>\n<jsplugins>\n'
    tail = b"</jsplugins>\n"
    with open(path, "wb") as out:
        out.write(head)
        written = len(head) + len(tail)
        n = 0
        chunk = []
        while True:
            line = other_addon(n)
            if written + len(line) > size and n > 0:
                break
            chunk.append(line)
            written += len(line)
            n += 1
            if len(chunk) == 4096:
                out.write(b"".join(chunk))
                chunk = []
        out.write(b"".join(chunk))
        out.write(tail)


class Home:
    """A home folder of its own, whose list is put back from `source` before each run."""

    def __init__(self, folder):
        self.folder = folder
        self.list = os.path.join(folder, LIST)
        os.makedirs(os.path.dirname(self.list), exist_ok=True)

    def env(self):
        return dict(os.environ, HOME=self.folder)

    def put(self, source):
        shutil.copyfile(source, self.list)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- 1 and 2: the editor --------------------------------------------------------------------

def median_ms(values):
    return statistics.median(values) * 1000.0


def time_rewrites(installer, safe_copy, work, name, source, expected, mode, entry, runs):
    """Times the installer, dd and sed on copies of `source`; checks each one's result."""
    folder = os.path.join(work, f"{mode}-{name.replace(' ', '')}")
    home = Home(os.path.join(folder, "home"))
    dd_in = os.path.join(folder, "dd", "publish.xml")
    dd_out = os.path.join(folder, "dd", "publish.copy")
    sed_list = os.path.join(folder, "sed", "publish.xml")
    floor_list = os.path.join(folder, "floor", "publish.xml")
    for f in (dd_in, sed_list, floor_list):
        os.makedirs(os.path.dirname(f), exist_ok=True)
    shutil.copyfile(source, dd_in)

    sed_edit = f"/<\\/jsplugins>/i {entry}" if mode == "install" else SED_UNINSTALL
    q = shlex.quote
    commands = [
        ("installer", f"sh -c {q(f'cp {q(source)} {q(home.list)} && sync')}",
         f"{q(installer)} --{mode}"),
        ("cp + fsync", f"sh -c {q(f'rm -f {q(dd_out)} && sync')}",
         f"dd if={q(dd_in)} of={q(dd_out)} bs=1M conv=fsync status=none"),
        ("sed -i", f"sh -c {q(f'cp {q(source)} {q(sed_list)} && sync')}",
         f"sed -i -e {q(sed_edit)} {q(sed_list)}"),
        # The least that any safe replacement of the list costs, whatever it edits.
        (FLOOR, f"sh -c {q(f'cp {q(source)} {q(floor_list)} && sync')}",
         f"{q(safe_copy)} {q(floor_list)}"),
    ]
    report = os.path.join(folder, "hyperfine.json")
    args = ["hyperfine", "-N", "--style", "basic", "--warmup", "2", "--runs", str(runs),
            "--export-json", report]
    for _, prepare, _ in commands:
        args += ["--prepare", prepare]
    for label, _, command in commands:
        args += ["--command-name", label, command]
    # sed in the C locale matches bytes, its fastest way; the installer never looks at it.
    run(args, env=dict(home.env(), LC_ALL="C"), stdin=subprocess.DEVNULL)

    check(read(home.list) == expected, f"{mode} on the {name} list left other bytes than expected")
    check(read(sed_list) == expected, f"sed's {mode} on the {name} list did another edit")
    check(read(dd_out) == read(source), f"dd's copy of the {name} list differs")
    check(read(floor_list) == read(source), f"the durable copy of the {name} list differs")
    medians = {r["command"]: r["median"] * 1000.0 for r in json.load(open(report))["results"]}
    for path in (home.list, dd_in, dd_out, sed_list, floor_list):
        os.remove(path)
    return medians


def peak_memory_kib(installer, home, source, mode, runs):
    """Median peak resident memory of `installer --mode` on `source`, in KiB. GNU time starts it,
    so the figure holds nothing of this script's own memory from before the exec."""
    peaks = []
    for _ in range(runs):
        home.put(source)
        done = run(["/usr/bin/time", "-f", "%M", installer, f"--{mode}"], env=home.env())
        peaks.append(int(done.stderr.split()[-1]))
    os.remove(home.list)
    return statistics.median(peaks)


# ---- 3 and 4: the window --------------------------------------------------------------------

def window_times(timer, program, click=False, env=None, before=None, after=None):
    """One run of the window timer: (ms until mapped, ms from the click until the notice)."""
    if before:
        before()
    args = [timer]
    if click:
        args += ["--click", INSTALL_CLICK, "--title", NOTICE_TITLE]
    done = run(args + ["--", program], env=env)
    if after:
        after()
    figures = dict(line.split() for line in done.stdout.splitlines())
    mapped = int(figures["mapped_us"]) / 1000.0
    notice = int(figures["notice_us"]) / 1000.0 if click else None
    return mapped, notice


def alternate(runs, warmup, first, second):
    """Runs two measurements in turns, so that a slower moment hits both alike."""
    a, b = [], []
    for i in range(warmup + runs):
        x, y = first(), second()
        if i >= warmup:
            a.append(x)
            b.append(y)
    return statistics.median(a), statistics.median(b)


# ---- the table ------------------------------------------------------------------------------

def ms(value):
    if value >= 1000:
        return f"{value / 1000:.2f} s"
    if value >= 100:
        return f"{value:.0f} ms"
    if value >= 10:
        return f"{value:.1f} ms"
    return f"{value:.2f} ms"


def mib(kib):
    return f"{kib / 1024:.2f} MiB"


def machine():
    model = "unknown processor"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = ""
    try:
        for line in open("/proc/meminfo"):
            if line.startswith("MemTotal:"):
                memory = f", {int(line.split()[1]) / 1024 / 1024:.0f} GiB"
    except OSError:
        pass
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "-T", "."],
                        capture_output=True, text=True).stdout.split()
    disk = f", files on {fs[0]} ({fs[1]})" if len(fs) == 2 else ""
    distro = ""
    try:
        for line in open("/etc/os-release"):
            if line.startswith("PRETTY_NAME="):
                distro = line.split("=", 1)[1].strip().strip('"') + ", "
    except OSError:
        pass
    gtk = subprocess.run(["pkg-config", "--modversion", "gtk+-3.0"], capture_output=True,
                         text=True).stdout.strip()
    return (f"{model}, {os.cpu_count()} cores{memory}{disk}; {distro}Linux "
            f"{platform.release()}, GTK {gtk}")


def commit():
    done = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else "unknown"


def render(rows, style):
    header = ["Figure", "Installer", "Baseline", "Ratio", "Target", "Met"]
    if style == "markdown":
        lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        lines += ["| " + " | ".join(row) + " |" for row in rows]
        return "\n".join(lines)
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    fmt = "  ".join(f"{{:{w}}}" for w in widths)
    return "\n".join([fmt.format(*header), fmt.format(*("-" * w for w in widths))] +
                     [fmt.format(*row) for row in rows])


def verdict(ratio, limit):
    if limit is None:
        return "", ""
    return (f"≤ {limit:g}×" if limit != 1.0 else "< 1×",
            "yes" if (ratio <= limit if limit != 1.0 else ratio < 1.0) else "no")


def main():
    if len(sys.argv) not in (3, 4) or (len(sys.argv) == 4 and sys.argv[3] != "--quick"):
        sys.exit(__doc__)
    build, out = sys.argv[1], sys.argv[2]
    quick = len(sys.argv) == 4
    installer = os.path.abspath(os.path.join(build, "quillora-installer"))
    timer = os.path.abspath(os.path.join(build, "bench", "window_timer"))
    minimal = os.path.abspath(os.path.join(build, "bench", "minimal_window"))
    safe_copy = os.path.abspath(os.path.join(build, "bench", "safe_copy"))
    check(os.environ.get("DISPLAY"), "no DISPLAY: run under tests/with-desktop")
    work = os.path.abspath(os.path.join(build, "bench-work"))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    if quick:
        sizes = [("1 KB", 1 << 10, 3), ("1 MB", 1 << 20, 3), ("4 MB", 4 << 20, 3)]
        memory_runs, window_runs, window_warmup = 2, 3, 1
    else:
        sizes = [("1 KB", 1 << 10, 30), ("1 MB", 1 << 20, 20), ("10 MB", 10 << 20, 10)]
        memory_runs, window_runs, window_warmup = 5, 30, 5
    big = sizes[-1][0]

    # The lists without and with the entry; the one with it is what the installer makes.
    lists = {}
    probe = Home(os.path.join(work, "probe"))
    for name, size, _ in sizes:
        without = os.path.join(work, f"without-{size}.xml")
        write_list(without, size)
        probe.put(without)
        run([installer, "--install"], env=probe.env())
        with_entry = os.path.join(work, f"with-{size}.xml")
        shutil.copyfile(probe.list, with_entry)
        lists[name] = (without, with_entry)
    entry = read(lists[sizes[0][0]][1]).decode().splitlines()[-2]
    check("Quillora插件" in entry, f"the installer wrote no entry where it was expected: {entry}")

    rows = []
    print("Timing the editor against dd and sed ...", flush=True)
    for mode in ("install", "uninstall"):
        for name, _, runs in sizes:
            without, with_entry = lists[name]
            source, expected = (without, with_entry) if mode == "install" else (with_entry, without)
            m = time_rewrites(installer, safe_copy, work, name, source, read(expected), mode,
                              entry, runs)
            ours = m["installer"]
            for baseline, limit in (("cp + fsync", 1.5 if name == big else None),
                                    ("sed -i", 1.0), (FLOOR, None)):
                ratio = ours / m[baseline]
                target, met = verdict(ratio, limit)
                rows.append([f"--{mode}, {name} list", ms(ours), f"{baseline}: {ms(m[baseline])}",
                             f"{ratio:.2f}×", target, met])

    print("Measuring peak memory ...", flush=True)
    home = Home(os.path.join(work, "memory"))
    small = sizes[0][0]
    for mode in ("install", "uninstall"):
        pick = 0 if mode == "install" else 1
        low = peak_memory_kib(installer, home, lists[small][pick], mode, memory_runs)
        high = peak_memory_kib(installer, home, lists[big][pick], mode, memory_runs)
        grows = high - low
        rows.append([f"peak memory, --{mode}, {big} list", mib(high),
                     f"{small} list: {mib(low)}", f"{grows / 1024:+.2f} MiB", "< +1 MiB",
                     "yes" if grows < 1024 else "no"])

    print("Timing the window ...", flush=True)
    ours, floor = alternate(window_runs, window_warmup,
                            lambda: window_times(timer, installer)[0],
                            lambda: window_times(timer, minimal)[0])
    ratio = ours / floor
    target, met = verdict(ratio, 1.15)
    rows.append(["exec until the window is mapped", ms(ours), f"minimal GTK window: {ms(floor)}",
                 f"{ratio:.2f}×", target, met])

    click_home = Home(os.path.join(work, "click"))
    small_without, small_with = lists[small]

    def click_ours():
        return window_times(timer, installer, click=True, env=click_home.env(),
                            before=lambda: click_home.put(small_without),
                            after=lambda: check(read(click_home.list) == read(small_with),
                                                "the click did not install the add-on"))[1]

    ours, floor = alternate(window_runs, window_warmup, click_ours,
                            lambda: window_times(timer, minimal, click=True)[1])
    rows.append([f"install click until the notice is mapped, {small} list", ms(ours),
                 f"same notice, no edit: {ms(floor)}", f"{ours / floor:.2f}×", "", ""])

    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    about = f"{when}, commit {commit()}{' (--quick)' if quick else ''}\n{machine()}"
    print()
    print(about)
    print(render(rows, "text"))
    with open(out, "w") as f:
        f.write(f"Measured {about.replace(chr(10), ' on ')}.\n\n{render(rows, 'markdown')}\n")
    print(f"\nWritten to {out}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        main()
    except Failed as e:
        sys.exit(f"run_bench: {e}")
