// The Qt 6 backend of the toolkit's forms on Linux: the application object,
// the event loop that also serves the toolkit's own message queues and timers,
// modal display, message boxes, the bell and the exception display.
#include <dlfcn.h>

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QDir>
#include <QFileDialog>
#include <QEventLoop>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Forms.h"
#include "toolkit/MainThreadCalls.h"
#include "toolkit/Messages.h"
#include "toolkit/Sound.h"
#include "toolkit/posix/MessageQueuePosix.h"
#include "toolkit/qt/QtPeers.h"

namespace tk {

namespace {

using qt::CallPortable;

bool OnQtMainThread() {
    return qApp != nullptr && QThread::currentThread() == qApp->thread();
}

class TQtBackend : public TGuiBackend {
  public:
    TQtBackend() {
        const int fd = MessageWakeDescriptor();
        if (fd >= 0) {
            notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                             [this] { DrainToolkit(); });
        } else {
            // No descriptor to watch: look at the queues often instead.
            poll_ = std::make_unique<QTimer>();
            QObject::connect(poll_.get(), &QTimer::timeout, [this] { DrainToolkit(); });
            poll_->start(10);
        }
    }

    std::unique_ptr<TControlPeer> MakePeer(TControl& control) override {
        return qt::MakeQtPeer(control);
    }

    int RunLoop() override {
        if (quitPending_) {
            quitPending_ = false;
            return quitCode_;
        }
        DrainToolkit();
        if (quitPending_) {
            quitPending_ = false;
            return quitCode_;
        }
        inLoop_ = true;
        const int code = QApplication::exec();
        inLoop_ = false;
        quitPending_ = false;
        // Widgets of forms closed during the loop go now.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return code;
    }

    void QuitLoop(int exitCode) override {
        if (inLoop_) {
            QCoreApplication::exit(exitCode);
        } else {
            quitPending_ = true;
            quitCode_ = exitCode;
        }
    }

    TModalResult ShowModal(TForm& form) override {
        auto* peer = dynamic_cast<qt::TQtFormPeer*>(form.Peer());
        if (peer == nullptr || peer->Widget() == nullptr) {
            return mrCancel;
        }
        QWidget* window = peer->Widget();
        const QPointer<QObject> windowAlive = window;
        const auto alive = peer->Alive();
        window->setWindowModality(Qt::ApplicationModal);
        // Over the main window, so that the window manager keeps it in front.
        if (TApplication* app = Application();
            app != nullptr && app->MainForm() != nullptr && app->MainForm() != &form) {
            auto* main = dynamic_cast<qt::TQtFormPeer*>(app->MainForm()->Peer());
            if (main != nullptr && main->Widget() != nullptr) {
                window->setParent(main->Widget(), window->windowFlags());
            }
        }
        peer->ShowWindow();
        if (form.ModalResult() == mrNone) {
            QEventLoop loop;
            // A window that goes with its parent ends the dialog too.
            QObject::connect(window, &QObject::destroyed, &loop, &QEventLoop::quit);
            peer->SetModalLoop(&loop);
            loop.exec(QEventLoop::DialogExec);
            if (*alive) {
                peer->SetModalLoop(nullptr);
            }
        }
        if (!*alive) {
            return mrCancel;
        }
        if (!windowAlive.isNull()) {
            window->hide();
        }
        return form.ModalResult() != mrNone ? form.ModalResult() : mrCancel;
    }

    void MessageBox(const std::string& text, const std::string& caption) override {
        QMessageBox box(QMessageBox::NoIcon, qt::ToQString(caption), qt::ToQString(text),
                        QMessageBox::Ok);
        box.exec();
    }

    void SystemBeep() override { QApplication::beep(); }

