# bash completion for tabulix                                   -*- shell-script -*-
# Installed as share/bash-completion/completions/tabulix; or source it from ~/.bashrc.

_tabulix() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null 2>&1; then
    _init_completion || return
  else
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi

  local command="" i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
      recover | inspect | preview)
        command="${words[i]}"
        break
        ;;
    esac
  done

  if [[ -z "$command" ]]; then
    COMPREPLY=($(compgen -W "recover inspect preview --help --version" -- "$cur"))
    return
  fi

  case "$prev" in
    --format)
      COMPREPLY=($(compgen -W "xls xlsx csv" -- "$cur"))
      return
      ;;
    --out-dir | --log-dir | --dump-dir)
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
    -o | --output)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    -j | --jobs | --rows | --cols | --width | -s | --sheet)
      return
      ;;
  esac

  local options
  case "$command" in
    recover)
      options="-o --output --out-dir -r --recursive -j --jobs -f --force --format --json
               --log-dir --dump-dir -q --quiet -v --verbose --help"
      ;;
    inspect)
      options="-r --recursive -j --jobs --json --log-dir --dump-dir -q --quiet -v --verbose --help"
      ;;
    preview)
      options="-s --sheet --rows --cols --width --log-dir --help"
      ;;
  esac
  if [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  # Inputs: .xls files and folders to walk into.
  local IFS=$'\n'
  COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X '!*.@(xls|XLS|Xls)' -- "$cur"))
  compopt -o filenames 2>/dev/null
}

complete -F _tabulix tabulix
