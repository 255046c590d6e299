#!/usr/bin/env python3
"""A vault carried between two computers by two real Syncthing instances.

Two "computers" on this machine, each with its own home, Hushcoffer support
folder (HC_SUPPORT_DIR) and Syncthing instance (its own configuration, REST
port and listen port on 127.0.0.1; discovery, relays, NAT, usage reports,
upgrades and crash reports off; the two devices know each other by ID and
address). Both share one folder, "Sync" in each home. Driven through the real
hushcoffer-cli (found beside this script, else argument 1):

  1. side 1 creates the vault "Notes" in its Sync folder; it reaches side 2,
     which adds and unlocks it; both daemons run in shared mode;
  2. a file written on either side shows, decrypted, on the other;
  3. a real conflict: both devices paused, one file changed on each, resumed:
     both versions show on both sides, exactly one conflict copy, and
     nothing changes for 30 s more (no rename ping-pong);
  4. lock and unlock on both sides keep every file;
  5. check-data finds nothing wrong on either side.
Throughout, nothing from inside either visible folder ("Notes" or below) may
enter either instance's index: every change either instance reports (its
event stream) is recorded, and its index (/rest/db/browse, /rest/db/file)
and ignore patterns (/rest/db/ignores) are asked at every step, locked and
unlocked.

Every wait asks the REST API or the files, with a time limit. Whatever
happens, both Syncthing processes end, every mount below the scratch folder
is unmounted and the folder is removed.

Runs as an ordinary user (ctest starts it through scripts/run-as-user).
Arguments: [hushcoffer-cli, when not beside this file]
"""

import hashlib
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
CLI = os.path.join(HERE, "hushcoffer-cli")
if not os.path.exists(CLI) and len(sys.argv) > 1:
    CLI = sys.argv[1]
SYNCTHING = shutil.which("syncthing") or "/usr/bin/syncthing"
PASSWORD = "two computers, one vault"
VAULT = "Notes"
FOLDER_ID = "hc-sync"
STABLE_SECONDS = 30

START = time.monotonic()
scratch = []
sides = []


class Failure(Exception):
    pass


class Stopped(BaseException):
    """A signal: no further step runs, only the clean-up."""


def log(*parts):
    print("[%6.1fs]" % (time.monotonic() - START), *parts, flush=True)


def wait_for(what, test, limit=30.0, interval=0.1):
    """Polls `test` until it returns something true; its last value on failure."""
    end = time.monotonic() + limit
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure("timed out after %.0f s waiting for %s" % (limit, what))
        time.sleep(interval)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def mounts():
    """Mount points of this process's mount table (octal escapes decoded)."""
    out = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            mp = line.split()[4]
            out.append(re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), mp))
    return out


def daemon_args(mount_point):
    """The command line of the gocryptfs daemon that serves `mount_point`."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                args = [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
        except OSError:
            continue
        if args and os.path.basename(args[0]) == "gocryptfs" and args[-1].rstrip("/") == mount_point:
            found.append(args)
    return found


def tree(root, skip=()):
    """relative path -> ("d",) or ("f", size, sha256) for everything below root."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        dirnames[:] = [d for d in dirnames if d not in skip]
        for d in dirnames:
            out[os.path.normpath(os.path.join(rel_dir, d))] = ("d",)
        for name in filenames:
            if name in skip:
                continue
            path = os.path.join(dirpath, name)
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError as e:
                data = ("unreadable: %s" % e).encode()
            out[os.path.normpath(os.path.join(rel_dir, name))] = ("f", len(data), hashlib.sha256(data).hexdigest())
    return out


