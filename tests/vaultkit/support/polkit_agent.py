#!/usr/bin/python3
"""A polkit authentication agent for one process, which also asks the key
service for one unlock: what a user's program sees of a quick-unlock prompt.

    polkit_agent.py BUS LOCALE HANDLE_HEX VAULT_NAME

Registers itself with polkit as the agent of this very process (the subject
the key service asks about is the caller of Authorize, this process) with
LOCALE, then calls Authorize(HANDLE, VAULT_NAME, 1 agreement, 5 s). Every
prompt polkit begins is answered as dismissed by the user. Prints one JSON
object: the messages polkit gave the agent and how Authorize ended ("token"
or the error's name).
"""
import json
import os
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

AGENT_XML = """<node><interface name="org.freedesktop.PolicyKit1.AuthenticationAgent">
<method name="BeginAuthentication"><arg type="s" direction="in"/><arg type="s" direction="in"/>
<arg type="s" direction="in"/><arg type="a{ss}" direction="in"/><arg type="s" direction="in"/>
<arg type="a(sa{sv})" direction="in"/></method>
<method name="CancelAuthentication"><arg type="s" direction="in"/></method>
</interface></node>"""
AUTHORITY = ("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
             "org.freedesktop.PolicyKit1.Authority")
SERVICE = ("app.hushcoffer.KeyService1", "/app/hushcoffer/KeyService1", "app.hushcoffer.KeyService1")


def start_time():
    # field 22 of /proc/self/stat, after the command name in parentheses
    with open("/proc/self/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[19])


def main():
    address, locale, handle_hex, vault = sys.argv[1:5]
    bus = Gio.DBusConnection.new_for_address_sync(
        address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)
    messages = []

    def on_call(_conn, _sender, _path, _iface, method, params, invocation):
        if method == "BeginAuthentication":
            messages.append(params.unpack()[1])
            invocation.return_dbus_error("org.freedesktop.PolicyKit1.Error.Cancelled", "dismissed by the user")
        else:
            invocation.return_value(None)

    node = Gio.DBusNodeInfo.new_for_xml(AGENT_XML)
    bus.register_object("/hushcoffer/test/agent", node.interfaces[0], on_call, None, None)
    subject = ("unix-process", {"pid": GLib.Variant("u", os.getpid()),
                                "start-time": GLib.Variant("t", start_time()),
                                "uid": GLib.Variant("i", os.getuid())})
    bus.call_sync(*AUTHORITY, "RegisterAuthenticationAgent",
                  GLib.Variant("((sa{sv})ss)", (subject, locale, "/hushcoffer/test/agent")),
                  None, Gio.DBusCallFlags.NONE, 10000, None)

    loop = GLib.MainLoop()
    outcome = []

    def on_reply(conn, result):
        try:
            conn.call_finish(result)
            outcome.append("token")
        except GLib.Error as e:
            outcome.append(Gio.DBusError.get_remote_error(e) or e.message)
        loop.quit()

    args = GLib.Variant("(aysuu)", (bytes.fromhex(handle_hex), vault, 1, 5000))
    bus.call(*SERVICE, "Authorize", args, None, Gio.DBusCallFlags.NONE, 20000, None, on_reply)
    loop.run()
    print(json.dumps({"messages": messages, "authorize": outcome[0]}, ensure_ascii=False))


if __name__ == "__main__":
    main()
