#!/usr/bin/python
# Runs ulx-fleet on the managed host and returns its JSON report as results.
# Copyright (C) 2026 the ulx-upgrade developers.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: ulx_fleet
short_description: Upgrade the firmware of the ULX devices of one site with ulx-fleet
description:
  - Runs C(ulx-fleet) on the managed host, a computer on the devices' own
    network (the devices fetch the image from it by TFTP), and returns its
    report, one record per device.
  - An upgrade runs with C(--yes); the task itself is the operator's
    acknowledgement of the program's warning.
  - In check mode the devices are only identified (C(--inventory)); nothing
    on them changes. C(changed) then says whether an upgrade would change any.
  - The password never appears on a command line; it reaches C(ulx-fleet)
    through the environment variable C(ULX_FLEET_PASSWORD) or as a file on
    the host.
version_added: "1.0.0"
options:
  lists:
    description: Device list files on the host, one device a line, C(address[,user[,password]]).
    type: list
    elements: path
    aliases: [list]
  addresses:
    description: Devices given by address.
    type: list
    elements: str
  user:
    description:
      - The user for the devices of C(addresses) (C(ulx-fleet) uses C(admin)
        for them). Other users are passed in a list file written to the
        module's temporary directory.
    type: str
    default: admin
  password:
    description: The password of every device whose list line gives none.
    type: str
  password_file:
    description: A file on the host whose first line is that password.
    type: path
  report:
    description:
      - Where the host keeps the JSON report (it must end in C(.json)).
        Without it the report is written to the module's temporary directory
        and removed with it.
    type: path
  force:
    description: Upgrade devices already at the embedded version too.
    type: bool
    default: false
  jobs:
    description: Upgrades at once (C(ulx-fleet)'s default is 16).
    type: int
  timeout:
    description: The longest one device's run may take, in seconds (C(ulx-fleet)'s default is 600).
    type: int
  local:
    description: The local address for devices on none of the host's networks.
    type: str
  program:
    description: The program run per device (C(--program)), for tests and labs.
    type: path
  executable:
    description: The C(ulx-fleet) program (default, from C(PATH)).
    type: path
  allow_failures:
    description: Succeed even when some devices failed; they are still listed in C(failed_devices).
    type: bool
    default: false
notes:
  - Needs the right to bind UDP ports 69 to 168 on the host (root, or
    C(ulx-upgrade-script) installed with its capability).
"""

EXAMPLES = r"""
- name: Upgrade the office's adapters
  ulx.fleet.ulx_fleet:
    lists: [/etc/ulx/office.txt]
    password: "{{ vault_ulx_password }}"
    report: /var/lib/ulx/report.json
  register: upgrade

- name: Upgrade two adapters by address, with another user, tolerating failures
  ulx.fleet.ulx_fleet:
    addresses: [192.168.1.20, 192.168.1.21]
    user: support
    password_file: /etc/ulx/password
    jobs: 4
    allow_failures: true

- name: Identify the devices only (the same as running the task in check mode)
  ulx.fleet.ulx_fleet:
    lists: [/etc/ulx/office.txt]
    password_file: /etc/ulx/password
  check_mode: true
"""

RETURN = r"""
devices:
  description: The report's records, in list order.
  returned: when ulx-fleet wrote a report
  type: list
  elements: dict
  sample:
    - address: 192.168.1.20
      outcome: upgraded
      from_version: 3.0.2(GWe)
      to_version: 3.1.7(GWe)
      message: ULX@192.168.1.20 Upgrade Successful!
      detail: ""
      product: ULX-7400
      serial: ULX74000A1B2
      mac: 02:00:5E:10:74:00
      software_version: 3.0.2(GWe)
      hardware_version: 2.0.1
      current: "no"
      started: "2026-05-02T09:14:03.120Z"
      ended: "2026-05-02T09:15:41.806Z"
      bytes_delivered: 767148
      image_bytes: 767148
counts:
  description: The number of devices of each outcome.
  returned: when ulx-fleet wrote a report
  type: dict
  sample: {"upgraded": 2, "already current": 1, "no response": 1}
failed_devices:
  description:
    - The addresses of the devices that were neither upgraded nor already
      current (in check mode, not identified).
  returned: when ulx-fleet wrote a report
  type: list
  elements: str
report:
  description: The report's path on the host (empty when it was a temporary file).
  returned: always
  type: str
cmd:
  description: The command line run.
  returned: always
  type: list
  elements: str
exit_code:
  description:
    - The exit code of ulx-fleet (0 all well, 1 some device not, 2 bad usage).
    - Not named C(rc), which Ansible would take for the task's own verdict when not 0.
  returned: always
  type: int
