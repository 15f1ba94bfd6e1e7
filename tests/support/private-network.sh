#!/bin/sh
# Runs a test program in a network namespace of its own, where it sees only
# its own loopback interface and whatever it builds there (veth pairs to
# device namespaces it makes and removes itself). The machine's interfaces
# are never touched and no test traffic can leave it. Needs root and network
# namespaces; elsewhere the program runs with PRIVATE_NETWORK=unavailable so
# that its network cases skip with a clear message.
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  exec unshare --net sh -c 'ip link set lo up && PRIVATE_NETWORK=1 exec "$@"' sh "$@"
fi
echo "private-network.sh: no network namespace here (needs root and unshare --net)" >&2
PRIVATE_NETWORK=unavailable exec "$@"
