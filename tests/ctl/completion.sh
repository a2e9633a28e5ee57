#!/bin/bash
# The bash completion of quorvexctl: what TAB offers after a given line, in plain bash with
# "=" among the word breaks, as in an interactive shell. Usage: completion.sh FILE
set -u
source "$1" || exit 1
cd "$(mktemp -d)" && touch a.log b.log jobs.csv || exit 1
trap 'rm -rf "$PWD"' EXIT

failures=0
# expect LINE WORDS...: TAB at the end of LINE offers exactly WORDS (in any order).
expect()
{
    local line=$1
    shift
    COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
    _quorvexctl
    local -A offered=()
    local word same=1
    for word in "${COMPREPLY[@]}"; do
        offered[$word]=1
    done
    ((${#offered[@]} == $# && ${#COMPREPLY[@]} == $#)) || same=
    for word in "$@"; do
        [[ -n ${offered[$word]-} ]] || same=
    done
    if [[ -z $same ]]; then
        echo "FAIL: '$line' offers '${COMPREPLY[*]}', not '$*'"
        failures=$((failures + 1))
    fi
}

properties="address sn baud parity screen decimals display-time"
globals="--port --baud --parity --type --address --format --timeout --connect-timeout --log --rs485
    --mqtt --mqtt-ca --mqtt-client-id --mqtt-spool --mqtt-queue --mqtt-drain-timeout --ha-discovery --store"

expect "quorvexctl " read-meter read set clear-zero commission watch scan job history
expect "quorvexctl --port /dev/x " read-meter read set clear-zero commission watch scan job history
expect "quorvexctl --po" --port
expect "quorvexctl -" $globals --help --version
expect "quorvexctl scan --" $globals --all --turnaround --sweep --from --to
expect "quorvexctl watch --c" --connect-timeout --count
expect "quorvexctl --baud " 1200 2400 4800 9600
expect "quorvexctl --baud=9" 9600
expect "quorvexctl --parity o" odd
expect "quorvexctl --type " single three
expect "quorvexctl --format=" text csv json
expect "quorvexctl read-meter --decimals " 1 2
expect "quorvexctl --timeout "
expect "quorvexctl --port COM1" COM1 COM10
expect "quorvexctl --port /dev/nul" /dev/null
expect "quorvexctl --port r" rtu+tcp:// rfc2217://
expect "quorvexctl --port=t" tcp://
expect "quorvexctl --connect-timeout "
expect "quorvexctl --log " - a.log b.log jobs.csv
expect "quorvexctl --log=a" a.log
expect "quorvexctl --mqtt " mqtt:// mqtts://
expect "quorvexctl --mqtt=mqtts" mqtts://
expect "quorvexctl --mqtt mqtt://h/p " read-meter read set clear-zero commission watch scan job history
expect "quorvexctl --mqtt-ca a" a.log
expect "quorvexctl --mqtt-spool=b" b.log
expect "quorvexctl --mqtt-queue "
expect "quorvexctl --ha" --ha-discovery
expect "quorvexctl read " $properties
expect "quorvexctl --type three read " $properties ct password
expect "quorvexctl --type=three set c" ct
expect "quorvexctl read address "
expect "quorvexctl set parity " none odd even
expect "quorvexctl set screen 1" 10 11 12 13 14
expect "quorvexctl --type three set ct 19" 190
expect "quorvexctl clear-zero " --yes
expect "quorvexctl clear-zero --yes "
expect "quorvexctl commission " address= sn= baud= parity= screen= decimals= display-time=
expect "quorvexctl commission baud=2400 sn=1 s" screen=
expect "quorvexctl commission baud=" 1200 2400 4800 9600
expect "quorvexctl commission display-time=" 1 2 3 4 5
expect "quorvexctl commission parity=e" even
expect "quorvexctl job j" jobs.csv
expect "quorvexctl job " - a.log b.log jobs.csv
expect "quorvexctl job jobs.csv "
expect "quorvexctl job jobs.csv --r" --resume --rs485
expect "quorvexctl job --p" --parity
expect "quorvexctl history --" $globals --sn --job --since --until --command --failed --report
expect "quorvexctl history --command read-" read-meter
expect "quorvexctl --store a" a.log
expect "quorvexctl --store p" postgresql://
expect "quorvexctl history --sn "

# Without "=" among the word breaks the word being completed holds the key as well.
COMP_WORDBREAKS=${COMP_WORDBREAKS//=/}
expect "quorvexctl --baud=9" --baud=9600
expect "quorvexctl commission parity=e" parity=even

exit $((failures > 0))
