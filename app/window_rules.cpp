// window_rules: screen choice, opacity, transparency steps, edge zones and
// the double-click rule of the main window.
#include "app/window_rules.h"

#include <algorithm>

QRect best_monitor(const QRect& window, const std::vector<QRect>& screens, const QRect& primary)
{
    QRect best = primary;
    int64_t best_area = -1;
    for (const QRect& screen : screens) {
        const QRect overlap = screen.intersected(window);
        if (overlap.isEmpty())
            continue;
        const int64_t area = static_cast<int64_t>(overlap.width()) * overlap.height();
        if (area > best_area) {
            best_area = area;
            best = screen;
        }
    }
    return best;
}

int32_t opacity_for(int32_t alpha)
{
    return (100 - std::clamp(alpha, 0, 100)) * 255 / 100;
}

int32_t alpha_step_up(int32_t alpha)
{
    if (alpha >= 95)
        return alpha;
    return std::clamp(alpha + 5, 0, 95);
}

int32_t alpha_step_down(int32_t alpha)
{
    if (alpha <= 0)
        return alpha;
    // From above 100 the first step lands on the menu's grid end at once,
    // instead of many steps that change nothing visible.
    return std::clamp(alpha - 5, 0, 95);
}

press_flags_t press_flags_at(int32_t x, int32_t y, int32_t width, int32_t height,
                             int32_t edge_zone, bool compact)
{
    press_flags_t press;
    if (compact) {
        press.right = width - x < edge_zone;
        press.bottom = height - y < edge_zone;
        press.left = x < edge_zone;
        press.top = y < edge_zone;
    }
    press.move = !press.right && !press.bottom && !press.left && !press.top;
    return press;
}

Qt::Edges drag_edges(const press_flags_t& press)
{
    if (press.move)
        return {};
    if (press.right && press.bottom)
        return Qt::RightEdge | Qt::BottomEdge;
    if (press.right && press.top)
        return Qt::RightEdge | Qt::TopEdge;
    if (press.left && press.bottom)
        return Qt::LeftEdge | Qt::BottomEdge;
    if (press.left && press.top)
        return Qt::LeftEdge | Qt::TopEdge;
    if (press.right)
        return Qt::RightEdge;
    if (press.bottom)
        return Qt::BottomEdge;
    if (press.left)
        return Qt::LeftEdge;
    if (press.top)
        return Qt::TopEdge;
    return {};
}

Qt::CursorShape edge_cursor(int32_t x, int32_t y, int32_t width, int32_t height,
                            int32_t edge_zone)
{
    const press_flags_t at = press_flags_at(x, y, width, height, edge_zone, true);
    if ((at.right && at.bottom) || (at.left && at.top))
        return Qt::SizeFDiagCursor;
    if ((at.right && at.top) || (at.left && at.bottom))
        return Qt::SizeBDiagCursor;
    if (at.left || at.right)
        return Qt::SizeHorCursor;
    if (at.top || at.bottom)
        return Qt::SizeVerCursor;
    return Qt::ArrowCursor;
}

bool is_double_click(uint32_t now, uint32_t last, uint32_t double_click_ms)
{
    return now - last <= double_click_ms;
}
