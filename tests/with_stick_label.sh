#!/usr/bin/env bash
# Runs a test program in a fresh sandbox whose stick (E:) carries a volume
# label. Wine reads a folder drive's label from ".windows-label" in its root
# when the sandbox's Wine starts, so the file is written before anything runs.
#   with_stick_label.sh TEMPLATE LABEL EXE [ARGS...]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
sandbox="$here/../scripts/sandbox.sh"
template="$1" label="$2"
shift 2
mkdir -p "$(dirname "$template")"
copy="$(mktemp -d "$(dirname "$template")/label.XXXXXX")"
cleanup() { "$sandbox" stop "$copy" >/dev/null 2>&1 || true; rm -rf "$copy"; }
trap cleanup EXIT
"$sandbox" new "$template" "$copy"
printf '%s\n' "$label" > "$copy/stick/.windows-label"
"$sandbox" exec "$copy" "$@"
