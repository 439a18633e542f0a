#pragma once
// The application object and the user-facing message boxes. Every message the user sees is a modal
// box titled with the application title; errors that escape a handler (a toolkit event, a queued
// call, a Bluetooth callback, a connect worker) end up in one such box and the application goes on
// running.

#include <QApplication>
#include <QString>

#include <functional>
#include <utility>

#include "platform/GeneralError.h"

// The application title: the title of every message box, and the application name.
inline constexpr char ApplicationTitle[] = "CorvastelPcApp";

class TCorvastelApplication : public QApplication {
  public:
    TCorvastelApplication(int& argc, char** argv);

    // Delivers every event; an exception escaping the receiver is handed to the general error
    // reporting instead of ending the program. The last line of defence: Qt's widget code is not
    // built to be unwound through (it leaks and can keep half-changed state), so the window's own
    // handlers are wrapped with ReportingErrors and never let an exception reach Qt.
    bool notify(QObject* receiver, QEvent* event) override;
};

// Wraps a handler so that an exception escaping it is reported where it is raised, before it can
// unwind through the toolkit's code.
template <typename Fn>
auto ReportingErrors(Fn fn) {
    // The return type keeps the wrapper callable with exactly the arguments fn takes, so Qt can
    // tell how many of a signal's arguments to pass.
    return [fn = std::move(fn)](auto&&... args) -> decltype(std::declval<const Fn&>()(args...), void()) {
        RunReportingErrors([&] { fn(std::forward<decltype(args)>(args)...); });
    };
}

// Shows text in a modal box with an OK button, titled with the application title.
void ShowMessage(const QString& text);
// The window the boxes belong to (null: none). Boxes and dialogs are modal to that window only, not
// to the application: an application-modal one blocks every other window of the program, the tray
// icon's too (on X11 a window of its own), so the tray could neither open its menu nor bring the
// window with the question forward.
void SetMessageOwner(QWidget* owner);
// Shows an error text the same way, with the error icon.
void ShowErrorMessage(const QString& text);

using TErrorPresenter = std::function<void(const QString& text)>;

// Plugs the reporter into the general error reporting: each error is shown by present (by default
// ShowErrorMessage) on the thread of the application object, at once when raised there and queued
// in order when raised on any other thread. Needs a QCoreApplication. Returns the previous reporter.
TGeneralErrorReporter InstallGeneralErrorReporter(TErrorPresenter present = ShowErrorMessage);
