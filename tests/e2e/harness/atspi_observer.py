"""Watches the wizard as a screen reader does, over AT-SPI (Debian's own
Python, with python3-pyatspi). Writes work/atspi.jsonl: every text, name and
value change the wizard announces, and, when the driver writes the signal
walk-NAME, the showing part of its accessible tree (answered with walked-NAME).

  atspi_observer.py WORK"""
import json
import os
import sys

import pyatspi
from gi.repository import GLib

WORK = sys.argv[1]
SIGNALS = os.path.join(WORK, "signals")
OUT = open(os.path.join(WORK, "atspi.jsonl"), "w", encoding="utf-8")
walked = set()


def log(**record):
    OUT.write(json.dumps(record, ensure_ascii=False) + "\n")
    OUT.flush()


def describe(obj):
    d = {"role": obj.getRoleName(), "name": obj.name or "", "description": obj.description or ""}
    try:
        v = obj.queryValue()
        d["value"] = [v.currentValue, v.minimumValue, v.maximumValue]
    except NotImplementedError:
        pass
    except Exception as e:  # a value the wizard cannot give
        d["value"] = str(e)
    try:
        d["text"] = obj.queryText().getText(0, -1)
    except NotImplementedError:
        pass
    return d


def showing(obj, depth=0):
    """The showing objects under obj, parents first."""
    out = []
    for child in obj:
        if child is not None and child.getState().contains(pyatspi.STATE_SHOWING):
            out.append(dict(describe(child), depth=depth))
            out.extend(showing(child, depth + 1))
    return out


def on_event(event):
    try:
        log(kind="event", type=event.type, detail=str(event.any_data), **describe(event.source))
    except Exception as e:  # the object may be gone already
        log(kind="event-lost", type=event.type, error=str(e))


def poll_signals():
    for name in sorted(os.listdir(SIGNALS)):
        if name.startswith("walk-") and name not in walked:
            walked.add(name)
            # The bus is the run's own: the wizard is its only application.
            apps = [a for a in pyatspi.Registry.getDesktop(0) if a is not None]
            # Read the states afresh, as a reader does when it moves to an
            # object: GTK 3 reports a new page's objects before it maps them.
            for a in apps:
                a.clear_cache()
            log(kind="walk", name=name[5:], windows=[dict(describe(w), tree=showing(w))
                                                     for a in apps for w in a
                                                     if w.getState().contains(pyatspi.STATE_SHOWING)])
            open(os.path.join(SIGNALS, "walked-" + name[5:]), "w").close()
    return True


# Listening to children-changed keeps libatspi's cache of the tree up to
# date when a page replaces another, as in a screen reader.
pyatspi.Registry.registerEventListener(lambda event: None, "object:children-changed")
pyatspi.Registry.registerEventListener(on_event, "object:text-changed",
                                       "object:property-change:accessible-name",
                                       "object:property-change:accessible-value",
                                       "object:value-changed")
GLib.timeout_add(50, poll_signals)
open(os.path.join(WORK, "atspi.ready"), "w").close()
pyatspi.Registry.start()
