"""Archives of the MIDI outputs and templates written the way a separate program would, from each
class's archive keys, current and legacy; and a check of the keys a saved archive holds.

    write_midi_outputs.py write <path>      the outputs under "$top"/"root", as a list
    write_midi_outputs.py check <path>      each object of the saved list holds its class's keys

The list, in order:
 0  CC 7                       1  CC toggle 64
 2  note 60                    3  channel velocity
 4  channel pressure           5  pitch bend
 6  Flame program change 5     7  MIDI program change 5
 8  program change from value  9  channel of "/target"
10  all channels              11  note value "pitch" (type 0)
12  note value "Timbre"       (legacy string: aftertouch)
13  note on/off with the parameters of "/params"
14  Kyma controller 3
15  a template collection "Synth" holding a template of F0 41 10 42 12 40 00 00 F7 with a value,
    a channel and a checksum substitution
"""

import sys

import archives

BASE = ["QRBEventSource", "NSObject"]
CC = ["QRBCCEventSource"] + BASE
NOTE = ["QRBAbstractNoteEventSource"] + BASE
PC = ["QRBKymaPCEventSource"] + BASE
ELEMENT = ["QRBMIDIElement"] + BASE
SUBSTITUTION = ["QRBMIDISubstitution", "NSObject"]

# The keys each class writes, its own after its superclasses'.
BASE_KEYS = {"QRBEventSourceName", "alternateName"}
CC_KEYS = BASE_KEYS | {"QRBCCEventSourceCCNumber"}
KEYS = {
    "QRBMidiCCEventSource": CC_KEYS,
    "QRBMidiCCToggleEventSource": CC_KEYS,
    "_QRBKymaCCEventSource": CC_KEYS,
    "QRBMidiNoteEventSource": BASE_KEYS | {"QRBNoteEventSourceNoteNumber"},
    "QRBChannelVelocityEventSource": BASE_KEYS,
    "QRBChannelPressureEventSource": BASE_KEYS,
    "QRBPitchBendEventSource": BASE_KEYS,
    "QRBKymaPCEventSource": BASE_KEYS | {"QRBPCEventSourcePrgNumber"},
    "QRBMidiPCEventSource": BASE_KEYS | {"QRBPCEventSourcePrgNumber"},
    "QRBMidiPCFromContinuousValueEventSource": BASE_KEYS,
    "QRBChannelEventSource": BASE_KEYS | {"targetLocation"},
    "QRBAllChannelsEventSource": BASE_KEYS,
    "QRBNoteValuesEventSource": BASE_KEYS | {"type"},
    "QRBNoteOnOffEventSource": BASE_KEYS | {"paramsLocation"},
    "QRBMIDICollection": BASE_KEYS | {"templates", "isExpanded"},
    "QRBMIDITemplate": BASE_KEYS | {"parentCollection", "templateBytes", "substitutions", "triggerMode",
                                    "dataMin", "dataMax", "shouldTestInputMatching", "OSCPathForInputMatching",
                                    "toleratesRedundantOutputValues"},
    "QRBMIDIByteSubstitution": {"type", "dataMin", "dataMax", "slice", "templateByteBitOffset",
                                "templateByteIndex"},
    "QRBMIDIChecksumSubstitution": {"type", "checkFromIndex", "checkToIndex", "templateByteIndex"},
    "QRBActionLocation": {"displayName", "contextName", "pathComponents"},
}


def source(a, classes, name, **keys):
    return a.obj(classes, QRBEventSourceName=name, alternateName=None, **keys)


def location(a, address):
    return a.obj(["QRBActionLocation", "NSObject"], displayName=address, contextName=address,
                 pathComponents=a.array([]))


def write(path):
    a = archives.Archive()
    collection, _ = a.new(["QRBMIDICollection"] + ELEMENT)
    value = a.obj(["QRBMIDIByteSubstitution"] + SUBSTITUTION, type=1, dataMin=0, dataMax=127, slice="{0, 7}",
                  templateByteBitOffset=0, templateByteIndex=6)
    channel = a.obj(["QRBMIDIByteSubstitution"] + SUBSTITUTION, type=0, dataMin=0, dataMax=15, slice="{0, 4}",
                    templateByteBitOffset=0, templateByteIndex=5)
    checksum = a.obj(["QRBMIDIChecksumSubstitution"] + SUBSTITUTION, type=200, checkFromIndex=5, checkToIndex=6,
                     templateByteIndex=7)
    template = source(a, ["QRBMIDITemplate"] + ELEMENT, "Volume", parentCollection=collection,
                      templateBytes=bytes([0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x00, 0xF7]),
                      substitutions=a.array([value, channel, checksum]), triggerMode=2, dataMin=0, dataMax=100,
                      shouldTestInputMatching=True, OSCPathForInputMatching="/synth/volume",
                      toleratesRedundantOutputValues=False)
    a.fill(collection, QRBEventSourceName="Synth", alternateName=None, templates=a.array([template]),
           isExpanded=False)
    items = [
        source(a, ["QRBMidiCCEventSource"] + CC, "7", QRBCCEventSourceCCNumber=7),
        source(a, ["QRBMidiCCToggleEventSource", "QRBMidiCCEventSource"] + CC, "64", QRBCCEventSourceCCNumber=64),
        source(a, ["QRBMidiNoteEventSource"] + NOTE, "C3", QRBNoteEventSourceNoteNumber=60),
        source(a, ["QRBChannelVelocityEventSource"] + BASE, "Velocity"),
        source(a, ["QRBChannelPressureEventSource"] + BASE, "Pressure"),
        source(a, ["QRBPitchBendEventSource"] + BASE, "Bend"),
        source(a, PC, "5", QRBPCEventSourcePrgNumber=5),
        source(a, ["QRBMidiPCEventSource"] + PC, "6", QRBPCEventSourcePrgNumber=5),
        source(a, ["QRBMidiPCFromContinuousValueEventSource"] + BASE, "Program"),
        source(a, ["QRBChannelEventSource"] + BASE, "/target", targetLocation=location(a, "/target")),
        source(a, ["QRBAllChannelsEventSource"] + BASE, "All Channels"),
        source(a, ["QRBNoteValuesEventSource"] + BASE, "Pitch", type=0),
        source(a, ["QRBNoteValuesEventSource"] + BASE, "Timbre", QRBNoteValuesEventSourceType="Timbre"),
        source(a, ["QRBNoteOnOffEventSource"] + BASE, "Note", paramsLocation=location(a, "/params")),
        source(a, ["_QRBKymaCCEventSource"] + CC, "3", QRBCCEventSourceCCNumber=3),
        collection,
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
