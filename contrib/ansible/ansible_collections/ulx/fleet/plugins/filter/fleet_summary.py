# Merges the ulx-fleet reports of many sites into one summary.
# Copyright (C) 2026 the ulx-upgrade developers.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

# Outcomes that are no failure: an upgrade's, and an inventory's.
FINE = {"upgraded", "already current", "identified"}


def fleet_summary(reports):
    """{site: report records} -> per site the number of devices, the count
    of each outcome and the failed devices; and the totals over all sites."""
    sites, totals, devices, failed = {}, {}, 0, 0
    for site in sorted(reports):
        records = reports[site] or []
        outcomes = {}
        for r in records:
            outcomes[r["outcome"]] = outcomes.get(r["outcome"], 0) + 1
            totals[r["outcome"]] = totals.get(r["outcome"], 0) + 1
        bad = [
            {key: r.get(key, "") for key in ("address", "outcome", "message", "detail")}
            for r in records
            if r["outcome"] not in FINE
        ]
        sites[site] = {"devices": len(records), "outcomes": outcomes, "failed": bad}
        devices += len(records)
        failed += len(bad)
    return {"sites": sites, "devices": devices, "outcomes": totals, "failed": failed}


class FilterModule(object):
    def filters(self):
        return {"fleet_summary": fleet_summary}
