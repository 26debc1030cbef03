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
