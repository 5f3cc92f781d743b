// Tmain_form: the recording and photo items, and demo mode.
// GUI thread only.
#include "app/main_form_unit.h"

#include <QAction>

#include "app/message_box.h"
#include "player/video_state.h"
#include "service/form_timer.h"
#include "settings/settings.h"

// The recording item's caption and shortcut follow whether recording runs.
void Tmain_form::show_recording_state()
{
    const bool recording = core.recording();
    start_stop_rec_itm->setText(QString::fromUtf8(recording ? "Остановить запись видео"
                                                            : "Запустить запись видео"));
    start_stop_rec_itm->setShortcut(QKeySequence(recording ? Qt::Key_F6 : Qt::Key_F5));
}

void Tmain_form::start_stop_rec_itmClick()
{
    if (preview_handle < 0)
        return;
    const bool was_recording = core.recording();
    core.toggle_recording();
    if (!was_recording && !core.recording())
        show_warning(this, "Не могу запустить запись видео.");
}

void Tmain_form::recording_changed() { show_recording_state(); }

// The photo is taken by the core off this thread; its warning comes with
// the outcome (photo_done).
void Tmain_form::save_img_itmClick()
{
    if (preview_handle < 0)
        return;
    core.take_photo();
}

void Tmain_form::photo_done(bool saved)
{
    if (!saved)
        show_warning(this, "Не могу сохранить фото.");
}

void Tmain_form::enter_demo_mode()
{
    core.release_camera();
    if (opacity_value() != 0)
        set_transparency(true);
    set_demo_timer_enabled(true);
}

void Tmain_form::demo_timerTimer() { repaint(); }

void Tmain_form::demo_tick() { demo_timerTimer(); }
