"""Archives of the mapping outputs (mapping and snapshot switches, enable, variables, logs and
delays) written the way a separate program would, from each class's archive keys, current and
legacy; and a check of the keys a saved archive holds.

    write_mapping_outputs.py write <path>      the outputs under "$top"/"root", as a list
    write_mapping_outputs.py check <path>      each output of the saved list holds its class's keys

The list, in order:
 0  next mapping, named "Next Preset"            (legacy name)
 1  previous mapping, named "Previous Preset"    (legacy name)
 2  mapping by name "Live"
 3  mapping by name, from the archived preset "Old" under "QRBPreset"   (legacy key)
 4  mapping by index or name
 5  snapshot take, new
 6  relative snapshot recall, next
 7  snapshot recall by index
 8  snapshot recall of "Chorus"
 9  the legacy force-restore output              (decodes as "Recall Current")
10  the legacy placeholder named "Old thing"     (decodes as nothing)
11  toggled enable of "/target"
12  enable naming its target action, latched NO  (legacy keys: a toggled enable)
13  enable naming its target action, latched YES (legacy keys: a latched enable)
14  variable 9
15  variable named "Variable 12", without an index   (legacy)
16  simple log, 17 rate-limited log
18  a delay of 0.25 s with the memo "fade"
19  the time events list holding that delay
20  the context "/target" the legacy enables name
"""

import sys

import archives
import write_documents as documents

BASE = ["QRBEventSource", "NSObject"]
PRESET_BASE = ["QRBPresetChangeEventSourceBase"] + BASE
SNAPSHOT_BASE = ["QRBSnapshotEventSourceBase"] + BASE
RECALL_BASE = ["QRBSnapshotRecallEventSourceBase"] + SNAPSHOT_BASE
ENABLE = ["QRBMetaEnable"] + BASE
LOG = ["NSLogEventSource"] + BASE

# The keys each class writes, its own after its superclasses'.
BASE_KEYS = {"QRBEventSourceName", "alternateName"}
KEYS = {
    "QRBPresetChangeEventSource": BASE_KEYS | {"QRBPresetChangeNext"},
    "QRBPresetEventSource": BASE_KEYS | {"presetName"},
    "QRBPresetChangeIndexedEventSource": BASE_KEYS,
    "QRBSnapshotTakeEventSource": BASE_KEYS | {"shouldTakeNewSnapshot"},
    "QRBSnapshotRelativeRecallEventSource": BASE_KEYS | {"recallMode"},
    "QRBSnapshotIndexedRecallEventSource": BASE_KEYS,
    "QRBSnapshotRecallEventSource": BASE_KEYS | {"snapshotName"},
    "_QRBToggledEnable": BASE_KEYS | {"targetLocation"},
    "_QRBLatchedEnable": BASE_KEYS | {"targetLocation"},
    "QRBVariable": BASE_KEYS | {"index"},
    "NSLogEventSource": BASE_KEYS,
    "NSLogLimitEventSource": BASE_KEYS,
    "QRBDelayEventSource": BASE_KEYS | {"delayInterval", "memo"},
    "QRBTimeEventsManager": {"delays"},
    "QRBActionLocation": {"displayName", "contextName", "pathComponents"},
}


def source(a, classes, name, **keys):
    return a.obj(classes, QRBEventSourceName=name, alternateName=None, **keys)


def write(path):
    a = archives.Archive()
    target = documents.context(a, None, "/target", None)
    location = a.obj(["QRBActionLocation", "NSObject"], displayName="/target", contextName="/target",
                     pathComponents=a.array([]))
    old_preset = a.obj(["QRBPreset", "NSObject"], QRBPresetName="Old", QRBPresetObjects=a.array([]),
                       snapshots=a.array([]))
    delay = source(a, ["QRBDelayEventSource"] + BASE, "250 ms \u2013 fade", delayInterval=0.25, memo="fade")
    items = [
        source(a, ["QRBPresetChangeEventSource"] + PRESET_BASE, "Next Preset", QRBPresetChangeNext=True),
        source(a, ["QRBPresetChangeEventSource"] + PRESET_BASE, "Previous Preset", QRBPresetChangeNext=False),
        source(a, ["QRBPresetEventSource"] + PRESET_BASE, "Change to 'Live'", presetName="Live"),
        source(a, ["QRBPresetEventSource"] + PRESET_BASE, "Old", QRBPreset=old_preset),
        source(a, ["QRBPresetChangeIndexedEventSource"] + PRESET_BASE, "Change by Index"),
        source(a, ["QRBSnapshotTakeEventSource"] + SNAPSHOT_BASE, "Take New", shouldTakeNewSnapshot=True),
        source(a, ["QRBSnapshotRelativeRecallEventSource"] + RECALL_BASE, "Recall Next", recallMode=2),
        source(a, ["QRBSnapshotIndexedRecallEventSource"] + RECALL_BASE, "Recall by Index"),
        source(a, ["QRBSnapshotRecallEventSource"] + RECALL_BASE, "Recall Chorus", snapshotName="Chorus"),
        source(a, ["QRBForcePresetRestoreEventSource"] + BASE, "Force"),
        source(a, ["QRBDummyEventSource"] + BASE, "Old thing"),
        source(a, ["_QRBToggledEnable"] + ENABLE, "/target", targetLocation=location),
        source(a, ENABLE, "Enable", QRBMetaEnableAction=target, QRBMetaEnableLatched=False),
        source(a, ENABLE, "Enable", QRBMetaEnableAction=target, QRBMetaEnableLatched=True),
        source(a, ["QRBVariable"] + BASE, "9", index=9),
        source(a, ["QRBVariable"] + BASE, "Variable 12"),
        source(a, LOG, "Simple Log"),
        source(a, ["NSLogLimitEventSource"] + LOG, "Rate Limited Log"),
        delay,
        a.obj(["QRBTimeEventsManager", "NSObject"], delays=a.array([delay])),
        target,
    ]
    a.save(path, {"root": a.array(items)})


def check(path):
    archives.check_keys(path, KEYS)


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "write":
        write(sys.argv[2])
    elif command == "check":
        check(sys.argv[2])
    else:
        sys.exit("unknown command " + command)
