#pragma once
// The application's general error reporting: one place where an error that escaped a handler
// (a Bluetooth event, a toolkit event, a connect worker) is shown to the user. The window plugs in a
// reporter that shows a message box titled with the application title; until then, and in tests
// that plug in nothing, errors go to stderr.

#include <exception>
#include <functional>
#include <string>

using TGeneralErrorReporter = std::function<void(const std::string& message)>;

// Replaces the reporter; returns the previous one. Safe from any thread.
TGeneralErrorReporter SetGeneralErrorReporter(TGeneralErrorReporter reporter);

// Hands one error text to the current reporter. Safe from any thread; never throws.
void ReportGeneralError(const std::string& message) noexcept;

// Reports the exception currently being handled (call inside a catch block).
void ReportCurrentException() noexcept;

// Runs fn; an exception escaping it is reported instead of propagating.
template <typename Fn>
void RunReportingErrors(Fn&& fn) noexcept {
    try {
        fn();
    } catch (...) {
        ReportCurrentException();
    }
}
