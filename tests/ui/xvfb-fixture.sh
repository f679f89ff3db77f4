#!/bin/sh
# The X server of the window tests: "start FILE" runs Xvfb on a display it picks itself
# (-displayfd) and writes ":N" to FILE (its process id to FILE.pid); "stop FILE" ends it.
set -eu
file=$2
case $1 in
start)
  rm -f "$file" "$file.pid" "$file.number"
  # Its own session and no descriptor of CTest's, so that CTest does not wait for it.
  setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 -noreset 3>"$file.number" \
    </dev/null >"$file.log" 2>&1 &
  echo $! >"$file.pid"
  i=0
  while [ $i -lt 100 ]; do
    if [ -s "$file.number" ] && grep -q . "$file.number"; then
      echo ":$(head -n1 "$file.number")" >"$file"
      exit 0
    fi
    sleep 0.1
    i=$((i + 1))
  done
  echo "Xvfb did not start:" >&2
  cat "$file.log" >&2
  exit 1
  ;;
stop)
  if [ -s "$file.pid" ]; then
    kill "$(cat "$file.pid")" 2>/dev/null || true
  fi
  rm -f "$file" "$file.pid" "$file.number"
  ;;
esac
