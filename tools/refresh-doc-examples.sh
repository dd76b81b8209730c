#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs each reference page's example (examples/docs/<class>.tovo) through tovo, keeps what it
# prints beside it as <class>.out, and writes both into the page's "## Example" section, which
# is the last section of every page. Review the diff: a changed output is a changed behaviour.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tovo=$(realpath "${TOVO:-build/bin/tovo}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for script in examples/docs/*.tovo; do
    name=$(basename "$script" .tovo)
    page=docs/$name.md
    out=examples/docs/$name.out
    # Files an example writes go to the scratch folder; some examples end with exit status 1.
    (cd "$scratch" && "$tovo" "$root/$script" > "$root/$out") || true
    # The page up to its Example section, or all of a new page that has none yet.
    keep=$(grep -n '^## Example$' "$page" | cut -d: -f1 || true)
    if [ -n "$keep" ]; then
        head -n "$((keep - 1))" "$page" > "$scratch/page"
    else
        cp "$page" "$scratch/page"
    fi
    {
        cat "$scratch/page"
        printf '## Example\n\n`%s`, run with `tovo %s`:\n\n```\n' "$script" "$script"
        cat "$script"
        printf '```\n\nIt prints:\n\n```\n'
        cat "$out"
        printf '```\n'
    } > "$page"
done
