#!/usr/bin/env python3
"""Power cuts during create, passwd, recover, import and a record save.

    power_cut_test.py HUSHCOFFER_CLI

Each operation runs as the ordinary user hctest under strace (as root, so that
fusermount3 keeps its set-user-id bit; -f, so the gocryptfs daemon that
writes the encrypted data is traced too), with the data of every write. The
trace is replayed on a model of the test's folder, and for each point between
two traced operations the state a power cut could leave there is rebuilt,
under the POSIX model: a folder's entries are on the disk as of its last
flush (fsync of the folder, syncfs, sync), a file's data as of its last
flush. Two such states per point: the entries as of their last flush, and
all entries as they are (names written ahead of the data). Every distinct
state is checked with the command-line tool:

  - the vault opens with the old or the new password, never neither (after
    the tool said done: the new one);
  - the recovery phrase recovers it, and then holds its files, whole;
  - import: no file under a real name differs from its source; after the
    tool said done every item it reported "ok" is there, whole;
  - nothing else in the vault changed.

By default a sample of the states is checked (HC_POWERCUT_STATES per
operation, default 4, always including the state right after the tool said
done); HC_POWERCUT_ALL=1 checks every state; HC_POWERCUT_OPS=passwd,import
runs only those operations. Needs root, strace and the user
hctest; skipped (exit 77) otherwise.
"""
import hashlib
import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
PASSWORD = "old password 1"
NEW_PASSWORD = "new password 2"
RECOVERED = "recovered password 3"
SYSCALLS = ("openat,open,creat,write,pwrite64,writev,pwritev,pwritev2,rename,renameat,renameat2,"
            "unlink,unlinkat,mkdir,mkdirat,rmdir,fsync,fdatasync,syncfs,sync,ftruncate,truncate,"
            "link,linkat,symlink,symlinkat,lseek,mount,umount2,execve")

O_CREAT, O_TRUNC, O_APPEND = "O_CREAT", "O_TRUNC", "O_APPEND"


# ---------------------------------------------------------------- the trace

LINE = re.compile(r"^(\d+) (\w+)\((.*)\)\s+= (-?\d+)(?:<([^>]*)>)?")
DUMP = re.compile(r"^ \| ([0-9a-f]{5,}) {2}(.{49})")
FD_ARG = re.compile(r"^(-?\d+|AT_FDCWD)<([^>]*)>")


def split_args(text):
    """The arguments of one strace line: strings unquoted, the rest as is."""
    args, cur, quote, i = [], "", False, 0
    while i < len(text):
        c = text[i]
        if quote:
            if c == "\\":
                cur += text[i:i + 2]
                i += 2
                continue
            if c == '"':
                quote = False
            cur += c
        elif c == '"':
            quote = True
            cur += c
        elif c in "[{":
            depth, j = 1, i + 1
            while j < len(text) and depth:
                depth += {"[": 1, "{": 1, "]": -1, "}": -1}.get(text[j], 0)
                j += 1
            cur += text[i:j]
            i = j
            continue
        elif c == "," and text[i + 1:i + 2] == " ":
            args.append(cur)
            cur = ""
            i += 2
            continue
        else:
            cur += c
        i += 1
    if cur:
        args.append(cur)
    return args


def unquote(arg):
    if arg.endswith("..."):
        arg = arg[:-3]
    return arg[1:-1].encode("latin-1").decode("unicode_escape") if arg.startswith('"') else arg


