#include "app/CorvastelApplication.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <memory>
#include <stdexcept>

TCorvastelApplication::TCorvastelApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // Only the name: a display name would be appended to every window caption.
    setApplicationName(ApplicationTitle);
}

bool TCorvastelApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportCurrentException();
        return false;
    }
}

namespace {
QPointer<QWidget> BoxOwner;

void ShowBox(QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, QString::fromUtf8(ApplicationTitle), text, QMessageBox::Ok, BoxOwner.data());
    // Messages quote what dongles and files say: never as markup.
    box.setTextFormat(Qt::PlainText);
    if (BoxOwner) {
        box.setWindowModality(Qt::WindowModal);
    }
    box.exec();
}
}  // namespace

void SetMessageOwner(QWidget* owner) {
    BoxOwner = owner;
}

void ShowMessage(const QString& text) {
    ShowBox(QMessageBox::NoIcon, text);
}

void ShowErrorMessage(const QString& text) {
    ShowBox(QMessageBox::Critical, text);
}

TGeneralErrorReporter InstallGeneralErrorReporter(TErrorPresenter present) {
    auto shared = std::make_shared<TErrorPresenter>(std::move(present));
    return SetGeneralErrorReporter([shared](const std::string& message) {
        const QString text = QString::fromStdString(message);
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) {
            throw std::runtime_error("no application object");  // the caller falls back to stderr
        }
        if (QThread::currentThread() == app->thread()) {
            (*shared)(text);
            return;
        }
        // A box can only be shown on the UI thread, and the raising thread (a Bluetooth callback,
        // a worker) must not wait for the user.
        QMetaObject::invokeMethod(
            app, [shared, text] { (*shared)(text); }, Qt::QueuedConnection);
    });
}