def plain_files(folder):
    """relative path -> text of every file in a mounted vault (locked look files left out)."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(folder):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), folder)
            if rel in (".hushcoffer-id", ".trackerignore"):
                continue
            with open(os.path.join(dirpath, name), "rb") as f:
                out[rel] = f.read().decode("utf-8", "replace")
    return out


def is_temporary(name):
    return name.startswith(".syncthing.") and name.endswith(".tmp")


class Side:
    """One computer: a home, a support folder, a Syncthing instance."""

    def __init__(self, number, root):
        self.number = number
        self.name = "side %d" % number
        self.base = os.path.join(root, "side%d" % number)
        self.home = os.path.join(self.base, "home")
        self.support = os.path.join(self.base, "support")
        self.sync = os.path.join(self.home, "Sync")
        self.st_home = os.path.join(self.home, ".config", "syncthing")
        self.vault_dir = os.path.join(self.sync, "." + VAULT + ".hushcoffer")
        self.visible = os.path.join(self.sync, VAULT)
        self.gui_port = free_port()
        self.listen_port = free_port()
        self.api_key = "hc-test-key-%d-%s" % (number, os.urandom(8).hex())
        self.proc = None
        self.device_id = None
        self.events = []  # (type, path) of every change this instance reported
        self.events_error = None
        self._stop = threading.Event()
        self._thread = None
        for d in (self.home, self.support, self.sync):
            os.makedirs(d, exist_ok=True)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": "C.UTF-8",
            "HOME": self.home,
            "USER": os.environ.get("USER", ""),
            "LOGNAME": os.environ.get("LOGNAME", ""),
            "TMPDIR": os.environ.get("TMPDIR", "/tmp"),
            "HC_SUPPORT_DIR": self.support,
        }

    # ---- Syncthing ----

    def generate(self):
        r = subprocess.run([SYNCTHING, "generate", "--home=" + self.st_home, "--no-default-folder",
                            "--skip-port-probing"], env=self.env, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise Failure("%s: syncthing generate failed: %s" % (self.name, r.stderr + r.stdout))
        cfg = ET.parse(os.path.join(self.st_home, "config.xml")).getroot()
        self.device_id = cfg.find("device").get("id")

    def configure(self, peer, dial):
        """Writes the configuration: loopback only, the peer, the shared folder.

        Only one side dials (`dial`: it knows the peer's address; the peer
        knows it by ID alone and waits): two instances dialling each other at
        the same moment stall each other's Hello until its 20 s time-out.
        """
        path = os.path.join(self.st_home, "config.xml")
        doc = ET.parse(path)
        cfg = doc.getroot()
        gui = cfg.find("gui")
        gui.find("address").text = "127.0.0.1:%d" % self.gui_port
        gui.find("apikey").text = self.api_key
        opts = cfg.find("options")
        for tag, value in {
            "listenAddress": "tcp://127.0.0.1:%d" % self.listen_port,
            "globalAnnounceEnabled": "false",
            "localAnnounceEnabled": "false",
            "relaysEnabled": "false",
            "natEnabled": "false",
            "startBrowser": "false",
            "urAccepted": "-1",
            "autoUpgradeIntervalH": "0",
            "crashReportingEnabled": "false",
            "announceLANAddresses": "false",
            "reconnectionIntervalS": "1",
            "setLowPriority": "false",
            "minHomeDiskFree": "0",
        }.items():
            opts.find(tag).text = value
        me = cfg.find("device")
        me.set("name", self.name)
        # the peer, as a copy of the default device with its ID and address
        other = ET.fromstring(ET.tostring(cfg.find("defaults/device")))
        other.set("id", peer.device_id)
        other.set("name", peer.name)
        other.find("address").text = "tcp://127.0.0.1:%d" % peer.listen_port if dial else "dynamic"
        cfg.insert(list(cfg).index(me) + 1, other)
        # the folder, as a copy of the default folder
        folder = ET.fromstring(ET.tostring(cfg.find("defaults/folder")))
        folder.set("id", FOLDER_ID)
        folder.set("label", "Sync")
        folder.set("path", self.sync)
        folder.set("rescanIntervalS", "5")
        folder.set("fsWatcherEnabled", "true")
        folder.set("fsWatcherDelayS", "1")
        folder.find("minDiskFree").text = "0"
        peer_dev = ET.SubElement(folder, "device", {"id": peer.device_id, "introducedBy": ""})
        ET.SubElement(peer_dev, "encryptionPassword")
        cfg.insert(0, folder)
        doc.write(path)
        # the marker of the folder root, as Syncthing makes it
        os.makedirs(os.path.join(self.sync, ".stfolder"), exist_ok=True)

    def start(self):
        env = dict(self.env, STNOUPGRADE="1", STNODEFAULTFOLDER="1")
        self.log_file = open(os.path.join(self.base, "syncthing.log"), "w")
        self.proc = subprocess.Popen(
            [SYNCTHING, "serve", "--home=" + self.st_home, "--no-browser", "--no-restart", "--no-upgrade"],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log_file, stderr=subprocess.STDOUT,
            start_new_session=True)

    def url(self, path, **query):
        q = ("?" + urllib.parse.urlencode(query)) if query else ""
        return "http://127.0.0.1:%d%s%s" % (self.gui_port, path, q)

    def rest(self, method, path, body=None, timeout=30, **query):
        """The decoded JSON answer (None for an empty one); raises HTTPError on an error status."""
        data = json.dumps(body).encode() if body is not None else (b"" if method == "POST" else None)
        req = urllib.request.Request(self.url(path, **query), data=data, method=method,
                                     headers={"X-API-Key": self.api_key, "Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=timeout) as r:
            raw = r.read()
        return json.loads(raw) if raw.strip() else None

    def get(self, path, **query):
        return self.rest("GET", path, **query)

    def post(self, path, **query):
        return self.rest("POST", path, **query)

    def answers(self):
        if self.proc.poll() is not None:
            raise Failure("%s: syncthing ended (status %s); see %s" %
                          (self.name, self.proc.returncode, self.log_file.name))
        try:
            return self.get("/rest/system/ping").get("ping") == "pong"
        except (OSError, urllib.error.URLError):
            return False

    def connected(self, peer):
        conns = self.get("/rest/system/connections")["connections"]
        return conns.get(peer.device_id, {}).get("connected", False)

    def scan(self):
        """A scan of the whole folder; returns when it is done."""
        self.post("/rest/db/scan", folder=FOLDER_ID)

    def watch_events(self):
        types = "LocalChangeDetected,RemoteChangeDetected,ItemStarted,ItemFinished"

        def loop():
            since = 0
            while not self._stop.is_set():
                try:
                    batch = self.rest("GET", "/rest/events?since=%d&events=%s&timeout=1" % (since, types),
                                      timeout=10)
                except Exception as e:  # the instance went away: cleanup, or a failure seen elsewhere
                    if not self._stop.is_set():
                        self.events_error = str(e)
                        time.sleep(0.2)
                    continue
                for ev in batch or []:
                    since = max(since, ev["id"])
                    data = ev.get("data") or {}
                    path = data.get("path") or data.get("item") or ""
                    if path.startswith(self.sync + "/"):
                        path = path[len(self.sync) + 1:]
                    self.events.append((ev["type"], path, data.get("action", "")))

        self._thread = threading.Thread(target=loop, daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        if self.proc and self.proc.poll() is None:
            try:
                self.post("/rest/system/shutdown", timeout=5)
            except Exception:
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)
        if self._thread:
            self._thread.join(timeout=5)

    # ---- hushcoffer-cli ----

    def cli(self, *args, stdin=None, check=True, timeout=120):
        r = subprocess.run([CLI, *args], env=self.env, input=stdin, capture_output=True, text=True,
                           timeout=timeout)
        shown = " ".join(args)
        log("%s: hushcoffer-cli %s -> %d" % (self.name, shown, r.returncode))
        for line in (r.stdout + r.stderr).splitlines():
            if "recovery" not in line.lower() and not re.fullmatch(r"[a-z]+( [a-z]+){11}", line):
                log("    " + line)
        if check and r.returncode != 0:
            raise Failure("%s: hushcoffer-cli %s failed (%d): %s" % (self.name, shown, r.returncode,
                                                                     (r.stderr + r.stdout).strip()))
        return r

    def mounted_at(self):
        """The folder the vault is mounted on, from `status`; none when locked."""
        r = self.cli("status", self.vault_dir)
        fields = r.stdout.strip().split("\t")
        if len(fields) != 3:
            raise Failure("%s: unexpected status line: %r" % (self.name, r.stdout))
        return fields[2] if fields[1] == "unlocked" else None

    def unlocked(self):
        return os.path.realpath(self.visible) in mounts()


def list_index(side):
    """Every path in the instance's global index of the folder."""
    out = []

    def walk(entries, prefix):
        for e in entries or []:
            path = prefix + e["name"]
            out.append(path)
            walk(e.get("children"), path + "/")

    walk(side.get("/rest/db/browse", folder=FOLDER_ID), "")
    return out