def parse(trace_path):
    """The completed calls in the order they returned: (name, args, result,
    result_path, data, pid)."""
    calls, pending = [], {}
    with open(trace_path, encoding="utf-8", errors="surrogateescape") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line.startswith(" | "):
                m = DUMP.match(line)
                if m and calls:
                    calls[-1][4].extend(bytes.fromhex("".join(re.findall(r"[0-9a-f]{2}", m.group(2)))))
                continue
            head = re.match(r"^(\d+)\s+(.*)$", line)
            if not head:
                continue
            pid, rest = head.group(1), head.group(2)
            if rest.endswith("<unfinished ...>"):
                pending[pid] = rest[: -len("<unfinished ...>")].rstrip()
                continue
            m = re.match(r"^<\.\.\. \w+ resumed>(.*)", rest)
            if m:
                if pid not in pending:
                    continue
                rest = pending.pop(pid) + m.group(1)
            m = LINE.match(pid + " " + rest)
            if not m:
                continue
            calls.append((m.group(2), split_args(m.group(3)), int(m.group(4)), m.group(5), bytearray(), pid))
    return calls


# ---------------------------------------------------------------- the model

class Node:
    def __init__(self, kind, data=b""):
        self.kind = kind            # "f", "d", "l"
        self.data = bytearray(data)  # as written
        self.durable = bytes(data)   # as of the last flush
        self.entries = {}            # name -> Node, as they are
        self.durable_entries = {}    # as of the last flush


