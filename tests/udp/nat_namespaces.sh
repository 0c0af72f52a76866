#!/bin/sh
# Two private networks, each behind its own NAT router, and a public network
# between the routers:
#
#   vmA<s> 10.1.0.2 -- 10.1.0.1 vmRA<s> 198.51.100.1 --+
#                                                      vmP<s> 198.51.100.254 / 203.0.113.254
#   vmB<s> 10.2.0.2 -- 10.2.0.1 vmRB<s> 203.0.113.1 ---+
#
# The routers masquerade their private network behind their public address,
# drop what nobody inside asked for (as home routers do), and, with a loss
# percentage, drop that share of the packets they forward.
# Usage: nat_namespaces.sh up SUFFIX [LOSS_PERCENT] | down SUFFIX
set -e
action=$1
s=$2
loss=${3:-0}

down() {
    for ns in vmA$s vmB$s vmRA$s vmRB$s vmP$s; do ip netns del "$ns" 2>/dev/null || true; done
}

router() { # name public-address public-peer private-address lan-namespace lan-address
    r=$1
    ip netns add "$r"
    ip link add "p$r" type veth peer name "u$r"
    ip link set "u$r" netns "$r"
    ip link set "p$r" netns vmP$s
    ip -n "$r" addr add "$2/24" dev "u$r"
    ip -n "$r" link set "u$r" up
    ip -n "$r" link set lo up
    ip -n vmP$s addr add "$3/24" dev "p$r"
    ip -n vmP$s link set "p$r" up
    ip netns add "$5"
    ip link add "l$r" type veth peer name "h$r"
    ip link set "l$r" netns "$r"
    ip link set "h$r" netns "$5"
    ip -n "$r" addr add "$4/24" dev "l$r"
    ip -n "$r" link set "l$r" up
    ip -n "$5" addr add "$6/24" dev "h$r"
    ip -n "$5" link set "h$r" up
    ip -n "$5" link set lo up
    ip -n "$5" route add default via "$4"
    ip -n "$r" route add default via "$3"
    ip netns exec "$r" sysctl -qw net.ipv4.ip_forward=1
    ip netns exec "$r" nft -f - <<NFT
table ip vmnat {
    chain post { type nat hook postrouting priority srcnat; oifname "u$r" masquerade; }
    chain forwarded { type filter hook forward priority filter; }
    chain incoming { type filter hook input priority filter; iifname "u$r" ct state new drop; }
}
NFT
    if [ "$loss" -gt 0 ]; then
        ip netns exec "$r" nft add rule ip vmnat forwarded numgen random mod 100 "<" "$loss" drop
    fi
}

case "$action" in
up)
    down
    ip netns add vmP$s
    ip -n vmP$s link set lo up
    ip netns exec vmP$s sysctl -qw net.ipv4.ip_forward=1
    router vmRA$s 198.51.100.1 198.51.100.254 10.1.0.1 vmA$s 10.1.0.2
    router vmRB$s 203.0.113.1 203.0.113.254 10.2.0.1 vmB$s 10.2.0.2
    ;;
down) down ;;
*) echo "usage: $0 up SUFFIX [LOSS] | down SUFFIX" >&2; exit 2 ;;
esac
