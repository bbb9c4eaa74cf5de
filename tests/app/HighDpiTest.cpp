// The window on a 1920 x 1080 X screen (Xvfb) at the scales desktops use: it opens with its
// title bar and left edge on the screen, also when it is wider than the screen, and the
// borders of its three lists are drawn whole, beside a scroll bar too. The screen is read back as
// the user sees it.
#include <gtest/gtest.h>
#include <signal.h>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cmath>
#include <map>
#include <sstream>

#include "Subprocess.h"
#include "TempDir.h"
#include "XServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// The three lists, in the window's pixels at scale 1: the form's twips over 15, the tag
// list inside its two frames.
struct ListPlace {
  const char* name;
  double x, y, width, height;
};
constexpr ListPlace kLists[] = {{"ListView1", 8, 8, 520, 113},
                                {"ListView2", 536, 43, 520, 300},
                                {"ListView3", 8 + 40 + 16, 192 + 88 + 20, 400, 86}};

// A pixel of a frame line: darker than the white inside and the header's grey.
bool IsLine(const QImage& shot, int x, int y) {
  return x >= 0 && y >= 0 && x < shot.width() && y < shot.height() && qGray(shot.pixel(x, y)) < 220;
}

// Whether `side` of the list in device pixels [left, right) x [top, bottom) has a line in
// the few device pixels inside its edge, along the middle of its length.
bool SideDrawn(const QImage& shot, double left, double top, double right, double bottom,
               char side) {
  const bool vertical = side == 'l' || side == 'r';
  const double from = vertical ? top + (bottom - top) * 0.3 : left + (right - left) * 0.3;
  // Along the part that is on the screen.
  const double to =
      std::min<double>(vertical ? top + (bottom - top) * 0.9 : left + (right - left) * 0.9,
                       vertical ? shot.height() : shot.width());
  int drawn = 0;
  int positions = 0;
  for (int along = static_cast<int>(from); along < static_cast<int>(to); ++along, ++positions) {
    for (int in = 0; in < 4; ++in) {
      const int across = side == 'l'   ? static_cast<int>(std::floor(left)) + in
                         : side == 't' ? static_cast<int>(std::floor(top)) + in
                         : side == 'r' ? static_cast<int>(std::ceil(right)) - 1 - in
                                       : static_cast<int>(std::ceil(bottom)) - 1 - in;
      if (vertical ? IsLine(shot, across, along) : IsLine(shot, along, across)) {
        ++drawn;
        break;
      }
    }
  }
  return positions > 0 && drawn == positions;
}

TEST(HighDpi, TheWindowIsPlacedOnTheScreenAndItsListsHaveWholeBorders) {
  XServer x("1920x1080x24");
  if (!x.ok()) GTEST_SKIP() << "needs Xvfb and xdotool (scripts/orvanel.sh installs them)";
  // This test reads the screen back through an X connection of its own, unscaled.
  qputenv("QT_QPA_PLATFORM", "xcb");
  qputenv("DISPLAY", QByteArray::fromStdString(x.display()));
  qunsetenv("QT_SCALE_FACTOR");
  int argc = 1;
  char name[] = "HighDpiTest";
  char* argv[] = {name, nullptr};
  QGuiApplication reader(argc, argv);
  ASSERT_NE(QGuiApplication::primaryScreen(), nullptr);
  for (const double scale : {1.0, 1.25, 1.5, 2.0}) {
    SCOPED_TRACE("scale " + std::to_string(scale));
    TempDir home;
    // Tags enough for the tag list's scroll bar: the frame beside it is drawn too.
    std::string more_tags;
    for (int i = 1; i <= 12; ++i) more_tags += "t" + std::to_string(i) + "|Dravikton|";
    home.File("Dravikton.ini",
              "[Orvanel]\nTags=<title></title>|Dravikton|keywords|Dravikton|" + more_tags + "\n");
    std::ostringstream factor;
    factor << scale;
    const pid_t program = StartInBackground(
        {BinaryDir() + "/orvanel"},
        {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb", "QT_SCALE_FACTOR=" + factor.str(),
         "XDG_CONFIG_HOME=" + home.path(), "XDG_CACHE_HOME=" + home.path() + "/cache"});
    std::optional<std::string> window;
    EXPECT_TRUE(WaitFor([&] { return (window = x.FindWindow("^Orvanel$")).has_value(); }));
    if (!window) {
      StopProcess(program);
      continue;
    }
    auto g = x.Geometry(*window);
    EXPECT_EQ(g["WIDTH"], std::lround(1064 * scale));
    // The title bar and the left edge are on the screen; a window wider than the screen
    // stands at its left edge.
    EXPECT_GE(g["X"], 0);
    EXPECT_GE(g["Y"], 0);
    if (g["WIDTH"] > 1920) {
      EXPECT_EQ(g["X"], 0);
    }

    // Once the window is drawn (the inside of every list is white), every side of every
    // list that is on the screen has its line.
    QImage shot;
    auto at = [&](const ListPlace& l, double dx, double dy) {
      return std::pair<double, double>(g["X"] + (l.x + dx) * scale, g["Y"] + (l.y + dy) * scale);
    };
    EXPECT_TRUE(WaitFor([&] {
      shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
      for (const auto& l : kLists) {
        const auto [cx, cy] = at(l, l.width / 2, l.height * 0.7);
        if (cx >= shot.width() ||
            qGray(shot.pixel(static_cast<int>(cx), static_cast<int>(cy))) < 250) {
          return false;
        }
      }
      return true;
    })) << "the window was never drawn";
    for (const auto& l : kLists) {
      const auto [left, top] = at(l, 0, 0);
      const auto [right, bottom] = at(l, l.width, l.height);
      for (const char side : {'l', 't', 'r', 'b'}) {
        if (side == 'r' && right > shot.width()) continue;  // off the screen
        EXPECT_TRUE(SideDrawn(shot, left, top, right, bottom, side))
            << l.name << " has no line on side " << side;
      }
    }
    // The lists still take the mouse: a click selects the first tag, and Delete Tag
    // removes it. Then a click on the second option, which is saved at once: once it is
    // in the settings, the clicks before it were handled too, and the tag list saved at
    // the close request shows what they did. (Real X input, handled in order; only clicks,
    // which need neither a window manager for the keyboard's focus nor a double-click's
    // two clicks close together.)
    auto click = [&](double logical_x, double logical_y) {
      x.XDoTool({"mousemove", std::to_string(std::lround(g["X"] + logical_x * scale)),
                 std::to_string(std::lround(g["Y"] + logical_y * scale)), "click", "1"});
    };
    click(kLists[2].x + 40, kLists[2].y + 28);      // the first tag
    click(8 + 40 + 120 + 50, 192 + 88 + 112 + 13);  // Delete Tag
    click(8 + 16 + 10, 192 + 43 + 8);               // Option2
    const std::string ini = home.path() + "/Dravikton.ini";
    // (A click that missed the tag makes Delete Tag report that nothing is selected.)
    EXPECT_TRUE(WaitFor([&] {
      return ReadAll(ini).find("Option=2") != std::string::npos ||
             x.FindWindow("^Application Error$").has_value();
    }));
    EXPECT_FALSE(x.FindWindow("^Application Error$").has_value());
    StopProcess(program);  // a close request: the tag list is saved as the program ends
    EXPECT_NE(ReadAll(ini).find("Tags=keywords|Dravikton|" + more_tags + "\n"), std::string::npos)
        << ReadAll(ini);
  }
}

}  // namespace
}  // namespace orvanel
