// The program's two kinds of message box: a warning with the caption
// "Ошибка" and an information box with the caption "Сообщение". Never shown
// in daemon mode. GUI thread only.
#pragma once

#include <functional>

class QWidget;

void show_warning(QWidget* parent, const char* text);
void show_information(QWidget* parent, const char* text);

// When set, boxes are handed to it instead of being shown (tests on the
// offscreen platform cannot answer a modal box). warning is false for an
// information box.
extern std::function<void(bool warning, const char* text)> message_box_hook;
