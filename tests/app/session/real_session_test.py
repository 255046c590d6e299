#!/usr/bin/env python3
"""Hushcoffer in a real desktop session, driven by the names of its controls.

One run is one variant, the same steps on either:
  x11      Xvfb with openbox (a window manager) and trayer (an XEmbed tray);
           the application on X11 (xcb); screenshots with `import`.
  wayland  a headless sway (its headless back end, the pixman renderer, no
           input devices, no Xwayland) with waybar as the tray host, started
           after the application as a panel often is at login; the
           application native on Wayland; screenshots with grim.

The application is driven through the accessibility bus (AT-SPI, pyatspi)
alone: every control is found by its role and its accessible name (the
English texts of the application's own bundle), pressed through its action
and filled through its editable text; where the focus goes is read from the
focus events the application sends. The steps: create a vault through the
sheet and its quiz (the phrase read from the word grid), lock it from the
window, a wrong password (the pane says why, the focus back in the password
field) and the right one, lock it from the tray menu, close the window
(File > Close Window) and choose Unlock in the tray menu (the window opens
with the focus in the password field), unlock it again and quit from the
tray menu with a file held open in the vault, forcing the lock
in the alert that names it. The vault has a long name (about 100
characters) and the window is at its smallest (780x540, sized through the
window manager or the compositor): with the vault locked, after the wrong
password and unlocked, every showing label, button and field lies inside the
window and the containers around it (read from their extents on the
accessibility bus), the list item names the vault, and the tray menu shortens
the name. On Wayland the tray
menu is driven over its D-Bus menu (com.canonical.dbusmenu) as the panel
would; on X11 the tray icon is clicked and the menu's items are pressed by
name. Results are checked in the mount table and on disk; a screenshot of
every step is kept in the output folder, printed at the start.

Runs as an ordinary user (ctest starts it through scripts/run-as-user), under
a private session bus of its own (it starts itself again under
dbus-run-session) with the accessibility bus (at-spi-bus-launcher). Every
wait is for an event, a window, a file or a mount, with a time limit.

Arguments: VARIANT [output folder] [hushcoffer executable, when not beside this file]
"""

import glob
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
VARIANT = sys.argv[1] if len(sys.argv) > 1 else ""
OUT = sys.argv[2] if len(sys.argv) > 2 else "/tmp/hushcoffer-session-%d/%s" % (os.getuid(), VARIANT)
APP = os.path.join(HERE, "hushcoffer")
if not os.path.exists(APP) and len(sys.argv) > 3:
    APP = sys.argv[3]
PASSWORD = "session password 1"
# a long name (about 100 characters, a valid folder name): the pane shortens
# it, and nothing of the pane may run past the window's edge at its smallest
VAULT = ("Session vault with a rather long name for the archive of family letters, "
         "photographs and tax returns")
MIN_WIDTH, MIN_HEIGHT = 780, 540

procs = []
scratch = []
env = {}
step_no = [0]
focus_events = []
app_proc = []
popups = []
TEXTS = {}


class Failure(Exception):
    pass


# ---------------------------------------------------------------- plumbing

def start(args, **kw):
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, **kw)
    procs.append(p)
    return p


def run(args, check=True, **kw):
    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=30, **kw)
    if check and r.returncode != 0:
        raise Failure("%s failed (%d): %s" % (" ".join(args), r.returncode, r.stderr.strip()))
    return r.stdout


def pump():
    """Lets the accessibility library take in what the bus brought (events)."""
    from gi.repository import GLib
    ctx = GLib.MainContext.default()
    while ctx.iteration(False):
        pass


def wait_for(what, test, limit=20.0):
    end = time.monotonic() + limit
    while True:
        pump()
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
    if VARIANT == "x11":
        args = ["import", "-window", "root", path]
    else:
        args = ["grim", path]
    r = subprocess.run(args, env=env, capture_output=True, timeout=30)
    print("screenshot" if r.returncode == 0 else "screenshot failed:", path, flush=True)


def mounts():
    with open("/proc/self/mountinfo") as f:
        return [line.split()[4].replace("\\040", " ") for line in f]


