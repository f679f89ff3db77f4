// The windowed application's entry, in a module of its own that the program loads only for a
// windowed run: a headless run never loads Qt.

#include "app/GuiEntry.h"

#include "ui/QRBQtApplication.h"

extern "C" QRBApplicationInterface* quorbitalCreateWindowedApplication() { return new ui::QRBQtApplication(); }
