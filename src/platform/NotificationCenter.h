#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The record carried as a notification's user info (a scan request, an upload
// item, an upload result...). Handlers that own the record empty it with clear().
class NotificationInfo {
public:
    virtual ~NotificationInfo() = default;
    virtual void clear() { }
    // One line for the log.
    virtual std::string describe() const { return "{}"; }
};

struct Notification {
    std::string name;
    const void* object = nullptr;
    std::shared_ptr<NotificationInfo> userInfo;

    // The user info as the record type a handler expects, or null.
    template <typename T> std::shared_ptr<T> info() const { return std::dynamic_pointer_cast<T>(userInfo); }
};

// Named notifications delivered synchronously on the posting thread, to the
// observers of that name in the order they registered. An observer may post
// further notifications from inside its handler, and may add or remove
// observers; a removal takes effect for posts that start afterwards.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    // The process's notification centre.
    static NotificationCenter& defaultCenter();

    // Registers handler for name. owner only identifies the observer for removal.
    void addObserver(const void* owner, const std::string& name, Handler handler);
    void removeObserver(const void* owner);

    void post(const std::string& name, const void* object = nullptr,
              std::shared_ptr<NotificationInfo> userInfo = nullptr) const;

    size_t observerCount(const std::string& name) const;

private:
    struct Observer {
        const void* owner;
        std::string name;
        std::shared_ptr<Handler> handler;
    };
    mutable std::mutex fMutex;
    std::vector<Observer> fObservers;
};
