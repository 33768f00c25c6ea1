#!/usr/bin/env bash
# The Wine prefix of one test run (the CTest fixture wine_prefix).
#   wine-prefix.sh create   make the prefix afresh and wait until Wine has
#                           finished setting it up
#   wine-prefix.sh kill     end every process of the prefix
# The prefix is chosen as in wine-run.sh. Only a prefix that this script
# made (it carries a marker file) is ever deleted: a WINEPREFIX of someone's
# own that did not come from here is used as it is.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES='mscoree=;mshtml='
export WINEPREFIX="${WINEPREFIX:-${BV_WINE_PREFIX:-$here/../build/windows/wine-prefix}}"
marker="$WINEPREFIX/.brisvander-test-prefix"

case "${1:-}" in
  create)
    started=$SECONDS
    made_here=1
    if [ -d "$WINEPREFIX" ]; then
      wineserver -k 2>/dev/null || true
      if [ -e "$marker" ]; then
        rm -rf "$WINEPREFIX"
      else
        made_here=0
        echo "wine-prefix: using the existing prefix $WINEPREFIX as it is"
      fi
    fi
    # wineboot chatters about the new configuration; its words matter only
    # when it fails.
    if ! log=$(wineboot -i 2>&1); then
      echo "$log" >&2
      echo "wine-prefix: wineboot -i failed" >&2
      exit 1
    fi
    wineserver -w
    if [ ! -e "$WINEPREFIX/system.reg" ]; then
      echo "wine-prefix: wineboot made no prefix in $WINEPREFIX" >&2
      exit 1
    fi
    if [ "$made_here" = 1 ]; then
      touch "$marker"
    fi
    echo "wine-prefix: $WINEPREFIX ready in $((SECONDS - started)) s"
    ;;
  kill)
    if [ -d "$WINEPREFIX" ]; then
      wineserver -k 2>/dev/null || true
    fi
    ;;
  *)
    echo "usage: $0 create|kill" >&2
    exit 2
    ;;
esac
