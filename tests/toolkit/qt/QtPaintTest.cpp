// Painting: the form's colour behind a paint handler's lines, drawn as GDI
// draws them, and transparent labels showing the painting through; and the
// reasons given when there is no display.
#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QPixmap>

#include <cstdlib>
#include <stdexcept>

#include "toolkit/qt/QtTestSupport.h"

namespace {

using qttest::WidgetOf;

QColor At(const QImage& image, int x, int y) {
    return image.pixelColor(x, y);
}

TEST(QtPaint, FormColourLinesAndTransparentLabels) {
    ASSERT_TRUE(qttest::StartQt());
    tk::TForm form(nullptr);
    form.SetClientSize(120, 80);
    form.SetBorderStyle(tk::TBorderStyle::bsDialog);
    form.SetColor(0x84DDFF);  // red 255, green 221, blue 132
    int paints = 0;
    form.OnPaint = [&](tk::TForm&, tk::TCanvas& canvas) {
        ++paints;
        canvas.SetPenColor(0x0000FF);  // red
        canvas.MoveTo(0, 5);
        canvas.LineTo(10, 5);  // pixels 0..9
        canvas.SetPenColor(0x00FF00);
        canvas.MoveTo(20, 10);
        canvas.LineTo(20, 0);  // upwards: rows 10..1
        canvas.SetPenColor(0xFF0000);
        canvas.MoveTo(30, 0);
        canvas.LineTo(35, 5);  // diagonal: (30,0)..(34,4)
        canvas.SetPenColor(0x000000);
        for (int y = 40; y < 80; ++y) {
            canvas.MoveTo(0, y);
            canvas.LineTo(120, y);
        }
    };
    auto* clear = new tk::TLabel(&form, &form);
    clear->SetBounds(60, 45, 10, 13);
    clear->SetTransparent(true);
    clear->SetFont([] {
        tk::TFont f;
        f.Name = "Tahoma";
        f.Height = -11;
        f.Bold = true;
        f.Color = tk::clWhite;
        return f;
    }());
    clear->SetCaption("Valid");
    auto* solid = new tk::TLabel(&form, &form);
    solid->SetBounds(5, 60, 10, 13);
    solid->SetColor(0x808080);
    solid->SetCaption("x");
    form.Show();

    const QImage image = WidgetOf(form)->grab().toImage();
    ASSERT_EQ(image.size(), QSize(120, 80));
    EXPECT_GT(paints, 0);
    const QColor back(255, 221, 132);
    EXPECT_EQ(At(image, 100, 20), back);
    EXPECT_EQ(At(image, 0, 5), QColor(255, 0, 0));
    EXPECT_EQ(At(image, 9, 5), QColor(255, 0, 0));
    EXPECT_EQ(At(image, 10, 5), back);  // the end point is not drawn
    EXPECT_EQ(At(image, 20, 10), QColor(0, 255, 0));
    EXPECT_EQ(At(image, 20, 1), QColor(0, 255, 0));
    EXPECT_EQ(At(image, 20, 0), back);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(At(image, 30 + i, i), QColor(0, 0, 255)) << i;
    }
    EXPECT_EQ(At(image, 35, 5), back);

    // The transparent label's rectangle holds the painting (black) and its
    // white text, nothing else; the opaque one fills its own colour.
    const QRect r = WidgetOf(*clear)->geometry();
    int black = 0, white = 0, other = 0;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor c = At(image, x, y);
            if (c == QColor(0, 0, 0)) {
                ++black;
            } else if (c == QColor(255, 255, 255)) {
                ++white;
            } else {
                ++other;  // anti-aliased edges of the letters
            }
        }
    }
    EXPECT_GT(black, white);
    EXPECT_GT(white, 5);
    EXPECT_GT(black + white, other);
    const QRect s = WidgetOf(*solid)->geometry();
    EXPECT_EQ(At(image, s.right(), s.top()), QColor(128, 128, 128));

    // Invalidate paints again.
    const int before = paints;
    form.Invalidate();
    WidgetOf(form)->grab();
    EXPECT_GT(paints, before);

    // A paint handler's exception is shown once the painting is over.
    qttest::TExceptionRecorder shown;
    form.OnPaint = [](tk::TForm&, tk::TCanvas&) { throw std::runtime_error("paint failed"); };
    WidgetOf(form)->grab();
    EXPECT_TRUE(qttest::RunUntil([&] { return !shown.seen.empty(); }));
    ASSERT_FALSE(shown.seen.empty());
    EXPECT_EQ(shown.seen[0], "paint failed");
}

// Run in a child process, where no backend exists yet: the reasons given
// instead of Qt ending the program.
void ExpectNoDisplay(const char* display) {
    unsetenv("QT_QPA_PLATFORM");
    unsetenv("WAYLAND_DISPLAY");
    if (display != nullptr) {
        setenv("DISPLAY", display, 1);
    } else {
        unsetenv("DISPLAY");
    }
    int argc = 1;
    char name[] = "test_qt";
    char* argv[] = {name, nullptr};
    std::string reason;
    const bool installed = tk::InstallGuiBackend(argc, argv, reason);
    std::fprintf(stderr, "reason: %s\n", reason.c_str());
    std::exit(installed || tk::GuiBackend() != nullptr ? 1 : 0);
}

TEST(QtDisplay, NoDisplayIsReportedInsteadOfAborting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExpectNoDisplay(nullptr), testing::ExitedWithCode(0),
                "reason: neither DISPLAY nor WAYLAND_DISPLAY is set");
    // A display number that no X server serves (a Unix socket only, nothing listens).
    EXPECT_EXIT(ExpectNoDisplay(":4077"), testing::ExitedWithCode(0),
                "reason: cannot connect to the X display \":4077\"");
}

}  // namespace