def in_visible(path):
    return path == VAULT or path.startswith(VAULT + "/")


def check_index(when, names=()):
    """Nothing of the visible folders in either index, ever; the ignore pattern in force."""
    for s in sides:
        leaked = [p for p in list_index(s) if in_visible(p)]
        if leaked:
            raise Failure("%s, %s: the index holds files of the visible folder: %s" % (when, s.name, leaked))
        for name in ("", *names):
            path = VAULT + ("/" + name if name else "")
            try:
                entry = s.get("/rest/db/file", folder=FOLDER_ID, file=path)
            except urllib.error.HTTPError as e:
                if e.code == 404:
                    continue
                raise
            raise Failure("%s, %s: /rest/db/file knows %s: %s" % (when, s.name, path, json.dumps(entry)))
        seen = [e for e in s.events if in_visible(e[1])]
        if seen:
            raise Failure("%s, %s: the instance reported changes in the visible folder: %s" % (when, s.name, seen))
        if s.events_error:
            log("%s: note: the event stream had an error: %s" % (s.name, s.events_error))
    log("index clean (%s)" % when)


def check_ignored(side):
    """The folder's ignore patterns, with #include expanded, leave out the visible folder."""
    ign = side.get("/rest/db/ignores", folder=FOLDER_ID)
    expanded = ign.get("expanded") or []
    plain = [re.sub(r"^(\(\?[di]\))+", "", p) for p in expanded if not p.startswith("!")]
    log("%s: .stignore %s, expanded %s" % (side.name, ign.get("ignore"), expanded))
    if "/" + VAULT not in plain:
        raise Failure("%s: no ignore pattern in force leaves out the visible folder /%s: .stignore %s, "
                      "expanded %s" % (side.name, VAULT, ign.get("ignore"), expanded))


