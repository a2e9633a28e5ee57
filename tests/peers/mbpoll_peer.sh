#!/bin/sh
# An independent Modbus master, mbpoll (libmodbus), reads and writes the simulated meter, so
# that the simulator is checked against someone else's idea of Modbus RTU and not only
# against our own protocol code.
#
# Usage: mbpoll_peer.sh PATH-TO-quorvex-metersim
# Exit status 0 when every check passes, 1 when one fails, 77 when mbpoll is missing.

set -u

sim=${1:?usage: mbpoll_peer.sh PATH-TO-quorvex-metersim}

if ! command -v mbpoll >/dev/null 2>&1; then
    echo "SKIP: mbpoll is not installed (Debian package mbpoll)"
    exit 77
fi

work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
check() { # name expected actual
    if [ "$2" = "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: expected '$2', got '$3'"
        failures=$((failures + 1))
    fi
}

# mbpoll prints each value as "[reference]: <tab>value"; this keeps the values, one per line.
values() {
    sed -n 's/^\[[0-9]*\]:[[:space:]]*//p' | tr -d '\r'
}

joined() {
    values | tr '\n' ' ' | sed 's/ $//'
}

"$sim" --type both --address 1 --verbose >"$work/out" 2>"$work/log" &
pid=$!

i=0
while [ ! -s "$work/out" ] && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
line=$(head -n 1 "$work/out")
case $line in
"quorvex-metersim: single and three phase meter on /dev/pts/"*) ;;
*)
    echo "FAIL first line: '$line'"
    cat "$work/log"
    exit 1
    ;;
esac
pty=${line##* }
echo "meter on $pty"

poll() { # slave-address mbpoll-options...
    slave=$1
    shift
    mbpoll -m rtu -a "$slave" -b 9600 -P none -o 1 "$@" 2>&1
}

# Reads with function 0x04 (-t 3); mbpoll's references are 1-based: register r is -r r+1.
check "single-phase address register 0x18" "1" \
    "$(poll 1 -t 3 -r 25 -c 1 -1 "$pty" | joined)"
check "single-phase baud register 0x1D" "32" \
    "$(poll 1 -t 3 -r 30 -c 1 -1 "$pty" | joined)"
check "three-phase address block 0x2F-0x34" "1 6 5 2 4660 22136" \
    "$(poll 1 -t 3 -r 48 -c 6 -1 "$pty" | joined)"
check "three-phase voltages, 32-bit" "2300 2300 2300" \
    "$(poll 1 -t 3:int -B -r 9 -c 3 -1 "$pty" | joined)"
block=$(poll 1 -t 3:hex -r 1 -c 29 -1 "$pty" | values)
check "single-phase layout: 29 registers" "29" "$(echo "$block" | grep -c .)"
check "single-phase layout: voltage in BCD" "0x0000 0x2300" \
    "$(echo "$block" | sed -n '7,8p' | tr '\n' ' ' | sed 's/ $//')"
check "single-phase layout: decimal mode" "0x0002" "$(echo "$block" | sed -n '28p')"
check "parity register 0x50" "2" "$(poll 1 -t 3 -r 81 -c 1 -1 "$pty" | joined)"

# Writes: several values go out as function 0x10, one value as function 0x06.
out=$(poll 1 -t 4 -r 21 "$pty" 34661 17185)
check "write serial number (0x10)" "Written 2 references." \
    "$(echo "$out" | grep -o 'Written [0-9]* references.')"
check "serial number read back" "0x8765 0x4321" \
    "$(poll 1 -t 3:hex -r 21 -c 2 -1 "$pty" | joined)"
out=$(poll 1 -t 4 -r 26 "$pty" 3)
check "write display time (0x06)" "Written 1 references." \
    "$(echo "$out" | grep -o 'Written [0-9]* references.')"
check "display time read back" "3" "$(poll 1 -t 3 -r 26 -c 1 -1 "$pty" | joined)"
out=$(poll 1 -t 4 -r 200 "$pty" 3)
check "write to a register without a setting" "Illegal data address" \
    "$(echo "$out" | grep -o 'Illegal data address')"
out=$(poll 1 -t 4 -r 30 "$pty" 64)
check "unknown baud code refused" "Illegal data value" \
    "$(echo "$out" | grep -o 'Illegal data value')"

# A new address: the old one goes quiet, the new one answers.
poll 1 -t 4 -r 25 "$pty" 7 >/dev/null
if poll 1 -t 3 -r 25 -c 1 -1 -o 0.3 "$pty" >/dev/null; then
    check "old address silent" "no reply" "reply"
else
    check "old address silent" "no reply" "no reply"
fi
check "new address answers" "7" "$(poll 7 -t 3 -r 25 -c 1 -1 "$pty" | joined)"

grep -q '^quorvex-metersim: request 07 04 00 18 00 01' "$work/log"
check "verbose log shows requests" "0" "$?"

kill -TERM "$pid"
wait "$pid"
check "exit status after SIGTERM" "0" "$?"
pid=

# With a command: the meter's line is QUORVEX_COM1 and the command's status is ours.
out=$("$sim" --type single -- sh -c \
    'mbpoll -m rtu -a 1 -b 9600 -P none -o 1 -t 3 -r 28 -c 1 -1 "$QUORVEX_COM1"; exit 3')
status=$?
check "command reads the meter on QUORVEX_COM1" "2" "$(echo "$out" | joined)"
check "command's exit status passed on" "3" "$status"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; simulator log:"
    cat "$work/log"
    exit 1
fi
echo "all checks passed"
