# bash completion for treeflood

_treeflood() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}

  # One offer a line, read as such, so that names with blanks stay whole.
  case $prev in
    -d | --dir | --against)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    --json | --csv | --compare | --stored)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    --fsync)
      mapfile -t COMPREPLY < <(compgen -W 'file phase none' -- "$cur")
      return
      ;;
    --order)
      mapfile -t COMPREPLY < <(compgen -W 'random sequential' -- "$cur")
      return
      ;;
    --data)
      mapfile -t COMPREPLY < <(compgen -W 'random zeros' -- "$cur")
      return
      ;;
    -f | --nbFiles | -t | --threads | -s | --filesize | --time-limit | -i | --iterations | --batch | --stall-timeout | --threshold | --label | --dirs | --seed)
      # A number or a name: nothing to offer.
      COMPREPLY=()
      return
      ;;
  esac

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '--against --batch --cleanup --compare --csv --data -d --dir --dirs -D --no-direct-io
      --dontDeleteFiles --drop-caches -f --nbFiles --fsync -h --help -i --iterations --json --label
      --no-progress --order -p --pause --read -s --seed --filesize --stall-timeout --stored --summary -t
      --threads --threshold --time-limit -V --version' -- "$cur")
  fi
}

complete -o filenames -F _treeflood treeflood
