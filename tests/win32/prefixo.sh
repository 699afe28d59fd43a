# Sourced: prepares the wine prefix of the build (beside the test program) once.
# usage: prepara_prefixo PROGRAM
prepara_prefixo() {
  export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$1")" && pwd)/wineprefix}
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # One prefix for all tests; mkdir is the lock when several tests start at once.
    if mkdir "$WINEPREFIX.lock" 2>/dev/null; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
      rmdir "$WINEPREFIX.lock"
    else
      while [ -d "$WINEPREFIX.lock" ]; do sleep 1; done
    fi
  fi
  # A wineserver that outlives the gaps between tests: the one a program starts leaves 3 s after
  # its last client, and a program that connects while it leaves dies with "recvmsg: Connection
  # reset by peer". When one is already running this one goes at once (status 2). The first
  # program of a server starts wine's own background processes, which inherit its outputs and
  # live as long as the server: a program with no outputs starts them, so that no test's output
  # stays open (ctest would wait for it) until the server leaves. Tests that start together take
  # turns here, so that none runs its program before that one; wine does not get the lock's
  # descriptor, or its processes would hold the lock as long as they live.
  (
    flock 9
    if wineserver -p60 >/dev/null 2>&1 </dev/null 9>&-; then
      wine cmd.exe /c exit >/dev/null 2>&1 </dev/null 9>&- || true
    fi
  ) 9>"$WINEPREFIX.servidor"
}
