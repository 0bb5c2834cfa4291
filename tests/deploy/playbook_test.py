#!/usr/bin/env python3
"""Rolls the add-on out with the Ansible playbook to two throwaway users on this machine, as an
administrator would to a fleet: present, present again, absent, absent again, each also in check
mode, then a user whose list is broken, a user whose list folder points at a folder of root's, a
user who never started the office suite, and a user who does not exist. Creates the users and
removes them afterwards, so it needs root; otherwise it says it is skipped, and why (exit status
77).

    playbook_test.py INSTALLER PLAYBOOK_FOLDER     (QUILLORA_ORIGIN in the environment)
"""
import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
ORIGIN = os.environ["QUILLORA_ORIGIN"]
ENTRY = (f'<jspluginonline enable="true" install="{ORIGIN}" url="{ORIGIN}/" type="wps" '
         f'name="Quillora插件"/>')
DECL = '<?xml version="1.0" encoding="UTF-8"?>\n'
OTHER = ('  <jspluginonline enable="true" install="https://other.example:9443" '
         'url="https://other.example:9443/" type="wps" name="Other"/>')
FOLDER = ".local/share/Kingsoft/wps/jsaddons"


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


class Fleet:
    def __init__(self, installer, playbooks, scratch):
        self.playbooks = playbooks
        self.scratch = scratch
        self.users = [f"quillora-t{os.getpid()}{tag}" for tag in "ab"]
        self.created = []
        self.installer = installer
        self.inventory = os.path.join(scratch, "inventory")
        with open(self.inventory, "w") as f:
            f.write("[desktops]\nlocalhost ansible_connection=local "
                    "ansible_python_interpreter=/usr/bin/python3 ansible_become_method=su\n")
        self.env = dict(os.environ, HOME=os.path.join(scratch, "ansible"),
                        ANSIBLE_STDOUT_CALLBACK="default", ANSIBLE_NOCOLOR="1",
                        ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_LOCALHOST_WARNING="0",
                        ANSIBLE_LOCAL_TEMP=os.path.join(scratch, "ansible", "tmp"))

    def add_users(self):
        homes = os.path.join(self.scratch, "homes")
        os.makedirs(homes)
        for user in self.users:
            subprocess.run(["useradd", "--create-home", "--home-dir", os.path.join(homes, user),
                            "--shell", "/bin/sh", user], check=True)
            self.created.append(user)
            # The office suite has run once for each: its add-on folder is there.
            subprocess.run(["su", user, "-c", f"mkdir -p ~/{FOLDER}"], check=True)

    def remove_users(self):
        for user in self.created:
            subprocess.run(["userdel", "--remove", user], stderr=subprocess.DEVNULL)

    def list_of(self, user):
        return os.path.join(pwd.getpwnam(user).pw_dir, FOLDER, "publish.xml")

    def read(self, user):
        with open(self.list_of(user), encoding="utf-8") as f:
            return f.read()

    def play(self, state, users=None, expect_failure=False, check_mode=False, **settings):
        """Runs the playbook as an administrator would (with --check for check_mode, with the
        role's settings given), and reads what it printed: the recap's changed count, and each
        user's outcome ("ok", "changed" or "failed") with its result, by task."""
        extra = {"quillora_users": users or self.users, "quillora_state": state,
                 "quillora_installer": self.installer, **settings}
        run = subprocess.run(["ansible-playbook", "-v", "-i", self.inventory,
                              *(["--check"] if check_mode else []),
                              os.path.join(self.playbooks, "site.yml"), "-e", json.dumps(extra)],
                             env=self.env, capture_output=True, text=True)
        shown = f"{run.stdout}\n{run.stderr}"
        recap = re.search(r"^localhost\s+: ok=\d+\s+changed=(\d+)\s+unreachable=0\s+failed=(\d+)",
                          run.stdout, re.M)
        check(recap is not None, f"{state}: no recap\n{shown}")
        failed = int(recap.group(2)) > 0
        check((run.returncode != 0) == expect_failure and failed == expect_failure,
              f"{state}: exit status {run.returncode}\n{shown}")
        tasks = {}
        task = None
        for line in run.stdout.splitlines():
            header = re.match(r"TASK \[quillora_addon : (.*)\] \*+$", line)
            if header:
                task = tasks.setdefault(header.group(1), {})
            item = re.match(r"(ok|changed|failed): \[localhost\] (?:=> )?\(item=(.*?)\) => (\{.*\})$",
                            line)
            if item and task is not None:
                task[item.group(2)] = (item.group(1), json.loads(item.group(3)))
        return int(recap.group(1)), tasks


