#!/bin/sh
# systemd-analyze verifies the service unit without a complaint, and its
# offline security review rates it exposed no more than 2.0 of 10. A
# template unit (NAME@.service) is checked as its instance INSTANCE.
# systemd checks that ExecStart's program exists, so the copy checked here
# starts the server of this build.   77: no systemd-analyze.
#   check_service_unit.sh UNIT SERVER WORK_DIR [INSTANCE]
set -u
unit=$1 server=$2 work=$3 instance=${4:-}
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing"; exit 77; }
rm -rf "$work" && mkdir -p "$work"
copy=$work/$(basename "$unit")
sed "s|^ExecStart=[^ ]*|ExecStart=$server|" "$unit" >"$copy"
grep -q "^ExecStart=$server " "$copy" || { echo "no ExecStart line in $unit"; exit 1; }
checked=$copy
[ -z "$instance" ] || checked=$work/$(basename "$unit" @.service)@$instance.service
[ -z "$instance" ] || ln -s "$(basename "$copy")" "$checked"
out=$(systemd-analyze verify --man=no "$checked" 2>&1); rc=$?
[ -z "$out" ] || printf '%s\n' "$out"
[ $rc -eq 0 ] && [ -z "$out" ] || exit 1
# Port 105 and no other privilege.
state=StateDirectory=tessary-server
[ -z "$instance" ] || state=StateDirectory=tessary-server-%i
for line in DynamicUser=yes NoNewPrivileges=yes "$state" \
    AmbientCapabilities=CAP_NET_BIND_SERVICE CapabilityBoundingSet=CAP_NET_BIND_SERVICE; do
  grep -qx "$line" "$copy" || { echo "$unit lacks $line"; exit 1; }
done
systemd-analyze security --offline=yes --threshold=20 --no-pager "$checked" | tail -n 1
