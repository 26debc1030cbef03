# Sourced by the bench scripts: sets peers_dir to the shared peer harness (PEERS_DIR, else
# shared/bench/peers next to the main checkout; a worktree sits one level deeper), or "" when
# there is none. Needs `root`, the checkout's top folder.
peers_dir=${PEERS_DIR:-}
if [[ -z $peers_dir ]]; then
    for candidate in "$root/../shared/bench/peers" "$root/../../shared/bench/peers"; do
        if [[ -x $candidate/peers.sh && -x $candidate/serve.sh ]]; then
            peers_dir=$(cd "$candidate" && pwd)
            break
        fi
    done
fi

# The file system a folder is on, for the results: its type and device, and for ext4 whether it
# has a journal (without one, ext4 skips recently freed inodes while allocating, which makes file
# creation after a mass removal much slower and moves every cold row).
fs_of() {
    local source type journal=""
    read -r source type < <(df --output=source,fstype "$1" | tail -1)
    if [[ $type == ext4 ]]; then
        if [[ -e /proc/fs/jbd2/$(basename "$source")-8 ]]; then journal=", journal"; else journal=", no journal"; fi
    fi
    echo "$type on $source$journal"
}
