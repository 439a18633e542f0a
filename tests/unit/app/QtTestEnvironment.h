#pragma once
// One application object for a whole widget-test executable, on Qt's offscreen platform: the
// program's own application class, so exceptions escaping handlers take the program's path.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

// Processes events until done() holds or timeoutMs passes; returns done().
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 3000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return done();
}
