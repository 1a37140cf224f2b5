#!/usr/bin/env bash
# Prints, one a line, the arguments that make mmdebstrap fetch as this machine's
# apt does: --aptopt for each apt setting file with Acquire options (proxies,
# index choices), then each package source file.
set -euo pipefail
for file in /etc/apt/apt.conf.d/*; do
    grep -qs '^[[:space:]]*Acquire' "$file" && echo "--aptopt=$file"
done
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$file" ] && echo "$file"
done
exit 0
