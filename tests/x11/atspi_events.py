# What a screen reader learns of the program over AT-SPI: first the window's tree (role, name,
# labelled-by), then one line per event, flushed as it comes. Runs until killed.
#   /usr/bin/python3 atspi_events.py PROGRAM_NAME
import sys
import time

import pyatspi


def line(*fields):
    print("\t".join(fields), flush=True)


def tree(node, depth=0):
    labels = [r.getTarget(i).name for r in node.getRelationSet()
              if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
              for i in range(r.getNTargets())]
    line("tree", str(depth), node.getRoleName(), node.name, ",".join(labels))
    for child in node:
        tree(child, depth + 1)


for _ in range(100):
    apps = [app for app in pyatspi.Registry.getDesktop(0) if app and app.name == sys.argv[1]]
    if apps and apps[0].childCount:
        break
    time.sleep(0.1)
else:
    sys.exit("the program never showed up on the accessibility bus")
tree(apps[0])
line("ready")


def event(e):
    if e.host_application and e.host_application.name == sys.argv[1]:
        line("event", e.type, e.source.getRoleName(), e.source.name)


for kind in ("object:state-changed:showing", "object:property-change:accessible-name", "focus:"):
    pyatspi.Registry.registerEventListener(event, kind)
pyatspi.Registry.start()