def synced():
    """Both instances idle, nothing needed, and the vault directories byte-identical."""
    for s in sides:
        for peer in sides:
            if peer is s:
                continue
            if not s.connected(peer):
                return False
            c = s.get("/rest/db/completion", folder=FOLDER_ID, device=peer.device_id)
            if c["completion"] < 100 or c.get("needItems", 0) or c.get("needDeletes", 0):
                return False
        c = s.get("/rest/db/completion", folder=FOLDER_ID)
        if c["completion"] < 100 or c.get("needItems", 0) or c.get("needDeletes", 0):
            return False
        if s.get("/rest/db/status", folder=FOLDER_ID)["state"] != "idle":
            return False
    trees = [{k: v for k, v in tree(s.vault_dir).items() if not is_temporary(os.path.basename(k))}
             for s in sides]
    return trees[0] == trees[1] and bool(trees[0])


def wait_synced(what, limit=60):
    for s in sides:
        s.scan()
    try:
        wait_for(what, synced, limit, 0.2)
    except Failure:
        a, b = (tree(s.vault_dir) for s in sides)
        diff = sorted(k for k in set(a) | set(b) if a.get(k) != b.get(k))
        raise Failure("%s: the vault directories differ in %s" % (what, diff))


def check_shared(side):
    at = side.mounted_at()
    if at != side.visible:
        raise Failure("%s: the vault is mounted at %s, not on its visible folder %s (Syncthing can leave "
                      "the visible folder out)" % (side.name, at, side.visible))
    daemons = daemon_args(side.visible)
    if len(daemons) != 1:
        raise Failure("%s: %d gocryptfs daemons serve %s: %s" % (side.name, len(daemons), side.visible, daemons))
    args = daemons[0]
    if "-sharedstorage" not in args or "-kernel_cache" in args:
        raise Failure("%s: the daemon is not in shared mode: %s" % (side.name, " ".join(args)))
    r = side.cli("mount-mode", side.vault_dir)
    if "shared" not in r.stdout or "local" in r.stdout:
        raise Failure("%s: mount-mode does not say shared: %r" % (side.name, r.stdout))
    log("%s: shared mode (%s)" % (side.name, " ".join(a for a in args if a.startswith("-"))))


def write(side, name, text):
    path = os.path.join(side.visible, name)
    with open(path, "w") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())


def read(side, name):
    try:
        with open(os.path.join(side.visible, name)) as f:
            return f.read()
    except OSError:
        return None


def cipher_leftovers(side):
    """Names in the encrypted data that a conflict pass should not leave: client marks, temporaries."""
    out = []
    for dirpath, dirnames, filenames in os.walk(os.path.join(side.vault_dir)):
        for name in dirnames + filenames:
            if ".sync-conflict-" in name or name.startswith(".hushcoffer-conflict-"):
                out.append(os.path.relpath(os.path.join(dirpath, name), side.vault_dir))
    return out


