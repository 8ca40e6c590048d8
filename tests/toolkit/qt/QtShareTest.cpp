// The main window's share tick in Qt (offscreen): picked from the context
// menu, the status bar's label follows two real clients connecting and
// leaving, and picked again it stops serving.
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>

#include <memory>
#include <string>

#include "app/ReceiverShare.h"
#include "app/Unit1.h"
#include "share/ShareClient.h"
#include "toolkit/qt/QtTestSupport.h"

namespace {

using qttest::WidgetOf;

// Opens the window's menu with a right click on widget and picks item pick;
// gives back the items as shown ("[x] " before ticked ones).
QStringList PickFromMenu(QWidget* widget, int pick) {
    return qttest::UseMenu(
        [widget] {
            QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2),
                                    widget->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(widget, &click);
        },
        pick);
}

TEST(QtShare, TheTickAndTheClientCountInTheStatusBar) {
    ASSERT_TRUE(qttest::StartQt());
    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.SetSharePort(0);  // a free port: tests never take gpsd's
    form.Show();
    auto* bar = WidgetOf<QStatusBar>(*form.StatusBar1);
    ASSERT_NE(bar, nullptr);
    QLabel* panel = bar->findChild<QLabel*>();
    ASSERT_NE(panel, nullptr);
    QWidget* label = WidgetOf(*form.Lat1);

    QStringList items = PickFromMenu(label, 3);
    ASSERT_EQ(items.size(), 7);
    EXPECT_EQ(items[3], "Share with other programs (port 0)");
    ASSERT_TRUE(form.Share() != nullptr && form.Share()->Active());
    EXPECT_EQ(panel->text(), "Shared: 0 clients");
    const uint16_t port = form.Share()->Port();

    auto first = std::make_unique<sharetest::TClient>(port);
    auto second = std::make_unique<sharetest::TClient>(port);
    ASSERT_TRUE(qttest::RunUntil([&] { return panel->text() == "Shared: 2 clients"; }))
        << panel->text().toStdString();
    first.reset();
    ASSERT_TRUE(qttest::RunUntil([&] { return panel->text() == "Shared: 1 client"; }))
        << panel->text().toStdString();
    second.reset();
    ASSERT_TRUE(qttest::RunUntil([&] { return panel->text() == "Shared: 0 clients"; }))
        << panel->text().toStdString();

    items = PickFromMenu(label, 3);
    ASSERT_EQ(items.size(), 7);
    EXPECT_EQ(items[3], "[x] Share with other programs (port 0)");
    EXPECT_FALSE(form.Share()->Active());
    EXPECT_EQ(panel->text(), QString::fromStdString(TForm1::kStatusText));
    form.Close();
}

}  // namespace
