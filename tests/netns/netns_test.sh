#!/usr/bin/env bash
# Why passive mode matters: a client behind address translation publishes to a server
# on the other side. Three network namespaces made here, joined by veth pairs, with
# addresses only from 198.18.0.0/15 (set aside for network tests) and no route out:
#
#   client 198.18.0.1 --- 198.18.0.254 router 198.19.0.254 --- 198.19.0.1 server
#                                      (masquerade toward the server)
#
# The server sees every connection come from 198.19.0.254 and has no route to
# 198.18.0.0/24, so it cannot connect back: active mode fails with the advice to use
# passive mode, and passive mode uploads the files.
#
#   netns_test.sh NETNS_CLIENT FTPD_PY
#
# Exits 77 (skipped) with the reason when the machine cannot run it: not root, no
# `ip netns`, no nft. Removes its namespaces and its server on every exit; namespaces
# left by a run that was killed outright are removed by the next run.
set -u
client_program=$1
ftpd_py=$2

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*"
    exit 1
}

[ "$(id -u)" -eq 0 ] || skip "needs root to make network namespaces"
command -v ip >/dev/null || skip "no ip command (package iproute2)"
command -v nft >/dev/null || skip "no nft command (package nftables)"
ip netns list >/dev/null 2>&1 || skip "ip netns does not work here"

prefix=kftp
id=$$
client=$prefix-c-$id
router=$prefix-r-$id
server=$prefix-s-$id
work=""
server_pid=""

remove_namespace() {
    local ns=$1
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
    ip netns del "$ns" 2>/dev/null
}

# Namespaces and folders of earlier runs whose script no longer lives (killed outright).
for ns in $(ip netns list | awk '{print $1}' | grep -E "^$prefix-[crs]-[0-9]+$"); do
    kill -0 "${ns##*-}" 2>/dev/null || remove_namespace "$ns"
done
for folder in /tmp/kestrel-netns-*; do
    [ -d "$folder" ] || continue
    pid=${folder#/tmp/kestrel-netns-}
    pid=${pid%%.*}
    kill -0 "$pid" 2>/dev/null || rm -rf "$folder"
done

cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    for ns in "$client" "$router" "$server"; do
        remove_namespace "$ns"
    done
    [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

in_ns() {
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}

ip netns add "$client" 2>/dev/null || skip "cannot make a network namespace here"
ip netns add "$router" && ip netns add "$server" || fail "making the namespaces"
in_ns "$client" true 2>/dev/null || skip "ip netns exec does not work here"

# The veth pairs are made inside the namespaces: nothing appears in the machine's own.
ip -n "$client" link add veth-a type veth peer name veth-b netns "$router" &&
    ip -n "$router" link add veth-c type veth peer name veth-d netns "$server" ||
    skip "cannot make veth pairs here"
for ns in "$client" "$router" "$server"; do
    ip -n "$ns" link set lo up
done
ip -n "$client" addr add 198.18.0.1/24 dev veth-a
ip -n "$client" link set veth-a up
ip -n "$client" route add 198.19.0.0/24 via 198.18.0.254
ip -n "$router" addr add 198.18.0.254/24 dev veth-b
ip -n "$router" addr add 198.19.0.254/24 dev veth-c
ip -n "$router" link set veth-b up
ip -n "$router" link set veth-c up
in_ns "$router" sysctl -q -w net.ipv4.ip_forward=1 || fail "forwarding in the router"
ip -n "$server" addr add 198.19.0.1/24 dev veth-d
ip -n "$server" link set veth-d up
in_ns "$router" nft -f - <<'EOF' || skip "nft cannot set up address translation here"
table ip nat {
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        oifname "veth-c" masquerade
    }
}
EOF

work=$(mktemp -d "/tmp/kestrel-netns-$id.XXXXXX")
mkdir "$work/root" "$work/site"
for name in index.htm about.htm logo.gif; do
    head -c $((RANDOM * 7 + 1000)) /dev/urandom >"$work/site/$name"
done

# The server may connect to any address a PORT names, so that active mode fails the
# way it does behind a home router: the server tries and cannot reach the client. It is
# this script's own child and ends with it (setpriv --pdeathsig).
ip netns exec "$server" setpriv --pdeathsig TERM /usr/bin/python3 "$ftpd_py" --root "$work/root" \
    --host 198.19.0.1 --port 0 --print-port --permit-foreign-addresses \
    --log-file "$work/ftpd.log" >"$work/port" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$work/port")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$port" ] || fail "the server did not start: $(cat "$work/port")"

run_client() {
    timeout 60 ip netns exec "$client" "$client_program" 198.19.0.1 "$port" webuser s3cret "$@"
}

echo "--- active mode"
active=$(run_client active "$work/site/index.htm")
status=$?
echo "$active"
[ $status -eq 1 ] || fail "active mode did not fail (exit $status)"
grep -q "^error .*try passive mode in the settings" <<<"$active" ||
    fail "the active-mode error does not suggest passive mode"
[ -e "$work/root/index.htm" ] && fail "active mode stored a file"

echo "--- passive mode"
passive=$(run_client passive "$work/site/index.htm" "$work/site/about.htm" "$work/site/logo.gif")
status=$?
echo "$passive"
[ $status -eq 0 ] || fail "passive mode failed (exit $status)"
for name in index.htm about.htm logo.gif; do
    cmp -s "$work/site/$name" "$work/root/$name" || fail "$name differs on the server"
done
listing=$(run_client passive) || fail "the passive listing failed: $listing"
[ "$(grep -c '^item ' <<<"$listing")" -eq 3 ] || fail "the listing is not the three files"
echo "PASSED: active mode fails behind address translation, passive mode publishes"
exit 0
