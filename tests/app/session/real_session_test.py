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

The recovery phrase is read as a person would copy it (a click on the word
grid, then Copy, read back with xclip); the quiz's words are found by typing
each word of the phrase until the field's mark turns green on screen. A few
controls are clicked at their place in the window (the layout is the app's
own at its default size on a 1280x800 screen).

Arguments: [output folder] [hushcoffer executable, when not beside this file]
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.join(HERE, "hushcoffer")
if not os.path.exists(APP) and len(sys.argv) > 2:
    APP = sys.argv[2]
OUT = sys.argv[1] if len(sys.argv) > 1 else "/tmp/hushcoffer-session-%d" % os.getuid()
PASSWORD = "session password 1"
VAULT = "Session"

procs = []
scratch = []
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


def colour_pixels(win, test):
    data = subprocess.run(["import", "-window", win, "-depth", "8", "ppm:-"], env=env, capture_output=True,
                          timeout=30).stdout
    # header: P6\nW H\n255\n
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not m:
        return 0
    px = data[m.end():]
    r, g, b = px[0::3], px[1::3], px[2::3]
    return sum(1 for i in range(len(g)) if test(r[i], g[i], b[i]))


def green_pixels(win):
    """How many clearly green pixels the window shows (the quiz's marks)."""
    return colour_pixels(win, lambda r, g, b: g > 110 and g > r + 50 and g > b + 30)


def output_folder(wanted):
    """The screenshots' folder: the one asked for, or one of this user's own
    when the test user cannot reach it (a checkout in a folder only root can
    enter, such as a root user's home)."""
    try:
        os.makedirs(wanted, exist_ok=True)
        if os.access(wanted, os.W_OK | os.X_OK):
            return wanted
    except OSError:
        pass
    own = "/tmp/hushcoffer-session-%d" % os.getuid()
    os.makedirs(own, mode=0o700, exist_ok=True)
    print("screenshots: %s is out of reach, using %s" % (wanted, own), flush=True)
    return own


def main():
    global env, OUT
    OUT = output_folder(OUT)
    for f in os.listdir(OUT):
        if f.endswith(".png"):
            os.unlink(os.path.join(OUT, f))
    # a home of its own: the vault, the settings and the files to import
    # never touch the home of whoever runs the test
    home = tempfile.mkdtemp(prefix="hc-session-home-")
    scratch.append(home)
    runtime = tempfile.mkdtemp(prefix="xdg-")
    scratch.append(runtime)
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
    # the phrase page: a click in a word, then Copy, copies the whole phrase
    run(["xdotool", "mousemove", "--window", sheet, "300", "230", "click", "1"])
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

    # ---- lock it from the tray menu
    tray_menu(app, 1)  # Lock “Session”
    wait_for("the vault to be unmounted", lambda: vault_dir not in mounts(), 30)
    shot("locked-from-tray")
    if os.path.exists(os.path.join(vault_dir, "note.txt")):
        raise Failure("the locked folder still shows the vault's files")

    locked_mode = os.stat(vault_dir).st_mode & 0o7777

    # ---- unlock: a wrong password, then the right one (Return unlocks)
    activate(main_win)
    field = (432, 188)  # the password field of the locked pane
    click(main_win, *field)
    base = red_pixels(main_win)
    type_text("not the password")
    key("Return")
    wait_for("the wrong-password banner", lambda: red_pixels(main_win) > base + 50, 30)
    shot("wrong-password")
    if vault_dir in mounts():
        raise Failure("a wrong password mounted the vault")
    mode = os.stat(vault_dir).st_mode & 0o7777
    if mode != locked_mode:
        raise Failure("a wrong password left the locked folder with mode %o (was %o)" % (mode, locked_mode))
    click(main_win, *field)
    key("ctrl+a")
    type_text(PASSWORD)
    key("Return")
    wait_for("the vault to be mounted again", lambda: vault_dir in mounts(), 30)
    # the wrong-password banner goes with the unlock (it would otherwise stay
    # its full time over the unlocked vault)
    wait_for("the error banner to go", lambda: red_pixels(main_win) <= base + 50, 10)
    shot("unlocked")
    with open(os.path.join(vault_dir, "note.txt")) as f:
        if f.read() != "kept secret\n":
            raise Failure("the vault's file changed across lock and unlock")

    # ---- import two files through the file dialog
    source = os.path.join(home, "to import")
    os.makedirs(source, exist_ok=True)
    names = ["first file.txt", "second.txt"]
    for n in names:
        with open(os.path.join(source, n), "w") as f:
            f.write("content of " + n + "\n")
    before = app_windows(app)
    click(main_win, 464, 139)  # Import…
    wait_for("the import menu", lambda: app_windows(app) - before, 10)
    key("Down", "Return")  # Import Files…
    dialog = window("^Choose files to copy into the vault")
    activate(dialog)
    type_text(" ".join('"%s"' % os.path.join(source, n) for n in names))
    shot("import-dialog")
    key("Return")
    for n in names:
        target = os.path.join(vault_dir, n)
        wait_for(n + " in the vault", lambda: os.path.exists(target) and open(target).read() ==
                 "content of " + n + "\n", 30)
    result = window("^Import Finished")
    shot("imported")
    activate(result)
    key("Return")  # Keep Originals
    gone("^Import Finished")
    for n in names:
        if not os.path.exists(os.path.join(source, n)):
            raise Failure("keeping the originals lost " + n)

    # ---- quit with a file held open, and force the lock
    holder = start(["tail", "-f", os.path.join(vault_dir, "note.txt")], stdout=subprocess.DEVNULL,
                   cwd=vault_dir)
    wait_for("the file to be held open", lambda: any(
        os.readlink("/proc/%d/fd/%s" % (holder.pid, fd)).startswith(vault_dir)
        for fd in os.listdir("/proc/%d/fd" % holder.pid)), 10)
    before = app_windows(app)
    key("ctrl+q")
    alert = wait_for("the alert naming the program in the vault", lambda: app_windows(app) - before, 30)
    shot("quit-busy-alert")
    force_lock(app, list(alert)[0])
    wait_for("the vault to be unmounted by force", lambda: vault_dir not in mounts(), 30)
    code = wait_for("hushcoffer to quit", lambda: app.poll() is not None and (app.returncode,), 30)[0]
    shot("quit")
    if code != 0:
        raise Failure("hushcoffer exited with status %d" % code)
    try:
        with open(os.path.join("/proc/%d/cwd" % holder.pid, "note.txt")) as f:
            f.read()
        raise Failure("the program inside the vault still reads its files after the forced lock")
    except OSError:
        pass
    if os.path.exists(os.path.join(vault_dir, "note.txt")):
        raise Failure("the locked folder still shows the vault's files")

    print("ok", flush=True)
    return 0


