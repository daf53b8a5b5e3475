#!/bin/sh
# Shows the folder given as the only argument in the desktop's file browser.
set -u
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: reveal-folder.sh FOLDER" >&2
  exit 64
fi
if ! command -v xdg-open >/dev/null 2>&1; then
  echo "reveal-folder.sh: xdg-open is not installed" >&2
  exit 69
fi
# Some file browsers keep xdg-open waiting; the caller reads our output to its
# end, so the browser gets none of our descriptors and we do not wait for it.
nohup xdg-open "$1" </dev/null >/dev/null 2>&1 &
exit 0
