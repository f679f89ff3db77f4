"""Keyed archives written and read independently of the program, with python's plistlib.

A document is a binary property list: {"$archiver": "NSKeyedArchiver", "$version": 100000,
"$top": {key: UID}, "$objects": ["$null", ...]}. Objects are dictionaries whose "$class" refers to a
class record {"$classname", "$classes"}; strings, containers and objects are entries of "$objects"
referred to by UID; numbers, booleans and bytes under a key are stored inline.
"""

import sys
import plistlib

UID = plistlib.UID


class Archive:
    def __init__(self):
        self.objects = ["$null"]
        self.class_uids = {}
        self.string_uids = {}

    def _append(self, value):
        self.objects.append(value)
        return UID(len(self.objects) - 1)

    def class_record(self, classes):
        name = classes[0]
        if name not in self.class_uids:
            self.class_uids[name] = self._append({"$classname": name, "$classes": list(classes)})
        return self.class_uids[name]

    def string(self, text):
        if text not in self.string_uids:
            self.string_uids[text] = self._append(text)
        return self.string_uids[text]

    def ref(self, value):
        """A reference for a key or a container: None is $null, a str an entry of its own."""
        if value is None:
            return UID(0)
        if isinstance(value, UID):
            return value
        if isinstance(value, str):
            return self.string(value)
        if isinstance(value, (bool, int, float, bytes)):
            return self._append(value)
        raise TypeError("cannot refer to %r" % (value,))

    def new(self, classes):
        """An object whose keys are filled in later (for objects that refer to each other)."""
        record = {"$class": self.class_record(classes)}
        return self._append(record), record

    def fill(self, uid, **keys):
        record = self.objects[uid.data]
        for key, value in keys.items():
            # Inline: numbers, booleans and bytes. Everything else is a reference.
            if isinstance(value, (bool, int, float, bytes)):
                record[key] = value
            else:
                record[key] = self.ref(value)
        return uid

    def obj(self, classes, **keys):
        uid, _ = self.new(classes)
        return self.fill(uid, **keys)

    def array(self, items):
        uid, record = self.new(["NSArray", "NSObject"])
        record["NS.objects"] = [self.ref(item) for item in items]
        return uid

    def set(self, items):
        uid, record = self.new(["NSSet", "NSObject"])
        record["NS.objects"] = [self.ref(item) for item in items]
        return uid

    def dictionary(self, mapping):
        uid, record = self.new(["NSDictionary", "NSObject"])
        record["NS.keys"] = [self.ref(key) for key in mapping]
        record["NS.objects"] = [self.ref(value) for value in mapping.values()]
        return uid

    def date(self, seconds_since_2001):
        uid, record = self.new(["NSDate", "NSObject"])
        record["NS.time"] = float(seconds_since_2001)
        return uid

    def save(self, path, top):
        archive = {
            "$archiver": "NSKeyedArchiver",
            "$version": 100000,
            "$top": {key: self.ref(value) for key, value in top.items()},
            "$objects": self.objects,
        }
        with open(path, "wb") as f:
            plistlib.dump(archive, f, fmt=plistlib.FMT_BINARY, sort_keys=False)


def load(path):
    with open(path, "rb") as f:
        head = f.read(8)
        f.seek(0)
        archive = plistlib.load(f)
    assert head == b"bplist00", head
    assert archive["$archiver"] == "NSKeyedArchiver", archive["$archiver"]
    assert archive["$version"] == 100000, archive["$version"]
    assert archive["$objects"][0] == "$null"
    return archive


def canonical(path, top_key=None):
    """What a document holds, independent of how its writer laid out the object table.

    Objects become ("object", number, class name, classes, {key: value}) where the number counts
    objects in the order a walk over the keys in sorted order meets them; an object met again
    becomes ("same", number). Values stored inline are ("inline", value) and values stored in the
    table ("table", value), so that a value moved between the two is a difference.
    """
    archive = load(path)
    objects = archive["$objects"]
    numbers = {}

    def walk(value):
        if isinstance(value, UID):
            index = value.data
            if index == 0:
                return None
            entry = objects[index]
            if isinstance(entry, dict) and "$class" in entry:
                if index in numbers:
                    return ("same", numbers[index])
                numbers[index] = len(numbers)
                cls = objects[entry["$class"].data]
                if cls["$classname"] in ("NSDictionary", "NSMutableDictionary"):
                    # The order of a dictionary's entries is not significant.
                    pairs = sorted(zip(entry.get("NS.keys", []), entry.get("NS.objects", [])),
                                   key=lambda pair: repr(objects[pair[0].data]))
                    keys = {repr(walk(key)): walk(value) for key, value in pairs}
                    return ("object", numbers[index], cls["$classname"], tuple(cls["$classes"]), keys)
                keys = {key: walk(entry[key]) for key in sorted(entry) if key != "$class"}
                return ("object", numbers[index], cls["$classname"], tuple(cls["$classes"]), keys)
            return ("table", entry)
        if isinstance(value, list):
            return [walk(item) for item in value]
        return ("inline", value)

    top = archive["$top"]
    if top_key is not None:
        return walk(top[top_key])
    return {key: walk(top[key]) for key in sorted(top)}


def first_difference(a, b, where="document"):
    """A text naming the first place where two canonical forms differ, or None."""
    if type(a) != type(b):
        return "%s: %r != %r" % (where, a, b)
    if isinstance(a, dict):
        for key in sorted(set(a) | set(b)):
            if key not in a or key not in b:
                return "%s: key %r only in %s" % (where, key, "the first" if key in a else "the second")
            found = first_difference(a[key], b[key], "%s.%s" % (where, key))
            if found:
                return found
        return None
    if isinstance(a, (list, tuple)):
        if len(a) != len(b):
            return "%s: %d entries != %d" % (where, len(a), len(b))
        for i, (x, y) in enumerate(zip(a, b)):
            label = where
            if isinstance(a, tuple) and a and a[0] == "object" and i == 4:
                label = "%s<%s>" % (where, a[2])
            elif isinstance(a, list):
                label = "%s[%d]" % (where, i)
            found = first_difference(x, y, label)
            if found:
                return found
        return None
    if a != b or (isinstance(a, float) != isinstance(b, float)):
        return "%s: %r != %r" % (where, a, b)
    return None


def check_keys(path, expected):
    """Exits with 1, listing them, unless every object of a class in `expected` (class name → key
    set) holds exactly those keys and every class there has an object in the archive."""
    archive = load(path)
    objects = archive["$objects"]
    failures = []
    seen = set()
    for entry in objects:
        if not (isinstance(entry, dict) and "$class" in entry):
            continue
        name = objects[entry["$class"].data]["$classname"]
        if name not in expected:
            continue
        seen.add(name)
        keys = set(entry) - {"$class"}
        if keys != expected[name]:
            failures.append("%s: keys %s, expected %s" % (name, sorted(keys), sorted(expected[name])))
    for name in expected:
        if name not in seen:
            failures.append("%s: not in the archive" % name)
    if failures:
        print("\n".join(failures))
        sys.exit(1)

