# What a screen reader learns of the program over AT-SPI: the window's tree (role, name, the
# labels it is labelled by), then one line per event. Runs until killed.
import functools
import sys
import time

import pyatspi

say = functools.partial(print, sep="\t", flush=True)


def tree(node, depth):
    say("tree", depth, node.getRoleName(), node.name, ",".join(
        r.getTarget(0).name for r in node.getRelationSet()
        if r.getRelationType() == pyatspi.RELATION_LABELLED_BY))
    for child in node:
        tree(child, depth + 1)


while not (apps := [a for a in pyatspi.Registry.getDesktop(0) if a and a.name == sys.argv[1]]):
    time.sleep(0.1)
tree(apps[0], 0)
say("ready")
pyatspi.Registry.registerEventListener(
    lambda e: say("event", e.type, e.source.getRoleName(), e.source.name),
    "object:state-changed:showing", "object:property-change:accessible-name")
pyatspi.Registry.start()