class Model:
    """The test's folder as the traced programs change it."""

    def __init__(self, root):
        self.root_path = root
        self.root = self._load(root)
        self.offsets = {}
        self.mounts = set()
        # fusermount3 mounts and unmounts from inside the folder ("." and a
        # relative name): the mount point is the one on its command line
        self.fusermount = {}

    def _load(self, path):
        if os.path.islink(path):
            return Node("l", os.readlink(path).encode())
        if os.path.isdir(path):
            node = Node("d")
            for name in os.listdir(path):
                node.entries[name] = self._load(os.path.join(path, name))
            node.durable_entries = dict(node.entries)
            return node
        with open(path, "rb") as f:
            return Node("f", f.read())

    def _parts(self, path):
        """The path's names below the root, or None when it is elsewhere or
        inside a mounted volume."""
        path = os.path.normpath(path)
        if any(path == m or path.startswith(m + "/") for m in self.mounts):
            return None
        if path != self.root_path and not path.startswith(self.root_path + "/"):
            return None
        return [p for p in path[len(self.root_path):].split("/") if p]

    def lookup(self, path):
        parts = self._parts(path)
        if parts is None:
            return None
        node = self.root
        for p in parts:
            if node.kind != "d" or p not in node.entries:
                return None
            node = node.entries[p]
        return node

    def parent(self, path):
        parts = self._parts(path)
        if not parts:
            return None, None
        node = self.lookup(self.root_path + "/" + "/".join(parts[:-1]))
        return (node, parts[-1]) if node is not None and node.kind == "d" else (None, None)

    def everything(self):
        seen, todo = [], [self.root]
        while todo:
            n = todo.pop()
            if any(n is s for s in seen):
                continue
            seen.append(n)
            todo.extend(n.entries.values())
            todo.extend(n.durable_entries.values())
        return seen

    def apply(self, call):
        name, args, result, result_path, data, pid = call
        if result < 0:
            return False

        def at(dir_arg, path_arg):
            path = unquote(path_arg)
            if path.startswith("/"):
                return path
            m = FD_ARG.match(dir_arg)
            return os.path.join(m.group(2), path) if m else path

        def fd_path(arg):
            m = FD_ARG.match(arg)
            return m.group(2) if m else None

        if name in ("open", "openat", "creat"):
            path = result_path
            flags = args[2] if name == "openat" else (args[1] if name == "open" else "O_CREAT|O_TRUNC")
            if not path or path.endswith(" (deleted)"):
                return False
            node = self.lookup(path)
            changed = False
            if node is None and O_CREAT in flags:
                parent, base = self.parent(path)
                if parent is None:
                    return False
                node = parent.entries[base] = Node("f")
                changed = True
            if node is None or node.kind != "f":
                return changed
            if O_TRUNC in flags and node.data:
                node.data = bytearray()
                changed = True
            self.offsets[(result, path)] = len(node.data) if O_APPEND in flags else 0
            return changed
        if name in ("write", "writev", "pwrite64", "pwritev", "pwritev2"):
            path = fd_path(args[0])
            node = self.lookup(path) if path else None
            if node is None or node.kind != "f":
                return False
            key = (int(FD_ARG.match(args[0]).group(1)), path)
            offset = int(args[-1] if name.startswith("pwrite") and name != "pwritev2" else
                         (args[-2] if name == "pwritev2" else self.offsets.get(key, len(node.data))))
            chunk = bytes(data[:result])
            if len(node.data) < offset:
                node.data.extend(b"\0" * (offset - len(node.data)))
            node.data[offset:offset + len(chunk)] = chunk
            if not name.startswith("pwrite"):
                self.offsets[key] = offset + len(chunk)
            return True
        if name == "lseek":
            path = fd_path(args[0])
            if path:
                self.offsets[(int(FD_ARG.match(args[0]).group(1)), path)] = result
            return False
        if name in ("ftruncate", "truncate"):
            node = self.lookup(fd_path(args[0]) if name == "ftruncate" else unquote(args[0]))
            if node is None or node.kind != "f":
                return False
            size = int(args[1])
            node.data = node.data[:size] + b"\0" * max(0, size - len(node.data))
            return True
        if name in ("mkdir", "mkdirat", "symlink", "symlinkat"):
            if name == "mkdir":
                path = at("AT_FDCWD<>", args[0])
            elif name == "mkdirat":
                path = at(args[0], args[1])
            elif name == "symlink":
                path = at("AT_FDCWD<>", args[1])
            else:
                path = at(args[1], args[2])
            parent, base = self.parent(path)
            if parent is None:
                return False
            parent.entries[base] = Node("d") if name.startswith("mkdir") else Node("l", unquote(args[0]).encode())
            return True
        if name in ("unlink", "unlinkat", "rmdir"):
            path = at("AT_FDCWD<>", args[0]) if name != "unlinkat" else at(args[0], args[1])
            parent, base = self.parent(path)
            if parent is None or base not in parent.entries:
                return False
            del parent.entries[base]
            return True
        if name in ("rename", "renameat", "renameat2", "link", "linkat"):
            if name in ("rename", "link"):
                old, new = at("AT_FDCWD<>", args[0]), at("AT_FDCWD<>", args[1])
            else:
                old, new = at(args[0], args[1]), at(args[2], args[3])
            op, ob = self.parent(old)
            np_, nb = self.parent(new)
            if op is None or ob not in op.entries:
                if np_ is not None and nb in np_.entries and not name.startswith("link"):
                    del np_.entries[nb]  # moved in from elsewhere: treated as gone
                    return True
                return False
            node = op.entries[ob]
            if np_ is None:
                if not name.startswith("link"):
                    del op.entries[ob]
                return True
            if name == "renameat2" and "RENAME_EXCHANGE" in args[4] and nb in np_.entries:
                op.entries[ob], np_.entries[nb] = np_.entries[nb], node
                return True
            if not name.startswith("link"):
                del op.entries[ob]
            np_.entries[nb] = node
            return True
        if name in ("fsync", "fdatasync"):
            node = self.lookup(fd_path(args[0]) or "")
            if node is None:
                return False
            if node.kind == "d":
                node.durable_entries = dict(node.entries)
            else:
                node.durable = bytes(node.data)
            return True
        if name in ("syncfs", "sync"):
            for node in self.everything():
                node.durable = bytes(node.data)
                node.durable_entries = dict(node.entries)
            return True
        if name == "execve":
            argv = re.findall(r'"((?:[^"\\]|\\.)*)"', args[1])
            paths = [a for a in argv[1:] if a.startswith("/")]
            if argv and argv[0].endswith("fusermount3") and paths:
                self.fusermount[pid] = os.path.normpath(paths[0])
            return False
        if name == "mount" and pid in self.fusermount:
            self.mounts.add(self.fusermount[pid])
            return False
        if name == "umount2" and pid in self.fusermount:
            self.mounts.discard(self.fusermount[pid])
            return False
        return False

    def crash_states(self):
        """The two states a power cut now could leave: {path: bytes | None
        for a folder | ("link", target)}."""
        def walk(node, names_now, prefix, out, depth=0):
            entries = node.entries if names_now else node.durable_entries
            for name, child in sorted(entries.items()):
                path = prefix + "/" + name
                if child.kind == "d":
                    out[path] = None
                    if depth < 40:
                        walk(child, names_now, path, out, depth + 1)
                elif child.kind == "l":
                    out[path] = ("link", child.data.decode())
                else:
                    out[path] = child.durable
            return out
        return [walk(self.root, False, "", {}), walk(self.root, True, "", {})]


