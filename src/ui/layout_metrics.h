#pragma once

// The fixed sizes of the window's bands and of the parts of a pane, in layout units. The screen layout,
// the drawing code and the hit regions all take them from here.
namespace metrics {

// Bands of the window, top to bottom, and the strip between the panes.
constexpr double kMenuBarH = 30;
constexpr double kHeaderH = 64;
constexpr double kProgressH = 76;   // while work runs
constexpr double kResultLineH = 34; // the result line after work ended
constexpr double kStatusBarH = 24;
constexpr double kBridgeW = 84;

// The stack of a pane, top to bottom.
constexpr double kBannerH = 28;
constexpr double kDriveBarH = 34;
constexpr double kPathBarH = 26;
constexpr double kSearchBarH = 28; // only while searching or filtered
constexpr double kColumnHeaderH = 26;
constexpr double kRowH = 24;
constexpr double kHScrollBarH = 18;
constexpr double kVScrollBarW = 11;

// Offsets of the bars from the pane's top.
constexpr double kDriveBarTop = kBannerH;
constexpr double kPathBarTop = kDriveBarTop + kDriveBarH;
constexpr double kSearchBarTop = kPathBarTop + kPathBarH;
// Everything of a pane but its rows and the search bar.
constexpr double kPaneChromeH = kBannerH + kDriveBarH + kPathBarH + kColumnHeaderH + kHScrollBarH;

// Menus: item rows and separators of the drop-down, context and column menus.
constexpr double kMenuRowH = 26;
constexpr double kMenuSeparatorH = 7;

} // namespace metrics
