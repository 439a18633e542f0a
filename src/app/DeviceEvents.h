#pragma once
// Listening on the process-wide message bus from the window. The bus delivers on the sending thread
// (a connect worker, a Bluetooth callback); the window takes each message on its own thread instead,
// in the order they were sent, through its UI queue. A copy of the value travels, since the bus
// disposes of the message when the send returns.

#include <functional>
#include <memory>
#include <utility>

#include "app/UiQueue.h"
#include "device/MessageBus.h"

// Subscribes handler to messages carrying a T; returns the bus's subscription id. Once the queue is
// closed (or the subscription removed) no message reaches handler any more.
template <typename T>
int SubscribeOnUiQueue(TMessageManager& bus, std::shared_ptr<TUiQueue> queue,
                       std::function<void(const T&)> handler) {
    auto shared = std::make_shared<std::function<void(const T&)>>(std::move(handler));
    return bus.Subscribe<T>([queue = std::move(queue), shared](const TMessage<T>& message) {
        queue->Post([shared, value = message.Value()] { (*shared)(value); });
    });
}
