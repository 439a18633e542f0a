#include "platform/ble/qt/QtBleThread.h"

#include <QMetaObject>

TQtBleThread::TQtBleThread(const char* name) {
    FThread.setObjectName(QString::fromLatin1(name));
    FContext = new QObject;
    FContext->moveToThread(&FThread);
    // The context is deleted on its own thread when the thread's loop ends.
    QObject::connect(&FThread, &QThread::finished, FContext, &QObject::deleteLater);
    FThread.start();
}

TQtBleThread::~TQtBleThread() {
    FThread.quit();
    FThread.wait();
}

bool TQtBleThread::IsCurrent() const {
    return QThread::currentThread() == &FThread;
}

void TQtBleThread::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        FContext,
        [this, fn = std::move(fn)] {
            TBusy busy(*this);
            fn();
        },
        Qt::QueuedConnection);
}

TQtBleThread::TBusy::TBusy(TQtBleThread& thread) : FThread(thread), FOuter(thread.FBusyDepth++ == 0) {
    if (FOuter)
        FThread.FBusySince = TClock::now();
}

TQtBleThread::TBusy::~TBusy() {
    --FThread.FBusyDepth;
    if (!FOuter)
        return;
    const auto now = TClock::now();
    if (now - FThread.FBusySince > StallThreshold)
        FThread.FLastStallEnd = now;
}

bool TQtBleThread::StalledSince(TClock::time_point since) const {
    if (FLastStallEnd > since)
        return true;
    return FBusyDepth > 0 && TClock::now() - FBusySince > StallThreshold;
}
