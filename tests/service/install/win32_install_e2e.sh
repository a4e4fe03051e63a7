#!/usr/bin/env bash
# Installs tolvi-host.exe into the build's Wine prefix with "--install --quiet" and removes it
# again with "--uninstall --quiet" run from the installed copy: files, shortcut, registry
# entries and the service appear, then all of them go.
set -uo pipefail
run=$1 exe=$2 prefix=$3
source "$(dirname "$0")/../../support/e2e.sh"
e2e_show_on_fail "log" "$work/log"
folder="$prefix/drive_c/Program Files/Tolvi"
link="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tolvi Host.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TolviHost'
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
product_key='HKLM\Software\Teaspoon Forge\Tolvi Host'
policy_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\System'

query() { "$run" reg query "$@" 2>/dev/null | tr -d '\r'; }
has() { query "$1" /v "$2" | grep -qF -- "$3"; }
key_exists() { "$run" reg query "$1" >/dev/null 2>&1; }

"$run" "$exe" --install --quiet </dev/null >"$work/log" 2>&1
rc=$?
# 0 when the service started, 1 when it did not (a build without the service mode).
[[ $rc -eq 0 || $rc -eq 1 ]] || fail "install exited with $rc"
grep -qF 'installed service to C:\Program Files\Tolvi\tolvi-host.exe (started: ' "$work/log" ||
  fail "no install line"
[[ -f "$folder/tolvi-host.exe" ]] || fail "executable not copied"
[[ -f "$link" ]] || fail "no Start-menu shortcut"
has "$uninstall_key" QuietUninstallString '"C:\Program Files\Tolvi\tolvi-host.exe" --uninstall --quiet' ||
  fail "no uninstall entry"
has "$uninstall_key" EstimatedSize REG_DWORD || fail "no size in the uninstall entry"
has "$run_key" 'Tolvi Host' '"C:\Program Files\Tolvi\tolvi-host.exe"' || fail "no machine Run value"
has "$product_key" Installed 0x1 || fail "settings not moved to the machine"
has "$product_key" PrevSoftwareSASGeneration 0xffffffff || fail "previous policy not recorded"
has "$policy_key" SoftwareSASGeneration 0x1 || fail "policy not set"
"$run" sc query TolviHost 2>/dev/null | grep -q TolviHost || fail "service not registered"

"$run" "$folder/tolvi-host.exe" --uninstall --quiet </dev/null >"$work/log" 2>&1
rc=$?
[[ $rc -eq 0 ]] || fail "uninstall exited with $rc"
grep -qF 'uninstalled service' "$work/log" || fail "no uninstall line"
# The running uninstaller's file may go a few seconds after it exits.
for _ in $(seq 100); do [[ -e "$folder" ]] || break; sleep 0.1; done
[[ ! -e "$folder" ]] || fail "install folder left behind"
[[ ! -e "$link" ]] || fail "shortcut left behind"
key_exists "$uninstall_key" && fail "uninstall entry left behind"
key_exists "$product_key" && fail "machine settings left behind"
has "$run_key" 'Tolvi Host' tolvi && fail "machine Run value left behind"
has "$policy_key" SoftwareSASGeneration REG_DWORD && fail "policy not deleted"
"$run" sc query TolviHost 2>/dev/null | grep -q TolviHost && fail "service left behind"
echo "install and removal under Wine: ok"
