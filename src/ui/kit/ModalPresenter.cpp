#include "ui/kit/ModalPresenter.h"

namespace ui {
namespace {
ModalPresenter* installed = nullptr;
}

ModalPresenter& ModalPresenter::current() {
    static ExecModalPresenter exec;
    return installed ? *installed : exec;
}

void ModalPresenter::install(ModalPresenter* presenter) { installed = presenter; }

int ScriptedModalPresenter::runModal(QDialog& dialog) {
    ++presented_;
    dialog.setModal(true);
    dialog.show();
    if (script_) script_(dialog);
    if (dialog.isVisible()) dialog.reject();
    return dialog.result();
}

}  // namespace ui
