// Toptions_form: the modal options dialog. It shows the settings, checks
// the numeric entries as they are typed, applies them on Apply, and offers
// the main window's restart, reconnect and demo actions. GUI thread only.
#pragma once

#include <QDialog>

class Toptions_form : public QDialog {
    Q_OBJECT
public:
    explicit Toptions_form(QWidget* parent = nullptr);
};

extern Toptions_form* options_form;