stdout:
  description: What ulx-fleet printed (timestamped lines).
  returned: always
  type: str
stderr:
  description: Its error output.
  returned: always
  type: str
"""

import json
import os

from ansible.module_utils.basic import AnsibleModule

PASSWORD_VARIABLE = "ULX_FLEET_PASSWORD"
FINE = {"upgraded", "already current"}
FINE_INVENTORY = {"identified"}


def fleet_command(params, inventory, report, extra_list=None):
    """The ulx-fleet command line for the module's options."""
    cmd = [params["executable"], "--report", report]
    cmd.append("--inventory" if inventory else "--yes")
    if params["force"] and not inventory:
        cmd.append("--force")
    for option, value in (
        ("--password-file", params["password_file"]),
        ("--jobs", params["jobs"]),
        ("--timeout", params["timeout"]),
        ("--local", params["local"]),
        ("--program", params["program"]),
    ):
        if value is not None:
            cmd += [option, str(value)]
    for path in (params["lists"] or []) + ([extra_list] if extra_list else []):
        cmd += ["--list", path]
    if not extra_list:
        cmd += params["addresses"] or []
    return cmd


def address_list_text(addresses, user):
    """A device list giving each address the user (no password: the
    shared one applies)."""
    return "".join("%s,%s\n" % (a, user) for a in addresses)


def results(records, inventory, force):
    """The module's results from the report's records: changed, counts and
    the failed devices."""
    counts = {}
    for r in records:
        counts[r["outcome"]] = counts.get(r["outcome"], 0) + 1
    fine = FINE_INVENTORY if inventory else FINE
    if inventory:
        # What an upgrade would change: the identified devices not yet current.
        changed = any(r["outcome"] == "identified" and (force or r.get("current") != "yes") for r in records)
    else:
        changed = counts.get("upgraded", 0) > 0
    return {
        "changed": changed,
        "devices": records,
        "counts": counts,
        "failed_devices": [r["address"] for r in records if r["outcome"] not in fine],
    }


def failure(result, rc, err, allow_failures):
    """Why the task fails, or None: a failed device (unless allowed), or
    ulx-fleet's own failure."""
    failed = result["failed_devices"]
    if failed and not allow_failures:
        outcome = {r["address"]: r["outcome"] for r in result["devices"]}
        return "%d of %d devices failed: %s" % (
            len(failed),
            len(result["devices"]),
            ", ".join("%s (%s)" % (a, outcome[a]) for a in failed),
        )
    if rc != 0 and not failed:
        return "ulx-fleet ended with exit code %d: %s" % (rc, err.strip())
    return None


def main():
    module = AnsibleModule(
        argument_spec=dict(
            lists=dict(type="list", elements="path", aliases=["list"]),
            addresses=dict(type="list", elements="str"),
            user=dict(type="str", default="admin"),
            password=dict(type="str", no_log=True),
            password_file=dict(type="path", no_log=False),
            report=dict(type="path"),
            force=dict(type="bool", default=False),
            jobs=dict(type="int"),
            timeout=dict(type="int"),
            local=dict(type="str"),
            program=dict(type="path"),
            executable=dict(type="path"),
            allow_failures=dict(type="bool", default=False),
        ),
        required_one_of=[("lists", "addresses")],
        mutually_exclusive=[("password", "password_file")],
        supports_check_mode=True,
    )
    p = module.params
    if p["report"] and not p["report"].endswith(".json"):
        module.fail_json(msg="report must end in .json")
    if not p["executable"]:
        p["executable"] = module.get_bin_path("ulx-fleet", required=True)
    inventory = module.check_mode
    report = p["report"] or os.path.join(module.tmpdir, "report.json")
    extra_list = None
    if p["addresses"] and p["user"] != "admin":
        extra_list = os.path.join(module.tmpdir, "devices.txt")
        with open(extra_list, "w") as f:
            f.write(address_list_text(p["addresses"], p["user"]))
    # An old report must not pass for this run's.
    if os.path.exists(report):
        os.remove(report)

    cmd = fleet_command(p, inventory, report, extra_list)
    env = {PASSWORD_VARIABLE: p["password"]} if p["password"] is not None else {}
    rc, out, err = module.run_command(cmd, environ_update=env)
    result = dict(cmd=cmd, exit_code=rc, stdout=out, stderr=err, report=p["report"] or "", changed=False)
    try:
        with open(report) as f:
            records = json.load(f)
    except (OSError, ValueError) as e:
        module.fail_json(msg="ulx-fleet wrote no report (%s): %s" % (e, err.strip()), **result)
    result.update(results(records, inventory, p["force"]))
    msg = failure(result, rc, err, p["allow_failures"])
    if msg:
        module.fail_json(msg=msg, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
