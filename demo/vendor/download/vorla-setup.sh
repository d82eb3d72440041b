#!/bin/sh
# The demo installer: it shows that it ran and changes nothing on the system.
# It writes one file, in a folder of its own under the temporary folder.
folder=$(mktemp -d "${TMPDIR:-/tmp}/vorla-demo-installer.XXXXXX") || exit 1
echo "The Vorla demo installer ran at $(date '+%F %T') with $# argument(s); nothing was installed." > "$folder/ran.txt"
if [ -n "${DISPLAY:-}" ] && command -v xmessage >/dev/null 2>&1; then
  xmessage -center -timeout 10 "$(cat "$folder/ran.txt")" &
fi
exit 0
