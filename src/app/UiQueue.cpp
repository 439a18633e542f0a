#include "app/UiQueue.h"

#include <QMetaObject>
#include <QThread>

#include "platform/GeneralError.h"

#include <future>
#include <utility>

std::shared_ptr<TUiQueue> TUiQueue::Create(QObject* context) {
    return std::shared_ptr<TUiQueue>(new TUiQueue(context));
}

bool TUiQueue::OnContextThread() const {
    return QThread::currentThread() == FContext->thread();
}

void TUiQueue::Post(std::function<void()> fn) {
    // The lock is held while posting so Close() (and after it the context's destruction) cannot
    // happen between the check and the post.
    std::lock_guard lock(FLock);
    if (FClosed) {
        return;
    }
    QMetaObject::invokeMethod(
        FContext,
        [self = shared_from_this(), fn = std::move(fn)] {
            if (!self->Closed()) {
                // Reported here: an exception must not unwind through Qt's event delivery.
                RunReportingErrors(fn);
            }
        },
        Qt::QueuedConnection);
}

void TUiQueue::Run(std::function<void()> fn) {
    bool here = false;
    {
        // The context is only looked at while open: after Close() it may be gone.
        std::lock_guard lock(FLock);
        if (FClosed) {
            return;
        }
        here = OnContextThread();
    }
    if (here) {
        // Closing happens on this same thread, so the queue cannot close under our feet here.
        fn();
        return;
    }
    Post(std::move(fn));
}

bool TUiQueue::RunAndWait(std::function<void()> fn) {
    bool here = false;
    {
        std::lock_guard lock(FLock);
        if (FClosed) {
            return false;
        }
        here = OnContextThread();
    }
    if (here) {
        fn();
        return true;
    }
    // Answers the waiting thread exactly once: true when fn ran, false when the work was dropped
    // (queue closed, or the context destroyed with the call still pending, which destroys the
    // posted functor and with it the last reference to this).
    struct TCompletion {
        std::promise<bool> Done;
        bool Answered = false;
        void Answer(bool ran) {
            if (!std::exchange(Answered, true)) {
                Done.set_value(ran);
            }
        }
        ~TCompletion() { Answer(false); }
    };
    auto completion = std::make_shared<TCompletion>();
    std::future<bool> done = completion->Done.get_future();
    {
        std::lock_guard lock(FLock);
        if (FClosed) {
            return false;
        }
        QMetaObject::invokeMethod(
            FContext,
            [self = shared_from_this(), completion, &fn]() mutable {
                if (self->Closed()) {
                    return;
                }
                RunReportingErrors(fn);
                completion->Answer(true);
            },
            Qt::QueuedConnection);
    }
    completion.reset();
    return done.get();
}

void TUiQueue::Close() {
    std::lock_guard lock(FLock);
    FClosed = true;
}

bool TUiQueue::Closed() const {
    std::lock_guard lock(FLock);
    return FClosed;
}
