// The fallback picture: navy background, "NO SIGNAL" and the demo overlay,
// drawn on the GUI thread into the window's back buffer and on the web
// server thread into the demo snapshot. No state of its own.
#include "player/render.h"

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QString>

#include <chrono>

#include "settings/log.h"

namespace {

const QColor navy(0x00, 0x00, 0x80);
const QColor white(0xFF, 0xFF, 0xFF);
const QColor red(0xFF, 0x00, 0x00);

// 24 points on a 96 dpi screen. Given in pixels so that the window, the
// offscreen platform and a QImage of the web snapshot (whose default
// resolution differs) all draw the same text size.
constexpr int text_pixel_size = 32;

void use_text_font(QPainter& canvas, const QColor& colour)
{
    QFont font = canvas.font();
    font.setPixelSize(text_pixel_size);
    font.setBold(true);
    canvas.setFont(font);
    canvas.setPen(colour);
    // The text is drawn without a background box, over what is there.
    canvas.setBrush(Qt::NoBrush);
    canvas.setBackgroundMode(Qt::TransparentMode);
}

// Text needs fonts, which only a GUI application provides; a program
// running without any platform draws its pictures without text.
bool text_drawable() { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr; }

// Draws text with its top-left corner at (x, y).
void draw_text_at(QPainter& canvas, int x, int y, const QString& text)
{
    canvas.drawText(x, y + canvas.fontMetrics().ascent(), text);
}

}  // namespace

void fill_background(QPainter& canvas, int32_t w, int32_t h)
{
    canvas.fillRect(0, 0, w, h, navy);
}

void draw_no_signal(QPainter& canvas, int32_t w, int32_t h)
{
    if (!text_drawable())
        return;
    use_text_font(canvas, white);
    const QString text = QStringLiteral("NO SIGNAL");
    const QFontMetrics metrics = canvas.fontMetrics();
    const int x = w / 2 - metrics.horizontalAdvance(text) / 2;
    const int y = h / 2 - metrics.height() / 2;
    draw_text_at(canvas, x, y, text);
}

void draw_info_overlay(QPainter& canvas, int32_t w, int32_t h, const overlay_info_t& info)
{
    if (!text_drawable())
        return;
    use_text_font(canvas, white);
    const QString lines[8] = {
        QStringLiteral("demo"),
        QStringLiteral("ip: ") + QString::fromStdString(info.address),
        QStringLiteral("port: ") + QString::number(info.port),
        QStringLiteral("active: ") + (info.active ? QStringLiteral("true") : QStringLiteral("false")),
        QStringLiteral("system time: ") + QString::fromStdString(utc_timestamp()),
        QStringLiteral("tick count: ") + QString::number(tick_count()),
        QStringLiteral("width x height: ") + QString::number(w) + QStringLiteral(" x ") + QString::number(h),
        QStringLiteral("alpha: ") + QString::number(info.alpha),
    };
    for (int i = 0; i < 8; ++i) {
        // Only the server state turns red, and only while the server is down.
        const bool warn = i == 3 && !info.active;
        if (warn)
            canvas.setPen(red);
        draw_text_at(canvas, 50, 50 + 50 * i, lines[i]);
        if (warn)
            canvas.setPen(white);
    }
}

uint32_t tick_count()
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}
