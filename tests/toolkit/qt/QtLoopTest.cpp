// Qt's loop serving the toolkit: messages posted and sent from other threads,
// window timers, quit requests, the application's run, modal forms, message
// boxes and the exception display.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <typeinfo>

#include "toolkit/Messages.h"
#include "toolkit/Sound.h"
#include "toolkit/Sync.h"
#include "toolkit/Timer.h"
#include "toolkit/qt/QtTestSupport.h"

namespace {

using qttest::WidgetOf;

TEST(QtLoop, ToolkitMessagesAndTimersAreServedWhileQtRuns) {
    ASSERT_TRUE(qttest::StartQt());
    tk::TGuiBackend* backend = tk::GuiBackend();
    ASSERT_NE(backend, nullptr);

    constexpr int kPosts = 200;
    int posted = 0;
    bool allOnMain = true;
    uint64_t sum = 0;
    const tk::TWindowHandle window = tk::CreateNotifyWindow(
        "QtLoopTest", [&](tk::TWindowHandle, uint32_t msg, tk::TWParam w, tk::TLParam) {
            allOnMain = allOnMain && tk::IsMainThread();
            if (msg == tk::kMsgUser + 1) {
                ++posted;
                sum += w;
            }
            return msg == tk::kMsgUser + 2 ? tk::TLResult{42} : tk::TLResult{0};
        });
    ASSERT_NE(window, 0u);

    int ticks = 0;
    tk::TTimer timer(nullptr);
    timer.SetInterval(15);
    timer.OnTimer = [&](tk::TComponent&) { ++ticks; };

    std::atomic<bool> sendOk{false};
    tk::TLResult sendResult = 0;
    std::thread worker([&] {
        for (int i = 1; i <= kPosts; ++i) {
            tk::PostToWindow(window, tk::kMsgUser + 1, static_cast<tk::TWParam>(i), 0);
        }
        // A blocking send, as the dispatcher makes them: answered by Qt's loop.
        sendOk = tk::SendToWindow(window, tk::kMsgUser + 2, 0, 0, 5000, &sendResult);
    });

    // Once everything arrived, a toolkit quit request ends the loop with its code.
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (posted == kPosts && sendOk && ticks >= 3) {
            check.stop();
            tk::PostQuitMessage(7);
        }
    });
    check.start(5);
    QTimer::singleShot(15000, [] { QCoreApplication::exit(-1); });  // the test's own limit
    const int code = backend->RunLoop();
    worker.join();

    EXPECT_EQ(code, 7);
    EXPECT_EQ(posted, kPosts);
    EXPECT_EQ(sum, uint64_t{kPosts} * (kPosts + 1) / 2);  // each once, none lost
    EXPECT_TRUE(sendOk);
    EXPECT_EQ(sendResult, 42);
    EXPECT_GE(ticks, 3);
    EXPECT_TRUE(allOnMain);
    EXPECT_TRUE(tk::DestroyNotifyWindow(window));

    // A quit asked for before the loop runs ends the next run at once.
    backend->QuitLoop(3);
    EXPECT_EQ(backend->RunLoop(), 3);
}

