# bash completion for blankimg: the options, the modes of --preallocation,
# and a file name for dest. Installed as
# share/bash-completion/completions/blankimg.

_blankimg() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local modes="off falloc full"
  local options="--preallocation= --progress --no-clobber --sync --help --version --"

  # Options stand before dest; the first word without "--", or the one after
  # a lone "--", is dest, and the numbers after it complete to nothing.
  local i word operands=0 in_options=1
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((in_options)) && [[ $word == --preallocation ]]; then
      ((i++))
    elif ((in_options)) && [[ $word == -- ]]; then
      in_options=0
    elif ((in_options)) && [[ $word == --* ]]; then
      :
    else
      in_options=0
      ((operands++))
    fi
  done

  COMPREPLY=()
  if ((in_options)) && [[ $prev == --preallocation ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$modes" -- "$cur")
  elif ((in_options)) && [[ $cur == --preallocation=* ]]; then
    mapfile -t COMPREPLY < <(compgen -P --preallocation= -W "$modes" -- "${cur#--preallocation=}")
  elif ((in_options)) && [[ $cur == --* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    [[ ${COMPREPLY[0]:-} == *= ]] && compopt -o nospace 2>/dev/null
  elif ((operands == 0)); then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
  return 0
}
complete -F _blankimg blankimg
