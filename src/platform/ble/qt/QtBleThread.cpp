#include "platform/ble/qt/QtBleThread.h"

#include <QMetaObject>

TQtBleThread::TQtBleThread() {
    FThread.setObjectName(QStringLiteral("corvastel-ble"));
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
    QMetaObject::invokeMethod(FContext, std::move(fn), Qt::QueuedConnection);
}
