#!/usr/bin/env bash
# The Brisvander Enclave Service end to end under Wine, in a few minutes on
# a fresh Debian machine (run as root to let it install what is missing):
# builds the Windows programs (MinGW-w64 cross build, preset "windows"),
# makes a Wine prefix of its own (build/demo-prefix), installs the service,
# stores the isolation account's password, starts the service under Wine's
# Service Control Manager, has the signed reference client ask twice for the
# sample enclave (and an unsigned copy once, which is refused), shows what
# each enclave received, then stops and removes the service and lists the
# events the service reported. Every Wine process of the demo prefix is ended
# on the way out.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
started=$SECONDS

bv_root=$root
source "$root/scripts/lib.sh"

# --- Packages ----------------------------------------------------------------
step "Checking the packages the build needs"
bv_install_missing_packages 2>&1 | indent
say "done"

# --- Build ---------------------------------------------------------------------
step "Building the Windows programs (preset windows, build/windows)"
build=$root/build/windows
mkdir -p "$root/build"
build_log=$root/build/demo-build.log
build_started=$SECONDS
if ! { cmake --preset windows &&
  cmake --build --preset windows --target brisvander-svc-testlogon companion-app signed-companion-app vault-enclave; } \
  >"$build_log" 2>&1; then
  tail -n 40 "$build_log" >&2
  echo "demo.sh: the build failed (the whole log: build/demo-build.log)" >&2
  exit 1
fi
say "brisvander-svc-testlogon.exe, companion-app.exe (and its test-signed copy), vault-enclave.exe: $((SECONDS - build_started)) s"
service_exe=$build/brisvander-svc-testlogon.exe
client_exe=$build/signed/companion-app.exe
enclave_exe=$build/vault-enclave.exe

# --- Wine prefix -----------------------------------------------------------------
trap bv_end_wine EXIT
trap 'exit 130' INT TERM

step "Making a fresh Wine prefix (build/demo-prefix)"
bv_fresh_wine_prefix "$root/build/demo-prefix"
say "ready"

step "Keeping one ordinary process alive in the prefix while the service runs"
events_log=$root/build/demo-events.log
bv_keep_services_alive "$root/build/demo-keepalive" "$events_log"
say "cmd.exe waits for a line on a pipe that the demo closes at the end."
say "It is the prefix's first program: Wine has no event log, its ReportEventW prints each event on"
say "a debug channel, and the service's debug output goes to this console's standard error,"
say "build/demo-events.log, from which the demo shows the service's events at the end."

# --- The service -------------------------------------------------------------------
step "Installing the service"
say "Wine's LogonUserW is a stub, so the demo installs the test build brisvander-svc-testlogon.exe, which logs on with a copy of its own token."
say "\$ brisvander-svc-testlogon.exe --install"
wine "$service_exe" --install | indent

step "Storing the isolation account's password"
say "Wine has no PowerShell, so --setup-m5 cannot run here. On Windows it runs a provisioning script that"
say "  creates the local account BrisvanderUser, or gives it a new password (20 random hex digits and a fixed suffix),"
say "  protects HKLM\\SOFTWARE\\Brisvander (SYSTEM and Administrators only, nothing inherited),"
say "  stores the password there as the REG_SZ value SvcUserPwd and starts the service."
say "  Its console lines (the first or the second, as the account is new or not), then the executable's own:"
say "    Created BrisvanderUser   (or: Reset BrisvanderUser password)"
say "    Registry key written and protected"
say "    M5 setup complete"
say "    [BrisvanderSvc] M5 setup complete."
say "Here a random password goes into the registry directly:"
say "\$ wine reg add HKLM\\SOFTWARE\\Brisvander /v SvcUserPwd /t REG_SZ /d <24 characters> /f"
password=$(bv_random_password)
wine reg add 'HKLM\SOFTWARE\Brisvander' /v SvcUserPwd /t REG_SZ /d "$password" /f | indent
unset password

