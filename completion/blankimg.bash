# bash completion for blankimg: the options, the values of those that take
# one, and a file name for dest or IMAGE. Installed as
# share/bash-completion/completions/blankimg.

_blankimg() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local with_value=" --preallocation --size --floppy --blocksize --sector-size --output --label --partition --from-raw --to-raw --add --extract --volume "
  local options="--preallocation= --size= --floppy= --blocksize= --sector-size= --output="
  options+=" --fat --fat= --label= --partition= --from-raw= --to-raw="
  options+=" --add= --extract= --list --volume= --force"
  options+=" --dry-run --info --progress --no-clobber --sync --help --version --"

  # Options stand before dest; the first word without "--", or the one after
  # a lone "--", is dest, and the numbers after it complete to nothing.
  # bash splits "--size=1G" into "--size", "=" and "1G", as "=" breaks words.
  local i word operands=0 in_options=1
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((in_options)) && [[ $with_value == *" $word "* ]]; then
      [[ ${COMP_WORDS[i + 1]:-} == = ]] && ((i++))
      ((i++))
    elif ((in_options)) && [[ $word == -- ]]; then
      in_options=0
    elif ((in_options)) && [[ $word == --* ]]; then
      # A flag that also takes a value after "=", as --fat=16.
      [[ ${COMP_WORDS[i + 1]:-} == = ]] && ((i += 2))
    else
      in_options=0
      ((operands++))
    fi
  done

  # The option whose value is being completed, and the value so far.
  local option= value=$cur prefix=
  if [[ $cur == = ]]; then
    option=$prev value=
  elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
    option=${COMP_WORDS[COMP_CWORD - 2]}
  elif [[ $cur == --*=* ]]; then  # one word, where "=" breaks none
    option=${cur%%=*} value=${cur#*=} prefix=$option=
  elif [[ $with_value == *" $prev "* ]]; then
    option=$prev
  fi

  COMPREPLY=()
  if ((in_options)) && [[ -n $option ]]; then
    local values=
    case $option in
    --preallocation) values="off falloc full" ;;
    --floppy) values="160K 180K 320K 360K 720K 1.2M 1.44M 1.68M 2.88M" ;;
    --sector-size) values="512 1024 2048 4096" ;;
    --output) values="text json" ;;
    --fat) values="12 16 32" ;;
    --partition) values="mbr none" ;;
    --from-raw | --to-raw | --add)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -P "$prefix" -f -- "$value")
      return 0
      ;;
    --extract)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -P "$prefix" -d -- "$value")
      return 0
      ;;
    esac
    mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "$values" -- "$value")
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
