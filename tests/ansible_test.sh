#!/usr/bin/env bash
# The ulx.fleet collection: its logic by unittest, then the sites playbook
# against two local sites, each a fleet in one ulx-device-sim (site_a 127.0.51.x, site_b
# 127.0.52.x, this computer .200 on each). Check mode identifies and changes nothing; the first
# run upgrades (changed), the second finds every device current (not changed); each run's
# summary on the controller shows both sites.
#   ansible_test.sh ULX_FLEET ULX_DEVICE_SIM ULX_TEST_SCRIPT COLLECTION_DIR
# Runs in a network namespace of its own (loopback only) where it can make one.
set -uo pipefail
command -v ansible-playbook >/dev/null || { echo "SKIP: no ansible-playbook (ansible-core)"; exit 77; }
fleet=$(realpath "$1") sim=$(realpath "$2") script=$(realpath "$3") collection=$(realpath "$4")
if [ -z "${ULX_ANSIBLE_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  exec env ULX_ANSIBLE_NETNS=1 unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
# Ansible's own Python runs the modules and the unit tests.
py=$(sed -n '1s/^#! *//p' "$(command -v ansible-playbook)")
"$py" "$(dirname "$0")/ansible_fleet_test.py" "$collection" || exit 1

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

# Nothing leaves the machine: no configuration but this one, no galaxy server.
export ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_HOME=$work/home ANSIBLE_LOCAL_TEMP=$work/tmp \
  ANSIBLE_REMOTE_TEMP=$work/remote-tmp ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_NOCOLOR=1 \
  ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_GALAXY_SERVER=http://127.0.0.1:9/
printf '[defaults]\n' >"$ANSIBLE_CONFIG"
(cd "$work" && ansible-galaxy collection build "$collection" &&
  ansible-galaxy collection install --offline -p "$work/collections" ulx-fleet-*.tar.gz) >"$work/galaxy.out" 2>&1 ||
  { cat "$work/galaxy.out"; fail "the collection does not build and install"; }
ansible-doc ulx.fleet.ulx_fleet >/dev/null && ansible-doc -t filter ulx.fleet.fleet_summary >/dev/null ||
  fail "ansible-doc cannot read the collection's documentation"

# start_site NAME CONFIG: the site's simulated devices, waited for until each is ready.
start_site() {
  mkdir -p "$work/$1"
  printf '%s' "$2" >"$work/$1/sim.conf"
  "$sim" --config "$work/$1/sim.conf" --log "$work/$1/sim.log" --idle-delay 100 --restart-ms 50 --dally-ms 50 \
    --exit-after 600000 &
  local pid=$! want
  pids+=($pid)
  want=$(grep -c . "$work/$1/sim.conf")
  [ "$(timeout 60 grep -m"$want" -c '"event":"ready"' <(tail -n +1 -F --pid=$pid "$work/$1/sim.log" 2>/dev/null))" \
    = "$want" ] ||
    fail "site $1's devices are not ready: $(cat "$work/$1/sim.log")"
}
# site_a: two old devices (one with the password given to the module), one current, listed in a file.
start_site site_a $'127.0.51.1\n127.0.51.2 --password a-secret\n127.0.51.3 --software-version 3.1.7(GWe)\n'
printf '# site a\n127.0.51.1\n127.0.51.2\n127.0.51.3\n' >"$work/site_a/devices.txt"
# site_b: two old devices by address, user tech, the password in a file; 127.0.52.9 is absent.
start_site site_b $'127.0.52.1\n127.0.52.2 --user tech --password b-secret\n'
(umask 077 && echo b-secret >"$work/site_b/password")

phases=transfer:4,wait:400,verify:100
cat >"$work/sites.yml" <<END
all:
  vars:
    ansible_connection: local
    ansible_python_interpreter: $py
    ulx_executable: $fleet
    ulx_program: $script
    ulx_timeout: 120
    ulx_reports_dir: $work/reports
  children:
    ulx_sites:
      hosts:
        site_a:
          ulx_lists: [$work/site_a/devices.txt]
          ulx_password: a-secret
          ulx_report: $work/site_a/report.json
          ulx_environment: {ULX_LOCAL_ADDRESSES: 127.0.51.200, ULX_CLOCK_PHASES: "$phases"}
        site_b:
          ulx_addresses: [127.0.52.1, 127.0.52.2, 127.0.52.9]
          ulx_user: tech
          ulx_password_file: $work/site_b/password
          ulx_allow_failures: true
          ulx_report: $work/site_b/report.json
          ulx_environment: {ULX_LOCAL_ADDRESSES: 127.0.52.200, ULX_CLOCK_PHASES: "$phases"}
END

# play NAME [ansible-playbook options]: runs the playbook; its output in $work/NAME.out.
play() {
  local name=$1
  shift
  (cd "$work" && timeout 240 ansible-playbook -i sites.yml "$@" ulx.fleet.sites) >"$work/$name.out" 2>&1 ||
    { cat "$work/$name.out"; fail "ansible-playbook failed in the $name run"; }
}
# upgrade_task NAME: each site's state after the upgrade task ("site_a changed site_b ok").
upgrade_task() {
  awk '/^TASK \[/ { inside = /^TASK \[Upgrade the site.s devices\]/ }
       inside && /^(ok|changed|failed|fatal): \[/ { sub(/:$/, "", $1); gsub(/[][]/, "", $2); print $2, $1 }' \
    "$work/$1.out" | sort | xargs
}
# summary: each site's outcomes and failed devices in the summary on the controller.
summary() {
  "$py" -c 'import json, sys
s = json.load(open(sys.argv[1]))
for site, v in s["sites"].items():
    print(site, v["devices"], sorted(v["outcomes"].items()), [f["address"] for f in v["failed"]])' \
    "$work/reports/summary.json"
}
expect() {  # WHAT GOT WANTED
  [ "$2" = "$3" ] || { cat "$work/$run.out"; fail "$1 after the $run run: got"$'\n'"$2"$'\n'"wanted"$'\n'"$3"; }
}
received() { grep -c "\"event\":\"$2\"" "$work/$1/sim.log"; }

run=check
play check --check
# Would change both sites, and changed nothing: no device got an upgrade order.
expect "the upgrade task" "$(upgrade_task check)" "site_a changed site_b changed"
expect "the summary" "$(summary)" "site_a 3 [('identified', 3)] []
site_b 3 [('identified', 2), ('no response', 1)] ['127.0.52.9']"
expect "upgrade orders" "$(received site_a upgrade_order) $(received site_b upgrade_order)" "0 0"

run=first
play first
expect "the upgrade task" "$(upgrade_task first)" "site_a changed site_b changed"
expect "the summary" "$(summary)" "site_a 3 [('already current', 1), ('upgraded', 2)] []
site_b 3 [('no response', 1), ('upgraded', 2)] ['127.0.52.9']"
expect "images received" "$(received site_a image_received) $(received site_b image_received)" "2 2"

run=second
play second
expect "the upgrade task" "$(upgrade_task second)" "site_a ok site_b ok"
expect "the summary" "$(summary)" "site_a 3 [('already current', 3)] []
site_b 3 [('already current', 2), ('no response', 1)] ['127.0.52.9']"
expect "images received" "$(received site_a image_received) $(received site_b image_received)" "2 2"
echo "PASS"
