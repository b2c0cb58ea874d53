#!/usr/bin/env python3
"""dashboard_check.py DASHBOARD [PROMETHEUS_URL]

Checks that DASHBOARD is a Grafana (9 or later) dashboard of the shape Grafana imports: its
top-level fields, its variables (a Prometheus data source variable and the access point variable),
every panel's place on the grid, data source and queries. With PROMETHEUS_URL, it also runs the
access point variable's query and every panel's query there, with the variables substituted as
Grafana does (all access points, several, one), instant and over a range, and fails on a query
that errors or returns no data. Prints one line per fault and exits 1 on any."""

import json
import re
import sys
import time
import urllib.parse
import urllib.request

DS_VAR = "datasource"
DS_REF = {"type": "prometheus", "uid": "${%s}" % DS_VAR}
PANEL_TYPES = {"row", "stat", "timeseries", "state-timeline", "table", "bargauge", "gauge", "text"}
# What Grafana puts in place of its built-in variables for a dashboard showing the last hour of a
# data source scraped every 15 s (its default): $__rate_interval is at least four scrape intervals.
BUILTINS = {"__rate_interval": "1m", "__interval": "15s", "__range": "1h", "__range_s": "3600"}

faults = []


def fault(where, what):
    faults.append("%s: %s" % (where, what))


def check_type(where, obj, key, kind):
    if not isinstance(obj.get(key), kind):
        fault(where, "%s must be %s, not %r" % (key, kind.__name__ if isinstance(kind, type) else kind, obj.get(key)))
        return False
    return True


def panels_of(dash):
    """Every panel, the collapsed rows' own panels included, with where it is."""
    for p in dash.get("panels", []):
        yield p, "panel %r" % p.get("title")
        for inner in p.get("panels", []) if p.get("type") == "row" else []:
            yield inner, "panel %r in row %r" % (inner.get("title"), p.get("title"))


def check_shape(dash):
    check_type("dashboard", dash, "title", str)
    if check_type("dashboard", dash, "uid", str) and not re.fullmatch(r"[A-Za-z0-9_-]{1,40}", dash["uid"]):
        fault("dashboard", "uid must be 1 to 40 letters, digits, - or _")
    if check_type("dashboard", dash, "schemaVersion", int) and dash["schemaVersion"] < 36:
        fault("dashboard", "schemaVersion %d is older than Grafana 9's 36" % dash["schemaVersion"])
    if dash.get("id") is not None:
        fault("dashboard", "id must be null, so that an import makes a new dashboard")
    check_type("dashboard", dash, "panels", list)
    check_type("dashboard", dash, "tags", list)
    check_type("dashboard", dash, "editable", bool)
    if not (isinstance(dash.get("time"), dict) and {"from", "to"} <= dash["time"].keys()):
        fault("dashboard", "time must have from and to")
    variables = dash.get("templating", {}).get("list")
    if not isinstance(variables, list):
        fault("dashboard", "templating.list must be a list")
        variables = []
    byname = {v.get("name"): v for v in variables}
    ds = byname.get(DS_VAR, {})
    if ds.get("type") != "datasource" or ds.get("query") != "prometheus":
        fault("variable %s" % DS_VAR, "must be a data source variable of type prometheus")
    ap = byname.get("ap", {})
    if ap.get("type") != "query" or ap.get("datasource") != DS_REF:
        fault("variable ap", "must be a query variable on %s" % DS_REF)
    if ap.get("definition") != "label_values(approbe_up, ap)" or ap.get("query", {}).get("query") != ap.get("definition"):
        fault("variable ap", "must list label_values(approbe_up, ap)")
    if not (ap.get("multi") and ap.get("includeAll")):
        fault("variable ap", "must allow several access points and All")

    ids = set()
    for p, where in panels_of(dash):
        if not isinstance(p.get("id"), int) or p["id"] in ids:
            fault(where, "id must be a whole number unique in the dashboard")
        ids.add(p.get("id"))
        if p.get("type") not in PANEL_TYPES:
            fault(where, "unknown panel type %r" % p.get("type"))
        g = p.get("gridPos", {})
        if not all(isinstance(g.get(k), int) for k in "hwxy") or g["w"] < 1 or g["h"] < 1 or g["x"] < 0 or g["x"] + g["w"] > 24:
            fault(where, "gridPos must hold whole h, w, x, y within 24 columns, not %r" % g)
        if "repeat" in p and not byname.get(p["repeat"], {}).get("multi"):
            fault(where, "repeats over %r, which is no multi-value variable" % p["repeat"])
        if p.get("type") == "row":
            check_type(where, p, "collapsed", bool)
            continue
        if p.get("datasource") != DS_REF:
            fault(where, "datasource must be %s" % DS_REF)
        targets = p.get("targets")
        if not targets:
            fault(where, "has no query")
            continue
        refs = [t.get("refId") for t in targets]
        if len(set(refs)) != len(refs) or not all(isinstance(r, str) and r for r in refs):
            fault(where, "refIds must be unique and non-empty: %r" % refs)
        for t in targets:
            if t.get("datasource") != DS_REF or not isinstance(t.get("expr"), str) or not t["expr"]:
                fault(where, "query %s needs an expr and datasource %s" % (t.get("refId"), DS_REF))
            for name in re.findall(r"\$\{?(\w+)", t.get("expr", "")):
                if name not in byname and name not in BUILTINS:
                    fault(where, "query %s uses $%s, which is no variable" % (t.get("refId"), name))
    return [(where, t["expr"]) for p, where in panels_of(dash) for t in p.get("targets", []) if t.get("expr")]


