#include "app_peer.h"

#include <gtest/gtest.h>

namespace {

TEST(RenderMenus, Smoke) {
    App app;
    AppTestPeer peer(app);
    peer.pane(false).navigate_to("/usr", true);
    peer.pane(true).navigate_to("/etc", true);
    testsupport::Canvas canvas(1200, 800);
    canvas.draw(app);
    EXPECT_TRUE(canvas.write_png(std::string(TAVRIN_BUILD_DIR) + "/menus_smoke.png"));
}

} // namespace