CONFLICT = re.compile(r"^doc \(Conflict \d+\)\.txt$")
VERSIONS = {"version one, from side 1\n", "version two, from side 2\n"}


def conflict_state(side):
    names = sorted(os.listdir(side.visible))
    copies = [n for n in names if CONFLICT.match(n)]
    return names, copies


def conflict_shown():
    """On both sides: doc.txt and exactly one conflict copy, the two versions, the same files."""
    if not synced():
        return False
    states = []
    for s in sides:
        names, copies = conflict_state(s)
        if len(copies) != 1 or cipher_leftovers(s):
            return False
        if {read(s, "doc.txt"), read(s, copies[0])} != VERSIONS:
            return False
        states.append(plain_files(s.visible))
    return states[0] == states[1] and states[0]


def wait_conflict_shown(limit):
    try:
        wait_for("both versions on both sides with one conflict copy", conflict_shown, limit, 0.25)
    except Failure as e:
        detail = []
        for s in sides:
            names, copies = conflict_state(s)
            detail.append("%s: visible %s, encrypted leftovers %s" % (s.name, names, cipher_leftovers(s)))
        raise Failure("%s; %s" % (e, "; ".join(detail)))


# Steps: each is recorded; a failed step that later ones need stops the run,
# any other failure is recorded and the run goes on, so that one run tells
# every step's result.
results = []
state = {}

# Steps whose fix has not landed yet: their failure is reported as OPEN with
# the reason, and a run whose only failures are these ends as skipped (ctest's
# SKIP_RETURN_CODE 77) instead of failed. Remove an entry once its step passes.
KNOWN_OPEN = {}
SKIPPED = 77


def step(name, fn, needed=True):
    log("step: " + name)
    t0 = time.monotonic()
    try:
        fn()
    except Failure as e:
        outcome = "OPEN" if name in KNOWN_OPEN else "FAIL"
        results.append((name, outcome, str(e)))
        log("%s (%s): %s" % (outcome, name, e))
        if needed:
            raise
        return False
    results.append((name, "pass", "%.1f s" % (time.monotonic() - t0)))
    return True


def start_instances():
    for s in sides:
        s.generate()
    one, two = sides
    one.configure(two, dial=True)
    two.configure(one, dial=False)
    # the side that waits for the call first: the other dials it once, at its start
    for s in (two, one):
        s.start()
        wait_for(s.name + "'s REST API", s.answers, 60)
        s.watch_events()
    wait_for("the two devices to connect", lambda: one.connected(two) and two.connected(one), 60)
    log("connected:", one.device_id[:7], "<->", two.device_id[:7])


def create_on_one():
    one, two = sides
    one.cli("create", "--password-stdin", one.sync, VAULT, stdin=PASSWORD + "\n")
    if not one.unlocked():
        raise Failure("side 1: the new vault is not mounted on %s" % one.visible)
    write(one, "secret.txt", "secret plan\n")
    wait_synced("the vault directory to reach side 2")


def excluded_on_one():
    one, two = sides
    failures = []
    try:
        check_ignored(one)
    except Failure as e:
        failures.append(str(e))
    try:
        check_index("created and unlocked on side 1", ["secret.txt", ".hushcoffer-id", ".trackerignore"])
    except Failure as e:
        failures.append(str(e))
    if os.path.lexists(two.visible):
        failures.append("side 2: the visible folder arrived from side 1: %s" %
                        (sorted(os.listdir(two.visible)) if os.path.isdir(two.visible) else "a file"))
    if failures:
        raise Failure("; ".join(failures))


def unlock_on_two():
    one, two = sides
    two.cli("add", two.vault_dir)
    two.cli("unlock", "--password-stdin", two.vault_dir, stdin=PASSWORD + "\n")
    if not two.unlocked():
        raise Failure("side 2: the vault is not mounted on %s" % two.visible)
    if read(two, "secret.txt") != "secret plan\n":
        raise Failure("side 2: secret.txt reads %r" % read(two, "secret.txt"))


def both_shared():
    failures = []
    for s in sides:
        try:
            check_shared(s)
        except Failure as e:
            failures.append(str(e))
    if failures:
        raise Failure("; ".join(failures))