def digest(state):
    h = hashlib.sha256()
    for path, value in sorted(state.items()):
        h.update(path.encode() + b"\0" + (b"D" if value is None else repr(value).encode()) + b"\1")
    return h.hexdigest()


# ---------------------------------------------------------------- running things

class Runner:
    def __init__(self, cli):
        self.user = pwd.getpwnam("hctest")
        self.work = tempfile.mkdtemp(prefix="hc-powercut-")
        os.chmod(self.work, 0o755)
        # the tool and its texts where hctest reaches them
        self.bin = os.path.join(self.work, "bin")
        os.mkdir(self.bin)
        self.cli = os.path.join(self.bin, "hushcoffer-cli")
        shutil.copy2(cli, self.cli)
        for bundle in os.listdir(os.path.dirname(cli)):
            if bundle.endswith(".bundle"):
                shutil.copytree(os.path.join(os.path.dirname(cli), bundle), os.path.join(self.bin, bundle))
        self.home = self.fresh("home")

    def fresh(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.mkdir(path)
        os.chown(path, self.user.pw_uid, self.user.pw_gid)
        return path

    def env(self, root):
        return {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "HOME": self.home, "LANG": "C.UTF-8",
                "HC_SUPPORT_DIR": os.path.join(root, "support"), "TMPDIR": self.home}

    def run(self, root, args, stdin="", trace=None, timeout=120):
        if trace:
            cmd = ["strace", "-f", "-qq", "-y", "-s", "1024", "-u", "hctest", "-e", "trace=" + SYSCALLS,
                   "-e", "write=all", "-o", trace, "--"] + args
        else:
            cmd = ["setpriv", "--reuid=hctest", "--regid=hctest", "--init-groups", "--"] + args
        return subprocess.run(cmd, input=stdin, capture_output=True, text=True, env=self.env(root),
                              timeout=timeout, cwd=self.home)

    def cli_run(self, root, *args, stdin=""):
        return self.run(root, [self.cli] + list(args), stdin=stdin)

    def script(self, body):
        path = os.path.join(self.bin, "step-%d.sh" % len(os.listdir(self.bin)))
        with open(path, "w") as f:
            f.write("set -e\n" + body)
        os.chmod(path, 0o755)
        return path

    def materialise(self, state, root):
        shutil.rmtree(root, ignore_errors=True)
        os.mkdir(root)
        for path, value in sorted(state.items()):
            full = root + path
            if value is None:
                os.makedirs(full, exist_ok=True)
            elif isinstance(value, tuple):
                os.symlink(value[1], full)
            else:
                with open(full, "wb") as f:
                    f.write(value)
        for dirpath, dirnames, filenames in os.walk(root):
            os.chown(dirpath, self.user.pw_uid, self.user.pw_gid)
            os.chmod(dirpath, 0o700)
            for name in filenames:
                p = os.path.join(dirpath, name)
                if not os.path.islink(p):
                    os.chown(p, self.user.pw_uid, self.user.pw_gid)
                    os.chmod(p, 0o600)


# ---------------------------------------------------------------- the checks

LIST_FILES = """
import hashlib, json, os, sys
out = {}
for d, _, names in os.walk(sys.argv[1]):
    for n in names:
        p = os.path.join(d, n)
        with open(p, "rb") as f:
            out[os.path.relpath(p, sys.argv[1])] = hashlib.sha256(f.read()).hexdigest()
print(json.dumps(out))
"""


def vault_files(runner, root, folder):
    """{relative path: SHA-256} of the files in the unlocked volume (read as
    hctest: the volume is that user's alone)."""
    r = runner.run(root, ["/usr/bin/python3", "-c", LIST_FILES, folder])
    return json.loads(r.stdout) if r.returncode == 0 else {"(unreadable)": r.stderr}


def sha(data):
    return hashlib.sha256(data).hexdigest()


def check_state(runner, state, root, scenario, after_done, problems, label):
    runner.materialise(state, root)
    vault = os.path.join(root, "v", "Demo")
    hidden = os.path.join(root, "v", ".Demo.hushcoffer")
    if not os.path.isdir(hidden):
        if after_done or scenario["name"] != "create":
            problems.append(label + ": the vault directory is gone")
        return
    opens = [pw for pw in scenario["passwords"]
             if runner.cli_run(root, "check", "--password-stdin", vault, stdin=pw + "\n").returncode == 0]
    wanted = scenario["after"] if after_done else scenario["passwords"]
    if scenario["name"] == "create" and not after_done and not opens:
        return  # stopped before the vault existed: nothing of the user's yet
    if not any(pw in opens for pw in wanted):
        problems.append("%s: no password opens the vault (tried %s, opened %s)" % (label, wanted, opens))
    phrase = scenario["phrase"]()
    r = runner.cli_run(root, "recover", "--password-stdin", vault, stdin=phrase + "\n" + RECOVERED + "\n")
    if r.returncode != 0:
        problems.append("%s: the phrase does not recover the vault: %s" % (label, r.stderr.strip()[-300:]))
        return
    try:
        files = vault_files(runner, root, vault)
    finally:
        runner.cli_run(root, "lock", "--force", vault)
    scenario["check_files"](files, after_done, problems, label)


# What the application keeps in every volume besides the user's files.
# (The volume's id marker is written like the record, under a temporary name
# first: after a cut that temporary may stay, "..hushcoffer-id.tmp-*".)
def own_file(rel):
    base = os.path.basename(rel)
    return base.startswith(".hushcoffer") or base.startswith("..hushcoffer-id.tmp-") or rel == ".trackerignore"


def keep_only(expected):
    def check(files, after_done, problems, label):
        visible = {k: v for k, v in files.items() if not own_file(k)}
        if visible != {k: sha(v) for k, v in expected.items()}:
            problems.append("%s: the vault's files changed: %s" % (label, sorted(visible)))
    return check


def main():
    if os.geteuid() != 0:
        print("power_cut_test: skipped: needs root (strace -u hctest)")
        return SKIP
    for tool in ("strace", "setpriv", "gocryptfs", "fusermount3"):
        if not shutil.which(tool):
            print("power_cut_test: skipped: %s is not installed" % tool)
            return SKIP
    try:
        pwd.getpwnam("hctest")
    except KeyError:
        print("power_cut_test: skipped: no user hctest (scripts/run-as-user makes it)")
        return SKIP
    every = os.environ.get("HC_POWERCUT_ALL") == "1"
    sample = int(os.environ.get("HC_POWERCUT_STATES", "4"))
    runner = Runner(sys.argv[1])
    try:
        return run_all(runner, every, sample)
    finally:
        subprocess.run(["sh", "-c", "grep -o ' %s[^ ]* fuse' /proc/mounts | cut -d' ' -f2 | "
                        "xargs -r -n1 fusermount3 -u -z" % runner.work], check=False)
        if os.environ.get("HC_POWERCUT_KEEP") != "1":
            shutil.rmtree(runner.work, ignore_errors=True)


def run_all(runner, every, sample):
    base = runner.fresh("base")
    for sub in ("v", "support"):
        os.mkdir(os.path.join(base, sub))
        os.chown(os.path.join(base, sub), runner.user.pw_uid, runner.user.pw_gid)
    vault = os.path.join(base, "v", "Demo")
    made = runner.cli_run(base, "create", "--password-stdin", os.path.join(base, "v"), "Demo",
                          stdin=PASSWORD + "\n" + PASSWORD + "\n")
    if made.returncode != 0:
        print("power_cut_test: create failed: " + made.stderr)
        return 1
    phrase = made.stdout.strip().splitlines()[0]
    keep = {"keep.txt": b"written before\n" * 100, "docs/notes.md": os.urandom(20000)}
    staging = runner.fresh("keep")
    for rel, data in keep.items():
        p = os.path.join(staging, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
    subprocess.run(["chown", "-R", "hctest:", staging], check=True)
    # the volume is hctest's alone: the files go in as hctest
    if runner.run(base, ["/bin/cp", "-r", staging + "/.", vault + "/"]).returncode != 0:
        print("power_cut_test: cannot write into the new vault")
        return 1
    if runner.cli_run(base, "lock", vault).returncode != 0:
        print("power_cut_test: lock failed")
        return 1

    sources = runner.fresh("sources")
    imported = {"photo.bin": os.urandom(300000), "letter.txt": b"dear vault\n" * 500,
                "album/one.bin": os.urandom(70000), "album/two.bin": os.urandom(5000)}
    for rel, data in imported.items():
        p = os.path.join(sources, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
    subprocess.run(["chown", "-R", "hctest:", sources], check=True)

    new_phrase = {}

    def import_check(files, after_done, problems, label):
        rest = dict(files)
        for rel, data in keep.items():
            if rest.pop(rel, None) != sha(data):
                problems.append(label + ": %s changed" % rel)
        for rel, data in imported.items():
            got = rest.pop(rel, None)
            if got is not None and got != sha(data):
                problems.append(label + ": %s is under its name but differs from its source" % rel)
            if got is None and after_done and rel.split("/")[0] in new_phrase.get("ok", ()):
                problems.append(label + ": %s was reported imported but is missing" % rel)
        rest = {k: v for k, v in rest.items() if not own_file(k) and not k.startswith(".hushcoffer-import-")}
        if rest:
            problems.append(label + ": other files appeared: %s" % sorted(rest))

    cli = runner.cli
    scenarios = [
        {"name": "create", "passwords": [PASSWORD], "after": [PASSWORD], "phrase": lambda: new_phrase["create"],
         "fresh": True,
         "script": 'printf "%s\\n%s\\n" "$PW" "$PW" | {cli} create --password-stdin "$ROOT/v" Demo > "$OUT"\n'
                   ': > "$MARK"\n{cli} lock "$ROOT/v/Demo"\n',
         "check_files": keep_only({})},
        {"name": "passwd", "passwords": [PASSWORD, NEW_PASSWORD], "after": [NEW_PASSWORD], "phrase": lambda: phrase,
         "script": 'printf "%s\\n%s\\n" "$PW" "$NEW" | {cli} passwd --password-stdin "$ROOT/v/Demo" > "$OUT"\n'
                   ': > "$MARK"\n',
         "check_files": keep_only(keep)},
        {"name": "recover", "passwords": [PASSWORD, NEW_PASSWORD], "after": [NEW_PASSWORD], "phrase": lambda: phrase,
         "script": 'printf "%s\\n%s\\n" "$PHRASE" "$NEW" | {cli} recover --password-stdin "$ROOT/v/Demo" > "$OUT"\n'
                   ': > "$MARK"\n{cli} lock "$ROOT/v/Demo"\n',
         "check_files": keep_only(keep)},
        {"name": "import", "passwords": [PASSWORD], "after": [PASSWORD], "phrase": lambda: phrase,
         "script": 'printf "%s\\n" "$PW" | {cli} unlock --password-stdin "$ROOT/v/Demo"\n'
                   '{cli} import "$ROOT/v/Demo" "$SRC/photo.bin" "$SRC/letter.txt" "$SRC/album" > "$OUT"\n'
                   ': > "$MARK"\n{cli} lock "$ROOT/v/Demo"\n',
         "check_files": import_check},
        {"name": "save", "passwords": [PASSWORD], "after": [PASSWORD], "phrase": lambda: phrase,
         "script": '{cli} autolock "$ROOT/v/Demo" --idle 15 --sleep off > "$OUT"\n: > "$MARK"\n',
         "check_files": keep_only(keep)},
    ]
    only = [op for op in os.environ.get("HC_POWERCUT_OPS", "").split(",") if op]
    scenarios = [sc for sc in scenarios if not only or sc["name"] in only]
    failures = 0
    for scenario in scenarios:
        root = runner.fresh("run-" + scenario["name"])
        if scenario.get("fresh"):
            for sub in ("v", "support"):
                os.mkdir(os.path.join(root, sub))
        else:
            shutil.rmtree(root)
            shutil.copytree(base, root, symlinks=True)
        subprocess.run(["chown", "-R", "hctest:", root], check=True)
        marks = runner.fresh("marks-" + scenario["name"])
        trace = os.path.join(runner.work, "trace-%s.txt" % scenario["name"])
        out = os.path.join(marks, "out")
        env_line = ('ROOT=%s PW="%s" NEW="%s" PHRASE="%s" SRC=%s MARK=%s/done OUT=%s\n'
                    % (root, PASSWORD, NEW_PASSWORD, phrase, sources, marks, out))
        step = runner.script(env_line + scenario["script"].format(cli=cli))
        model = Model(root)
        r = runner.run(root, ["/bin/sh", step], trace=trace, timeout=300)
        if r.returncode != 0:
            print("power_cut_test: %s failed: %s" % (scenario["name"], r.stderr[-2000:]))
            failures += 1
            continue
        with open(out) as f:
            output = f.read()
        if scenario["name"] == "create":
            new_phrase["create"] = output.strip().splitlines()[0]
        if scenario["name"] == "import":
            new_phrase["ok"] = {os.path.basename(line.split()[1].rstrip(":"))
                                for line in output.splitlines() if line.startswith("ok ")}
        # Replay: one point after every call that changed the folder.
        # The states a cut at that moment leaves count as after "done" too.
        states, index = [], {}
        done_at, after_done = None, set()
        calls = parse(trace)
        for call in calls:
            if call[0] in ("open", "openat", "creat") and call[3] and call[3].startswith(marks + "/done"):
                done_at = len(states)
                after_done = {index[digest(st)] for st in model.crash_states() if digest(st) in index}
            if model.apply(call):
                for variant, state in enumerate(model.crash_states()):
                    key = digest(state)
                    if key not in index:
                        index[key] = len(states)
                        states.append((state, variant))
        if done_at is None:
            print("power_cut_test: %s: the trace has no end mark" % scenario["name"])
            failures += 1
            continue
        after_done |= set(range(done_at, len(states)))
        chosen = range(len(states)) if every else sorted(
            set([0, len(states) - 1] + sorted(after_done)[:1] +
                [round(i * (len(states) - 1) / max(1, sample - 1)) for i in range(sample)]))
        problems = []
        state_root = os.path.join(runner.work, "state")
        for i in chosen:
            state, variant = states[i]
            label = "%s state %d/%d (%s)" % (scenario["name"], i + 1, len(states),
                                              "names written ahead" if variant else "as flushed")
            check_state(runner, state, state_root, scenario, i in after_done, problems, label)
        print("power_cut_test: %s: %d calls replayed, %d distinct crash states (done after %d), %d checked, "
              "%d problems" % (scenario["name"], len(calls), len(states), min(after_done), len(chosen),
                               len(problems)))
        for p in problems:
            print("  " + p)
        failures += len(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
