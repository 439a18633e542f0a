#include "platform/GeneralError.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace {
std::mutex reporterLock;
// Held by shared_ptr so a report in progress keeps its reporter alive while another thread swaps it.
std::shared_ptr<TGeneralErrorReporter> currentReporter;
}  // namespace

TGeneralErrorReporter SetGeneralErrorReporter(TGeneralErrorReporter reporter) {
    auto next = reporter ? std::make_shared<TGeneralErrorReporter>(std::move(reporter)) : nullptr;
    std::lock_guard lock(reporterLock);
    auto previous = std::exchange(currentReporter, std::move(next));
    return previous ? *previous : TGeneralErrorReporter{};
}

void ReportGeneralError(const std::string& message) noexcept {
    std::shared_ptr<TGeneralErrorReporter> reporter;
    {
        std::lock_guard lock(reporterLock);
        reporter = currentReporter;
    }
    try {
        if (reporter) {
            (*reporter)(message);
            return;
        }
    } catch (...) {
        // A reporter that fails must not take the caller down; fall back to stderr.
    }
    std::fprintf(stderr, "CorvastelPcApp: %s\n", message.c_str());
}

void ReportCurrentException() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        ReportGeneralError(e.what());
    } catch (...) {
        ReportGeneralError("Unknown error");
    }
}