    int32_t TrackPopupMenu(TPopupMenu& menu, TForm& form, int32_t x, int32_t y) override {
        auto* peer = dynamic_cast<qt::TQtFormPeer*>(form.Peer());
        QWidget* window = peer != nullptr ? peer->Widget() : nullptr;
        if (window == nullptr) {
            return -1;
        }
        QPoint at(x, y);
        if (x < 0 || y < 0) {
            // From the keyboard: at the focused control, else the window's middle.
            QWidget* focus = window->focusWidget();
            at = focus != nullptr ? focus->mapTo(window, focus->rect().center())
                                  : window->rect().center();
        }
        // The window may go while the menu is open: the menu goes with it.
        auto* popup = new QMenu(window);
        const QPointer<QMenu> popupAlive = popup;
        auto picked = std::make_shared<int32_t>(-1);
        const auto& items = menu.Items();
        for (size_t i = 0; i < items.size(); ++i) {
            QAction* action = popup->addAction(qt::ToQString(items[i]->Caption()));
            action->setEnabled(items[i]->Enabled());
            action->setCheckable(items[i]->AutoCheck() || items[i]->Checked());
            action->setChecked(items[i]->Checked());
            QObject::connect(action, &QAction::triggered,
                             [picked, i] { *picked = static_cast<int32_t>(i); });
        }
        popup->exec(window->mapToGlobal(at));
        if (popupAlive.isNull()) {
            return -1;
        }
        popup->deleteLater();
        return *picked;
    }

    bool SaveFileName(TForm& form, const std::string& title, const std::string& filterName,
                      const std::string& extension, std::string& path) override {
        auto* peer = dynamic_cast<qt::TQtFormPeer*>(form.Peer());
        const QString suffix = qt::ToQString(extension);
        const QString chosen = QFileDialog::getSaveFileName(
            peer != nullptr ? peer->Widget() : nullptr, qt::ToQString(title),
            QString::fromUtf8(path.c_str()),
            qt::ToQString(filterName) + " (*." + suffix + ");;All files (*)");
        if (chosen.isEmpty()) {
            return false;
        }
        path = chosen.toUtf8().toStdString();
        if (QFileInfo(chosen).suffix().isEmpty()) {
            path += "." + extension;
        }
        return true;
    }

    bool SetClipboardText(const std::string& text) override {
        if (QClipboard* clipboard = QGuiApplication::clipboard()) {
            clipboard->setText(qt::ToQString(text));
            return true;
        }
        return false;
    }

    bool ClipboardText(std::string& text) override {
        if (QClipboard* clipboard = QGuiApplication::clipboard()) {
            text = qt::FromQString(clipboard->text());
            return true;
        }
        return false;
    }

    void ProcessEvents() override {
        QCoreApplication::processEvents();
        DrainToolkit();
    }

    // Serves the main thread's toolkit messages and due timers; a batch at a
    // time, so a flood of messages does not starve the windows (the
    // descriptor stays readable and brings the loop back).
    void DrainToolkit() {
        constexpr int kBatch = 64;
        for (int n = 0; n < kBatch; ++n) {
            TMessage m;
            bool taken = false;
            CallPortable([&m, &taken] { taken = TakeMessage(m); });
            if (!taken) {
                return;
            }
            if (m.window == 0 && m.msg == kMsgQuit) {
                const int code = static_cast<int>(m.wParam);
                if (TApplication* app = Application()) {
                    app->Terminate(code);
                }
                QuitLoop(code);
                return;
            }
            CallPortable([&m] { DispatchTaken(m); });
        }
    }

