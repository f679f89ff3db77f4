#include "ui/main/QRBDocumentWindow.h"

#include "ui/main/QRBStatusBarWidget.h"

#include <QVBoxLayout>

QRBDocumentWindow::QRBDocumentWindow(QWidget* parent)
    : QMainWindow(parent), statusBar_(std::make_unique<QRBStatusBarController>()) {
    setObjectName("documentWindow");
    setWindowTitle(tr("Untitled"));
    auto* content = new QWidget(this);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* mainArea = new QWidget(content);
    mainArea->setObjectName("mainArea");
    mainArea->setBackgroundRole(QPalette::Base);
    mainArea->setAutoFillBackground(true);
    layout->addWidget(mainArea, 1);
    statusWidget_ = new QRBStatusBarWidget(*statusBar_, content);
    layout->addWidget(statusWidget_);
    setCentralWidget(content);
    resize(640, 420);
}

QRBDocumentWindow::~QRBDocumentWindow() {
    // The widget goes with its parent before the controller it draws for.
    delete takeCentralWidget();
}
