#!/usr/bin/python3
"""What a screen reader hears from one program, read over AT-SPI.

screenreader.py PID: follows the program with that process id and prints,
one line each, tab-separated, newlines in texts written as "\\n":

  window  NAME  DESCRIPTION           a window became active (what Orca
                                      says first: its title, then what it
                                      is about)
  item    ROLE  NAME  DESCRIPTION  STATES
                                      every showing object of that window,
                                      in tree order
  focus   ROLE  NAME  DESCRIPTION  STATES  TEXT
                                      an object took the keyboard focus

ROLE is AT-SPI's role name ("push button", "toggle button", "text"), STATES
the interesting states, comma-separated ("checkable", "checked", ...), TEXT
the object's text when it has the Text interface (a field's contents).
"ready" is printed once the listeners are registered.
"""
import sys

import pyatspi

PID = int(sys.argv[1])
STATES = [
    (pyatspi.STATE_CHECKABLE, "checkable"),
    (pyatspi.STATE_CHECKED, "checked"),
    (pyatspi.STATE_PRESSED, "pressed"),
    (pyatspi.STATE_EDITABLE, "editable"),
    (pyatspi.STATE_READ_ONLY, "read only"),
    (pyatspi.STATE_MULTI_LINE, "multi line"),
    (pyatspi.STATE_FOCUSABLE, "focusable"),
    (pyatspi.STATE_IS_DEFAULT, "default"),
]


def clean(text):
    return (text or "").replace("\\", "\\\\").replace("\n", "\\n").replace("\t", " ")


def say(*fields):
    print("\t".join(clean(f) for f in fields), flush=True)


def ours(obj):
    try:
        return obj.get_process_id() == PID
    except Exception:
        return False


def states(obj):
    s = obj.getState()
    said = [name for state, name in STATES if s.contains(state)]
    if not s.contains(pyatspi.STATE_ENABLED):
        said.append("unavailable")
    return ",".join(said)


def text_of(obj):
    try:
        t = obj.queryText()
    except NotImplementedError:
        return ""
    return t.getText(0, t.characterCount)


def walk(obj, depth=0):
    if depth > 30:
        return
    for child in obj:
        if child is None:
            continue
        if child.getState().contains(pyatspi.STATE_SHOWING):
            say("item", child.getRoleName(), child.name, child.description, states(child))
        walk(child, depth + 1)


def on_event(event):
    src = event.source
    if src is None or not ours(src):
        return
    try:
        if event.type.startswith("window:activate"):
            say("window", src.name, src.description)
            walk(src)
        elif event.type.startswith("object:state-changed:focused") and event.detail1 == 1:
            say("focus", src.getRoleName(), src.name, src.description, states(src), text_of(src))
    except Exception as error:  # an object gone while it was read
        print("# " + clean(str(error)), flush=True)


pyatspi.Registry.registerEventListener(on_event, "window:activate",
                                       "object:state-changed:focused")
say("ready")
pyatspi.Registry.start()