  private:
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> poll_;
    bool inLoop_ = false;
    bool quitPending_ = false;
    int quitCode_ = 0;
};

// The desktop's bell as the system beep; tones and pauses stay the platform's.
class TQtSound : public TSound {
  public:
    void SystemBeep() override {
        if (OnQtMainThread()) {
            QApplication::beep();
        } else if (qApp != nullptr) {
            QMetaObject::invokeMethod(
                qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
        }
    }
};

// ---- Is there a display? -----------------------------------------------------------

// Asks the X server named by display for a connection through libxcb (loaded
// here, so that the check costs nothing where Qt is not used).
bool XServerAnswers(const char* display, std::string& reason) {
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) {
        reason = "Qt's X11 platform needs libxcb, which is not installed";
        return false;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool ok = true;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* c = connect(display, nullptr);
        ok = c != nullptr && hasError(c) == 0;
        if (c != nullptr) {
            disconnect(c);
        }
    }
    dlclose(xcb);
    if (!ok) {
        reason = std::string("cannot connect to the X display \"") + display + "\"";
    }
    return ok;
}

bool WaylandPlatformInstalled() {
    const QDir dir(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    return !dir.entryList({"libqwayland*.so"}, QDir::Files).isEmpty();
}

// Qt ends the process when its platform cannot start; this finds the cases
// ahead of it and names them.
bool DisplayUsable(std::string& reason) {
    const char* platformEnv = std::getenv("QT_QPA_PLATFORM");
    const std::string platform = platformEnv != nullptr ? platformEnv : "";
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool hasX = display != nullptr && *display != '\0';
    const bool hasWayland = wayland != nullptr && *wayland != '\0';
    const bool wantsX = platform.empty() || platform.rfind("xcb", 0) == 0;
    const bool wantsWayland = platform.rfind("wayland", 0) == 0;
    if (!wantsX && !wantsWayland) {
        return true;  // offscreen, vnc, linuxfb...: no display server needed
    }
    if (wantsWayland) {
        if (!hasWayland) {
            reason = "QT_QPA_PLATFORM asks for Wayland but WAYLAND_DISPLAY is not set";
            return false;
        }
        return true;
    }
    if (!hasX) {
        if (hasWayland && platform.empty() && WaylandPlatformInstalled()) {
            qputenv("QT_QPA_PLATFORM", "wayland");
            return true;
        }
        reason = hasWayland ? "a Wayland session without X (DISPLAY is not set) "
                              "and Qt's Wayland platform is not installed"
                            : "neither DISPLAY nor WAYLAND_DISPLAY is set "
                              "(QT_QPA_PLATFORM=offscreen draws without a screen)";
        return false;
    }
    return XServerAnswers(display, reason);
}

// ---- The installed backend --------------------------------------------------------------

// The application object and the backend live until the process ends: Qt's
// own statics go at exit in an order that a QApplication destroyed after
// them does not survive, and the program's forms are gone before main returns.
struct TQtState {
    std::unique_ptr<QApplication> app;
    std::unique_ptr<TQtBackend> backend;
    TQtSound sound;
};

TQtState& State() {
    static auto* state = new TQtState;  // never freed, see above
    return *state;
}

// Shows an exception's message in a message box on the main thread; other
// threads hand the text over and go on.
void DisplayException(const std::exception* e) {
    const std::string text = e != nullptr ? e->what() : "Unknown exception";
    auto show = [text] {
        const std::runtime_error error(text);
        if (TApplication* app = Application()) {
            app->ShowException(&error);
        } else if (TGuiBackend* backend = GuiBackend()) {
            backend->MessageBox(text, "PalmoGPS");
        }
    };
    if (OnQtMainThread()) {
        show();
    } else if (qApp != nullptr) {
        QMetaObject::invokeMethod(qApp, show, Qt::QueuedConnection);
    }
}

}  // namespace

bool InstallGuiBackend(int& argc, char** argv, std::string& reason) {
    TQtState& state = State();
    if (state.backend != nullptr) {
        return true;
    }
    if (!DisplayUsable(reason)) {
        return false;
    }
    MarkMainThread();
    PrepareMainThreadCalls();
    state.app = std::make_unique<QApplication>(argc, argv);
    // The toolkit decides when the program ends (its main form closing).
    QApplication::setQuitOnLastWindowClosed(false);
    state.backend = std::make_unique<TQtBackend>();
    SetGuiBackend(state.backend.get());
    SetExceptionDisplay(DisplayException);
    InstallSound(&state.sound);
    return true;
}

}  // namespace tk
