#!/usr/bin/env python3
"""Runs scripts/check-layering.py on small source trees of one include each: the check must fail on
every include that breaks a layer rule, naming the file and line, and pass the ones that keep them."""

import importlib.util
import pathlib
import subprocess
import sys
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check-layering.py"
_spec = importlib.util.spec_from_file_location("check_layering", SCRIPT)
check_layering = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_layering)

# (file under src/, its include line, whether the check must refuse it)
CASES = [
    ("foundation/RunLoop.cpp", '#include "foundation/Log.h"', False),
    ("foundation/RunLoop.cpp", '#include "core/osc/QRBArg.h"', True),
    ("foundation/RunLoop.cpp", '#include "zz/ZZUtilities.h"', True),
    ("foundation/RunLoop.cpp", '#include "platform/FakeBonjourBackend.h"', True),
    ("zz/ZZHeartbeat.cpp", '#include "foundation/RunLoop.h"', False),
    ("zz/ZZHeartbeat.cpp", '#include "midi/QRBMIDIManager.h"', True),
    ("zz/ZZHeartbeat.cpp", '  #  include "controllers/QRBWiiRemote.h"', True),
    # The core is the engine's floor: nothing above it, neither a subsystem nor the document.
    ("core/osc/QRBServer.cpp", '#include "core/mapping/QRBContext.h"', False),
    ("core/osc/QRBServer.cpp", '#include "zz/ZZUtilities.h"', False),
    ("core/osc/QRBServer.cpp", '#include "midi/tarn/TarnMIDIEndpoint.h"', True),
    ("core/outputs/QRBCCEventSource.cpp", '#include "flame/QRBFlameLink.h"', True),
    ("core/mapping/QRBAction.cpp", '#include "features/QRBVariable.h"', True),
    ("core/mapping/QRBAction.cpp", '#include "controllers/QRBWiiRemote.h"', True),
    ("core/osc/QRBServer.cpp", '#include "document/QRBManager.h"', True),
    # The subsystems stand on the core, use each other and hang from the document.
    ("midi/QRBMIDIManager.cpp", '#include "core/osc/QRBArg.h"', False),
    ("midi/QRBMIDIManager.cpp", '#include "document/QRBManager.h"', False),
    ("features/QRBVariable.cpp", '#include "midi/QRBMIDIManager.h"', False),
    ("flame/QRBFlameLink.cpp", '#include "core/outputs/QRBCCEventSource.h"', False),
    ("controllers/QRBWiiRemote.cpp", '#include "flame/QRBFlameLink.h"', False),
    # The document is the engine's top: all of the engine, nothing outside it.
    ("document/QRBManager.cpp", '#include "controllers/QRBWiiRemote.h"', False),
    ("document/QRBManager.cpp", '#include "platform/FakeBonjourBackend.h"', True),
    ("document/QRBManager.cpp", '#include "ui/main/QRBMainWindow.h"', True),
    # Below the document only the subsystems include it.
    ("zz/ZZHeartbeat.cpp", '#include "document/QRBManager.h"', True),
    ("foundation/RunLoop.cpp", '#include "document/QRBManager.h"', True),
    ("platform/AvahiBonjourBackend.cpp", '#include "document/QRBManager.h"', True),
    ("platform/AvahiBonjourBackend.cpp", '#include "core/osc/QRBTarget.h"', False),
    ("ui/main/QRBMainWindow.cpp", '#include "document/QRBDocument.h"', False),
    ("ui/main/QRBMainWindow.cpp", '#include "app/Wiring.h"', True),
    ("app/main.cpp", '#include "document/QuorbitalCore.h"', False),
    ("core/osc/QRBServer.cpp", '#include "platform/AvahiBonjourBackend.h"', True),
    ("flame/QRBFlame.cpp", '#include "platform/firewire/Raw1394Bus.h"', True),
    ("midi/QRBMIDIManager.cpp", '#include "ui/main/QRBMainWindow.h"', True),
    ("platform/midi/JackMidiBackend.cpp", '#include "midi/backends/MidiBackend.h"', False),
    ("platform/AvahiBonjourBackend.cpp", '#include "app/Wiring.h"', True),
    ("ui/main/QRBMainWindow.cpp", '#include "platform/FakeBonjourBackend.h"', False),
    ("ui/main/QRBMainWindow.cpp", "#include <QtWidgets/QMainWindow>", False),
    ("app/main.cpp", "#include <QApplication>", False),
    ("document/QRBManager.cpp", "#include <QObject>", True),
    ("foundation/Task.cpp", "#include <QtCore>", True),
    ("platform/XTest.cpp", "#include <Qt3DCore/QEntity>", True),
    ("core/osc/QRBArg.cpp", "#include <lo/lo.h>", False),
    ("core/osc/QRBArg.cpp", "#include <queue>", False),
    ("gadgets/Gadget.cpp", '#include "foundation/Log.h"', True),
]


def tree_with(root, path, line):
    src = pathlib.Path(root) / "src"
    source = src / path
    source.parent.mkdir(parents=True)
    source.write_text(f"// a file\n{line}\n")
    return src, source


class CheckLayeringTest(unittest.TestCase):
    def test_each_include(self):
        for path, line, refused in CASES:
            with self.subTest(path=path, line=line), tempfile.TemporaryDirectory() as root:
                src, source = tree_with(root, path, line)
                problems = check_layering.check(src)
                self.assertEqual(len(problems), 1 if refused else 0, problems)
                if refused:
                    self.assertTrue(problems[0].startswith(str(source)), problems)

    def test_the_program_fails_on_a_wrong_include_and_passes_a_clean_tree(self):
        for line, status in [('#include "core/osc/QRBArg.h"', 1), ('#include "foundation/Log.h"', 0)]:
            with self.subTest(line=line), tempfile.TemporaryDirectory() as root:
                src, source = tree_with(root, "foundation/RunLoop.cpp", line)
                result = subprocess.run([sys.executable, str(SCRIPT), str(src)], capture_output=True, text=True)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                if status:
                    self.assertIn(f"{source}:2: foundation includes core/osc/QRBArg.h", result.stdout)


if __name__ == "__main__":
    unittest.main()
