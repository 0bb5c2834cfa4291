#!/usr/bin/env python3
# Tries hard to lose or corrupt the user's add-on list: fails each of the editor's system calls in
# turn, kills it at each of them and at random moments, and runs many copies at once on one list.
"""Usage: list_torture.py DRIVER XMLLINT {inject|kill|concurrent} [--runs N] [--size MB]

DRIVER is the editor_driver program: `DRIVER 0` installs, `DRIVER 1` uninstalls, under $HOME.
Each command prints what it tried and what failed, and exits 1 when anything failed."""

import argparse
import collections
import concurrent.futures
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ORIGIN = os.environ.get("QUILLORA_ORIGIN", "https://addons.quillora.com:8443")
ENTRY = ('<jspluginonline enable="true" install="%s" url="%s/" type="wps" name="Quillora插件"/>'
         % (ORIGIN, ORIGIN)).encode()
FOLDER = ".local/share/Kingsoft/wps/jsaddons"
LIST = FOLDER + "/publish.xml"
DECL = b'<?xml version="1.0" encoding="UTF-8"?>\n'
SKELETON = DECL + b"<jsplugins>\n" + ENTRY + b"\n</jsplugins>\n"
STRACE = os.environ.get("STRACE", "strace")
MAX_LIST = 16 << 20  # the largest list the editor reads; a larger one is refused unread
# What a run says on stderr once it has waited a second for another copy's lock: on a busy machine
# a copy may wait that long for its turn and then succeed, as it should.
WAITING = "另一个安装程序正在修改XML文件，请稍候\n".encode()


def other(n):
    return ('  <jspluginonline enable="true" install="https://o%d.example:9443" '
            'url="https://o%d.example:9443/" type="wps" name="其他%d"/>' % (n, n, n)).encode()


def lists(body_lines, tail_lines=("<!-- 结束 -->".encode(),)):
    """The list without the entry, and with it (where install puts it)."""
    head = DECL + b"<jsplugins>\n" + b"".join(line + b"\n" for line in body_lines)
    tail = b"</jsplugins>\n" + b"".join(line + b"\n" for line in tail_lines)
    return head + tail, head + ENTRY + b"\n" + tail


