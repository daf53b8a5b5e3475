#include "upload/RequestDumpWriter.h"

RequestDumpWriter::~RequestDumpWriter()
{
    {
        std::lock_guard lock(fMutex);
        fQuit = true;
    }
    fWake.notify_all();
    if (fThread.joinable())
        fThread.join();
}

bool RequestDumpWriter::start(const std::vector<Copy>& copies)
{
    {
        std::lock_guard lock(fMutex);
        if (fStarted)
            return false;
        fStarted = true;
        fPending = copies;
        fErrors.clear();
        if (!fThread.joinable()) {
            try {
                fThread = std::thread([this] { threadMain(); });
            } catch (...) {
                return true; // finish() writes them in line
            }
        }
    }
    fWake.notify_one();
    return true;
}

std::vector<std::string> RequestDumpWriter::finish()
{
    std::vector<std::string> errors;
    // Not begun yet: written here, without waiting for the thread.
    if (std::vector<Copy> copies = takePending(); !copies.empty()) {
        errors = write(copies);
    } else {
        std::unique_lock lock(fMutex);
        fDone.wait(lock, [this] { return !fWriting; });
        errors = std::exchange(fErrors, {});
    }
    std::lock_guard lock(fMutex);
    fStarted = false;
    return errors;
}

std::vector<RequestDumpWriter::Copy> RequestDumpWriter::takePending()
{
    std::lock_guard lock(fMutex);
    return std::exchange(fPending, {});
}

std::vector<std::string> RequestDumpWriter::write(const std::vector<Copy>& copies)
{
    std::vector<std::string> errors;
    for (const auto& [snapshot, path] : copies)
        if (std::string error; !snapshot.writeTo(path, &error))
            errors.push_back(error);
    return errors;
}

void RequestDumpWriter::threadMain()
{
    std::unique_lock lock(fMutex);
    for (;;) {
        fWake.wait(lock, [this] { return fQuit || !fPending.empty(); });
        if (fPending.empty())
            return;
        const std::vector<Copy> copies = std::exchange(fPending, {});
        fWriting = true;
        lock.unlock();
        std::vector<std::string> errors = write(copies);
        lock.lock();
        fErrors = std::move(errors);
        fWriting = false;
        fDone.notify_all();
    }
}
