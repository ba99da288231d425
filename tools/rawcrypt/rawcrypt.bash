# Bash completion for rawcrypt. It asks the tool being completed for its
# help at each completion (`rawcrypt --help` for the commands,
# `rawcrypt COMMAND --help` for the words after them), so that what the tool
# takes is all it offers: commands, their words (base64 encode, convert
# key-to-pem), options, the values of an option written a|b|c in a usage
# line, and files where an option takes a FILE, PREFIX or MESSAGE. When the
# tool cannot be asked, bash completes as it would without this.
_rawcrypt() {
  local tool=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev= help usage value=
  # the tool as typed: quoted, or under ~
  if [[ $tool == [\'\"]*[\'\"] ]]; then
    tool=${tool:1:-1}
  elif [[ $tool == \~/* ]]; then
    tool=$HOME/${tool:2}
  fi
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  # --opt=value: bash splits it at the '='
  if [[ $cur == = ]]; then
    cur=
  elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  fi
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    help=$("$tool" --help 2>/dev/null) || return 0
    local words
    words=$(sed -n -e 's/^  \([a-z][a-z0-9-]*\) .*/\1/p' -e 's/^  \(-[^ ,]*\)\(, \(-[^ ]*\)\)\{0,1\} .*/\1 \3/p' <<<"$help")
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
    return 0
  fi
  help=$("$tool" "${COMP_WORDS[1]}" --help 2>/dev/null) || return 0
  # Usage lines alone (the notes and option lines are indented two): the
  # options and the values an option takes.
  usage=$(grep -v '^  [^ ]' <<<"$help")
  if [[ $prev == --* ]]; then
    value=$(grep -o -- "$prev [^] )]*" <<<"$usage" | head -n 1)
    value=${value#"$prev"}
    value=${value# }
  fi
  if [[ -n $value ]]; then
    # literal alternatives (hex|base64|raw) are offered, FILE-like names
    # complete files, other names (HEX, 64CHARS) are the user's to type
    local alternative literals=
    for alternative in ${value//|/ }; do
      if [[ $alternative =~ ^(FILE|PREFIX|MESSAGE)$ ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -f -- "$cur")
      elif [[ $alternative != *[A-Z]* ]]; then
        literals+=" $alternative"
      fi
    done
    mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -W "$literals" -- "$cur")
    return 0
  fi
  local actions=
  ((COMP_CWORD == 2)) && [[ $cur != -* ]] &&
    actions=$(sed -n "s/^\(usage: \)\{0,1\}rawcrypt ${COMP_WORDS[1]} \([a-z][a-z0-9-]*\).*/\2/p" <<<"$usage")
  if [[ -n $actions ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$actions" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -W "$(grep -o -- '--[a-z0-9][a-z0-9-]*' <<<"$usage" | sort -u)" -- "$cur")
  fi
  return 0
}
complete -o bashdefault -o default -F _rawcrypt rawcrypt