TEST(QtLoop, ApplicationRunsUntilItsMainFormCloses) {
    ASSERT_TRUE(qttest::StartQt());
    tk::TApplication app;
    tk::TForm& form = app.CreateForm<tk::TForm>();
    form.SetClientSize(120, 80);
    form.SetCaption("Main");
    // ProcessMessages serves Qt's events and the toolkit's messages once.
    int served = 0;
    bool qtServed = false;
    const tk::TWindowHandle window = tk::CreateNotifyWindow(
        "QtProcessMessages", [&](tk::TWindowHandle, uint32_t, tk::TWParam, tk::TLParam) {
            ++served;
            return tk::TLResult{0};
        });
    ASSERT_TRUE(tk::PostToWindow(window, tk::kMsgUser, 0, 0));
    QTimer::singleShot(0, [&] { qtServed = true; });
    app.ProcessMessages();
    EXPECT_EQ(served, 1);
    EXPECT_TRUE(qtServed);
    tk::DestroyNotifyWindow(window);

    bool visibleWhileRunning = false;
    // A toolkit timer on the main thread closes the main window, as a user would.
    tk::TTimer timer(nullptr);
    timer.SetInterval(30);
    timer.OnTimer = [&](tk::TComponent&) {
        const QWidget* w = WidgetOf(form);
        visibleWhileRunning = w != nullptr && w->isVisible();
        timer.SetEnabled(false);
        form.Close();
    };
    QTimer::singleShot(15000, [] { QCoreApplication::exit(-1); });
    EXPECT_EQ(app.Run(), 0);
    EXPECT_TRUE(visibleWhileRunning);
    EXPECT_TRUE(app.Terminated());
    EXPECT_FALSE(form.Showing());
}

TEST(QtModal, ModalFormsEndWithTheirResult) {
    ASSERT_TRUE(qttest::StartQt());
    tk::TForm dialog(nullptr);
    dialog.SetCaption("Select Port");
    dialog.SetClientSize(220, 131);
    dialog.SetBorderStyle(tk::TBorderStyle::bsDialog);
    dialog.SetSystemMenuOnly(true);
    dialog.SetPosition(tk::TPosition::poScreenCenter);
    auto* combo = new tk::TComboBox(&dialog, &dialog);
    combo->SetBounds(8, 24, 201, 21);
    combo->AddItem("COM1");
    combo->SetTabOrder(0);
    auto* ok = new tk::TBitBtn(&dialog, &dialog);
    ok->SetBounds(67, 87, 85, 27);
    ok->SetCaption("OK");
    ok->SetKind(tk::TBitBtnKind::bkOK);
    ok->SetDefault(true);
    ok->SetModalResult(tk::mrOk);
    ok->SetTabOrder(1);

    // The OK button, clicked while the dialog runs.
    bool modal = false;
    QPoint centreOffset(-1000, -1000);
    QTimer::singleShot(0, [&] {
        QWidget* w = WidgetOf(dialog);
        modal = w != nullptr && w->isVisible() && w->windowModality() == Qt::ApplicationModal;
        if (w != nullptr) {
            centreOffset = w->geometry().center() -
                           QGuiApplication::primaryScreen()->availableGeometry().center();
        }
        if (auto* b = WidgetOf<QPushButton>(*ok)) {
            b->click();
        }
    });
    EXPECT_EQ(dialog.ShowModal(), tk::mrOk);
    EXPECT_TRUE(modal);
    EXPECT_LE(centreOffset.manhattanLength(), 4);  // rounding of odd sizes
    EXPECT_FALSE(dialog.Showing());
    EXPECT_EQ(ok->Peer(), nullptr);

    // The close box cancels.
    QTimer::singleShot(0, [&] {
        if (QWidget* w = WidgetOf(dialog)) {
            w->close();
        }
    });
    EXPECT_EQ(dialog.ShowModal(), tk::mrCancel);

    // Escape cancels; Enter clicks the default button (the focus is in the list).
    auto press = [&](int key) {
        QTimer::singleShot(0, [&dialog, key] {
            QWidget* w = WidgetOf(dialog);
            if (w == nullptr) {
                return;
            }
            QWidget* target = w->focusWidget() != nullptr ? w->focusWidget() : w;
            QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &event);
        });
    };
    press(Qt::Key_Escape);
    EXPECT_EQ(dialog.ShowModal(), tk::mrCancel);
    press(Qt::Key_Return);
    EXPECT_EQ(dialog.ShowModal(), tk::mrOk);

    // The modal loop serves toolkit timers; setting the result from one ends it.
    tk::TTimer timer(nullptr);
    timer.SetInterval(20);
    int ticks = 0;
    timer.OnTimer = [&](tk::TComponent&) {
        if (++ticks == 3) {
            dialog.SetModalResult(tk::mrOk + 5);
        }
    };
    EXPECT_EQ(dialog.ShowModal(), tk::mrOk + 5);
    EXPECT_EQ(ticks, 3);
}