step "Copying the sample enclave to C:\\Program Files\\Brisvander Demo\\"
enclave_dir="$WINEPREFIX/drive_c/Program Files/Brisvander Demo"
mkdir -p "$enclave_dir"
cp "$enclave_exe" "$enclave_dir/vault-enclave.exe"
enclave_path='C:\Program Files\Brisvander Demo\vault-enclave.exe'
say "$enclave_path"

step "Starting the service"
say "\$ wine net start BrisvanderEnclaveSvc"
wine net start BrisvanderEnclaveSvc | indent

# --- Two requests -------------------------------------------------------------------
# The report that the enclave with process id $1 wrote beside itself, once
# it holds the key $2.
report_of() {
  local pid=$1 key=$2 file
  for _ in $(seq 200); do
    file=$(grep -l "^pid=$pid\$" "$enclave_dir"/bv-enclave-*.txt 2>/dev/null | head -n 1 || true)
    if [ -n "$file" ] && grep -q "^$key=" "$file"; then
      echo "$file"
      return 0
    fi
    sleep 0.05
  done
  echo "demo.sh: enclave $pid wrote no report with $key=" >&2
  return 1
}
value_of() { sed -n "s/^$2=//p" "$1"; }
# Hex digits (standard input) back to text: a line feed is shown as \n and
# any other byte outside printable ASCII as \xHH.
hex_text() {
  local hex byte out=""
  hex=$(cat)
  for ((i = 0; i < ${#hex}; i += 2)); do
    byte=${hex:i:2}
    case $byte in
      0a) out+='\n' ;;
      2[0-9a-f] | [3-6][0-9a-f] | 7[0-9a-e]) out+=$(printf "\\x$byte") ;;
      *) out+="\\x$byte" ;;
    esac
  done
  printf '%s' "$out"
}

show_enclave() {
  local report=$1
  say "the enclave (process $(value_of "$report" pid)) received:"
  say "  command line:   $(value_of "$report" command_line)"
  say "  standard input: $(value_of "$report" stdin_hex | hex_text)"
  say "  hand-over file: $(value_of "$report" ipc_secret_file)"
  say "    content:      $(value_of "$report" secret_file_hex | hex_text)"
  say "  and now waits on its shutdown event (shutdown=$(value_of "$report" shutdown))"
}

request() {
  say "\$ companion-app.exe --enclave \"$enclave_path\"   (the test-signed copy)"
  reply=$(wine "$client_exe" --enclave "$enclave_path" | tr -d '\r') || true
  say "reply: $reply"
  case "$reply" in
    "OK "*) enclave_pid=${reply#OK } ;;
    *)
      echo "demo.sh: the service did not start the enclave" >&2
      exit 1
      ;;
  esac
}

step "First request: the signed companion application asks for an enclave"
request
first_pid=$enclave_pid
show_enclave "$(report_of "$first_pid" shutdown)"

step "A request from the reference client without its signature"
say "\$ companion-app.exe --enclave \"$enclave_path\"   (the unsigned build)"
refused=$(wine "$build/companion-app.exe" --enclave "$enclave_path" | tr -d '\r') || true
say "reply: $refused"
say "(the service refuses it before it reads anything else; the first enclave keeps running)"

step "Second request: the service stops the first enclave, then starts a new one"
request
second_pid=$enclave_pid
first_report=$(report_of "$first_pid" ended)
say "the first enclave (process $first_pid) left on its own once its shutdown event was set (ended=$(value_of "$first_report" ended))"
first_file=$(winepath -u "$(value_of "$first_report" ipc_secret_file)" 2>/dev/null)
if [ -e "$first_file" ]; then
  say "its hand-over file is still there"
else
  say "its hand-over file was deleted once it had ended"
fi
show_enclave "$(report_of "$second_pid" shutdown)"

# --- Stop and remove -----------------------------------------------------------------
step "Stopping the service"
say "\$ wine net stop BrisvanderEnclaveSvc"
wine net stop BrisvanderEnclaveSvc | indent
say "(the enclave started last keeps running after the service has stopped)"

