// A GUI backend for tests: its peers write every notice they get into a
// shared log, and its loops are functions the test supplies.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/Forms.h"

namespace formstest {

struct TNotice {
    std::string control;  // the control's Name
    tk::TChange what;
    int32_t index;
    int32_t count;
};

class TFakeBackend : public tk::TGuiBackend {
  public:
    TFakeBackend() : previous_(tk::SetGuiBackend(this)) {}
    ~TFakeBackend() override { tk::SetGuiBackend(previous_); }

    std::unique_ptr<tk::TControlPeer> MakePeer(tk::TControl& control) override {
        made.push_back(control.Name());
        if (control.Name() == unshown) {
            return nullptr;
        }
        return std::make_unique<Peer>(*this, control);
    }
    int RunLoop() override {
        ++loops;
        if (onRunLoop) {
            onRunLoop();
        }
        return quitCode;
    }
    void QuitLoop(int exitCode) override {
        quitCode = exitCode;
        quits.push_back(exitCode);
    }
    tk::TModalResult ShowModal(tk::TForm& form) override {
        return onShowModal ? onShowModal(form) : tk::mrNone;
    }
    void MessageBox(const std::string& text, const std::string& caption) override {
        boxes.push_back(caption + "|" + text);
    }
    void SystemBeep() override { ++beeps; }

    // Notices of one kind, in order.
    std::vector<TNotice> Of(tk::TChange what) const {
        std::vector<TNotice> out;
        for (const TNotice& n : notices) {
            if (n.what == what) {
                out.push_back(n);
            }
        }
        return out;
    }

    std::vector<std::string> made;      // MakePeer calls, by control name
    std::vector<std::string> released;  // peers destroyed, by control name
    std::vector<TNotice> notices;
    std::vector<int> quits;
    std::vector<std::string> boxes;
    std::string unshown = "(none)";  // a control name that gets no peer
    int loops = 0;
    int beeps = 0;
    int quitCode = 0;
    std::function<void()> onRunLoop;
    std::function<tk::TModalResult(tk::TForm&)> onShowModal;

  private:
    class Peer : public tk::TControlPeer {
      public:
        Peer(TFakeBackend& b, tk::TControl& c) : backend_(b), name_(c.Name()) {}
        ~Peer() override { backend_.released.push_back(name_); }
        void Changed(tk::TChange what, int32_t index, int32_t count) override {
            backend_.notices.push_back({name_, what, index, count});
        }

      private:
        TFakeBackend& backend_;
        std::string name_;
    };
    tk::TGuiBackend* previous_;
};

// Makes a control with a name, owned and parented by the form.
template <typename C>
C& Make(tk::TForm& form, const std::string& name) {
    auto* c = new C(&form, &form);  // freed by the form, its owner
    c->SetName(name);
    return *c;
}

}  // namespace formstest
