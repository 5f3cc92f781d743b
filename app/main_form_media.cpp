// Tmain_form: recording (start, stop, rotation), photos and demo mode.
// GUI thread only.
#include "app/main_form_unit.h"

#include <QAction>

#include <ctime>

#include "app/form_timer.h"
#include "app/message_box.h"
#include "camera/sdk.h"
#include "player/video_state.h"
#include "recording/recording.h"
#include "settings/log.h"
#include "settings/settings.h"

bool Tmain_form::toggle_recording()
{
    // The sweep spares the file being recorded by itself (recording/recording.h).
    remove_old_files(settings.rec_path, std::time(nullptr), settings.rec_remove_interval * 3600.0);
    if (preview_handle < 0)
        return rec_timer->enabled();
    if (rec_timer->enabled()) {
        sdk_stop_save(preview_handle);
        rec_timer->set_enabled(false);
    } else {
        const std::string path = settings.rec_path + utc_timestamp() + ".mp4";
        if (sdk_start_save(preview_handle, path.c_str())) {
            log_print("%s rec started\n", utc_timestamp().c_str());
            rec_timer->set_interval(rec_timer_interval_ms(settings.rec_add_interval));
            rec_timer->set_enabled(true);
        } else {
            log_print("%s can not start rec\n", utc_timestamp().c_str());
        }
    }
    show_recording_state();
    return rec_timer->enabled();
}

std::string Tmain_form::service_status() const
{
    if (demo_timer->enabled())
        return "demo mode, no camera";
    std::string text = preview_handle >= 0 ? "camera connected" : "camera not connected, retrying";
    text += rec_timer->enabled() ? ", recording" : ", not recording";
    return text;
}

// The recording item's caption and shortcut follow whether recording runs.
void Tmain_form::show_recording_state()
{
    const bool recording = rec_timer->enabled();
    start_stop_rec_itm->setText(QString::fromUtf8(recording ? "Остановить запись видео"
                                                            : "Запустить запись видео"));
    start_stop_rec_itm->setShortcut(QKeySequence(recording ? Qt::Key_F6 : Qt::Key_F5));
}

void Tmain_form::start_stop_rec_itmClick()
{
    if (preview_handle < 0)
        return;
    const bool was_recording = rec_timer->enabled();
    toggle_recording();
    if (!was_recording && !rec_timer->enabled())
        show_warning(this, "Не могу запустить запись видео.");
}

void Tmain_form::rec_timerTimer()
{
    toggle_recording();
    toggle_recording();
}

void Tmain_form::save_img_itmClick()
{
    if (preview_handle < 0)
        return;
    jpeg_params_t params;
    params.img_size = static_cast<uint16_t>(settings.img_size);
    params.img_quality = static_cast<uint16_t>(settings.img_quality);
    const std::string path = settings.img_path + utc_timestamp() + ".jpg";
    if (sdk_capture_jpeg(login_handle, settings.channel, &params, path.c_str())) {
        log_print("%s img saved\n", utc_timestamp().c_str());
    } else {
        log_print("%s can not save img\n", utc_timestamp().c_str());
        show_warning(this, "Не могу сохранить фото.");
    }
}

void Tmain_form::enter_demo_mode()
{
    release_camera();
    if (opacity_value() != 0)
        set_transparency(true);
    set_demo_timer_enabled(true);
}

void Tmain_form::demo_timerTimer() { repaint(); }