TEST(QtModal, ADialogStaysOverTheMainWindow) {
    ASSERT_TRUE(qttest::StartQt());
    tk::TApplication app;
    tk::TForm& main = app.CreateForm<tk::TForm>();
    main.SetClientSize(200, 150);
    tk::TForm& dialog = app.CreateForm<tk::TForm>();
    dialog.SetClientSize(100, 60);
    dialog.SetBorderStyle(tk::TBorderStyle::bsDialog);
    main.Show();
    QWidget* mainWindow = WidgetOf(main);
    ASSERT_NE(mainWindow, nullptr);

    QWidget* parent = nullptr;
    bool dialogFlag = false;
    QTimer::singleShot(0, [&] {
        if (QWidget* w = WidgetOf(dialog)) {
            parent = w->parentWidget();
            dialogFlag = w->isWindow() && w->windowType() == Qt::Dialog;
            w->close();
        }
    });
    EXPECT_EQ(dialog.ShowModal(), tk::mrCancel);
    EXPECT_EQ(parent, mainWindow);
    EXPECT_TRUE(dialogFlag);
    EXPECT_TRUE(WidgetOf(main)->isVisible());
    EXPECT_EQ(WidgetOf(main)->windowType(), Qt::Window);

    // The main window going away while the dialog runs takes the dialog with it.
    QTimer::singleShot(0, [&] { main.Close(); });
    EXPECT_EQ(dialog.ShowModal(), tk::mrCancel);
    EXPECT_FALSE(main.Showing());
    EXPECT_FALSE(dialog.Showing());
}

TEST(QtModal, MessageBoxesAndTheExceptionDisplay) {
    ASSERT_TRUE(qttest::StartQt());
    tk::TGuiBackend* backend = tk::GuiBackend();
    qttest::TBoxAnswerer answer;

    backend->MessageBox("Port \xB0 busy", "PalmoGPS");
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_EQ(QString::fromStdString(answer.seen[0]),
              QString::fromUtf8("PalmoGPS|Port \u00B0 busy"));

    // An exception that escapes a handler: a message box on the spot.
    tk::TForm form(nullptr);
    form.SetClientSize(100, 60);
    auto* button = new tk::TButton(&form, &form);
    button->SetBounds(5, 5, 80, 25);
    button->OnClick = [](tk::TButton&) { throw std::runtime_error("Port COM1 in use"); };
    form.Show();
    WidgetOf<QPushButton>(*button)->click();
    ASSERT_EQ(answer.seen.size(), 2u);
    EXPECT_EQ(answer.seen[1], "PalmoGPS|Port COM1 in use");

    // One reported by another thread shows on the main thread; the thread goes on.
    std::thread worker([] {
        const std::runtime_error e("from the reader thread");
        tk::ShowException(&e);
    });
    worker.join();
    EXPECT_TRUE(qttest::RunUntil([&] { return answer.seen.size() == 3; }));
    ASSERT_EQ(answer.seen.size(), 3u);
    EXPECT_EQ(answer.seen[2], "PalmoGPS|from the reader thread");

    // The system beep is the desktop's bell, from any thread, without waiting.
    tk::CurrentSound().SystemBeep();
    std::thread beeper([] { tk::CurrentSound().SystemBeep(); });
    beeper.join();
    tk::TSound* installed = tk::InstallSound(nullptr);
    ASSERT_NE(installed, nullptr);  // a player other than the platform's
    EXPECT_NE(typeid(*installed), typeid(tk::TSound));
    tk::InstallSound(installed);
}

}  // namespace
