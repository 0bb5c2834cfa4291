#!/usr/bin/env python3
"""Measures the installer against baselines and the tools a user would pick instead, all timed in
the same run, prints the table and writes it as Markdown.

    run_bench.py BUILD_FOLDER MARKDOWN_FILE [--quick]

Run from the project's folder (the window finds its pictures there), on a desktop of its own
(tests/with-desktop). BUILD_FOLDER holds quillora-installer and bench/{window_timer,
minimal_window, safe_copy, bare_parse}. Every figure is a median over repeated runs, and the
programs compared are run in turns, each run of one beside a run of each other, so that a busy
moment of the machine hits them all alike:

1. the editor's rewrite (--install, --uninstall) of lists of 1 KB and 10 MB (it refuses lists
   over 16 MiB) in two shapes, against bench/safe_copy, the least that a safe replacement of the
   list costs (read twice, copy, fsync, rename, fsync of the folder), xmlstarlet ed -L doing the
   same edit (libxml2; no fsync) and bench/lxml_edit.py (lxml; temporary file, fsync, rename),
   each file put back and synced to disk before every run; each result is checked;
2. one read (--status) against expat's bare parse of the same list (bench/bare_parse);
3. peak resident memory (GNU time) of the installer and the two tools on 1 KB and 10 MB lists;
4. exec until the window is mapped, against a minimal GTK program with the same background;
5. the install click until the notice is mapped, on a small list, against the same click on the
   minimal program, which shows the same notice without editing anything.

--quick runs each figure a few times on lists of 1 KB and 1 MB, to check that the bench works.
"""
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

LIST = ".local/share/Kingsoft/wps/jsaddons/publish.xml"
NOTICE_TITLE = "安装提示"
ADDON = "Quillora插件"
# The install button's middle, from the window's inner corner: its spot in the window, plus the
# window's 1 px border, plus half the button.
INSTALL_CLICK = "441,220"
# lxml is Debian's python3-lxml, which only Debian's own Python finds.
DEBIAN_PYTHON = "/usr/bin/python3"
FLOOR = "safe copy"
XMLSTARLET = "xmlstarlet ed -L"
LXML = "lxml script"
BARE = "expat's bare parse"


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def run(args, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, **kwargs)
    check(done.returncode == 0, f"{' '.join(args)} failed ({done.returncode}):\n"
                                f"{done.stdout}{done.stderr}")
    return done


# ---- lists ----------------------------------------------------------------------------------

def distinct_entry(n):
    """Today's shape: each other add-on with an address and a name of its own."""
    return (f'  <jspluginonline enable="true" install="https://addons.example.org/tool-{n:07d}" '
            f'url="https://addons.example.org/tool-{n:07d}/" type="wps" '
            f'name="Tool {n:07d}"/>\n').encode()


def attribute_heavy_entry(n):
    """Short entries, nearly all attributes: the most events and attributes per byte."""
    return (b'<jspluginonline enable="true" install="https://o.example:1" '
            b'url="https://o.example:1/" type="wps" name="Other"/>\n')


SHAPES = [("distinct", distinct_entry), ("attribute-heavy", attribute_heavy_entry)]


def write_list(path, size, entry):
    """A list of about `size` bytes: other add-ons, then the closing tag on the last line."""
    head = b'<?xml version="1.0" encoding="UTF-8"?>\n<jsplugins>\n'
    tail = b"</jsplugins>\n"
    with open(path, "wb") as out:
        out.write(head)
        written = len(head) + len(tail)
        n = 0
        chunk = []
        while True:
            line = entry(n)
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


def put_synced(source, target):
    """Copies `source` over `target` and puts everything on disk, so that a timed run syncs only
    what it wrote itself."""
    shutil.copyfile(source, target)
    os.sync()


def ours_in(path):
    """The add-on's entries among the root's children of the list at `path`, which must be
    well-formed XML with a jsplugins root, and the count of all the root's children."""
    root = ElementTree.parse(path).getroot()
    check(root.tag == "jsplugins", f"{path} has the root {root.tag}")
    children = list(root)
    return [dict(c.attrib) for c in children if c.get("name") == ADDON], len(children)


# ---- timing in turns ------------------------------------------------------------------------

class Contender:
    """One program timed: its command line, its environment, and what puts its input back."""

    def __init__(self, label, argv, env=None, prepare=None):
        self.label = label
        self.argv = argv
        self.env = env if env is not None else dict(os.environ)
        self.prepare = prepare


