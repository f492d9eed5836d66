#pragma once
// The open and save panels of the program, over QFileDialog. Both run modally on the main
// thread; only the dialog's Accept counts as a choice.
#include "platform/ui/Panels.h"

class QWidget;

namespace trimwell {

class FileDialogPanels : public Panels {
public:
    // parent: the window the dialogs belong to; may be null.
    explicit FileDialogPanels(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }

    std::optional<std::string> runOpen(const OpenPanelRequest& request) override;
    std::optional<std::string> runSave(const SavePanelRequest& request) override;

private:
    QWidget* parent_{nullptr}; // main thread only; not owned
};

} // namespace trimwell