EDIT = {"present": "Register the Quillora add-on", "absent": "Remove the Quillora add-on"}
WHY = "Say why a user's run failed"


def test(fleet):
    a, b = fleet.users
    fleet.add_users()
    # a has no list yet; b has one with another add-on in it.
    with_other = DECL + "<jsplugins>\n" + OTHER + "\n</jsplugins>\n"
    subprocess.run(["su", b, "-c", f"cat > ~/{FOLDER}/publish.xml"], input=with_other, text=True,
                   check=True)

    def outcomes(tasks, state):
        return {user: outcome for user, (outcome, _) in tasks.get(EDIT[state], {}).items()}

    def lists():
        return {user: fleet.read(user) if os.path.exists(fleet.list_of(user)) else None
                for user in (a, b)}

    # Check mode reads each user's state and tells what the edit would change, changing nothing.
    before = lists()
    changed, tasks = fleet.play("present", check_mode=True)
    check(outcomes(tasks, "present") == {a: "changed", b: "changed"} and lists() == before,
          f"present in check mode: both would change, nothing changed: {tasks}\n{lists()}")
    print("playbook: present in check mode: both users would change, no list touched")

    changed, tasks = fleet.play("present")
    check(changed == 1 and outcomes(tasks, "present") == {a: "changed", b: "changed"},
          f"present: every user changed, got {changed}: {tasks}")
    check(fleet.read(a) == DECL + "<jsplugins>\n" + ENTRY + "\n</jsplugins>\n", fleet.read(a))
    check(fleet.read(b) == DECL + "<jsplugins>\n" + OTHER + "\n" + ENTRY + "\n</jsplugins>\n",
          fleet.read(b))
    for user in (a, b):
        check(os.stat(fleet.list_of(user)).st_uid == pwd.getpwnam(user).pw_uid,
              f"{user}'s list is not {user}'s own")
        reported = json.loads(tasks[EDIT["present"]][user][1]["stdout"])
        check(reported["changed"] is True and reported["state"] == "enabled", reported)
    print("playbook: present: both users changed")

    changed, tasks = fleet.play("present")
    check(changed == 0 and outcomes(tasks, "present") == {a: "ok", b: "ok"},
          f"present again: no change, got {changed}: {tasks}")
    check(json.loads(tasks[EDIT["present"]][a][1]["stdout"])["changed"] is False, tasks)
    print("playbook: present again: changed=0")

    before = lists()
    changed, tasks = fleet.play("absent", check_mode=True)
    check(outcomes(tasks, "absent") == {a: "changed", b: "changed"} and lists() == before,
          f"absent in check mode: both would change, nothing changed: {tasks}\n{lists()}")
    print("playbook: absent in check mode: both users would change, no entry removed")

    changed, tasks = fleet.play("absent")
    check(changed == 1 and outcomes(tasks, "absent") == {a: "changed", b: "changed"},
          f"absent: every user changed, got {changed}: {tasks}")
    check(fleet.read(a) == DECL + "<jsplugins>\n</jsplugins>\n", fleet.read(a))
    check(fleet.read(b) == with_other, fleet.read(b))
    print("playbook: absent: both entries removed")

    changed, tasks = fleet.play("absent")
    check(changed == 0 and outcomes(tasks, "absent") == {a: "ok", b: "ok"},
          f"absent again: no change, got {changed}: {tasks}")
    print("playbook: absent again: changed=0")

    changed, tasks = fleet.play("absent", check_mode=True)
    check(changed == 0 and outcomes(tasks, "absent") == {a: "ok", b: "ok"},
          f"absent again in check mode: no change, got {changed}: {tasks}")
    print("playbook: absent again in check mode: changed=0")

    # b's list is a folder now: b's run fails and says why, a's still goes through.
    os.remove(fleet.list_of(b))
    os.mkdir(fleet.list_of(b))
    changed, tasks = fleet.play("present", expect_failure=True)
    check(outcomes(tasks, "present") == {a: "changed", b: "failed"}, tasks)
    result = tasks[EDIT["present"]][b][1]
    check(result["rc"] == 1 and "不是普通文件" in result["stderr"], result)
    why = tasks.get(WHY, {}).get(b, ("", {}))
    check(why[0] == "failed" and why[1]["msg"].startswith(f"{b}: ") and "不是普通文件" in why[1]["msg"],
          f"a broken list: the reason, by user: {tasks}")
    print("playbook: a broken list: that user's run failed and said why, the other's went through")

    # a points her list's folder at a folder of root's: root runs the installer for her, which
    # creates nothing there; b's run (her list a folder no more) goes through.
    os.rmdir(fleet.list_of(b))
    roots = os.path.join(fleet.scratch, "root-owned")
    os.mkdir(roots, 0o755)
    folder = os.path.dirname(fleet.list_of(a))
    shutil.rmtree(folder)
    os.symlink(roots, folder)
    account = pwd.getpwnam(a)
    os.lchown(folder, account.pw_uid, account.pw_gid)
    changed, tasks = fleet.play("present", expect_failure=True)
    check(outcomes(tasks, "present") == {a: "failed", b: "changed"}, tasks)
    result = tasks[EDIT["present"]][a][1]
    check(result["rc"] == 1 and result["stderr"], result)
    check(os.listdir(roots) == [], f"root's folder: {os.listdir(roots)}")
    print("playbook: a list folder linked to root's: nothing created there, that user's run "
          "failed, the other's went through")

    # a never started the office suite: her run fails naming the role's setting, and goes through
    # with it.
    os.remove(folder)
    changed, tasks = fleet.play("present", expect_failure=True)
    check(outcomes(tasks, "present") == {a: "failed", b: "ok"}, tasks)
    why = tasks.get(WHY, {}).get(a, ("", {}))[1].get("msg", "")
    check("quillora_create_folders" in why and "--create-folders" not in why,
          f"a missing folder: the reason names the role's setting: {why!r}\n{tasks}")
    changed, tasks = fleet.play("present", quillora_create_folders=True)
    check(outcomes(tasks, "present") == {a: "changed", b: "ok"}, tasks)
    check(fleet.read(a) == DECL + "<jsplugins>\n" + ENTRY + "\n</jsplugins>\n", fleet.read(a))
    check(os.stat(folder).st_uid == account.pw_uid, f"{folder} is not {a}'s own")
    print("playbook: a user who never started the suite: failed naming quillora_create_folders, "
          "went through with it")

    stranger = "quillora-nobody-here"
    _, tasks = fleet.play("present", users=[a, stranger], expect_failure=True)
    looked_up = tasks.get("Look up each user", {})
    check(looked_up.get(stranger, ("", {}))[0] == "failed" and EDIT["present"] not in tasks,
          f"an unknown user: refused before any list is touched, got {tasks}")
    print("playbook: an unknown user: refused by name, no list touched")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    if os.geteuid() != 0:
        print("playbook: skipped: the test creates and removes two users, which only root may; "
              f"this run has uid {os.geteuid()}")
        return SKIPPED
    scratch = tempfile.mkdtemp(prefix="quillora-fleet.")
    os.chmod(scratch, 0o755)
    fleet = Fleet(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), scratch)
    try:
        test(fleet)
    except Failed as failure:
        print(f"FAILED: {failure}")
        return 1
    finally:
        fleet.remove_users()
        shutil.rmtree(scratch, ignore_errors=True)
    print("playbook: 12 runs for two users as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
