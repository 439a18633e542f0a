#pragma once
// The process-wide message bus: publish/subscribe keyed by message type.
//
// Sending is synchronous: every listener of the message's type runs on the sending thread and has
// returned before SendMessage returns; then the message is disposed of. Listeners run without any
// bus lock held, so a listener may send, subscribe and unsubscribe.
//
// Unsubscribe takes effect at once: after it returns, the listener is not called again, and a call
// in progress on another thread has finished. The one exception is the thread that is itself inside
// that listener (a listener may unsubscribe itself; its own call simply runs to its end). Two
// threads that each unsubscribe, from inside a listener, the listener the other is running would
// wait for each other; listeners must not do that.

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

class TMessageBase {
  public:
    virtual ~TMessageBase() = default;

  protected:
    TMessageBase() = default;
};

// A message carrying its own copy of a value.
template <typename T>
class TMessage final : public TMessageBase {
  public:
    explicit TMessage(T value) : FValue(std::move(value)) {}
    const T& Value() const { return FValue; }

  private:
    T FValue;
};

class TMessageManager {
  public:
    template <typename T>
    using TListener = std::function<void(const TMessage<T>& message)>;

    TMessageManager() = default;
    TMessageManager(const TMessageManager&) = delete;
    TMessageManager& operator=(const TMessageManager&) = delete;

    // The process-wide bus.
    static TMessageManager& DefaultManager();

    // Returns the listener's id (positive, unique for this bus).
    template <typename T>
    int Subscribe(TListener<T> listener) {
        return SubscribeType(typeid(TMessage<T>), [fn = std::move(listener)](const TMessageBase& m) {
            fn(static_cast<const TMessage<T>&>(m));
        });
    }

    // Removes a listener of type T; unknown ids (and ids of another type) are ignored.
    template <typename T>
    void Unsubscribe(int id) {
        UnsubscribeType(typeid(TMessage<T>), id);
    }

    // Delivers the message to every listener subscribed to its type when the send starts, then
    // disposes of it. If listeners throw, the rest still get the message and the first exception
    // is rethrown afterwards. sender is informational and may be null.
    void SendMessage(const void* sender, std::unique_ptr<TMessageBase> message);

    // Wraps value in a TMessage<T> and sends it.
    template <typename T>
    requires(!std::is_convertible_v<T, std::unique_ptr<TMessageBase>>) void SendMessage(const void* sender,
                                                                                        T value) {
        SendMessage(sender, std::make_unique<TMessage<T>>(std::move(value)));
    }

  private:
    struct TEntry {
        int id = 0;
        std::function<void(const TMessageBase&)> fn;
        // Guards the fields below.
        std::mutex lock;
        std::condition_variable idle;
        bool removed = false;
        std::vector<std::thread::id> callers;  // threads inside fn now
    };

    int SubscribeType(std::type_index type, std::function<void(const TMessageBase&)> fn);
    void UnsubscribeType(std::type_index type, int id);

    std::mutex FLock;
    int FNextId = 0;
    std::map<std::type_index, std::vector<std::shared_ptr<TEntry>>> FListeners;
};
