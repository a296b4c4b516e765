# The ulx.fleet collection's own logic: the module's command line, its
# results from a report, and the summary of many sites' reports.
#   python3 ansible_fleet_test.py COLLECTION_DIR   (needs Ansible's Python)
import os
import sys
import unittest

COLLECTION = sys.argv.pop(1) if len(sys.argv) > 1 else "."
sys.path[:0] = [os.path.join(COLLECTION, "plugins", d) for d in ("modules", "filter")]

import ulx_fleet  # noqa: E402
from fleet_summary import fleet_summary  # noqa: E402

PARAMS = dict.fromkeys(
    ("lists", "addresses", "password", "password_file", "jobs", "timeout", "local", "program"), None
)
PARAMS.update(executable="/usr/bin/ulx-fleet", force=False, user="admin")


def params(**changes):
    p = dict(PARAMS)
    p.update(changes)
    return p


def rec(address, outcome, current=""):
    return {"address": address, "outcome": outcome, "current": current, "message": "m-" + address, "detail": ""}


class Command(unittest.TestCase):
    def test_command_lines(self):
        full = params(
            lists=["/etc/a.txt", "/etc/b.txt"],
            addresses=["10.0.0.7"],
            password="pw-secret",
            password_file=None,
            jobs=4,
            timeout=120,
            local="10.0.0.1",
            program="/opt/script",
            force=True,
        )
        head = ["/usr/bin/ulx-fleet", "--report", "/r.json"]
        options = ["--jobs", "4", "--timeout", "120", "--local", "10.0.0.1", "--program", "/opt/script"]
        lists = ["--list", "/etc/a.txt", "--list", "/etc/b.txt"]
        cases = [
            # an upgrade: acknowledged, forced, every option, the lists and then the addresses
            (full, False, None, head + ["--yes", "--force"] + options + lists + ["10.0.0.7"]),
            # check mode identifies only: no --yes, no --force
            (full, True, None, head + ["--inventory"] + options + lists + ["10.0.0.7"]),
            # addresses with another user travel in a list file of their own
            (full, False, "/tmp/x/d.txt", head + ["--yes", "--force"] + options + lists + ["--list", "/tmp/x/d.txt"]),
            (params(addresses=["10.0.0.7"], password_file="/etc/pw"), False, None,
             head + ["--yes", "--password-file", "/etc/pw", "10.0.0.7"]),
        ]
        for p, inventory, extra, expected in cases:
            with self.subTest(inventory=inventory, extra=extra):
                cmd = ulx_fleet.fleet_command(p, inventory, "/r.json", extra)
                self.assertEqual(cmd, expected)
                self.assertNotIn("pw-secret", " ".join(cmd))


class Results(unittest.TestCase):
    def test_changed_and_failed(self):
        cases = [
            # records, inventory (check mode), force, changed, failed devices
            ([rec("a", "upgraded"), rec("b", "already current")], False, False, True, []),
            ([rec("a", "already current"), rec("b", "already current")], False, False, False, []),
            ([rec("a", "upgraded"), rec("b", "no response"), rec("c", "cancelled")], False, False, True, ["b", "c"]),
            ([rec("a", "identified", "yes"), rec("b", "identified", "no")], True, False, True, []),
            ([rec("a", "identified", "yes")], True, False, False, []),
            ([rec("a", "identified", "yes")], True, True, True, []),
            ([rec("a", "identified", "yes"), rec("b", "wrong password")], True, False, False, ["b"]),
            ([rec("a", "upgraded")], True, False, False, ["a"]),  # an inventory never upgrades
        ]
        for records, inventory, force, changed, failed in cases:
            with self.subTest(records=records, inventory=inventory, force=force):
                r = ulx_fleet.results(records, inventory, force)
                self.assertEqual((r["changed"], r["failed_devices"]), (changed, failed))
        r = ulx_fleet.results(cases[2][0], False, False)
        self.assertEqual(r["counts"], {"upgraded": 1, "no response": 1, "cancelled": 1})

    def test_failure(self):
        some_failed = ulx_fleet.results([rec("a", "upgraded"), rec("b", "no response")], False, False)
        all_fine = ulx_fleet.results([rec("a", "upgraded")], False, False)
        cases = [
            (some_failed, 1, False, "1 of 2 devices failed: b (no response)"),
            (some_failed, 1, True, None),
            (all_fine, 0, False, None),
            # exit code 1 with every device fine: the fleet failed on its own
            (all_fine, 1, True, "ulx-fleet ended with exit code 1: cannot write"),
        ]
        for result, rc, allow, expected in cases:
            with self.subTest(rc=rc, allow=allow):
                self.assertEqual(ulx_fleet.failure(result, rc, "cannot write\n", allow), expected)


class Summary(unittest.TestCase):
    def test_sites_merged(self):
        summary = fleet_summary(
            {
                "lyon": [rec("10.2.0.1", "upgraded"), rec("10.2.0.2", "upload incomplete")],
                "berlin": [rec("10.1.0.1", "already current"), rec("10.1.0.2", "upgraded")],
                "oslo": [rec("10.3.0.1", "identified", "no")],
                "empty": None,
            }
        )
        self.assertEqual(list(summary["sites"]), ["berlin", "empty", "lyon", "oslo"])
        self.assertEqual(
            summary["sites"]["lyon"]["failed"],
            [{"address": "10.2.0.2", "outcome": "upload incomplete", "message": "m-10.2.0.2", "detail": ""}],
        )
        self.assertEqual([summary["sites"][s]["failed"] for s in ("berlin", "empty", "oslo")], [[], [], []])
        self.assertEqual(summary["sites"]["empty"]["devices"], 0)
        self.assertEqual(
            (summary["devices"], summary["failed"], summary["outcomes"]),
            (5, 1, {"upgraded": 2, "upload incomplete": 1, "already current": 1, "identified": 1}),
        )


if __name__ == "__main__":
    unittest.main()
