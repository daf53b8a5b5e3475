#pragma once

#include "upload/MultipartBody.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Writes the debug copies of a request body on a thread of its own while the
// request goes out, so the upload does not wait for the disk first. The
// copies are done before the upload's result is reported: finish() waits for
// them, and writes them itself when their thread has not begun yet (a busy
// machine never makes the upload slower than writing them in line). One
// request at a time: the thread that started the copies finishes them.
class RequestDumpWriter {
public:
    // A copy: the body as it was, and the file it replaces.
    using Copy = std::pair<MultipartBody::Snapshot, std::string>;

    RequestDumpWriter() = default;
    ~RequestDumpWriter();
    RequestDumpWriter(const RequestDumpWriter&) = delete;
    RequestDumpWriter& operator=(const RequestDumpWriter&) = delete;

    // Starts writing the copies, in order; false (nothing started) while the
    // copies of another request are not finished.
    bool start(const std::vector<Copy>& copies);
    // Waits until the copies started are written; why each failed one
    // failed, in order.
    std::vector<std::string> finish();

private:
    // Claims the pending copies, under the lock; empty when there are none.
    std::vector<Copy> takePending();
    static std::vector<std::string> write(const std::vector<Copy>& copies);
    void threadMain();

    std::mutex fMutex;
    std::condition_variable fWake; // copies to write, or the end
    std::condition_variable fDone; // the copies being written are done
    std::vector<Copy> fPending;
    bool fWriting = false;
    bool fStarted = false; // copies started and not yet finished
    std::vector<std::string> fErrors;
    bool fQuit = false;
    std::thread fThread;
};
