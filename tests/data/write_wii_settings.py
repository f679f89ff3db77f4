"""Archives of a document's Wii remote slots written the way a separate program would, from the
slot's archive keys, current and legacy; and a check of the keys a saved archive holds.

    write_wii_settings.py current <path>   a manager holding a list of eight slots (Version 2)
    write_wii_settings.py legacy <path>    a manager holding a set of three slots (Version 1: the
                                           slot a number object under "QRBWiiSettingsSlot", no
                                           MotionPlus, battery, TUIO, IR sensitivity keys)
    write_wii_settings.py check <path> [--no-calibration]
                                           every manager, slot and null calibration of a saved
                                           archive holds exactly its class's keys (no
                                           calibration object expected with the option)

The manager is under "$top"/"root". Current slots: slot n is enabled when n is odd, sends XYZ when
n > 4, has smoothingAcc n * 1.5, smoothingIR 100 - n, smoothingMotionPlus 20 + n, motionPlusMode
n % 3, irSensitivity n - 1, useMotionPlus and outputRawMotion for n = 2, outputIR, outputRawIR and
outputIRTUIO for n = 3, outputBatteryLevel for n = 4, outputPRY off for n = 5, LEDs synced for
n = 6. Legacy slots 2, 5, 7: enabled for 2 and 7, XYZ for 5, PRY for 2, IR for 7, raw IR for 5,
smoothingAcc 30 / 40 / 50, smoothingIR 5 / 6 / 7, LEDs synced for 5.
"""

import sys

import archives

SLOT = ["QRBWiiRemote", "NSObject"]
MANAGER = ["QRBWiiRemoteManager", "NSObject"]
NULL_CALIBRATION = ["QRBWKTUIONullCalibrationData", "QRBWKTUIOCalibrationData", "NSObject"]

SLOT_KEYS = {"Version", "slot", "QRBWiiSettingsEnabled", "outputBatteryLevel", "QRBWiiSettingsOutXYZ",
             "QRBWiiSettingsOutPRY", "QRBWiiSettingsOutIR", "outputIRTUIO", "QRBWiiSettingsOutRawIR",
             "QRBWiiSettingsOutRawMotion", "QRBWiiSettingsSmoothAcc", "QRBWiiSettingsSmoothIR",
             "QRBWiiSettingsSmoothMotion", "QRBWiiSettingsMotionMode", "useMotionPlus", "irSensitivity",
             "TUIOCalibrationData", "QRBWiiSettingsSyncLEDsWithPreset"}
KEYS = {
    "QRBWiiRemoteManager": {"QRBWiiSettings"},
    "QRBWiiRemote": SLOT_KEYS,
    "QRBWKTUIONullCalibrationData": set(),
}


def current_slot(a, n):
    return a.obj(SLOT, Version=2, slot=n, QRBWiiSettingsEnabled=n % 2 == 1, outputBatteryLevel=n == 4,
                 QRBWiiSettingsOutXYZ=n > 4, QRBWiiSettingsOutPRY=n != 5, QRBWiiSettingsOutIR=n == 3,
                 outputIRTUIO=n == 3, QRBWiiSettingsOutRawIR=n == 3, QRBWiiSettingsOutRawMotion=n == 2,
                 QRBWiiSettingsSmoothAcc=n * 1.5, QRBWiiSettingsSmoothIR=100.0 - n,
                 QRBWiiSettingsSmoothMotion=20.0 + n, QRBWiiSettingsMotionMode=n % 3, useMotionPlus=n == 2,
                 irSensitivity=n - 1, TUIOCalibrationData=a.obj(NULL_CALIBRATION),
                 QRBWiiSettingsSyncLEDsWithPreset=n == 6)


def legacy_slot(a, n, enabled, xyz, pry, ir, raw_ir, acc, smooth_ir, sync):
    # Version 1 kept the slot as a number object of its own.
    return a.obj(SLOT, Version=1, QRBWiiSettingsSlot=a.ref(n), QRBWiiSettingsEnabled=enabled,
                 QRBWiiSettingsOutXYZ=xyz, QRBWiiSettingsOutPRY=pry, QRBWiiSettingsOutIR=ir,
                 QRBWiiSettingsOutRawIR=raw_ir, QRBWiiSettingsSmoothAcc=acc, QRBWiiSettingsSmoothIR=smooth_ir,
                 QRBWiiSettingsSyncLEDsWithPreset=sync)


def write_current(path):
    a = archives.Archive()
    slots = a.array([current_slot(a, n) for n in range(1, 9)])
    a.save(path, {"root": a.obj(MANAGER, QRBWiiSettings=slots)})


def write_legacy(path):
    a = archives.Archive()
    slots = a.set([
        legacy_slot(a, 5, False, True, False, False, True, 40.0, 6.0, True),
        legacy_slot(a, 2, True, False, True, False, False, 30.0, 5.0, False),
        legacy_slot(a, 7, True, False, False, True, False, 50.0, 7.0, False),
    ])
    a.save(path, {"root": a.obj(MANAGER, QRBWiiSettings=slots)})


if __name__ == "__main__":
    command, path = sys.argv[1], sys.argv[2]
    if command == "current":
        write_current(path)
    elif command == "legacy":
        write_legacy(path)
    elif command == "check":
        expected = dict(KEYS)
        if "--no-calibration" in sys.argv[3:]:
            del expected["QRBWKTUIONullCalibrationData"]
        archives.check_keys(path, expected)
    else:
        sys.exit("unknown command " + command)
