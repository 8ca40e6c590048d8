// Modal forms, the application's loop and its exception display, with no
// display and with a recording backend.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FormsFakeBackend.h"
#include "support/Pump.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Forms.h"
#include "toolkit/Messages.h"
#include "toolkit/Timer.h"

namespace {

using formstest::Make;
using formstest::TFakeBackend;
using tk::TChange;

using Names = std::vector<std::string>;

constexpr uint32_t kClose = tk::kMsgUser + 1;
constexpr uint32_t kThrow = tk::kMsgUser + 2;
constexpr uint32_t kTerminate = tk::kMsgUser + 3;

// Puts back the headless modal handler a test replaced.
struct HeadlessModal {
    explicit HeadlessModal(tk::THeadlessModal h) : previous(tk::SetHeadlessModalHandler(h)) {}
    ~HeadlessModal() { tk::SetHeadlessModalHandler(previous); }
    tk::THeadlessModal previous;
};

// A notification window of the test thread, destroyed with the object.
struct Window {
    explicit Window(tk::TWindowProc proc) : handle(tk::CreateNotifyWindow("FormsTest", proc)) {}
    ~Window() { tk::DestroyNotifyWindow(handle); }
    tk::TWindowHandle handle;
};

TEST(FormsModal, HeadlessResults) {
    tk::TForm dialog(nullptr);
    auto& ok = Make<tk::TBitBtn>(dialog, "ok");
    ok.SetModalResult(tk::mrOk);
    auto& combo = Make<tk::TComboBox>(dialog, "combo");
    combo.AddItem("COM1");
    combo.AddItem("COM3");

    // The default handler cancels.
    EXPECT_EQ(dialog.ShowModal(), tk::mrCancel);
    EXPECT_FALSE(dialog.Showing());

    {
        // The handler works the dialog like a user; a click on OK decides.
        std::vector<std::string> seen;
        HeadlessModal h([&](tk::TForm& f) {
            seen.push_back(std::string(f.Showing() ? "showing" : "hidden") + ":" +
                           std::to_string(f.ModalResult()));
            combo.UserSelect(1);
            ok.Click();
            return tk::mrNone;
        });
        dialog.SetModalResult(tk::mrOk);  // left over from before: reset by ShowModal
        EXPECT_EQ(dialog.ShowModal(), tk::mrOk);
        EXPECT_EQ(seen, (Names{"showing:0"}));
        EXPECT_EQ(combo.Text(), "COM3");
        EXPECT_FALSE(dialog.Showing());
    }
    {
        // Closing the dialog (close box, Escape) cancels it; a later Close
        // keeps a result already set.
        HeadlessModal h([&](tk::TForm& f) {
            f.UserClose();
            return tk::mrNone;
        });
        EXPECT_EQ(dialog.ShowModal(), tk::mrCancel);
        HeadlessModal h2([&](tk::TForm& f) {
            ok.Click();
            f.Close();
            return tk::mrNone;
        });
        EXPECT_EQ(dialog.ShowModal(), tk::mrOk);
    }
    {
        // The handler's own answer wins; an exception ends the modal state.
        HeadlessModal h([](tk::TForm&) { return tk::mrOk; });
        EXPECT_EQ(dialog.ShowModal(), tk::mrOk);
        HeadlessModal h2([](tk::TForm&) -> tk::TModalResult { throw std::runtime_error("x"); });
        EXPECT_THROW(dialog.ShowModal(), std::runtime_error);
        EXPECT_FALSE(dialog.Showing());
        // No longer modal: a close is an ordinary one.
        dialog.Close();
        EXPECT_FALSE(dialog.Showing());
    }
}

TEST(FormsModal, BackendShowsWithPeersAndReleasesAfter) {
    TFakeBackend backend;
    tk::TForm dialog(nullptr);
    dialog.SetName("dialog");
    auto& ok = Make<tk::TBitBtn>(dialog, "ok");
    ok.SetModalResult(tk::mrOk);
    Make<tk::TComboBox>(dialog, "combo");

    std::vector<std::string> during;
    backend.onShowModal = [&](tk::TForm& f) {
        during.push_back(f.Peer() != nullptr && ok.Peer() != nullptr ? "peers" : "none");
        ok.Click();  // the user presses OK: the loop would end on the notice
        during.push_back(std::to_string(backend.Of(TChange::ModalResult).size()));
        return f.ModalResult();
    };
    EXPECT_EQ(dialog.ShowModal(), tk::mrOk);
    EXPECT_EQ(during, (Names{"peers", "1"}));
    EXPECT_EQ(backend.made, (Names{"dialog", "ok", "combo"}));
    EXPECT_TRUE(backend.Of(TChange::Visible).empty());
    EXPECT_EQ(backend.released, (Names{"combo", "ok", "dialog"}));
    EXPECT_EQ(dialog.Peer(), nullptr);

    // A close during the modal loop sets mrCancel but leaves the peers to
    // the end of ShowModal.
    backend.released.clear();
    backend.onShowModal = [&](tk::TForm& f) {
        f.UserClose();
        during.push_back(backend.released.empty() ? "kept" : "released");
        return tk::mrNone;
    };
    EXPECT_EQ(dialog.ShowModal(), tk::mrCancel);
    EXPECT_EQ(during.back(), "kept");
    EXPECT_EQ(backend.released.size(), 3u);
}

TEST(FormsApplication, HeadlessRunEndsWhenTheMainFormCloses) {
    tk::TApplication app;
    EXPECT_EQ(tk::Application(), &app);
    EXPECT_EQ(app.Run(), 0);  // no main form: returns at once

    auto& main = app.CreateForm<tk::TForm>();
    auto& second = app.CreateForm<tk::TForm>();
    EXPECT_EQ(app.MainForm(), &main);
    EXPECT_EQ(main.Owner(), &app);

    std::vector<std::string> log;
    std::vector<std::string> shown;
    auto previousDisplay = tk::SetExceptionDisplay(
        [&](const std::exception* e) { shown.push_back(e ? e->what() : "?"); });
    Window window([&](tk::TWindowHandle, uint32_t msg, tk::TWParam w, tk::TLParam) {
        if (msg == kThrow) {
            log.push_back("throw");
            throw std::runtime_error("handler failed");
        }
        if (msg == kClose) {
            log.push_back(std::string("close:") + (main.Showing() ? "showing" : "hidden"));
            // Closing another form does not end the loop.
            second.Close();
            if (w == 1) {
                main.Close();
            }
        }
        return tk::TLResult{0};
    });
    ASSERT_NE(window.handle, 0u);

    // Posted before the loop runs, and from another thread while it waits.
    tk::PostToWindow(window.handle, kThrow, 0, 0);
    tk::PostToWindow(window.handle, kClose, 0, 0);
    std::atomic<bool> go{false};
    std::thread poster([&] {
        while (!go.load()) {
            std::this_thread::yield();
        }
        tk::PostToWindow(window.handle, kClose, 1, 0);
    });
    go = true;
    const int code = app.Run();
    poster.join();
    tk::SetExceptionDisplay(previousDisplay);

    EXPECT_EQ(code, 0);
    EXPECT_TRUE(app.Terminated());
    EXPECT_FALSE(main.Showing());
    EXPECT_EQ(log, (Names{"throw", "close:showing", "close:showing"}));
    EXPECT_EQ(shown, (Names{"handler failed"}));
    // Once terminated, Run returns at once.
    EXPECT_EQ(app.Run(), 0);
}

TEST(FormsApplication, HeadlessRunServesTimers) {
    // A timer owned by the main form closes it on its third firing: the
    // loop waits for the timer without spinning and ends with the close.
    tk::TApplication app;
    auto& main = app.CreateForm<tk::TForm>();
    auto* timer = new tk::TTimer(&main);  // freed by the form
    timer->SetInterval(20);
    int firings = 0;
    timer->OnTimer = [&](tk::TComponent&) {
        if (++firings == 3) {
            main.Close();
        }
    };
    EXPECT_EQ(app.Run(), 0);
    EXPECT_EQ(firings, 3);
    EXPECT_FALSE(main.Showing());
}

TEST(FormsApplication, HeadlessExitCodesAndProcessMessages) {
    {
        // Terminate from a handler ends the loop with its code.
        tk::TApplication app;
        app.CreateForm<tk::TForm>();
        Window window([&](tk::TWindowHandle, uint32_t msg, tk::TWParam w, tk::TLParam) {
            if (msg == kTerminate) {
                app.Terminate(static_cast<int>(w));
            }
            return tk::TLResult{0};
        });
        tk::PostToWindow(window.handle, kTerminate, 7, 0);
        EXPECT_EQ(app.Run(), 7);
        EXPECT_TRUE(app.MainForm()->Showing());  // terminated, not closed
    }
    EXPECT_EQ(tk::Application(), nullptr);
    {
        // A quit request ends it with the request's code.
        tk::TApplication app;
        app.CreateForm<tk::TForm>();
        tk::PostQuitMessage(5);
        EXPECT_EQ(app.Run(), 5);
    }
    {
        // ProcessMessages serves what waits and returns.
        tk::TApplication app;
        int served = 0;
        Window window([&](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) {
            served += msg == kClose ? 1 : 0;
            return tk::TLResult{0};
        });
        tk::PostToWindow(window.handle, kClose, 0, 0);
        tk::PostToWindow(window.handle, kClose, 0, 0);
        app.ProcessMessages();
        EXPECT_EQ(served, 2);
        EXPECT_FALSE(app.Terminated());
    }
    bool appKnownAtDestroy = false;
    {
        // Freeing the main form forgets it; the application frees the rest
        // while it is still the application.
        tk::TApplication app;
        auto& first = app.CreateForm<tk::TForm>();
        auto& other = app.CreateForm<tk::TForm>();
        other.OnDestroy = [&](tk::TForm&) { appKnownAtDestroy = tk::Application() == &app; };
        delete &first;
        EXPECT_EQ(app.MainForm(), nullptr);
        EXPECT_EQ(app.ComponentCount(), 1u);
        EXPECT_EQ(app.Run(), 0);
        EXPECT_FALSE(appKnownAtDestroy);
    }
    EXPECT_TRUE(appKnownAtDestroy);
    EXPECT_EQ(tk::Application(), nullptr);
}

TEST(FormsApplication, BackendLoopAndExceptionDisplay) {
    TFakeBackend backend;
    tk::TApplication app;
    app.SetTitle("PalmoGPS");
    auto& main = app.CreateForm<tk::TForm>();
    main.SetName("main");
    Make<tk::TLabel>(main, "label");

    // The backend's loop runs with the main form shown; the user closes it.
    std::vector<std::string> inLoop;
    backend.onRunLoop = [&] {
        inLoop.push_back(main.Peer() != nullptr ? "shown" : "hidden");
        main.UserClose();
        inLoop.push_back(main.Peer() != nullptr ? "shown" : "hidden");
    };
    backend.quitCode = 9;  // overwritten by the close's QuitLoop(0)
    EXPECT_EQ(app.Run(), 0);
    EXPECT_EQ(backend.loops, 1);
    EXPECT_EQ(inLoop, (Names{"shown", "hidden"}));
    EXPECT_EQ(backend.quits, (std::vector<int>{0}));
    EXPECT_EQ(backend.released, (Names{"label", "main"}));

    // The standard display goes to a message box with the application's title.
    const std::runtime_error e("Port COM7 not found");
    app.ShowException(&e);
    app.ShowException(nullptr);
    EXPECT_EQ(backend.boxes, (Names{"PalmoGPS|Port COM7 not found", "PalmoGPS|Unknown exception"}));
}

TEST(FormsApplication, HeadlessExceptionDisplayWritesStderr) {
    tk::TApplication app;
    const std::runtime_error e("Port COM7 not found");
    testing::internal::CaptureStderr();
    app.ShowException(&e);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Port COM7 not found\n");
}

TEST(FormsApplication, BackendLoopEndsOnTerminate) {
    TFakeBackend backend;
    tk::TApplication app;
    app.CreateForm<tk::TForm>();
    backend.onRunLoop = [&] { app.Terminate(4); };
    EXPECT_EQ(app.Run(), 4);
    EXPECT_EQ(backend.quits, (std::vector<int>{4}));

    // Terminated before it runs: no loop, no quit request, the code kept.
    TFakeBackend other;
    tk::TApplication early;
    early.CreateForm<tk::TForm>();
    early.Terminate(2);
    EXPECT_EQ(early.Run(), 2);
    EXPECT_EQ(other.loops, 0);
    EXPECT_TRUE(other.quits.empty());
    EXPECT_FALSE(early.MainForm()->Showing());
}

}  // namespace
