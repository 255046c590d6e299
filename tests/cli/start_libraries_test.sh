#!/bin/sh
# The shared libraries hushcoffer-cli maps for the commands that need no
# keyring, no key service and no window: the keyring's GLib stack and the
# D-Bus library (with the systemd library it brings) are loaded by the
# commands that use them, never at start, and the C++ runtime is linked in.
#   start_libraries_test.sh HUSHCOFFER_CLI [--shared-runtime]
# (--shared-runtime: a sanitizer build, whose C++ runtime stays shared)
set -u
cli=$1
runtime=${2:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/hc-cli-start-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
forbidden='libsecret-1|libglib-2\.0|libgio-2\.0|libgobject-2\.0|libdbus-1|libsystemd|libgcrypt'
[ "$runtime" = --shared-runtime ] || forbidden="$forbidden|libstdc\\+\\+"
failed=0
# What is mapped at start does not depend on the vaults: an empty support
# folder will do.
mkdir -p "$work/support"
for command in "--help" "status" "status --json" "lock $work/Files" "lock --help"; do
  # shellcheck disable=SC2086 # the command's words
  HC_SUPPORT_DIR="$work/support" LD_DEBUG=files LD_DEBUG_OUTPUT="$work/ld" "$cli" $command >/dev/null 2>&1
  loaded=$(cat "$work"/ld.* 2>/dev/null | sed -n 's/.*file=\([^ ]*\).*/\1/p' | sort -u)
  rm -f "$work"/ld.*
  if [ -z "$loaded" ]; then
    echo "FAIL: hushcoffer-cli $command: no loader trace (LD_DEBUG)"
    failed=1
    continue
  fi
  bad=$(printf '%s\n' "$loaded" | grep -E "$forbidden")
  if [ -n "$bad" ]; then
    echo "FAIL: hushcoffer-cli $command loads: $(echo $bad)"
    failed=1
  else
    echo "ok: hushcoffer-cli $command loads: $(echo $loaded)"
  fi
done
exit $failed
