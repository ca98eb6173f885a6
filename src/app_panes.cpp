// Drawing of the two file panes: banner, drive bar, path bar, search bar, column header, rows, scroll bars.
#include "app.h"

void App::draw_pane(const Pane&, bool right, double x, double y, double w, double h) {
    bool active = right == m_active_right;
    fill_rect(x, y, w, h, active ? m_palette.pane_active : m_palette.pane);
}

void App::draw_drive_bar(const Pane&, bool, double, double, double) {}

void App::draw_search_bar(const Pane&, bool, double, double, double) {}
