#!/usr/bin/env python3
"""Checks that the desktop entry, the metainfo, the polkit policy and the icon
agree with each other and with the name the application looks for
(LockedLook's desktopFileName): a mismatch breaks the launcher link, the
software centre's listing or quick unlock without any validator noticing.

usage: check_desktop_files.py <resources/linux> <src/vaultkit/vault/LockedLook.h>
"""
import configparser
import re
import shlex
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

APP_ID = "app.hushcoffer.Hushcoffer"
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)


def main():
    here = Path(sys.argv[1])
    locked_look = Path(sys.argv[2]).read_text(encoding="utf-8")

    m = re.search(r'desktopFileName\s*=\s*"([^"]+)"', locked_look)
    check(m is not None, "LockedLook.h declares no desktopFileName")
    if m:
        check(m.group(1) == APP_ID + ".desktop",
              f"LockedLook looks for {m.group(1)}, the entry is {APP_ID}.desktop")

    entry = configparser.ConfigParser(interpolation=None, strict=True)
    entry.optionxform = str
    entry.read(here / f"{APP_ID}.desktop", encoding="utf-8")
    main_group = entry["Desktop Entry"]
    check(main_group.get("Icon") == APP_ID, "the entry's Icon is not the application id")
    check(shlex.split(main_group.get("Exec", ""))[:1] == ["hushcoffer"], "the entry does not start hushcoffer")
    check(main_group.get("StartupWMClass") == "hushcoffer", "StartupWMClass is not the application name")
    actions = [a for a in main_group.get("Actions", "").split(";") if a]
    check("lock-all" in actions, "no lock-all action")
    for action in actions:
        group = f"Desktop Action {action}"
        check(group in entry, f"action {action} has no group")
    if "Desktop Action lock-all" in entry:
        check(shlex.split(entry["Desktop Action lock-all"].get("Exec", "")) == ["hushcoffer", "--lock-all"],
              "the lock-all action does not run hushcoffer --lock-all")

    meta = ET.parse(here / f"{APP_ID}.metainfo.xml").getroot()
    check(meta.findtext("id") == APP_ID, "metainfo id differs from the application id")
    check(meta.findtext("launchable[@type='desktop-id']") == APP_ID + ".desktop",
          "metainfo launchable is not the desktop entry")
    binaries = sorted(b.text for b in meta.findall("provides/binary"))
    check(binaries == ["hushcoffer", "hushcoffer-cli"], f"metainfo provides {binaries}")
    check(meta.find("content_rating") is not None, "metainfo has no content rating")
    check(len(meta.findall("screenshots/screenshot")) >= 1, "metainfo has no screenshots")

    policy = ET.parse(here / f"{APP_ID}.policy").getroot()
    actions = {a.get("id"): a for a in policy.findall("action")}
    unlock = actions.get(APP_ID + ".unlock")
    check(unlock is not None, "the policy has no unlock action")
    if unlock is not None:
        defaults = unlock.find("defaults")
        check(defaults.findtext("allow_active") == "auth_self", "unlock is not auth_self for the active session")
        check(defaults.findtext("allow_any") == "no" and defaults.findtext("allow_inactive") == "no",
              "unlock is allowed outside the active session")
        message = unlock.findtext("message") or ""
        check(message and "%" not in message and "$(" not in message,
              "the unlock message is empty or names one vault")

    svg = ET.parse(here / f"{APP_ID}.svg").getroot()
    box = svg.get("viewBox", "").split()
    check(len(box) == 4 and box[2] == box[3], "the icon is not square")

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
