#include "platform/NotificationCenter.h"

#include <algorithm>

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const void* owner, const std::string& name, Handler handler)
{
    std::lock_guard lock(fMutex);
    fObservers.push_back({owner, name, std::make_shared<Handler>(std::move(handler))});
}

void NotificationCenter::removeObserver(const void* owner)
{
    std::lock_guard lock(fMutex);
    std::erase_if(fObservers, [owner](const Observer& o) { return o.owner == owner; });
}

void NotificationCenter::post(const std::string& name, const void* object,
                              std::shared_ptr<NotificationInfo> userInfo) const
{
    // Handlers run without the lock held, so they can post and register freely.
    std::vector<std::shared_ptr<Handler>> handlers;
    {
        std::lock_guard lock(fMutex);
        for (const auto& o : fObservers)
            if (o.name == name)
                handlers.push_back(o.handler);
    }
    const Notification note{name, object, std::move(userInfo)};
    for (const auto& handler : handlers)
        (*handler)(note);
}

size_t NotificationCenter::observerCount(const std::string& name) const
{
    std::lock_guard lock(fMutex);
    return static_cast<size_t>(
        std::count_if(fObservers.begin(), fObservers.end(), [&](const Observer& o) { return o.name == name; }));
}
