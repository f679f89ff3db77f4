"""Archives of the controller outputs (the Wii remote outputs, the key outputs and the mouse
output) written the way a separate program would, from each class's archive keys, current and
legacy; and a check of the keys a saved archive holds.

    write_controller_outputs.py write <path>    the outputs under "$top"/"root", as a list
    write_controller_outputs.py check <path>    each output of the saved list holds its class's keys

The list, in order:
 0  LED output of slot 3, level ("QRBWiiLEDType" 1)
 1  LED output in the older form: slot 5 under "QRBWiiRemoteSlot", numeric
 2  vibrate of slot 2, 3 enable of slot 8, 4 MotionPlus reset of slot 1
 5  vibrate in the older form: slot 6 under "QRBWiiRemoteSlot", no "Version"
 6  key output for virtual key code 49 (space)
 7  key output from the value's code
 8  mouse output of type 5
"""

import sys

import archives

BASE = ["QRBEventSource", "NSObject"]
WII = ["QRBWiiAbstractEventSource"] + BASE

# The keys each class writes, its own after its superclasses'.
BASE_KEYS = {"QRBEventSourceName", "alternateName"}
WII_KEYS = BASE_KEYS | {"Version", "slot"}
KEYS = {
    "QRBWiiLEDEventSource": WII_KEYS | {"QRBWiiLEDType"},
    "QRBWiiVibrateEventSource": WII_KEYS,
    "QRBWiiEnableEventSource": WII_KEYS,
    "QRBWiiMotionPlusReset": WII_KEYS,
    "QRBKeyEventSource": BASE_KEYS | {"QRBKeycodeEventSourceKeycode"},
    "QRBKeyFromCodeEventSource": BASE_KEYS,
    "QRBMouseEventSource": BASE_KEYS | {"QRBMouseActionType"},
}


def source(a, classes, name, **keys):
    return a.obj(classes, QRBEventSourceName=name, alternateName=None, **keys)


def write(path):
    a = archives.Archive()
    items = [
        source(a, ["QRBWiiLEDEventSource"] + WII, "LEDs", Version=2, slot=3, QRBWiiLEDType=1),
        source(a, ["QRBWiiLEDEventSource"] + WII, "LEDs", Version=1, QRBWiiRemoteSlot=5, QRBWiiLEDType=0),
        source(a, ["QRBWiiVibrateEventSource"] + WII, "Vibrate", Version=2, slot=2),
        source(a, ["QRBWiiEnableEventSource"] + WII, "Enable", Version=2, slot=8),
        source(a, ["QRBWiiMotionPlusReset"] + WII, "MotionPlus Reset", Version=2, slot=1),
        source(a, ["QRBWiiVibrateEventSource"] + WII, "Vibrate", QRBWiiRemoteSlot=6),
        source(a, ["QRBKeyEventSource"] + BASE, "Space", QRBKeycodeEventSourceKeycode=49),
        source(a, ["QRBKeyFromCodeEventSource"] + BASE, "Key From Code"),
        source(a, ["QRBMouseEventSource"] + BASE, "Mouse", QRBMouseActionType=5),
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
