#!/usr/bin/env python3
"""Hushcoffer in a real X session, driven like a person.

Starts Xvfb, openbox (a window manager), trayer (an XEmbed system tray) and a
private session bus, then the real `hushcoffer` (found beside this script)
and drives it with xdotool: creates a vault through the creation sheet and
its quiz, locks it from the tray menu, unlocks it with a wrong and then the
right password, imports two files through the file dialog, and quits with a
file held open, forcing the lock. Results are checked on disk and in the
mount table; a screenshot of every step is kept in the output folder
(argument 1, default /tmp/hushcoffer-session-<uid>).

Runs as an ordinary user (ctest starts it through scripts/run-as-user).
Every wait is for a window, a file or a mount, with a time limit.

Unfinished: not yet registered with ctest. It gets through the sheet's
first three pages; on the quiz the check for the green mark of a right word
does not yet see the mark, and the steps after creation (tray lock, unlock,
import, quit with a file held open) are still to be written.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.join(HERE, "hushcoffer")
OUT = sys.argv[1] if len(sys.argv) > 1 else "/tmp/hushcoffer-session-%d" % os.getuid()
PASSWORD = "session password 1"
VAULT = "Session"

procs = []
env = {}
step_no = [0]


class Failure(Exception):
    pass


def start(args, **kw):
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, **kw)
    procs.append(p)
    return p


def run(args, check=True, **kw):
    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=30, **kw)
    if check and r.returncode != 0:
        raise Failure("%s failed (%d): %s" % (" ".join(args), r.returncode, r.stderr.strip()))
    return r.stdout


def wait_for(what, test, limit=20.0):
    end = time.monotonic() + limit
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > end:
            shot("timeout")
            raise Failure("timed out waiting for " + what)
        time.sleep(0.05)


def shot(name):
    step_no[0] += 1
    path = os.path.join(OUT, "%02d-%s.png" % (step_no[0], name))
    subprocess.run(["import", "-window", "root", path], env=env, capture_output=True, timeout=30)
    print("screenshot", path, flush=True)


def windows(name):
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name], env=env,
                       capture_output=True, text=True, timeout=30)
    return [w for w in r.stdout.split()]


def window(name, limit=20.0):
    return wait_for("a window named " + repr(name), lambda: (windows(name) or [None])[-1], limit)


def gone(name, limit=20.0):
    wait_for("the window " + repr(name) + " to close", lambda: not windows(name), limit)


def key(*keys):
    run(["xdotool", "key", "--clearmodifiers", "--delay", "40"] + list(keys))


def type_text(text):
    run(["xdotool", "type", "--clearmodifiers", "--delay", "15", text])


def activate(win):
    run(["xdotool", "windowactivate", "--sync", win], check=False)
    run(["xdotool", "windowfocus", "--sync", win], check=False)


def mounts():
    with open("/proc/self/mountinfo") as f:
        return [line.split()[4].replace("\\040", " ") for line in f]


def clipboard():
    r = subprocess.run(["xclip", "-selection", "clipboard", "-o"], env=env, capture_output=True,
                       text=True, timeout=10)
    return r.stdout if r.returncode == 0 else ""


def green_pixels(win):
    """How many clearly green pixels the window shows (the quiz's marks)."""
    data = subprocess.run(["import", "-window", win, "ppm:-"], env=env, capture_output=True,
                          timeout=30).stdout
    # header: P6\nW H\n255\n
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not m:
        return 0
    px = data[m.end():]
    r, g, b = px[0::3], px[1::3], px[2::3]
    return sum(1 for i in range(len(g)) if g[i] > 110 and g[i] > r[i] + 50 and g[i] > b[i] + 30)


def main():
    global env
    os.makedirs(OUT, exist_ok=True)
    for f in os.listdir(OUT):
        if f.endswith(".png"):
            os.unlink(os.path.join(OUT, f))
    home = os.environ.get("HOME") or tempfile.mkdtemp()
    runtime = tempfile.mkdtemp(prefix="xdg-")
    os.chmod(runtime, 0o700)

    # the display
    rfd, wfd = os.pipe()
    start(["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
          pass_fds=(wfd,), stderr=subprocess.DEVNULL)
    os.close(wfd)
    display = ""
    while not display.endswith("\n"):
        chunk = os.read(rfd, 16).decode()
        if not chunk:
            raise Failure("Xvfb did not start")
        display += chunk
    os.close(rfd)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home, "LANG": "C.UTF-8",
           "DISPLAY": ":" + display.strip(), "XDG_RUNTIME_DIR": runtime,
           "TMPDIR": os.environ.get("TMPDIR", "/tmp"), "USER": os.environ.get("USER", ""),
           "QT_QPA_PLATFORM": "xcb"}

    # a private session bus
    bus = start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env=env,
                stdout=subprocess.PIPE, text=True)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()

    # a window manager and a system tray
    start(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("the window manager", lambda: "window id" in
             run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check=False))
    start(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28",
           "--transparent", "false", "--SetDockType", "true"], env=env,
          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("the tray", lambda: subprocess.run(["xdotool", "search", "--class", "trayer"], env=env,
                                                capture_output=True).returncode == 0)

    # the application
    log = open(os.path.join(OUT, "hushcoffer.log"), "w")
    app = start([APP], env=env, stdout=log, stderr=subprocess.STDOUT)
    main_win = window("^Hushcoffer$")
    activate(main_win)
    shot("started")

    # ---- create a vault through the sheet and the quiz
    key("ctrl+n")
    sheet = window("^New Vault")
    activate(sheet)
    key("ctrl+a")
    type_text(VAULT)
    shot("create-location")
    key("Return")
    type_text(PASSWORD)
    key("Tab")
    type_text(PASSWORD)
    shot("create-password")
    key("Return")
    # the phrase page: the words are copied from the grid (a click gives it
    # the focus, then the usual Copy)
    wait_for("the phrase page", lambda: True)
    run(["xdotool", "mousemove", "--window", sheet, "213", "173", "click", "1"])
    key("ctrl+c")
    words = wait_for("the twelve words on the clipboard",
                     lambda: len(clipboard().split()) == 12 and clipboard().split(), 10)
    key("Tab")
    shot("create-phrase")
    key("space")  # "I have written down the twelve words"
    key("Return")
    # the quiz: three fields, each asking for one word; a right word shows a
    # green mark
    for field in range(3):
        base = green_pixels("root")
        for w in words:
            key("ctrl+a")
            type_text(w)
            end = time.monotonic() + 0.8  # the mark follows the typing
            while time.monotonic() < end and green_pixels("root") <= base + 20:
                time.sleep(0.05)
            if green_pixels("root") > base + 20:
                break
        else:
            shot("quiz-field-%d" % (field + 1))
            raise Failure("no word of the phrase was taken in quiz field %d" % (field + 1))
        key("Tab")
    shot("create-quiz")
    key("Return")
    gone("^New Vault", 60)
    vault_dir = os.path.join(home, VAULT)
    wait_for("the new vault to be mounted", lambda: vault_dir in mounts(), 60)
    shot("created")
    with open(os.path.join(vault_dir, "note.txt"), "w") as f:
        f.write("kept secret\n")

    print("ok: created and mounted", vault_dir, flush=True)
    return 0


def cleanup():
    for p in reversed(procs):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in reversed(procs):
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()


if __name__ == "__main__":
    rc = 1
    try:
        rc = main()
    except Failure as e:
        print("FAILED:", e, flush=True)
    finally:
        cleanup()
    sys.exit(rc)
