// The Qt backend in tests: Qt's offscreen platform (no X server needed;
// PALMO_QT_PLATFORM picks another, e.g. xcb under Xvfb), the peers' widgets,
// waiting on Qt's loop, and recorders for message boxes and exceptions.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Forms.h"
#include "toolkit/qt/QtPeers.h"

namespace qttest {

// Installs the Qt backend once per process.
inline bool StartQt() {
    static const bool ok = [] {
        const char* want = std::getenv("PALMO_QT_PLATFORM");
        setenv("QT_QPA_PLATFORM", want != nullptr && *want != '\0' ? want : "offscreen", 1);
        static int argc = 1;
        static char name[] = "test_qt";
        static char* argv[] = {name, nullptr};
        std::string reason;
        const bool installed = tk::InstallGuiBackend(argc, argv, reason);
        if (!installed) {
            std::fprintf(stderr, "no Qt backend: %s\n", reason.c_str());
        }
        return installed;
    }();
    return ok;
}

// The widget that mirrors a control of a shown form.
template <typename W = QWidget>
W* WidgetOf(const tk::TControl& control) {
    auto* peer = dynamic_cast<tk::qt::TQtPeer*>(control.Peer());
    return peer != nullptr ? qobject_cast<W*>(peer->Widget()) : nullptr;
}

// Runs Qt's loop (which serves the toolkit's messages too) until done()
// holds; false after timeoutMs.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    if (done()) {
        return true;
    }
    QEventLoop loop;
    QTimer check;
    QElapsedTimer clock;
    clock.start();
    bool result = false;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) {
            result = true;
            loop.quit();
        } else if (clock.elapsed() > timeoutMs) {
            loop.quit();
        }
    });
    check.start(5);
    loop.exec();
    return result;
}

// Answers every message box that opens, keeping "title|text" of each.
class TBoxAnswerer {
  public:
    TBoxAnswerer() {
        QObject::connect(&check_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen.push_back((box->windowTitle() + "|" + box->text()).toStdString());
                box->accept();
            }
        });
        check_.start(5);
    }
    std::vector<std::string> seen;

  private:
    QTimer check_;
};

// Records what reaches the exception display while it lives.
class TExceptionRecorder {
  public:
    TExceptionRecorder() {
        old_ = tk::SetExceptionDisplay(
            [this](const std::exception* e) { seen.push_back(e != nullptr ? e->what() : "?"); });
    }
    ~TExceptionRecorder() { tk::SetExceptionDisplay(old_); }
    TExceptionRecorder(const TExceptionRecorder&) = delete;
    TExceptionRecorder& operator=(const TExceptionRecorder&) = delete;
    std::vector<std::string> seen;

  private:
    tk::TExceptionDisplay old_;
};

// Opens the main window's menu with `open`, picks item `pick` (-1: none)
// and gives back the items as "text" or "[x] text" for ticked ones.
inline QStringList UseMenu(const std::function<void()>& open, int pick) {
    QStringList seen;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) {
            return;
        }
        answer.stop();
        for (QAction* a : menu->actions()) {
            seen << (a->isChecked() ? "[x] " : "") + a->text();
        }
        if (pick >= 0) {
            menu->actions()[pick]->trigger();
        }
        menu->close();
    });
    answer.start(5);
    open();
    return seen;
}

}  // namespace qttest