def output_folder(wanted):
    """The screenshots' folder: the one asked for, or one of this user's own
    when the test user cannot write there."""
    try:
        os.makedirs(wanted, exist_ok=True)
        if os.access(wanted, os.W_OK | os.X_OK):
            return wanted
    except OSError:
        pass
    own = tempfile.mkdtemp(prefix="hushcoffer-session-%s-" % VARIANT)
    print("screenshots: %s is out of reach" % wanted, flush=True)
    return own


def load_texts():
    """The application's English texts, access letters taken out: controls
    are found by the names a screen reader would say."""
    base = os.path.dirname(os.path.abspath(APP))
    for f in ("Hushcoffer_Hushcoffer.bundle/en.lproj/Product.json", "Hushcoffer_KXUI.bundle/en.lproj/Common.json"):
        with open(os.path.join(base, f), encoding="utf-8") as fh:
            TEXTS.update(json.load(fh))


def text(key, *args):
    s = TEXTS[key].replace("&&", "\0").replace("&", "").replace("\0", "&")
    for a in args:
        s = s.replace("%@", str(a), 1) if "%@" in s else s.replace("%d", str(a), 1)
    return s


# ---------------------------------------------------------------- accessibility

def role(acc):
    try:
        return acc.getRoleName()
    except Exception:
        return ""


def name(acc):
    try:
        return acc.name or ""
    except Exception:
        return ""


def showing(acc):
    import pyatspi
    try:
        return acc.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        return False


def app_root(pid):
    import pyatspi
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        a = desktop.getChildAtIndex(i)
        try:
            if a is not None and a.get_process_id() == pid:
                # what the library keeps of the tree lags behind windows
                # that come and go: read afresh
                a.clear_cache()
                return a
        except Exception:
            continue
    return None


def descendants(acc, depth=0):
    """The showing accessible objects under `acc` (hidden branches skipped)."""
    if acc is None or depth > 40:
        return
    try:
        count = acc.childCount
    except Exception:
        return
    for i in range(count):
        try:
            c = acc.getChildAtIndex(i)
        except Exception:
            continue
        if c is None or not showing(c):
            continue
        yield c
        yield from descendants(c, depth + 1)


def find_all(root, roles, wanted=None):
    roles = (roles,) if isinstance(roles, str) else roles
    if root is None:
        return []
    return [a for a in descendants(root) if role(a) in roles and (wanted is None or name(a) == wanted)]


def find(root, roles, wanted, limit=20.0):
    """Waits for a showing control of one of `roles` named `wanted`."""
    try:
        return wait_for("a %s named %r" % ("/".join((roles,) if isinstance(roles, str) else roles), wanted),
                        lambda: (find_all(root(), roles, wanted) or [None])[0], limit)
    except Failure:
        print("the application's accessible tree:\n" + "\n".join(tree(root())), flush=True)
        raise


def tree(acc, depth=0, out=None):
    """The tree as text (printed when a control is not found)."""
    out = [] if out is None else out
    for c in descendants_direct(acc):
        out.append("  " * depth + "%s %r" % (role(c), name(c)))
        tree(c, depth + 1, out)
    return out


def descendants_direct(acc):
    try:
        return [acc.getChildAtIndex(i) for i in range(acc.childCount) if showing(acc.getChildAtIndex(i))]
    except Exception:
        return []


def press(acc):
    action = acc.queryAction()
    names = [action.getName(i).lower() for i in range(action.nActions)]
    for wanted in ("press", "click", "toggle", "activate"):
        if wanted in names:
            action.doAction(names.index(wanted))
            return
    if not names:
        raise Failure("%s %r has no action" % (role(acc), name(acc)))
    action.doAction(0)


def set_text(acc, value):
    if not acc.queryEditableText().setTextContents(value):
        raise Failure("%s %r takes no text" % (role(acc), name(acc)))


def on_showing(event):
    if event.detail1 and role(event.source) == "popup menu":
        popups.append(event.source)


def on_focus(event):
    if event.detail1:
        focus_events.append((role(event.source), name(event.source)))




def focus_mark():
    """Where the focus events stand now (for wait_focus after an action)."""
    pump()
    return len(focus_events)


def wait_focus(since, what, test, limit=20.0):
    """Waits for a focus event since `since` whose (role, name) passes `test`."""
    seen = since

    def got():
        for r, n in focus_events[seen:]:
            if test(r, n):
                return (r, n)
        return None
    try:
        return wait_for(what, got, limit)
    except Failure:
        raise Failure("no focus event for %s; focus went to %r" % (what, focus_events[seen:]))


