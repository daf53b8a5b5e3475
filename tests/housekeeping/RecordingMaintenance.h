#pragma once

#include "app/MaintenanceProgress.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Maintenance windows that write down every call, in order, as "verb: text".
class RecordingMaintenance : public MaintenanceProgress {
public:
    std::unique_ptr<MaintenanceWindow> openMaintenanceWindow() override
    {
        {
            std::lock_guard lock(fMutex);
            ++fOpened;
            fCalls.push_back("open");
        }
        return std::make_unique<Window>(*this);
    }

    std::vector<std::string> calls() const
    {
        std::lock_guard lock(fMutex);
        return fCalls;
    }
    int opened() const
    {
        std::lock_guard lock(fMutex);
        return fOpened;
    }
    bool saw(const std::string& call) const
    {
        std::lock_guard lock(fMutex);
        for (const auto& c : fCalls)
            if (c == call)
                return true;
        return false;
    }

private:
    class Window : public MaintenanceWindow {
    public:
        explicit Window(RecordingMaintenance& owner) : fOwner(owner) { }
        void ibSetWindowTitle(const std::string& title) override { fOwner.add("title: " + title); }
        void ibUpdateLine1TextField(const std::string& text) override { fOwner.add("line1: " + text); }
        void ibUpdateLine2TextField(const std::string& text) override { fOwner.add("line2: " + text); }
        void ibUpdateProgressBar(const std::string& yesOrNo) override { fOwner.add("bar: " + yesOrNo); }
        void close() override { fOwner.add("close"); }

    private:
        RecordingMaintenance& fOwner;
    };

    void add(const std::string& call)
    {
        std::lock_guard lock(fMutex);
        fCalls.push_back(call);
    }

    mutable std::mutex fMutex;
    std::vector<std::string> fCalls;
    int fOpened = 0;
};
