#pragma once
// The document window: for now an empty main area above the status line, the frame later windows
// fill.

#include "ui/main/QRBStatusBarController.h"

#include <QMainWindow>

#include <memory>

class QRBStatusBarWidget;

class QRBDocumentWindow : public QMainWindow {
public:
    explicit QRBDocumentWindow(QWidget* parent = nullptr);
    ~QRBDocumentWindow() override;

    QRBStatusBarController& statusBarController() { return *statusBar_; }
    QRBStatusBarWidget* statusBarWidget() const { return statusWidget_; }

private:
    std::unique_ptr<QRBStatusBarController> statusBar_;
    QRBStatusBarWidget* statusWidget_ = nullptr;
};