def get(url):
    with urllib.request.urlopen(url, timeout=10) as r:
        return json.load(r)


def substitute(expr, ap):
    def value(m):
        name = m.group(1) or m.group(2)
        return ap if name == "ap" else BUILTINS.get(name, m.group(0))
    return re.sub(r"\$\{(\w+)\}|\$(\w+)", value, expr)


def check_queries(base, exprs):
    answer = get(base + "/api/v1/label/ap/values?" + urllib.parse.urlencode({"match[]": "approbe_up"}))
    aps = answer.get("data") or []
    if not aps:
        fault("variable ap", "label_values(approbe_up, ap) found no access point")
        return 0
    # As Grafana writes the ap variable into a regex: All, several chosen, one chosen.
    choices = [".+", "(" + "|".join(re.escape(a) for a in aps) + ")", re.escape(aps[0])]
    now = time.time()
    ran = 0
    for where, expr in exprs:
        for ap in choices:
            q = substitute(expr, ap)
            for kind, params in (("query", {"query": q, "time": now}),
                                 ("query_range", {"query": q, "start": now - 60, "end": now, "step": 5})):
                ran += 1
                try:
                    r = get(base + "/api/v1/" + kind + "?" + urllib.parse.urlencode(params))
                except Exception as e:  # an HTTP error carries Prometheus's reason
                    detail = e.read().decode() if hasattr(e, "read") else str(e)
                    fault(where, "%s %s failed: %s" % (kind, q, detail))
                    continue
                if r.get("status") != "success" or not r.get("data", {}).get("result"):
                    fault(where, "%s %s returned no data" % (kind, q))
    return ran


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1]) as f:
        try:
            dash = json.load(f)
        except ValueError as e:
            print("%s: not JSON: %s" % (sys.argv[1], e))
            return 1
    exprs = check_shape(dash)
    ran = check_queries(sys.argv[2].rstrip("/"), exprs) if len(sys.argv) == 3 and not faults else 0
    for line in faults:
        print(line)
    if faults:
        return 1
    print("%s: dashboard shape ok, %d queries%s" % (sys.argv[1], len(exprs),
                                                   ", %d runs returned data" % ran if ran else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
