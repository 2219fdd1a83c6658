#!/bin/sh
# systemd-analyze verifies the service unit without a complaint, and its
# offline security review rates it exposed no more than 2.0 of 10.
# systemd checks that ExecStart's program exists, so the copy checked here
# starts the server of this build.   77: no systemd-analyze.
#   check_service_unit.sh UNIT SERVER WORK_DIR
set -u
unit=$1 server=$2 work=$3
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing"; exit 77; }
rm -rf "$work" && mkdir -p "$work"
copy=$work/tessary-server.service
sed "s|^ExecStart=[^ ]*|ExecStart=$server|" "$unit" >"$copy"
grep -q "^ExecStart=$server " "$copy" || { echo "no ExecStart line in $unit"; exit 1; }
out=$(systemd-analyze verify --man=no "$copy" 2>&1); rc=$?
[ -z "$out" ] || printf '%s\n' "$out"
[ $rc -eq 0 ] && [ -z "$out" ] || exit 1
# Port 105 and no other privilege.
for line in DynamicUser=yes NoNewPrivileges=yes StateDirectory=tessary-server \
    AmbientCapabilities=CAP_NET_BIND_SERVICE CapabilityBoundingSet=CAP_NET_BIND_SERVICE; do
  grep -qx "$line" "$copy" || { echo "$unit lacks $line"; exit 1; }
done
systemd-analyze security --offline=yes --threshold=20 --no-pager "$copy" | tail -n 1