def time_once(contender):
    """Seconds from spawning `contender` until it has ended; its output goes nowhere."""
    if contender.prepare:
        contender.prepare()
    actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    start = time.perf_counter()
    pid = os.posix_spawn(contender.argv[0], contender.argv, contender.env, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    check(os.waitstatus_to_exitcode(status) == 0,
          f"{' '.join(contender.argv)} failed ({os.waitstatus_to_exitcode(status)})")
    return elapsed


def in_turns(contenders, runs, warmup=2):
    """Median milliseconds of each contender, run in turns, the order reversed every other
    round."""
    times = {c.label: [] for c in contenders}
    for i in range(warmup + runs):
        for c in (contenders if i % 2 == 0 else list(reversed(contenders))):
            elapsed = time_once(c)
            if i >= warmup:
                times[c.label].append(elapsed)
    return {label: statistics.median(t) * 1000.0 for label, t in times.items()}


# ---- 1, 2 and 3: the editor and the reader --------------------------------------------------

def time_rewrites(tools, work, name, source, expected, mode, entry, runs):
    """Times the installer, the safe copy and the two tools on copies of `source`; checks each
    one's result."""
    folder = os.path.join(work, f"{mode}-{name.replace(' ', '')}")
    home = Home(os.path.join(folder, "home"))
    floor_list = os.path.join(folder, "floor", "publish.xml")
    star_list = os.path.join(folder, "xmlstarlet", "publish.xml")
    lxml_list = os.path.join(folder, "lxml", "publish.xml")
    for f in (floor_list, star_list, lxml_list):
        os.makedirs(os.path.dirname(f), exist_ok=True)

    contenders = [
        Contender("installer", [tools["installer"], f"--{mode}"], home.env(),
                  lambda: put_synced(source, home.list)),
        Contender(FLOOR, [tools["safe_copy"], floor_list],
                  prepare=lambda: put_synced(source, floor_list)),
        Contender(XMLSTARLET, [tools["xmlstarlet"], "ed", "-L"] + xmlstarlet_edit(mode, entry) +
                  [star_list], prepare=lambda: put_synced(source, star_list)),
        Contender(LXML, [DEBIAN_PYTHON, tools["lxml_edit"], mode, lxml_list] +
                  lxml_edit(mode, entry), prepare=lambda: put_synced(source, lxml_list)),
    ]
    medians = in_turns(contenders, runs)

    check(read(home.list) == expected, f"{mode} on the {name} list left other bytes than expected")
    check(read(floor_list) == read(source), f"the safe copy of the {name} list differs")
    _, before = ours_in(source)
    for label, path in ((XMLSTARLET, star_list), (LXML, lxml_list)):
        found, count = ours_in(path)
        if mode == "install":
            check(found == [entry] and count == before + 1,
                  f"{label}'s install on the {name} list did another edit: {found}")
        else:
            check(found == [] and count == before - 1,
                  f"{label}'s uninstall on the {name} list did another edit: {found}")
    shutil.rmtree(folder)
    return medians


def xmlstarlet_edit(mode, entry):
    """xmlstarlet's version of the edit, as a user would write it: a new last child of the root
    with the entry's attributes in their order, or every such child taken out."""
    if mode == "uninstall":
        return ["-d", f'/jsplugins/jspluginonline[@name="{ADDON}"]']
    args = ["-s", "/jsplugins", "-t", "elem", "-n", "jspluginonline", "-v", ""]
    target = "$prev"
    for attribute, value in entry.items():
        args += ["-i", target, "-t", "attr", "-n", attribute, "-v", value]
        target = "$prev/.."  # $prev is now the attribute just added
    return args


def lxml_edit(mode, entry):
    if mode == "uninstall":
        return [ADDON]
    return [f"{attribute}={value}" for attribute, value in entry.items()]


def time_reads(tools, work, name, with_entry, runs):
    """Times one read (--status) of a list that holds the entry against expat's bare parse."""
    home = Home(os.path.join(work, f"status-{name.replace(' ', '')}"))
    put_synced(with_entry, home.list)
    run([tools["installer"], "--status"], env=home.env())
    medians = in_turns([Contender("installer", [tools["installer"], "--status"], home.env()),
                        Contender(BARE, [tools["bare_parse"], home.list])], runs)
    shutil.rmtree(home.folder)
    return medians


def peak_memory_kib(argv, env, prepare, runs):
    """Median peak resident memory of `argv`, in KiB. GNU time starts it, so the figure holds
    nothing of this script's own memory from before the exec."""
    peaks = []
    for _ in range(runs):
        prepare()
        done = run(["/usr/bin/time", "-f", "%M"] + argv, env=env)
        peaks.append(int(done.stderr.split()[-1]))
    return statistics.median(peaks)


def peak_memories(tools, work, name, source, entry, runs):
    """Peak memory of the installer, xmlstarlet and the lxml script installing on `source`."""
    home = Home(os.path.join(work, f"memory-{name.replace(' ', '')}"))
    other = os.path.join(home.folder, "other.xml")
    peaks = {
        "installer": peak_memory_kib([tools["installer"], "--install"], home.env(),
                                     lambda: home.put(source), runs),
        XMLSTARLET: peak_memory_kib([tools["xmlstarlet"], "ed", "-L"] +
                                    xmlstarlet_edit("install", entry) + [other], None,
                                    lambda: shutil.copyfile(source, other), runs),
        LXML: peak_memory_kib([DEBIAN_PYTHON, tools["lxml_edit"], "install", other] +
                              lxml_edit("install", entry), None,
                              lambda: shutil.copyfile(source, other), runs),
    }
    shutil.rmtree(home.folder)
    return peaks


# ---- 3 and 4: the window --------------------------------------------------------------------

# Root's window never starts GTK on a home that root keeps: run by root, the windows (ours and
# the minimal one alike) are user nobody's, in a home of nobody's, as a person's window is hers.
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=65534", "--clear-groups", "--"]


def hand_to_nobody(folder):
    if os.geteuid() != 0:
        return
    for top, folders, files in os.walk(folder):
        for name in [top] + [os.path.join(top, n) for n in folders + files]:
            os.lchown(name, 65534, 65534)


def window_times(timer, program, click=False, env=None, before=None, after=None):
    """One run of the window timer: (ms until mapped, ms from the click until the notice)."""
    if before:
        before()
    args = AS_NOBODY + [timer] if os.geteuid() == 0 else [timer]
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


def cpu_times():
    """Busy and total jiffies of all cores since boot."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def render(rows, style):
    header = ["Figure", "Installer", "Baseline or peer", "Ratio", "Target", "Met"]
    if style == "markdown":
        lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        lines += ["| " + " | ".join(row) + " |" for row in rows]
        return "\n".join(lines)
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    fmt = "  ".join(f"{{:{w}}}" for w in widths)
    return "\n".join([fmt.format(*header), fmt.format(*("-" * w for w in widths))] +
                     [fmt.format(*row) for row in rows])


def row(figure, ours, baseline, theirs, limit=None, unit=ms):
    """One figure: the installer's, its baseline's or peer's, their ratio, and at most `limit`
    as the target."""
    ratio = ours / theirs
    target = f"≤ {limit:g}×" if limit is not None else ""
    met = ("yes" if ratio <= limit else "no") if limit is not None else ""
    return [figure, unit(ours), f"{baseline}: {unit(theirs)}", f"{ratio:.2f}×", target, met]


def main():
    if len(sys.argv) not in (3, 4) or (len(sys.argv) == 4 and sys.argv[3] != "--quick"):
        sys.exit(__doc__)
    build, out = sys.argv[1], sys.argv[2]
    quick = len(sys.argv) == 4
    tools = {
        "installer": os.path.abspath(os.path.join(build, "quillora-installer")),
        "safe_copy": os.path.abspath(os.path.join(build, "bench", "safe_copy")),
        "bare_parse": os.path.abspath(os.path.join(build, "bench", "bare_parse")),
        "lxml_edit": os.path.abspath(os.path.join(os.path.dirname(__file__), "lxml_edit.py")),
        "xmlstarlet": shutil.which("xmlstarlet") or "xmlstarlet",
    }
    timer = os.path.abspath(os.path.join(build, "bench", "window_timer"))
    minimal = os.path.abspath(os.path.join(build, "bench", "minimal_window"))
    check(os.environ.get("DISPLAY"), "no DISPLAY: run under tests/with-desktop")
    check(os.path.exists(tools["xmlstarlet"]), "no xmlstarlet: install bench/packages.txt")
    run([DEBIAN_PYTHON, "-c", "import lxml.etree"])
    work = os.path.abspath(os.path.join(build, "bench-work"))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    load_before = load()
    busy_before = cpu_times()

    # (name, bytes, runs of the rewrites, runs of the reads); the last is the large list.
    if quick:
        sizes = [("1 KB", 1 << 10, 3, 3), ("1 MB", 1 << 20, 3, 3)]
        memory_runs, window_runs, window_warmup = 1, 3, 1
    else:
        sizes = [("1 KB", 1 << 10, 30, 40), ("10 MB", 10 << 20, 10, 25)]
        memory_runs, window_runs, window_warmup = 3, 30, 5
    small, big = sizes[0][0], sizes[-1][0]
    # The targets, as ratios of medians: (small list, large list).
    targets = {FLOOR: (1.3, 14.0), XMLSTARLET: (1.0, 0.7), LXML: (1.0, 1.0), BARE: (1.25, 1.25)}

    # The lists without and with the entry; the one with it is what the installer makes.
    lists = {}
    probe = Home(os.path.join(work, "probe"))
    for shape, line in SHAPES:
        for name, size, _, _ in sizes:
            without = os.path.join(work, f"without-{shape}-{size}.xml")
            write_list(without, size, line)
            probe.put(without)
            run([tools["installer"], "--install"], env=probe.env())
            with_entry = os.path.join(work, f"with-{shape}-{size}.xml")
            shutil.copyfile(probe.list, with_entry)
            lists[(shape, name)] = (without, with_entry)
    entries, _ = ours_in(lists[(SHAPES[0][0], small)][1])
    check(len(entries) == 1, f"the installer wrote no entry of the add-on: {entries}")
    entry = entries[0]
    # The attributes in the order the installer writes them, which the tools are told to keep.
    line = read(lists[(SHAPES[0][0], small)][1]).decode().splitlines()[-2]
    entry = dict(sorted(entry.items(), key=lambda kv: line.index(f' {kv[0]}="')))

    rows = []
    print("Timing the editor against the safe copy, xmlstarlet and lxml ...", flush=True)
    for mode in ("install", "uninstall"):
        for shape, _ in SHAPES:
            for name, _, runs, _ in sizes:
                without, with_entry = lists[(shape, name)]
                source, expected = ((without, with_entry) if mode == "install"
                                    else (with_entry, without))
                m = time_rewrites(tools, work, f"{name} {shape}", source, read(expected), mode,
                                  entry, runs)
                for peer in (FLOOR, XMLSTARLET, LXML):
                    limit = targets[peer][0 if name == small else 1]
                    rows.append(row(f"--{mode}, {name} {shape}", m["installer"], peer, m[peer],
                                    limit))

    print("Timing one read against expat's bare parse ...", flush=True)
    for shape, _ in SHAPES:
        for name, _, _, runs in sizes:
            m = time_reads(tools, work, f"{name} {shape}", lists[(shape, name)][1], runs)
            limit = targets[BARE][0 if name == small else 1]
            rows.append(row(f"--status (one read), {name} {shape}", m["installer"], BARE, m[BARE],
                            limit))

    print("Measuring peak memory ...", flush=True)
    for shape, name in [(SHAPES[0][0], small)] + [(s, big) for s, _ in SHAPES]:
        peaks = peak_memories(tools, work, f"{name} {shape}", lists[(shape, name)][0], entry,
                              memory_runs)
        for peer in (XMLSTARLET, LXML):
            rows.append(row(f"peak memory, --install, {name} {shape}", peaks["installer"], peer,
                            peaks[peer], unit=mib))
        if name == big:
            low = peak_memories(tools, work, f"{small} {shape}", lists[(shape, small)][0], entry,
                                memory_runs)["installer"]
            grows = peaks["installer"] - low
            rows.append([f"peak memory, --install, {name} {shape}", mib(peaks["installer"]),
                         f"{small} list: {mib(low)}", f"{grows / 1024:+.2f} MiB", "< +1 MiB",
                         "yes" if grows < 1024 else "no"])

    print("Timing the window ...", flush=True)
    installer = tools["installer"]
    window_home = Home(os.path.join(work, "window"))
    hand_to_nobody(window_home.folder)
    ours, floor = alternate(window_runs, window_warmup,
                            lambda: window_times(timer, installer, env=window_home.env())[0],
                            lambda: window_times(timer, minimal, env=window_home.env())[0])
    rows.append(row("exec until the window is mapped", ours, "minimal GTK window", floor, 1.15))

    click_home = Home(os.path.join(work, "click"))
    small_without, small_with = lists[(SHAPES[0][0], small)]

    def click_ours():
        return window_times(timer, installer, click=True, env=click_home.env(),
                            before=lambda: (click_home.put(small_without),
                                            hand_to_nobody(click_home.folder)),
                            after=lambda: check(read(click_home.list) == read(small_with),
                                                "the click did not install the add-on"))[1]

    ours, floor = alternate(window_runs, window_warmup, click_ours,
                            lambda: window_times(timer, minimal, click=True,
                                                 env=window_home.env())[1])
    rows.append(row(f"install click until the notice is mapped, {small} list", ours,
                    "same notice, no edit", floor))

    busy_after = cpu_times()
    busy = (busy_after[0] - busy_before[0]) / max(1, busy_after[1] - busy_before[1])

    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    about = (f"{when}, commit {commit()}{' (--quick)' if quick else ''}\n{machine()}; "
             f"load average {load_before} before the run and {load()} after it, the cores "
             f"{busy:.0%} busy over the run (this bench keeps about one of them busy)")
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
