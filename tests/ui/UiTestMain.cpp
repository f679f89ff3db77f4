// The main of the window tests: a Qt application on the Xvfb server the test fixture started,
// with a fixed style and font so that sizes and pictures do not depend on the machine.
#include "document/EngineClasses.h"

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    registerEngineClasses();

    if (const char* file = std::getenv("QUORBITAL_XVFB_DISPLAY_FILE")) {
        std::ifstream in(file);
        std::string display;
        std::getline(in, display);
        if (display.empty()) {
            std::fprintf(stderr, "No X server: %s holds no display (did the xvfb fixture run?)\n", file);
            return 1;
        }
        setenv("DISPLAY", display.c_str(), 1);
    }
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "The window tests need an X server: run them through CTest (label gui)\n");
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    // No session bus: the tests need none, and libdbus keeps a buffer of a failed connection to
    // the end of the process, which the leak checker would report.
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    unsetenv("QT_QPA_PLATFORMTHEME");
    unsetenv("QT_SCALE_FACTOR");
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    static int qtArgc = 1;
    static char name[] = "ui_tests";
    static char* qtArgv[] = {name, nullptr};
    QApplication application(qtArgc, qtArgv);
    QFont font("DejaVu Sans", 9);
    font.setStyleHint(QFont::SansSerif);
    QApplication::setFont(font);
    return RUN_ALL_TESTS();
}
