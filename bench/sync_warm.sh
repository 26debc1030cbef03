#!/usr/bin/env bash
# Times a warm resource-sync run (every file present, policy ifMissing: nothing to fetch) against
# a plain stat loop over the same files, and a run that stops right after reading the manifest.
#   bench/sync_warm.sh [FILES] [BUNDLES] [RUNS]     (default 2000 files in 1 bundle, 5 runs)
# Needs a build: scripts/build.sh normal. The files are made in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."

files="${1:-2000}"
bundles="${2:-1}"
runs="${3:-5}"
program="build/normal/tools/resource-sync/resource-sync"
[ -x "$program" ] || { echo "build first: scripts/build.sh normal" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
per_folder=100
folders=$(((files + per_folder - 1) / per_folder))

# The tree: FILES one-byte files, 100 per folder.
for ((d = 0; d < folders; d++)); do
    mkdir -p "$work/site/d$d"
    (cd "$work/site/d$d" && seq -f "f%g" 0 $((per_folder - 1)) | head -n $((files - d * per_folder)) |
        xargs touch)
done
(cd "$work/site" && find . -type f | sed 's|^\./||' | sort) >"$work/list"

# The manifest in the short form (paths alone), spread over BUNDLES bundles; and a copy that
# repeats the first path at the very end, which the program refuses after checking all of it.
awk -v bundles="$bundles" -v total="$files" '
    BEGIN { printf "{\"baseUrl\": \"http://127.0.0.1:9/\", \"policy\": \"ifMissing\", \"bundles\": [" }
    {
        b = int((NR - 1) * bundles / total)
        if (b != open) { if (NR > 1) printf "]}, "; printf "{\"name\": \"b%d\", \"files\": [", b; open = b }
        else if (NR > 1) printf ", "
        printf "\"%s\"", $0
    }
    END { printf "]}]}\n" }' open=-1 "$work/list" >"$work/m.json"
sed 's|"\]}\]}$|", "d0/f0"]}]}|' "$work/m.json" >"$work/dup.json"

seconds() { # the median wall time of RUNS runs of the command
    local times=()
    for ((i = 0; i < runs; i++)); do
        local start end
        start=$(date +%s.%N)
        "$@" >/dev/null 2>&1 || true
        end=$(date +%s.%N)
        times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')")
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

cd "$work/site"
stat_loop=$(seconds xargs -a "$work/list" stat --printf '')
read_only=$(seconds "$OLDPWD/$program" sync "$work/dup.json" --dir . --quiet)
warm=$(seconds "$OLDPWD/$program" sync "$work/m.json" --dir . --from-dir . --quiet)
printf 'files %d in %d bundle(s), median of %d\n' "$files" "$bundles" "$runs"
printf '  stat loop                 %8.3f s\n' "$stat_loop"
printf '  resource-sync, read only  %8.3f s   (start, read and check the manifest)\n' "$read_only"
printf '  resource-sync, warm       %8.3f s   (%.2f x the stat loop)\n' "$warm" \
    "$(awk -v a="$warm" -v b="$stat_loop" 'BEGIN { print a / b }')"