def click(win, x, y):
    run(["xdotool", "mousemove", "--window", win, str(x), str(y), "click", "1"])


def red_pixels(win):
    """How many clearly red pixels the window shows (an error banner)."""
    return colour_pixels(win, lambda r, g, b: r > 150 and r > g + 60 and r > b + 60)


def force_lock(app, alert):
    """Presses "Force Lock" in the quit alert: Cancel has the focus (the
    default), Force Lock is the button before it."""
    activate(alert)
    key("shift+Tab")
    shot("quit-force-lock")
    key("space")


def app_windows(app):
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(app.pid)], env=env,
                       capture_output=True, text=True, timeout=30)
    return set(r.stdout.split())


def tray_menu(app, downs):
    """Opens the tray icon's menu (right click on trayer's only icon) and
    chooses its item number `downs` (1 is the first)."""
    tray = wait_for("the tray window", lambda: run(["xdotool", "search", "--onlyvisible", "--class", "trayer"],
                                                  check=False).split())
    geo = dict(line.split("=") for line in run(["xdotool", "getwindowgeometry", "--shell", tray[0]]).split())
    before = app_windows(app)
    run(["xdotool", "mousemove", str(int(geo["X"]) + int(geo["WIDTH"]) // 2),
         str(int(geo["Y"]) + int(geo["HEIGHT"]) // 2), "click", "3"])
    wait_for("the tray menu", lambda: app_windows(app) - before, 10)
    shot("tray-menu")
    key(*(["Down"] * downs + ["Return"]))


def cleanup():
    for p in reversed(procs):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in reversed(procs):
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
    for d in scratch:
        for mp in mounts():
            if mp.startswith(d + "/"):
                subprocess.run(["fusermount3", "-u", "-z", mp], capture_output=True)
        subprocess.run(["rm", "-rf", "--one-file-system", d], capture_output=True)


if __name__ == "__main__":
    rc = 1
    try:
        rc = main()
    except Failure as e:
        print("FAILED:", e, flush=True)
    finally:
        cleanup()
    sys.exit(rc)
