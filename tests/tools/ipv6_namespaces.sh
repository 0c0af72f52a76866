#!/bin/sh
# A server network and a client network joined by one link, in namespaces:
#
#   vmC<s> 2001:db8:1::2 ------ 2001:db8:1::1, ::3 vmS<s>
#          (10.9.0.2)            (10.9.0.1)
#
# The server namespace holds the services on ::1 and a peer on ::3. The names
# "mirror.v6.test" and "tracker.v6.test" stand for the server in a hosts file
# both namespaces see (ip netns exec mounts /etc/netns/<ns>/hosts over
# /etc/hosts).
#
#   v6only     no IPv4 on the link; the names have only their IPv6 address.
#   dualstack  both families on the link and both addresses for the names.
#   blackhole  as dualstack, but
#              the server silently drops every IPv6 TCP and UDP packet from the
#              client (neighbour discovery still works, so nothing is refused:
#              a connection attempt over IPv6 just hangs).
#
# Usage: ipv6_namespaces.sh up SUFFIX v6only|dualstack|blackhole | down SUFFIX
set -e
action=$1
s=$2
world=$3

down() {
    for ns in vmC$s vmS$s; do
        ip netns del "$ns" 2>/dev/null || true
        rm -rf "/etc/netns/$ns"
    done
}

hosts() { # namespace
    mkdir -p "/etc/netns/$1"
    {
        echo "127.0.0.1 localhost"
        echo "::1 localhost ip6-localhost"
        [ "$world" != v6only ] && echo "10.9.0.1 mirror.v6.test tracker.v6.test"
        echo "2001:db8:1::1 mirror.v6.test tracker.v6.test"
    } > "/etc/netns/$1/hosts"
}

up() {
    down
    ip netns add vmS$s
    ip netns add vmC$s
    ip link add "s$s" type veth peer name "c$s"
    ip link set "s$s" netns vmS$s
    ip link set "c$s" netns vmC$s
    for ns in vmS$s vmC$s; do ip -n "$ns" link set lo up; done
    # nodad: the addresses are usable at once instead of after the duplicate check.
    ip -n vmS$s addr add 2001:db8:1::1/64 dev "s$s" nodad
    ip -n vmS$s addr add 2001:db8:1::3/64 dev "s$s" nodad
    ip -n vmC$s addr add 2001:db8:1::2/64 dev "c$s" nodad
    if [ "$world" != v6only ]; then
        ip -n vmS$s addr add 10.9.0.1/24 dev "s$s"
        ip -n vmC$s addr add 10.9.0.2/24 dev "c$s"
    fi
    if [ "$world" = blackhole ]; then
        ip netns exec vmS$s nft -f - <<NFT
table ip6 vmhole {
    chain incoming { type filter hook input priority filter; ip6 saddr 2001:db8:1::2 meta l4proto { tcp, udp } drop; }
}
NFT
    fi
    ip -n vmS$s link set "s$s" up
    ip -n vmC$s link set "c$s" up
    hosts vmS$s
    hosts vmC$s
}

case "$action" in
up)
    case "$world" in v6only|dualstack|blackhole) ;; *) echo "unknown world '$world'" >&2; exit 2 ;; esac
    up
    ;;
down) down ;;
*) echo "usage: $0 up SUFFIX v6only|dualstack|blackhole | down SUFFIX" >&2; exit 2 ;;
esac
