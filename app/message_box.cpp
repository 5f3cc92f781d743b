// Modal message boxes of the main window and the options dialog.
#include "app/message_box.h"

#include <QMessageBox>
#include <QString>

#include "service/headless.h"

std::function<void(bool warning, const char* text)> message_box_hook;

namespace {

void show_box(QWidget* parent, bool warning, const char* text)
{
    if (runs_without_window())
        return;
    if (message_box_hook) {
        message_box_hook(warning, text);
        return;
    }
    const QString caption = warning ? QStringLiteral("Ошибка") : QStringLiteral("Сообщение");
    const QMessageBox::Icon icon = warning ? QMessageBox::Warning : QMessageBox::Information;
    QMessageBox box(icon, caption, QString::fromUtf8(text), QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

void show_warning(QWidget* parent, const char* text) { show_box(parent, true, text); }
void show_information(QWidget* parent, const char* text) { show_box(parent, false, text); }
