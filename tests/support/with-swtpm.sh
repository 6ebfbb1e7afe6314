#!/bin/bash
# Runs a command with a private swtpm behind TARN_WEMB_TCTI, and stops it afterwards.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/swtpm.sh"
state=$(mktemp -d)
trap 'swtpm_stop; rm -rf "$state"' EXIT
swtpm_start "$state" || exit 1
"$@"