def excluded_on_two():
    check_ignored(sides[1])
    check_index("both unlocked", ["secret.txt", ".hushcoffer-id", ".trackerignore"])


def files_travel():
    one, two = sides
    write(two, "from-two.txt", "written on side 2\n")
    write(one, "doc.txt", "base\n")
    wait_synced("the new files to travel")
    wait_for("from-two.txt on side 1", lambda: read(one, "from-two.txt") == "written on side 2\n", 20)
    wait_for("doc.txt on side 2", lambda: read(two, "doc.txt") == "base\n", 20)
    check_index("files written on both sides", ["secret.txt", "from-two.txt", "doc.txt"])


def make_conflict():
    one, two = sides
    one.post("/rest/system/pause", device=two.device_id)
    two.post("/rest/system/pause", device=one.device_id)
    wait_for("the devices to disconnect", lambda: not one.connected(two) and not two.connected(one), 30)
    write(one, "doc.txt", "version one, from side 1\n")
    time.sleep(1.1)  # different modification times: the older version becomes the copy
    write(two, "doc.txt", "version two, from side 2\n")
    for s in sides:
        s.scan()
    # the side that waits first, then the one that dials (which then dials at once)
    two.post("/rest/system/resume", device=one.device_id)
    one.post("/rest/system/resume", device=two.device_id)
    wait_for("the devices to reconnect", lambda: one.connected(two) and two.connected(one), 30)
    wait_for("Syncthing to settle the conflict",
             lambda: synced() or any(cipher_leftovers(s) for s in sides), 60, 0.2)


def conflict_while_unlocked():
    wait_conflict_shown(30)
    state["files"] = [plain_files(s.visible) for s in sides]
    log("conflict shown:", sorted(state["files"][0]))


def stays_stable():
    before = state["files"]
    cipher_before = [tree(s.vault_dir) for s in sides]
    end = time.monotonic() + STABLE_SECONDS
    while time.monotonic() < end:
        for s, b, cb in zip(sides, before, cipher_before):
            now = plain_files(s.visible)
            if now != b:
                raise Failure("%s: the vault changed after the conflict was shown: %s -> %s" %
                              (s.name, sorted(b), sorted(now)))
            ct = tree(s.vault_dir)
            if ct != cb:
                changed = sorted(k for k in set(ct) | set(cb) if ct.get(k) != cb.get(k))
                raise Failure("%s: the encrypted data changed after the conflict was shown: %s" %
                              (s.name, changed))
        time.sleep(0.5)
    check_index("after the conflict", list(before[0]))


def lock_unlock_keeps():
    before = state.get("files") or [plain_files(s.visible) for s in sides]
    for s in sides:
        s.cli("lock", s.vault_dir)
    for s in sides:
        if s.unlocked():
            raise Failure("%s: still mounted after lock" % s.name)
    wait_synced("the locked vaults to settle")
    check_index("both locked", list(before[0]) + [".directory"])
    for s in sides:
        s.cli("unlock", "--password-stdin", s.vault_dir, stdin=PASSWORD + "\n")
    lost = []
    for s, b in zip(sides, before):
        now = plain_files(s.visible)
        lost += ["%s: %s" % (s.name, k) for k in b if now.get(k) != b[k]]
    if lost:
        raise Failure("lock and unlock lost or changed files: %s" % lost)
    check_index("unlocked again", list(before[0]))


def conflict_after_unlock():
    # Shown at unlock at the latest (when it was not shown while unlocked).
    wait_conflict_shown(30)


def check_data_both():
    for s in sides:
        s.cli("lock", s.vault_dir)
    wait_synced("the locked vaults to settle")
    failures = []
    for s in sides:
        r = s.cli("check-data", "--password-stdin", s.vault_dir, stdin=PASSWORD + "\n", check=False)
        if r.returncode != 0:
            failures.append("%s: check-data exit %d: %s" % (s.name, r.returncode, (r.stdout + r.stderr).strip()))
    stray = [os.path.join(s.name, os.path.relpath(os.path.join(d, n), s.sync))
             for s in sides for d, _, files in os.walk(s.vault_dir) for n in files if ".sync-conflict-" in n]
    if stray:
        failures.append("conflict copies left in the vault directories: %s" % stray)
    check_index("at the end")
    if failures:
        raise Failure("; ".join(failures))


