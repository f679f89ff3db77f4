#include "ui/QRBQtApplication.h"

#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "ui/kit/ModalPresenter.h"
#include "ui/kit/RunLoopBridge.h"
#include "ui/main/QRBDocumentWindow.h"
#include "ui/main/QRBSimplePrompt.h"
#include "ui/main/QRBStatusBarWidget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace ui {
namespace {

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int QRBQtApplication::run(int argc, const char* const* argv) {
    // Qt aborts the process when it cannot reach a display; say why instead.
    if (!hasDisplay()) {
        foundation::log(kNoDisplay);
        return 1;
    }
    std::string screenshots;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], kScreenshotsArgument) == 0) screenshots = argv[i + 1];

    // QApplication keeps a reference to argc and the argument strings for its whole life.
    static int qtArgc = 1;
    static char name[] = "quorbital";
    static char* qtArgv[] = {name, nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setApplicationName("Quorbital");
    RunLoopBridge bridge(foundation::RunLoop::main());

    if (!screenshots.empty()) {
        for (const std::string& file : writeScreenshots(screenshots)) foundation::logf("Wrote %s", file.c_str());
        return 0;
    }

    QRBDocumentWindow window;
    window.statusBarController().displayInfo(std::string("Ready"));
    window.show();
    return QApplication::exec();
}

void QRBQtApplication::terminate() { QCoreApplication::quit(); }

std::vector<std::string> writeScreenshots(const std::string& folder) {
    std::filesystem::create_directories(folder);
    std::vector<std::string> written;
    auto save = [&](QWidget& widget, const std::string& name) {
        const std::string path = (std::filesystem::path(folder) / (name + ".png")).string();
        if (widget.grab().save(QString::fromStdString(path))) written.push_back(path);
    };

    {
        QRBDocumentWindow window;
        window.show();
        window.activateWindow();
        QRBStatusBarController& status = window.statusBarController();
        QRBStatusBarWidget& bar = *window.statusBarWidget();
        // The picture shows where the transitions arrive (at most a few of their lengths later).
        auto settle = [&] {
            QElapsedTimer waited;
            waited.start();
            do {
                QApplication::processEvents(QEventLoop::AllEvents, 10);
            } while (bar.isAnimating() && waited.elapsed() < 4 * QRBStatusBarWidget::kTransitionMs);
        };
        status.setStatusIndicator(true);
        status.displayInfo(std::string("Routing on port 8000"));
        settle();
        save(window, "document-window");
        save(bar, "status-info");
        status.displayNotice(std::string("Wiimote 1 connected"), 5.0);
        settle();
        save(bar, "status-notice");
        status.displayAlert(std::string("OSC UDP Server error: Port 8000 already in use"), 5.0);
        settle();
        save(bar, "status-alert");
        status.setStatusIndicator(false);
        status.setDisclosureButtonState(true);
        status.displayInfo(std::string("Routing paused"));
        settle();
        save(bar, "status-paused-disclosed");
    }
    {
        QRBSimplePrompt prompt;
        prompt.setWindowTitleText("New Mapping");
        prompt.setPromptLabelText("Name of the new mapping:");
        const std::string hint = "The name appears in the Mappings menu.";
        prompt.setHintsLabelText(&hint);
        prompt.show();
        QApplication::processEvents();
        save(prompt, "prompt-empty");
        prompt.setDisplayString("Live set");
        QApplication::processEvents();
        save(prompt, "prompt-typed");
        prompt.hide();
    }
    return written;
}

}  // namespace ui
