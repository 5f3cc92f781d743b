// Toptions_form: construction of the dialog.
#include "app/options_form_unit.h"

Toptions_form* options_form = nullptr;

Toptions_form::Toptions_form(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Настройки"));
    setFixedSize(649, 425);
}