def main():
    if not os.access(SYNCTHING, os.X_OK):
        print("FAILED: syncthing is not installed (scripts/install-deps installs it)", flush=True)
        return 1
    root = tempfile.mkdtemp(prefix="hc-two-syncthing-")
    scratch.append(root)
    os.chmod(root, 0o755)
    log("scratch folder", root, "cli", CLI)
    sides.extend([Side(1, root), Side(2, root)])
    try:
        step("two Syncthing instances on loopback", start_instances)
        step("vault created on side 1 reaches side 2, visible folder not synced", create_on_one)
        step("side 1 leaves its visible folder out of Syncthing", excluded_on_one, needed=False)
        step("vault added and unlocked on side 2", unlock_on_two)
        step("both in shared mode", both_shared, needed=False)
        step("side 2 leaves its visible folder out of Syncthing", excluded_on_two, needed=False)
        step("a file written on either side shows on the other", files_travel)
        step("a real conflict", make_conflict)
        shown = step("the conflict shows on both sides while unlocked, one copy", conflict_while_unlocked,
                     needed=False)
        if shown:
            step("stable for %d s (no rename ping-pong)" % STABLE_SECONDS, stays_stable, needed=False)
        step("lock and unlock on both keep every file", lock_unlock_keeps)
        if not shown:
            step("the conflict shows on both sides after unlock, one copy", conflict_after_unlock, needed=False)
        step("check-data passes on both", check_data_both, needed=False)
    except Failure:
        pass
    for s in sides:
        log("%s: %d changes reported by Syncthing" % (s.name, len(s.events)))
    print("\nResults:", flush=True)
    for name, outcome, detail in results:
        print("  %-4s %s (%s)" % (outcome, name, detail), flush=True)
    failed = [r for r in results if r[1] == "FAIL"]
    still_open = [r for r in results if r[1] == "OPEN"]
    if failed:
        print("FAILED: %d step(s)" % len(failed), flush=True)
        return 1
    if still_open:
        for name, _, _ in still_open:
            print("SKIPPED, open: %s: %s" % (name, KNOWN_OPEN[name]), flush=True)
        return SKIPPED
    passed_open = [r[0] for r in results if r[0] in KNOWN_OPEN]
    if passed_open:
        print("note: these steps pass now; take them out of KNOWN_OPEN: %s" % passed_open, flush=True)
    print("PASS", flush=True)
    return 0


def cleanup():
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for s in sides:
        # a vault left unlocked by a failed step: unmount (the daemon then ends)
        for mp in mounts():
            if mp.startswith(s.base + "/"):
                subprocess.run(["fusermount3", "-u", "-z", mp], capture_output=True)
        s.stop()
    for d in scratch:
        for mp in mounts():
            if mp.startswith(d + "/"):
                subprocess.run(["fusermount3", "-u", "-z", mp], capture_output=True)
        # anything still running from the scratch folder (a daemon, a watcher)
        for pid in os.listdir("/proc"):
            if not pid.isdigit() or int(pid) == os.getpid():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmd = f.read()
            except OSError:
                continue
            if d.encode() in cmd:
                try:
                    os.kill(int(pid), signal.SIGTERM)
                except OSError:
                    pass
        # the locked folders are read-only
        for dirpath, dirnames, _ in os.walk(d):
            for name in dirnames:
                p = os.path.join(dirpath, name)
                try:
                    if not os.path.islink(p):
                        os.chmod(p, os.stat(p).st_mode | stat.S_IWUSR | stat.S_IXUSR | stat.S_IRUSR)
                except OSError:
                    pass
        subprocess.run(["rm", "-rf", "--one-file-system", d], capture_output=True)


def on_signal(signum, _frame):
    raise Stopped("stopped by signal %d" % signum)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    rc = 1
    try:
        rc = main()
        if rc not in (0, SKIPPED):
            raise Failure("see the results above")
    except Failure as e:
        print("FAILED:", e, flush=True)
        for s in sides:
            if s.proc is not None:
                try:
                    with open(os.path.join(s.base, "syncthing.log")) as f:
                        tail = f.read().splitlines()[-15:]
                    print("--- %s syncthing.log (last lines)" % s.name, *tail, sep="\n", flush=True)
                except OSError:
                    pass
    except Stopped as e:
        print("FAILED:", e, flush=True)
    except Exception:
        traceback.print_exc()
    finally:
        cleanup()
    log("done")
    sys.exit(rc)
