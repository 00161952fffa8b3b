# bash completion for mqttctl: verbs, keys, flags and (while the daemon
# runs) broker names. Source it, or copy it to /etc/bash_completion.d/.
# Names with spaces do not complete.
_mqttctl_brokers() {
  mqttctl broker list --names 2>/dev/null
}

_mqttctl() {
  local cur=${COMP_WORDS[COMP_CWORD]} words=() i w candidates=""
  # The words typed so far, without options and their values.
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    case $w in
      --timeout|--root|--json-in|-q|--qos|-f|--file|--topic|--interval|-C|--count|-W|\
      --time-limit|--script|--script-file) ((i++)) ;;
      -*) ;;
      *) words+=("$w") ;;
    esac
  done
  local n=${#words[@]}
  case "${words[0]}" in
    "")
      candidates="broker subscription received ca cert connect disconnect publish subscribe
        unsubscribe clear send list get set add remove count help
        --json --timeout --root --json-in --help" ;;
    broker)
      case "$n ${words[1]}" in
        1*) candidates="add list show set remove" ;;
        "2 show"|"2 set"|"2 remove") candidates=$(_mqttctl_brokers) ;;
        *" add"|*" set")
          candidates="address= port= ssl= auto-connect= keep-alive= script-limit=
            client-id= user= password= certificate= will-topic= will-message= will-qos=
            will-retain="
          [ "${words[1]}" = set ] && candidates="$candidates name=" ;;
        *" list") candidates="--names" ;;
      esac ;;
    subscription)
      case "$n ${words[1]}" in
        1*) candidates="add list remove" ;;
        "2 "*) candidates=$(_mqttctl_brokers) ;;
        *" add") [ "$n" -ge 4 ] && candidates="qos= script=" ;;
      esac ;;
    received)
      case "$n ${words[1]}" in
        1*) candidates="list count clear watch" ;;
        "2 list") candidates="$(_mqttctl_brokers) --topic" ;;
        "2 watch") candidates="$(_mqttctl_brokers) --topic --interval -C -W --payload-only" ;;
        *) candidates="--topic --interval -C -W --payload-only" ;;
      esac ;;
    ca|cert)
      case "$n ${words[1]}" in
        1*) candidates="add list show rename remove" ;;
        "2 add") ;;  # a new NAME
        *" add") candidates=$(compgen -f -- "$cur") ;;  # the PEM files
        *" remove") [ "${words[0]}" = cert ] && candidates="--force" ;;
      esac ;;
    publish)
      [ "$n" -eq 1 ] && candidates=$(_mqttctl_brokers)
      candidates="$candidates -q --qos -r --retain -f --file -l --lines -o --outbox --no-connect
        --disconnect-after" ;;
    subscribe)
      [ "$n" -eq 1 ] && candidates=$(_mqttctl_brokers)
      candidates="$candidates -q --qos --script --script-file --no-connect" ;;
    connect|disconnect|unsubscribe)
      [ "$n" -eq 1 ] && candidates=$(_mqttctl_brokers) ;;
  esac
  COMPREPLY=($(compgen -W "$candidates" -- "$cur"))
  [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
  return 0
}

complete -F _mqttctl mqttctl