step "Uninstalling the service"
say "\$ brisvander-svc-testlogon.exe --uninstall"
wine "$service_exe" --uninstall | indent

# --- The events ----------------------------------------------------------------------
# Each event as Wine printed it: a "fixme:advapi:ReportEventW (source,type,
# category,id,sid,count,...)" line and then one line per insert string, in
# Wine's quoted form (L"...", with \\, \", \n and \XXXX escapes), each
# line after the writing thread's id. Printed here with the message of its ID
# from the message table's source, the inserts in place of %1, %2, ...
#
# The messages: "code<TAB>text" for every message of the .mc file.
mc_messages() {
  awk '
    /^MessageId=/ { id = substr($0, 11); next }
    /^Language=/ { collecting = 1; text = ""; next }
    collecting && $0 == "." { collecting = 0; print id "\t" text; next }
    collecting { text = text $0 }
  ' "$root/src/common/event_messages.mc"
}
# The events: "type<TAB>code<TAB>insert<TAB>insert...", each insert turned
# into printf %b form (backslashes doubled, \uXXXX for the rest).
channel_events() {
  tr -d '\r' <"$events_log" | awk '
    function decode(s,    out, i, c, n) {
      out = ""
      for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c != "\\") { out = out c; continue }
        n = substr(s, i + 1, 1)
        if (n == "\\") { out = out "\\\\"; i++ }
        else if (n == "\"") { out = out "\""; i++ }
        else if (n == "n" || n == "r" || n == "t") { out = out " "; i++ }
        else { out = out "\\u" substr(s, i + 1, 4); i += 4 }
      }
      return out
    }
    function hex(s,    value, i) {
      value = 0
      for (i = 3; i <= length(s); i++) value = value * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
      return value
    }
    function flush() { if (line != "") print line; line = ""; left = 0 }
    index($0, ":fixme:advapi:ReportEventW (") {
      flush()
      split(substr($0, index($0, "(") + 1), f, ",")
      thread = substr($0, 1, index($0, ":") - 1)
      type = hex(f[2]); left = hex(f[6])
      # The code is the low 16 bits of the ID, as Event Viewer shows it.
      line = (type == 1 ? "Error" : type == 2 ? "Warning" : "Information") "\t" hex("0x" substr(f[4], length(f[4]) - 3))
      if (left == 0) flush()
      next
    }
    left > 0 && index($0, ":eventlog:ReportEventW L\"") && substr($0, 1, index($0, ":") - 1) == thread {
      s = substr($0, index($0, "L\"") + 2)
      sub(/"(\.\.\.)?$/, "", s)
      line = line "\t" decode(s)
      if (--left == 0) flush()
    }
    END { flush() }
  '
}

step "The events the service reported, as Event Viewer's Application log would list them"
say "(source BrisvanderEnclaveSvc; Wine printed each on its debug channel, build/demo-events.log)"
declare -A message_of
while IFS=$'\t' read -r code text; do message_of[$code]=$text; done < <(mc_messages)
event_count=0
while IFS=$'\t' read -r -a fields; do
  type=${fields[0]} code=${fields[1]}
  text=${message_of[$code]:-"(no message $code in the table)"}
  text=${text//%0/}
  for ((i = 9; i >= 1; i--)); do
    insert=$(printf '%b' "${fields[i + 1]:-}")
    text=${text//%$i/"$insert"}
  done
  text=${text//%n/$'\n'                   }
  printf '    %-11s %4s  %s\n' "$type" "$code" "$text"
  event_count=$((event_count + 1))
done < <(channel_events)
if [ "$event_count" -eq 0 ]; then
  say "none were printed: see build/demo-events.log"
fi

step "Ending every Wine process of the demo prefix"
bv_end_wine
say "done"

printf '\nDemo finished in %d s.\n' "$((SECONDS - started))"
