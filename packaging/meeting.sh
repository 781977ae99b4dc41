#!/bin/sh
# SPDX-License-Identifier: MIT
# Meeting keeps its identity and the servers it trusts in its working folder: the user's own.
folder="${XDG_DATA_HOME:-$HOME/.local/share}/meeting-client"
mkdir -p "$folder" && cd "$folder" || exit 1
exec /usr/lib/meeting/Meeting "$@"
