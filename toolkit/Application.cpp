// The application object, the installed GUI backend and the message loop
// that runs when there is no backend.
#include <atomic>
#include <cstdio>
#include <exception>

#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Forms.h"
#include "toolkit/Messages.h"
#include "toolkit/Sync.h"

namespace tk {

namespace {

std::atomic<TGuiBackend*> g_backend{nullptr};
std::atomic<TApplication*> g_application{nullptr};

// Serves the calling thread's waiting toolkit messages; a quit request ends
// the application when there is one.
void DrainToolkitMessages() {
    TMessage m;
    while (TakeMessage(m)) {
        if (m.window == 0 && m.msg == kMsgQuit) {
            if (TApplication* app = Application()) {
                app->Terminate(static_cast<int>(m.wParam));
            }
            return;
        }
        DispatchTaken(m);
    }
}

}  // namespace

void TGuiBackend::ProcessEvents() {
    DrainToolkitMessages();
}

TGuiBackend* GuiBackend() {
    return g_backend.load(std::memory_order_acquire);
}

TGuiBackend* SetGuiBackend(TGuiBackend* backend) {
    return g_backend.exchange(backend, std::memory_order_acq_rel);
}

TApplication* Application() {
    return g_application.load(std::memory_order_acquire);
}

TApplication::TApplication() : TComponent(nullptr) {
    TApplication* none = nullptr;
    g_application.compare_exchange_strong(none, this, std::memory_order_acq_rel);
}

TApplication::~TApplication() {
    // The forms go while the application is still known, so a form that
    // reaches for it meets a live object; then it is forgotten.
    while (ComponentCount() > 0) {
        delete Components(ComponentCount() - 1);
    }
    mainForm_ = nullptr;
    TApplication* self = this;
    g_application.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

int TApplication::Run() {
    if (mainForm_ == nullptr || terminated_) {
        return exitCode_;
    }
    running_ = true;
    struct Ending {
        bool& running;
        ~Ending() { running = false; }
    } ending{running_};

    mainForm_->Show();
    if (TGuiBackend* backend = GuiBackend()) {
        if (!terminated_) {
            const int code = backend->RunLoop();
            if (!terminated_) {
                terminated_ = true;
                exitCode_ = code;
            }
        }
        return exitCode_;
    }
    while (!terminated_) {
        TMessage m;
        if (!TakeMessage(m)) {
            WaitForMessage(kInfinite);
            continue;
        }
        if (m.window == 0 && m.msg == kMsgQuit) {
            terminated_ = true;
            exitCode_ = static_cast<int>(m.wParam);
            break;
        }
        try {
            DispatchTaken(m);
        } catch (...) {
            ShowCurrentException();
        }
    }
    return exitCode_;
}

void TApplication::Terminate(int exitCode) {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    exitCode_ = exitCode;
    // The headless loop looks at the flag after each message; a backend's
    // loop is asked to end.
    if (running_) {
        if (TGuiBackend* backend = GuiBackend()) {
            backend->QuitLoop(exitCode);
        }
    }
}

void TApplication::MainFormClosed() {
    Terminate(0);
}

void TApplication::ProcessMessages() {
    if (TGuiBackend* backend = GuiBackend()) {
        backend->ProcessEvents();
    } else {
        DrainToolkitMessages();
    }
}

void TApplication::ShowException(const std::exception* e) {
    const std::string text = e != nullptr ? e->what() : "Unknown exception";
    if (TGuiBackend* backend = GuiBackend()) {
        backend->MessageBox(text, title_);
        return;
    }
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace tk