# ---------------------------------------------------------------- the sessions

def x11_session():
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
    env["DISPLAY"] = ":" + display.strip()
    env["QT_QPA_PLATFORM"] = "xcb"
    start(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("the window manager", lambda: "window id" in
             run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check=False))
    start(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28",
           "--transparent", "false", "--SetDockType", "true"], env=env,
          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("the tray", lambda: subprocess.run(["xdotool", "search", "--class", "trayer"], env=env,
                                                capture_output=True).returncode == 0)


def wayland_session():
    runtime = env["XDG_RUNTIME_DIR"]
    ready = os.path.join(runtime, "sway-ready")
    conf = os.path.join(runtime, "sway.conf")
    with open(conf, "w") as f:
        f.write("xwayland disable\n"
                "output HEADLESS-1 resolution 1280x800\n"
                "exec sh -c 'printf \"%%s\\n\" \"$WAYLAND_DISPLAY\" > %s.tmp && mv %s.tmp %s'\n"
                % (ready, ready, ready))
    sway_env = dict(env, WLR_BACKENDS="headless", WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1")
    sway = start(["sway", "-c", conf], env=sway_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("sway", lambda: os.path.exists(ready) or sway.poll() is not None)
    if sway.poll() is not None:
        raise Failure("sway ended (%d)" % sway.returncode)
    with open(ready) as f:
        env["WAYLAND_DISPLAY"] = f.read().strip()
    env["QT_QPA_PLATFORM"] = "wayland"
    env.pop("DISPLAY", None)


def sway_windows():
    socks = glob.glob(os.path.join(env["XDG_RUNTIME_DIR"], "sway-ipc.*.sock"))
    if not socks:
        return []
    r = subprocess.run(["swaymsg", "-s", socks[0], "-r", "-t", "get_tree"], env=env, capture_output=True,
                       text=True, timeout=30)
    out = []

    def walk(node):
        if "shell" in node:
            out.append((node.get("app_id"), node.get("shell")))
        for child in node.get("nodes", []) + node.get("floating_nodes", []):
            walk(child)
    if r.returncode == 0:
        walk(json.loads(r.stdout))
    return out


def start_waybar():
    conf = os.path.join(env["HOME"], "waybar.json")
    style = os.path.join(env["HOME"], "waybar.css")
    with open(conf, "w") as f:
        json.dump({"layer": "top", "position": "top", "height": 28, "modules-right": ["tray"],
                   "tray": {"spacing": 4}}, f)
    with open(style, "w") as f:
        f.write("* { font-size: 12px; }\n")
    start(["waybar", "-c", conf, "-s", style], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# ---------------------------------------------------------------- the tray

def bus():
    from gi.repository import Gio
    return Gio.bus_get_sync(Gio.BusType.SESSION, None)


def dbus_call(service, path, interface, method, args=None, reply=None):
    from gi.repository import GLib
    r = bus().call_sync(service, path, interface, method, args, GLib.VariantType(reply) if reply else None,
                        0, 10000, None)
    return r.unpack() if r is not None else None


def tray_items():
    from gi.repository import GLib
    try:
        v = dbus_call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
                      "Get", GLib.Variant("(ss)", ("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")))
        return list(v[0])
    except Exception:
        return []


class DBusMenu:
    """The tray item's menu over com.canonical.dbusmenu, as a panel drives it."""

    def __init__(self, item):
        from gi.repository import GLib
        self.service, _, path = item.partition("/")
        path = "/" + path if path else "/StatusNotifierItem"
        menu = dbus_call(self.service, path, "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")))[0]
        self.path = menu

    def labels(self):
        from gi.repository import GLib
        dbus_call(self.service, self.path, "com.canonical.dbusmenu", "AboutToShow", GLib.Variant("(i)", (0,)))
        _, layout = dbus_call(self.service, self.path, "com.canonical.dbusmenu", "GetLayout",
                              GLib.Variant("(iias)", (0, -1, ["label", "enabled", "visible"])))
        out = {}

        def walk(node):
            ident, props, children = node
            if "label" in props and props.get("visible", True):
                out[props["label"].replace("__", "\0").replace("_", "").replace("\0", "_")] = ident
            for c in children:
                walk(c)
        walk(layout)
        return out

    def click(self, label):
        from gi.repository import GLib
        labels = self.labels()
        if label not in labels:
            raise Failure("the tray menu has no %r: %r" % (label, sorted(labels)))
        dbus_call(self.service, self.path, "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (labels[label], "clicked", GLib.Variant("i", 0), int(time.time()))))


def named_in_menu(wanted, got):
    """Whether the menu's `got` is `wanted`; the vault's long name in it must
    be shortened in the middle ("…"), or the menu grows as wide as the name."""
    head, found, tail = wanted.partition(VAULT)
    if not found:
        return got == wanted
    if not (got.startswith(head) and got.endswith(tail)):
        return False
    shown = got[len(head):len(got) - len(tail)]
    left, ellipsis, right = shown.partition("\u2026")
    return bool(ellipsis) and len(left) >= 4 and len(right) >= 4 and VAULT.startswith(left) \
        and VAULT.endswith(right) and len(shown) < len(VAULT)


def tray_choose(app, label):
    """Chooses `label` in the tray icon's menu."""
    if VARIANT == "wayland":
        menu = DBusMenu(wait_for("the tray item", lambda: (tray_items() or [None])[0]))
        got = wait_for("%r in the tray menu" % label,
                       lambda: next((n for n in menu.labels() if named_in_menu(label, n)), None), 10)
        shot("tray-menu")
        menu.click(got)
        return
    # X11: a right click on trayer's only icon opens the app's own menu
    seen = len(popups)
    tray = wait_for("the tray window", lambda: run(["xdotool", "search", "--onlyvisible", "--class", "trayer"],
                                                  check=False).split())
    geo = dict(line.split("=") for line in run(["xdotool", "getwindowgeometry", "--shell", tray[0]]).split())
    run(["xdotool", "mousemove", str(int(geo["X"]) + int(geo["WIDTH"]) // 2),
         str(int(geo["Y"]) + int(geo["HEIGHT"]) // 2), "click", "3"])
    # a menu is a popup, which the application's tree leaves out: it is
    # found by the event that tells it shows
    item = wait_for("a menu item named %r in a menu that shows" % label, lambda: next(
        (a for m in popups[seen:] for a in descendants(m)
         if role(a) == "menu item" and named_in_menu(label, name(a))), None), 10)
    shot("tray-menu")
    press(item)
    # pressed through its action, a menu item leaves its menu open (a key
    # or a click would close it): closed as a person would
    menu = popups[-1]
    pump()
    if showing(menu):
        run(["xdotool", "key", "Escape"], check=False)
        wait_for("the tray menu to close", lambda: not showing(menu), 10)


def window_menu_choose(win, menu_label, label):
    """Chooses `label` in the window's menu `menu_label`, the menu opened
    through its entry in the menu bar."""
    seen = len(popups)
    press(find(win, "menu item", menu_label))
    item = wait_for("a menu item named %r in the %r menu" % (label, menu_label), lambda: next(
        (a for m in popups[seen:] for a in descendants(m) if role(a) == "menu item" and name(a) == label), None), 10)
    menu = popups[-1]
    press(item)
    # as in the tray's menu: a menu item pressed through its action leaves
    # its menu open (and on X11 holding the pointer), closed as a person would
    pump()
    if VARIANT == "x11" and showing(menu):
        run(["xdotool", "key", "Escape"], check=False)
        wait_for("the %r menu to close" % menu_label, lambda: not showing(menu), 10)


# ---------------------------------------------------------------- the layout

def extents(acc):
    """(x, y, width, height) of `acc` in screen coordinates."""
    import pyatspi
    e = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return (e.x, e.y, e.width, e.height)


def smallest_window(frame):
    """Sizes the window to its minimum through the window manager or the
    compositor, as a person dragging its corner would."""
    if VARIANT == "x11":
        ids = wait_for("the window's X id", lambda: run(
            ["xdotool", "search", "--onlyvisible", "--pid", str(app_proc[0].pid), "--name", "^Hushcoffer$"],
            check=False).split())
        for ident in ids:
            run(["xdotool", "windowsize", ident, str(MIN_WIDTH), str(MIN_HEIGHT)])
    else:
        socks = glob.glob(os.path.join(env["XDG_RUNTIME_DIR"], "sway-ipc.*.sock"))
        run(["swaymsg", "-s", socks[0], '[app_id="app.hushcoffer.Hushcoffer"] floating enable, '
             "resize set width %d px height %d px" % (MIN_WIDTH, MIN_HEIGHT)])
    return wait_for("the window at %dx%d" % (MIN_WIDTH, MIN_HEIGHT),
                    lambda: extents(frame())[2:] == (MIN_WIDTH, MIN_HEIGHT) and extents(frame()), 10)


FITTED = ("label", "push button", "text", "password text", "check box", "combo box", "link", "alert")


def fitted_controls(acc, clip, scrolled=False, depth=0):
    """The showing labels, buttons and fields under `acc`, each with what of
    the window is left to it (the overlap of its containers' boxes) and
    whether it sits in a scrolled view: a container taller than the one
    around it is a scroll area's content, which may run out of view up or
    down, never sideways."""
    if depth > 40:
        return
    for c in descendants_direct(acc):
        box = extents(c)
        if role(c) in FITTED:
            yield c, box, clip, scrolled
        x, y = max(clip[0], box[0]), max(clip[1], box[1])
        inner = (x, y, min(clip[0] + clip[2], box[0] + box[2]) - x, min(clip[1] + clip[3], box[1] + box[3]) - y)
        yield from fitted_controls(c, inner, scrolled or box[1] < clip[1] or box[1] + box[3] > clip[1] + clip[3],
                                   depth + 1)


def check_fits(frame, step):
    """Every showing label, button and text field lies inside the window and
    inside the containers around it: none runs past the right edge (the pane
    wraps or shortens its texts), and none is cut. A control a scroll area
    holds out of view up or down is left out."""
    pump()
    window = extents(frame())
    if window[2:] != (MIN_WIDTH, MIN_HEIGHT):
        raise Failure("%s: the window is %dx%d, not at its smallest" % (step, window[2], window[3]))
    out, checked = [], 0
    for acc, (x, y, w, h), (cx, cy, cw, ch), scrolled in fitted_controls(frame(), window):
        if w <= 0 or h <= 0:
            continue
        if scrolled and (y >= cy + ch or y + h <= cy):
            continue
        checked += 1
        across = x >= cx and x + w <= cx + cw
        down = scrolled or (y >= cy and y + h <= cy + ch)
        if not (across and down):
            out.append("%s %r at %d,%d %dx%d" % (role(acc), name(acc)[:60], x - window[0], y - window[1], w, h))
    if out:
        raise Failure("%s: past the edge of the %dx%d window: %s" % (step, window[2], window[3], "; ".join(out)))
    if checked < 5:
        raise Failure("%s: only %d controls to check in the window" % (step, checked))
    print("%s: %d controls inside the %dx%d window" % (step, checked, window[2], window[3]), flush=True)


# ---------------------------------------------------------------- the steps

def main():
    global env, OUT
    OUT = output_folder(OUT)
    print("screenshots of this run: %s" % OUT, flush=True)
    for f in os.listdir(OUT):
        if f.endswith(".png"):
            os.unlink(os.path.join(OUT, f))
    load_texts()
    # a home of its own: the vault and the settings never touch the home of
    # whoever runs the test
    home = tempfile.mkdtemp(prefix="hc-session-home-")
    scratch.append(home)
    runtime = tempfile.mkdtemp(prefix="xdg-")
    scratch.append(runtime)
    os.chmod(runtime, 0o700)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home, "LANG": "C.UTF-8",
           "XDG_RUNTIME_DIR": runtime, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
           "TMPDIR": os.environ.get("TMPDIR", "/tmp"), "USER": os.environ.get("USER", ""),
           "DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"],
           # the toolkit's accessibility bridge on without a screen reader's
           # setting to ask for it
           "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}

    # the accessibility bus, on this run's session bus
    start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], env=env,
          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("the accessibility bus", lambda: subprocess.run(
        ["gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus",
         "--method", "org.a11y.Bus.GetAddress"], env=env, capture_output=True).returncode == 0)
    os.environ.update(env)
    import pyatspi
    pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")
    pyatspi.Registry.registerEventListener(on_showing, "object:state-changed:showing")

    if VARIANT == "x11":
        x11_session()
    else:
        wayland_session()

    # the application
    log = open(os.path.join(OUT, "hushcoffer.log"), "w")
    app = start([APP], env=env, stdout=log, stderr=subprocess.STDOUT)
    app_proc.append(app)
    win = lambda: app_root(app.pid)  # noqa: E731 (looked up afresh: windows come and go)
    wait_for("the application on the accessibility bus", win, 30)
    find(win, "frame", "Hushcoffer", 30)
    if VARIANT == "wayland":
        # native: an xdg-shell toplevel with the desktop file's id (there is
        # no Xwayland to fall back to)
        wait_for("a native window", lambda: ("app.hushcoffer.Hushcoffer", "xdg_shell") in sway_windows())
        # the panel comes after the application, as it may at login
        start_waybar()
        wait_for("the tray item to register with the panel", tray_items, 30)
    frame = lambda: find(win, "frame", "Hushcoffer")  # noqa: E731
    smallest_window(frame)
    shot("started")

    # ---- create a vault through the sheet and its quiz
    mark = focus_mark()
    press(find(win, "push button", text("action.new")))
    sheet_name = find(win, "dialog", None).name
    field = find(win, "text", text("create.name"))
    wait_focus(mark, "the vault's name field", lambda r, n: n == text("create.name"))
    set_text(field, VAULT)
    shot("create-location")
    press(find(win, "push button", text("create.next")))
    set_text(find(win, "password text", text("create.pw")), PASSWORD)
    set_text(find(win, "password text", text("create.pw2")), PASSWORD)
    shot("create-password")
    press(find(win, "push button", text("create.next")))
    grid = find(win, "filler", text("create.s3"))
    words = wait_for("the twelve words", lambda: phrase_words(grid), 10)
    shot("create-phrase")
    next_button = find(win, "push button", text("create.next"))
    press(find(win, "check box", text("create.mnWrote")))
    press(next_button)
    answers = wait_for("the quiz's three fields", lambda: quiz_fields(win()), 10)
    create = find(win, "push button", text("create.finish"))
    for position, acc in answers:
        set_text(acc, words[position - 1])
    wait_for("three right words", lambda: len(find_all(win(), ("image", "icon", "label"), text("create.quizRight"))) == 3, 10)
    shot("create-quiz")
    press(create)
    wait_for("the sheet to close", lambda: not find_all(win(), "dialog", sheet_name), 60)
    vault_dir = os.path.join(home, VAULT)
    wait_for("the new vault to be mounted", lambda: vault_dir in mounts(), 60)
    shot("created")
    with open(os.path.join(vault_dir, "note.txt"), "w") as f:
        f.write("kept secret\n")
    find(win, "list item", "%s, %s" % (VAULT, text("status.unlocked")))

    # ---- lock it from the window
    press(find(win, "push button", text("action.lock")))
    wait_for("the vault to be unmounted", lambda: vault_dir not in mounts(), 30)
    find(win, "list item", "%s, %s" % (VAULT, text("status.locked")))
    shot("locked")
    check_fits(frame, "the locked pane")
    if os.path.exists(os.path.join(vault_dir, "note.txt")):
        raise Failure("the locked folder still shows the vault's files")
    locked_mode = os.stat(vault_dir).st_mode & 0o7777

    # ---- a wrong password: the pane says why, and the focus is back in the
    # password field (its text selected) for the next try
    password = find(win, "password text", text("unlock.placeholder"))
    set_text(password, "not the password")
    mark = focus_mark()
    press(find(win, "push button", text("action.unlock")))
    wrong = text("err.wrongPassword")
    find(win, ("label", "alert"), wrong, 30)
    wait_focus(mark, "the password field", lambda r, n: r == "password text" and n == text("unlock.placeholder"), 10)
    shot("wrong-password")
    check_fits(frame, "the pane with the wrong password's reason")
    if vault_dir in mounts():
        raise Failure("a wrong password mounted the vault")
    mode = os.stat(vault_dir).st_mode & 0o7777
    if mode != locked_mode:
        raise Failure("a wrong password left the locked folder with mode %o (was %o)" % (mode, locked_mode))

    # ---- the right one: unlocked, and the reason goes with the unlock
    set_text(find(win, "password text", text("unlock.placeholder")), PASSWORD)
    press(find(win, "push button", text("action.unlock")))
    wait_for("the vault to be mounted again", lambda: vault_dir in mounts(), 30)
    wait_for("the reason to go", lambda: not find_all(win(), ("label", "alert"), wrong), 10)
    find(win, "list item", "%s, %s" % (VAULT, text("status.unlocked")))
    shot("unlocked")
    check_fits(frame, "the unlocked pane")
    with open(os.path.join(vault_dir, "note.txt")) as f:
        if f.read() != "kept secret\n":
            raise Failure("the vault's file changed across lock and unlock")

    # ---- lock it from the tray menu, then quit from there
    tray_choose(app, text("menu.lockOne", VAULT))
    wait_for("the vault to be unmounted from the tray", lambda: vault_dir not in mounts(), 30)
    find(win, "list item", "%s, %s" % (VAULT, text("status.locked")))
    shot("locked-from-tray")

    # ---- the window closed, the tray's Unlock opens it with the focus in
    # the password field
    window_menu_choose(win, text("app.menu.file"), text("app.closeWindow"))
    wait_for("the window to close", lambda: not find_all(win(), "frame", "Hushcoffer"), 10)
    mark = focus_mark()
    tray_choose(app, text("menu.unlockOne", VAULT))
    find(win, "frame", "Hushcoffer")
    wait_focus(mark, "the password field of the window the tray opened",
               lambda r, n: r == "password text" and n == text("unlock.placeholder"), 10)
    shot("unlock-from-tray")

    # ---- quit from the tray with a file held open in the vault: the alert
    # names the busy vault, Force Lock locks it anyway and the app ends
    set_text(find(win, "password text", text("unlock.placeholder")), PASSWORD)
    press(find(win, "push button", text("action.unlock")))
    wait_for("the vault to be mounted for the quit", lambda: vault_dir in mounts(), 30)
    holder = start(["tail", "-f", os.path.join(vault_dir, "note.txt")], stdout=subprocess.DEVNULL, cwd=vault_dir)
    wait_for("the file to be held open", lambda: any(
        os.readlink("/proc/%d/fd/%s" % (holder.pid, fd)).startswith(vault_dir)
        for fd in os.listdir("/proc/%d/fd" % holder.pid)), 10)
    tray_choose(app, text("menu.quit"))
    force = find(win, "push button", text("quit.busy.force"), 30)
    shot("quit-busy-alert")
    press(force)
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


def phrase_words(grid):
    """The twelve words of the grid, in the order of their numbers."""
    words = {}
    for cell in descendants_direct(grid):
        labels = [name(a) for a in descendants_direct(cell) if role(a) == "label"]
        if len(labels) == 2 and labels[0].isdigit():
            words[int(labels[0])] = labels[1]
    return [words[i] for i in range(1, 13)] if sorted(words) == list(range(1, 13)) else None


def quiz_fields(root):
    prefix = text("create.wordN", 0)[:-1]
    out = []
    for a in find_all(root, "text"):
        n = name(a)
        if n.startswith(prefix) and n[len(prefix):].isdigit():
            out.append((int(n[len(prefix):]), a))
    return out if len(out) == 3 else None


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


def own_session_bus():
    """Starts this script again under a private session bus of its own."""
    if os.environ.get("HC_SESSION_OWN_BUS") == VARIANT:
        return
    os.environ["HC_SESSION_OWN_BUS"] = VARIANT
    os.execvp("dbus-run-session", ["dbus-run-session", "--", sys.executable, os.path.abspath(__file__)]
              + sys.argv[1:])


if __name__ == "__main__":
    if VARIANT not in ("x11", "wayland"):
        print("usage: real_session_test.py x11|wayland [output folder] [hushcoffer]", file=sys.stderr)
        sys.exit(2)
    own_session_bus()
    rc = 1
    try:
        rc = main()
    except Failure as e:
        print("FAILED:", e, flush=True)
        if app_proc and app_proc[0].poll() is not None:
            print("hushcoffer had ended with status %d (its output: %s)" % (
                app_proc[0].returncode, os.path.join(OUT, "hushcoffer.log")), flush=True)
    finally:
        cleanup()
    sys.exit(rc)
