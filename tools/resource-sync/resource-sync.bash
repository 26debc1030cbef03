# bash completion for resource-sync, installed to share/bash-completion/completions/resource-sync.
# Keep its options in step with the program's own help (tests/Sync checks that both list the
# same options).

_resource_sync() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=""
    if ((COMP_CWORD > 0)); then
        prev=${COMP_WORDS[COMP_CWORD - 1]}
    fi
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "sync manifest help --help --version" -- "$cur")
        return
    fi

    local command=${COMP_WORDS[1]}
    local options
    case $command in
        sync)
            options="-d --dir -j --jobs --from-dir --rate --offline-marker --trace --watch
                --give-up --report -q --quiet --progress --no-wait --verify --delete --dry-run --netrc --netrc-file --cacert --no-fsync
                --public-key --signature -h --help"
            case $prev in
                -d | --dir | --from-dir)
                    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
                    return
                    ;;
                --report | --offline-marker | --netrc-file | --cacert | --public-key | --signature)
                    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                    return
                    ;;
                --progress)
                    mapfile -t COMPREPLY < <(compgen -W "bar lines json" -- "$cur")
                    return
                    ;;
                -j | --jobs | --rate | --watch | --give-up)
                    return
                    ;;
            esac
            ;;
        manifest)
            options="--base-url --policy --no-sha256 --paths-only -h --help"
            case $prev in
                --policy)
                    mapfile -t COMPREPLY < <(compgen -W "always ifMissing ifModified validate" \
                        -- "$cur")
                    return
                    ;;
                --base-url)
                    return
                    ;;
            esac
            ;;
        help)
            if ((COMP_CWORD == 2)); then
                mapfile -t COMPREPLY < <(compgen -W "sync manifest" -- "$cur")
            fi
            return
            ;;
        *)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    elif [[ $command == sync ]]; then
        # The manifest: a JSON file, a folder on the way to one, or "-" for standard input.
        mapfile -t COMPREPLY < <(compgen -f -X '!*.json' -- "$cur"; compgen -d -- "$cur")
        compopt -o filenames 2>/dev/null
    else
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        compopt -o filenames 2>/dev/null
    fi
}

complete -F _resource_sync resource-sync