class Home:
    """A throwaway home folder with the list's folder in it; with `linked`, the list is a link to
    a file in another folder, as users who keep their settings in one place have it."""

    def __init__(self, parent=None, linked=False):
        self.path = tempfile.mkdtemp(prefix="qtorture.", dir=parent)
        os.makedirs(os.path.join(self.path, FOLDER))
        self.list = os.path.join(self.path, LIST)
        self.file = self.list  # the file that holds the list's bytes
        self.linked = linked
        if linked:
            os.makedirs(os.path.join(self.path, "dotfiles"))
            self.file = os.path.join(self.path, "dotfiles/publish.xml")
            os.symlink("../../../../../dotfiles/publish.xml", self.list)
        self.temp = self.file + ".tmp"

    def put(self, data):
        if data is None:
            if os.path.exists(self.file):
                os.unlink(self.file)
        else:
            with open(self.file, "wb") as f:
                f.write(data)

    def link_kept(self):
        return not self.linked or os.path.islink(self.list)

    def read(self):
        try:
            with open(self.list, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def env(self):
        return {"HOME": self.path, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8"}

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


# Only a guard against a hang: a run under strace on a loaded machine may take many seconds.
def run_driver(driver, home, mode, prefix=(), timeout=600):
    return subprocess.run(list(prefix) + [driver, str(mode)], env=home.env(), capture_output=True,
                          timeout=timeout)


def describe(data, old, new):
    if data == old:
        return "old"
    if data == new:
        return "new"
    return "neither (%s bytes)" % (None if data is None else len(data))


# ------------------------------------------------------------------------------------------------
# 1. A fault at every system call.

ERRORS = ["ENOSPC", "EIO", "EACCES", "EDQUOT"]
# One run: a scenario's list before and after, and the fault: which occurrence of which call, and
# whether it comes after the rename that puts the new list in place.
Point = collections.namedtuple(
    "Point", "name mode old new linked call when action after_rename")
# Failing these only tests the C library's memory allocator, not the editor: a failed allocation
# ends the program before anything of the list is touched.
NOT_INJECTED = {"brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "getppid", "exit_group",
                "futex"}
SYSCALL = re.compile(r"^(?:\d+\s+)?([a-z0-9_]+)\(")


def editor_calls(driver, home, mode):
    """The editor's system calls in order, between the driver's two getppid calls, as pairs of
    name and occurrence: strace counts the occurrences of a call from the start of the process."""
    trace = os.path.join(home.path, "trace")
    subprocess.run([STRACE, "-qq", "-o", trace, driver, str(mode)], env=home.env(),
                   capture_output=True, check=False)
    calls = []
    seen = {}
    inside = False
    with open(trace, errors="replace") as f:
        for line in f:
            m = SYSCALL.match(line)
            if not m:
                continue
            name = m.group(1)
            seen[name] = seen.get(name, 0) + 1
            if name == "getppid":
                if inside:
                    break
                inside = True
            elif inside:
                calls.append((name, seen[name]))
    os.unlink(trace)
    return calls


def scenarios():
    # Long enough for several reads and writes, with one line longer than the reader's buffer,
    # which is read twice.
    body = [other(n) for n in range(800)]
    body.insert(400, b"<!-- " + b"x" * 200_000 + b" -->")
    without, with_entry = lists(body)
    return [("install", 0, without, with_entry, False),
            ("uninstall", 1, with_entry, without, False),
            ("create", 0, None, SKELETON, False),
            ("install through a link", 0, without, with_entry, True)]


def inject(args):
    tried = failed = runs = 0
    points = []
    for name, mode, old, new, linked in scenarios():
        home = Home(args.tmp, linked)
        home.put(old)
        calls = editor_calls(args.driver, home, mode)
        home.remove()
        renamed_at = max(i for i, (call, _) in enumerate(calls) if call.startswith("rename"))
        counts = {}
        for i, (call, when) in enumerate(calls):
            if call in NOT_INJECTED:
                continue
            counts[call] = counts.get(call, 0) + 1
            tried += 1
            for action in ERRORS + ["SIGKILL"]:
                points.append(Point(name, mode, old, new, linked, call, when, action,
                                    i > renamed_at))
        print("%s: %d system calls; injected into %s" % (name, len(calls), " ".join(
            "%s×%d" % (c, n) for c, n in sorted(counts.items()))))

    def one(point):
        name, mode, old, new, linked, call, when, action, after_rename = point
        home = Home(args.tmp, linked)
        home.put(old)
        trace = os.path.join(home.path, "trace")
        what = "signal=SIGKILL" if action == "SIGKILL" else "error=" + action
        try:
            r = run_driver(args.driver, home, mode,
                           [STRACE, "-qq", "-o", trace, "-e", "trace=" + call,
                            "-e", "inject=%s:%s:when=%d" % (call, what, when)])
            problems = []
            with open(trace, errors="replace") as f:
                if ("killed by SIGKILL" if action == "SIGKILL" else "INJECTED") not in f.read():
                    problems.append("the fault was never injected")
            data = home.read()
            # Before the rename only a run that still succeeded may have put the new list in place.
            allowed = (old, new) if after_rename or r.returncode == 0 else (old,)
            if data not in allowed:
                problems.append("list is " + describe(data, old, new))
            if not home.link_kept():
                problems.append("the link in the list's place is gone")
            if action == "SIGKILL":
                if r.returncode != -signal.SIGKILL and r.returncode != 128 + signal.SIGKILL:
                    problems.append("not killed: exit %d" % r.returncode)
                again = run_driver(args.driver, home, mode)
                if again.returncode != 0 or home.read() != new or os.path.exists(home.temp):
                    problems.append("the next run did not recover: exit %d, list %s, stderr %r" % (
                        again.returncode, describe(home.read(), old, new), again.stderr.decode()))
            else:
                err = r.stderr.decode(errors="replace")
                if os.path.exists(home.temp):
                    problems.append("temporary list left behind")
                if r.returncode == 0:
                    if data != new:
                        problems.append("claimed success, list is " + describe(data, old, new))
                elif r.returncode == 1:
                    if not err.endswith("\n") or err.count("\n") < 1:
                        problems.append("failed without a line on stderr")
                else:
                    problems.append("exit status %d" % r.returncode)
                if re.search(r"terminate|Sanitizer|Aborted|Segmentation", err):
                    problems.append("crashed: " + err)
            return point, problems, r.stderr.decode(errors="replace")
        finally:
            home.remove()

    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for point, problems, err in pool.map(one, points):
            runs += 1
            if problems:
                failed += 1
                print("FAILED %s: %s #%d %s: %s; stderr %r" % (
                    point.name, point.call, point.when, point.action, "; ".join(problems), err))
    print("fault injection: %d injection points (system call occurrences) tried with %s and "
          "SIGKILL, %d runs, %d failed" % (tried, "/".join(ERRORS), runs, failed))
    return failed == 0


# ------------------------------------------------------------------------------------------------
# 2. SIGKILL at random moments of rewrites of a large list.

def kill(args):
    rng = random.Random(args.seed)
    home = Home(args.tmp)
    # Megabytes of other add-ons' lines, the add-on's entry near the end: the list with the entry
    # is at most --size MiB, never over the bound that the editor refuses.
    room = args.size * 1024 * 1024 - len(lists([])[1])
    body = []
    while True:
        line = other(len(body) % 1000)
        if room < len(line) + 1:
            break
        body.append(line)
        room -= len(line) + 1
    without, with_entry = lists(body)
    assert len(with_entry) <= min(args.size * 1024 * 1024, MAX_LIST), len(with_entry)
    home.put(without)
    failed = mid_run = temp_left = 0
    ended = {"old": 0, "new": 0}
    # How long an undisturbed rewrite takes, so that the kills spread over the whole of one.
    started = time.monotonic()
    for mode in (0, 1):
        r = run_driver(args.driver, home, mode)
        if r.returncode != 0:
            print("FAILED an undisturbed run: %r" % r.stderr)
            return False
    span = (time.monotonic() - started) / 2
    print("kill: list of %.1f MiB, an undisturbed rewrite takes %.3f s" % (len(with_entry) / 2**20, span))
    for k in range(args.runs):
        state = home.read()
        mode = 0 if state == without else 1
        proc = subprocess.Popen([args.driver, str(mode)], env=home.env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0, span * 1.2))
        if proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
            mid_run += 1
        proc.wait()
        proc.stderr.close()
        data = home.read()
        temp_left += os.path.exists(home.temp)
        if data in (without, with_entry):
            ended["old" if data == state else "new"] += 1
        if data not in (without, with_entry):
            failed += 1
            print("FAILED kill %d: the list is %s" % (k, describe(data, without, with_entry)))
            home.put(state)
        elif proc.returncode >= 0 and proc.returncode != 0:
            failed += 1
            print("FAILED run %d ended with status %d" % (k, proc.returncode))
    final = run_driver(args.driver, home, 0)
    if final.returncode != 0 or home.read() != with_entry or os.path.exists(home.temp):
        failed += 1
        print("FAILED the run after the last kill: exit %d" % final.returncode)
    home.remove()
    print("random kills: %d runs on a %.1f MiB list, %d killed mid-run (%d left a temporary list); "
          "the list was the old one %d times, the new one %d times; %d failed" % (
              args.runs, len(with_entry) / 2**20, mid_run, temp_left, ended["old"], ended["new"],
              failed))
    return failed == 0


# ------------------------------------------------------------------------------------------------
# 3. Many copies at once on one list.

def concurrent_runs(args):
    home = Home(args.tmp)
    body = [other(n) for n in range(200)]
    body.insert(50, "\t<!-- 用户的注释 -->\r".encode())
    original, with_entry = lists(body)
    for data in (original, with_entry):
        lint = subprocess.run([args.xmllint, "--noout", "-"], input=data, capture_output=True)
        if lint.returncode != 0:
            print("FAILED the lists the runs may leave are not well formed: %s" % lint.stderr)
            return False
    home.put(original)
    problems = []
    lock = threading.Lock()
    done = threading.Event()
    reads = [0]
    waits = [0]

    # Every run leaves the list without the entry or with it where install puts it, byte for byte;
    # a read between two runs sees one of the two.
    def check(data, when):
        if data not in (original, with_entry):
            with lock:
                problems.append("%s: the list is %s" % (when, describe(data, original, with_entry)))

    def reader():
        rng = random.Random(args.seed + 1)
        while not done.is_set():
            check(home.read(), "read during the runs")
            reads[0] += 1
            time.sleep(rng.uniform(0, 0.01))

    def worker(w):
        rng = random.Random(args.seed * 100 + w)
        for i in range(args.runs // args.procs):
            mode = rng.randrange(2)
            r = run_driver(args.driver, home, mode)
            # A copy that waited for its turn says so, once, and nothing else.
            if r.returncode != 0 or r.stderr not in (b"", WAITING):
                with lock:
                    problems.append("copy %d run %d: exit %d, stderr %r" % (
                        w, i, r.returncode, r.stderr.decode(errors="replace")))
            elif r.stderr:
                with lock:
                    waits[0] += 1

    watcher = threading.Thread(target=reader)
    watcher.start()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.procs) as pool:
        list(pool.map(worker, range(args.procs)))
    done.set()
    watcher.join()
    check(home.read(), "at the end")
    if os.path.exists(home.temp):
        problems.append("temporary list left behind")
    home.remove()
    for p in problems[:20]:
        print("FAILED " + p)
    runs = args.runs // args.procs * args.procs
    print("concurrency: %d copies at once, %d runs (%d waited over a second for their turn), "
          "%d reads checked, %d problems" % (args.procs, runs, waits[0], reads[0] + 1,
                                            len(problems)))
    return not problems


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("driver")
    parser.add_argument("xmllint")
    parser.add_argument("command", choices=["inject", "kill", "concurrent"])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--size", type=int, default=12,
                        help="MiB of list for kill, at most %d: a larger list is refused unread"
                        % (MAX_LIST >> 20))
    parser.add_argument("--procs", type=int, default=8)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--seed", type=int, default=int(os.environ.get("TORTURE_SEED", "20261208")))
    parser.add_argument("--tmp", default=None, help="folder for the throwaway homes")
    args = parser.parse_args()
    if not 1 <= args.size <= MAX_LIST >> 20:
        parser.error("--size must be 1 to %d: the editor refuses a larger list, and nothing would "
                     "be tried" % (MAX_LIST >> 20))
    args.driver = os.path.abspath(args.driver)
    ok = {"inject": inject, "kill": kill, "concurrent": concurrent_runs}[args.command](args)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
