// Toptions_form: the modal options dialog. It shows the settings, checks
// the numeric entries as they are typed, applies them on Apply (the web
// values under server_lock), and offers the main window's restart, reconnect
// and demo actions. Created once by the process entry, shown by the main
// window's menu. GUI thread only; Qt's parent-child ownership frees the
// controls.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class Toptions_form : public QDialog {
    Q_OBJECT
public:
    explicit Toptions_form(QWidget* parent = nullptr);

    // Group "Web-сервер".
    QGroupBox* web_GroupBox = nullptr;
    QLineEdit* ip = nullptr;             // listening address
    QLineEdit* port = nullptr;           // listening port, integer-checked
    QLineEdit* login = nullptr;          // HTTP Basic user
    QLineEdit* password = nullptr;       // HTTP Basic password, shown in clear
    QLineEdit* root = nullptr;           // web root folder
    QPushButton* browse_root = nullptr;  // folder chooser for root
    QLineEdit* sizeof_in = nullptr;      // receive buffer, integer-checked
    QLineEdit* sizeof_out = nullptr;     // send buffer, integer-checked
    QLineEdit* frame_delay = nullptr;    // MJPEG frame time, integer-checked
    QLineEdit* main_interval = nullptr;  // server loop sleep, integer-checked
    // Group "Камера".
    QGroupBox* ipc_GroupBox = nullptr;
    QLineEdit* ipc_ip = nullptr;        // camera address
    QLineEdit* ipc_port = nullptr;      // camera port, integer-checked
    QLineEdit* ipc_login = nullptr;     // camera user
    QLineEdit* ipc_password = nullptr;  // camera password, shown in clear
    QLineEdit* channel = nullptr;       // preview channel, integer-checked
    QComboBox* ipc_stream = nullptr;    // "Main"/"Sub": bit 31 of link_mode
    QComboBox* ipc_mode = nullptr;      // transport: bits 0-30 of link_mode
    // Group "Видео".
    QGroupBox* rec_GroupBox = nullptr;
    QLineEdit* rec_add_interval = nullptr;     // hours per file, interval-checked
    QLineEdit* rec_remove_interval = nullptr;  // hours kept, interval-checked
    QLineEdit* rec_path = nullptr;             // recording folder
    QPushButton* browse_rec_path = nullptr;    // folder chooser for rec_path
    // Group "Фото".
    QGroupBox* img_GroupBox = nullptr;
    QComboBox* img_size = nullptr;           // photo size code
    QComboBox* img_quality = nullptr;        // photo quality code
    QLineEdit* img_path = nullptr;           // photo folder
    QPushButton* browse_img_path = nullptr;  // folder chooser for img_path
    // Group "Подключение".
    QGroupBox* con_GroupBox = nullptr;
    QLineEdit* con_wait_time = nullptr;   // connect time-out, integer-checked
    QLineEdit* con_try_times = nullptr;   // connect attempts, integer-checked
    QLineEdit* recon_interval = nullptr;  // time between attempts, integer-checked
    // Buttons.
    QPushButton* apply = nullptr;           // copies the entries into the settings
    QPushButton* restart_server = nullptr;  // restart_web_server of the main window
    QPushButton* recon_ipc = nullptr;       // reconnect_camera of the main window
    QPushButton* start_demo = nullptr;      // enter_demo_mode of the main window

    // Event handlers.
    void FormShow();
    bool FormShortCut(int key);
    void xChange(QLineEdit* edit);
    void rec_add_intervalChange();
    void applyClick();
    void browse_rootClick();
    void browse_rec_pathClick();
    void browse_img_pathClick();
    void restart_serverClick();
    void recon_ipcClick();
    void start_demoClick();

    void settings_to_dialog();
    void dialog_to_settings();

    // An entry counts as invalid exactly while its text is red.
    static bool is_red(const QLineEdit* edit);

    // Every show places the dialog in the middle of the screen the main
    // window is on.
    void setVisible(bool visible) override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void create_web_group();
    void create_ipc_group();
    void create_rec_group();
    void create_img_group();
    void create_con_group();
    void create_buttons();
    QGroupBox* add_group(const char* title, int x, int y, int height);
    QLineEdit* add_edit(QGroupBox* group, int row, const char* label);
    QLineEdit* add_checked_edit(QGroupBox* group, int row, const char* label);
    QLineEdit* add_interval_edit(QGroupBox* group, int row, const char* label);
    QLineEdit* add_folder_edit(QGroupBox* group, int row, QPushButton*& button,
                               void (Toptions_form::*handler)());
    QComboBox* add_list(QGroupBox* group, int row, const char* label, const QStringList& items);
    QPushButton* add_button(const char* caption, int y, void (Toptions_form::*handler)());
    void browse_into(QLineEdit* edit);
    void check_all();
    char decimal_separator() const;
    int32_t integer_of(const QLineEdit* edit) const;
    double decimal_of(const QLineEdit* edit) const;
};

extern Toptions_form* options_form;

// The folder chooser owned by owner, with the given title. When the user
// chooses a folder, folder becomes its path with a trailing "/"; on cancel
// it is unchanged. False when no chooser could be shown.
bool browse_folder(QWidget* owner, const QString& title, QString& folder);

// When set, browse_folder hands the choice to it instead of showing the
// chooser (tests on the offscreen platform cannot answer a modal chooser):
// it returns the chosen path, or an empty text for a cancel.
extern std::function<QString(const QString& title, const QString& folder)> folder_chooser_hook;
