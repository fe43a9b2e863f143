# bash completion for zelkor: its options, the values of those that take a
# fixed set, and file names where a file is asked for.

_zelkor() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_CWORD:+${COMP_WORDS[COMP_CWORD-1]}}

  case ${COMP_WORDS[1]} in
    report)
      case $prev in
        --html | --json | --csv) COMPREPLY=($(compgen -f -- "$cur")); return ;;
      esac
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--html --json --csv --help' -- "$cur"))
      else
        COMPREPLY=($(compgen -f -X '!*.json' -- "$cur") $(compgen -d -- "$cur"))
      fi
      return ;;
    compare)
      if [[ $prev == --json ]]; then
        COMPREPLY=($(compgen -f -- "$cur")); return
      fi
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--json --help' -- "$cur"))
      else
        COMPREPLY=($(compgen -f -X '!*.json' -- "$cur") $(compgen -d -- "$cur"))
      fi
      return ;;
  esac

  case $prev in
    --authority) COMPREPLY=($(compgen -W 'failed all off' -- "$cur")); return ;;
    -t | --type)
      COMPREPLY=($(compgen -W 'A NS CNAME SOA PTR MX TXT AAAA SRV NAPTR DS DNSKEY SVCB HTTPS CAA ANY' -- "${cur^^}"))
      return ;;
    --log | --json | --csv | --html | --metrics | --ca-file | --root-hints)
      COMPREPLY=($(compgen -f -- "$cur")); return ;;
    -s | --server | --rounds | --site | -c | --concurrency | --timeout | \
      --attempts | --rate | --connections | --authority-max | \
      --authority-rate | --hold | --min-rate)
      return ;; # a value of the user's own
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '--server --rounds --site --one-at-a-time
      --concurrency --timeout --attempts --rate --connections --ca-file
      --insecure --doh-get --type --authority --authority-max
      --authority-rate --root-hints --hold --classic --log --no-log --json
      --csv --html --metrics --min-rate --quiet --help --version -s -c -t
      -q -h' -- "$cur"))
  elif [[ $COMP_CWORD == 1 ]]; then
    COMPREPLY=($(compgen -W 'report compare' -- "$cur") $(compgen -f -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -F _zelkor -o filenames zelkor
