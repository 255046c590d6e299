'''polkit authority for tests, with scripted answers

A dbusmock template of the system's authorization service. Unlike the stock
polkitd template it lists installed actions (EnumerateActions), refuses
actions that are not installed as the real service does, and answers
CheckAuthorization as the real service does for each way a prompt can end:

  allow    (true, false, {})                        the user proved who they are
  dismiss  (false, false, {"polkit.dismissed": ...}) the agent's dialog was closed
  refuse   (false, false, {})                        the proof failed / not allowed
  noagent  (false, true, {})                         no agent took the challenge
  hang     no answer until CancelCheckAuthorization, which ends the call with
           org.freedesktop.PolicyKit1.Error.Cancelled

Parameters: {"actions": [ids...]}. Mock methods (org.freedesktop.DBus.Mock):
SetActions(s comma-separated), ScriptAnswers(s comma-separated, used in
order; "allow" once the script is used up), CheckCount() -> u,
CancelCount() -> u, CallCount() -> u (every call of the authority's
methods), LastCheck() -> s "subject-kind subject-name action flags",
LastDetails() -> s, the last check's details as "key=value" lines, sorted.
'''

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.PolicyKit1'
MAIN_OBJ = '/org/freedesktop/PolicyKit1/Authority'
MAIN_IFACE = 'org.freedesktop.PolicyKit1.Authority'
SYSTEM_BUS = True

ERROR_FAILED = 'org.freedesktop.PolicyKit1.Error.Failed'
ERROR_CANCELLED = 'org.freedesktop.PolicyKit1.Error.Cancelled'


def _split(text):
    return [part for part in str(text).split(',') if part]


def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        'BackendName': 'local',
        'BackendVersion': '0.105',
        'BackendFeatures': dbus.UInt32(1, variant_level=1),
    }, signature='sv'))
    mock.actions = list(parameters.get('actions', []))
    mock.answers = []
    mock.checks = []
    mock.cancels = 0
    mock.calls = 0
    mock.hanging = {}


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='a(ssssssuuua{ss})')
def EnumerateActions(self, _locale):
    self.calls += 1
    return [(a, 'description', 'message', 'vendor', 'https://example.invalid/', 'icon',
             dbus.UInt32(0), dbus.UInt32(0), dbus.UInt32(1), dbus.Dictionary({}, signature='ss'))
            for a in self.actions]


@dbus.service.method(MAIN_IFACE, in_signature='(sa{sv})sa{ss}us', out_signature='(bba{ss})',
                     async_callbacks=('ok_cb', 'err_cb'))
def CheckAuthorization(self, subject, action_id, details, flags, cancellation_id, ok_cb, err_cb):
    self.calls += 1
    kind, subject_details = subject
    name = subject_details.get('name', subject_details.get('pid', ''))
    self.checks.append('%s %s %s %d' % (kind, name, action_id, flags))
    self.details = '\n'.join('%s=%s' % (k, details[k]) for k in sorted(details))
    if action_id not in self.actions:
        err_cb(dbus.exceptions.DBusException('Action %s is not registered' % action_id,
                                             name=ERROR_FAILED))
        return
    answer = self.answers.pop(0) if self.answers else 'allow'
    none = dbus.Dictionary({}, signature='ss')
    if answer == 'allow':
        ok_cb((True, False, none))
    elif answer == 'dismiss':
        ok_cb((False, False, dbus.Dictionary({'polkit.dismissed': 'true'}, signature='ss')))
    elif answer == 'refuse':
        ok_cb((False, False, none))
    elif answer == 'noagent':
        ok_cb((False, True, none))
    elif answer == 'hang':
        self.hanging[cancellation_id] = err_cb
    else:
        err_cb(dbus.exceptions.DBusException('bad scripted answer ' + answer, name=ERROR_FAILED))


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='')
def CancelCheckAuthorization(self, cancellation_id):
    self.cancels += 1
    err_cb = self.hanging.pop(cancellation_id, None)
    if err_cb is not None:
        err_cb(dbus.exceptions.DBusException('Authorization request was cancelled',
                                             name=ERROR_CANCELLED))


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetActions(self, actions):
    self.actions = _split(actions)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def ScriptAnswers(self, answers):
    self.answers = _split(answers)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def CheckCount(self):
    return dbus.UInt32(len(self.checks))


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def CancelCount(self):
    return dbus.UInt32(self.cancels)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def CallCount(self):
    return dbus.UInt32(self.calls)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='s')
def LastDetails(self):
    return getattr(self, 'details', '')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='s')
def LastCheck(self):
    return self.checks[-1] if self.checks else ''
