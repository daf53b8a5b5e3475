#include "upload/HttpTransfer.h"

#include "upload/MultipartBody.h"
#include "util/CurlSockets.h"

#include <algorithm>
#include <cstdio>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Kept below the heap's separate-block size (HeapTuning): libcurl allocates
// this buffer for every transfer, and a block mapped and unmapped per photo
// costs more than the fuller sends save.
constexpr long kUploadBufferBytes = 512 * 1024;

struct TransferState {
    MultipartBody* body = nullptr;
    const std::function<bool()>* shouldAbort = nullptr;
    const std::function<void()>* onBytesMoved = nullptr;
    const std::function<void(int64_t, int64_t)>* onBodySent = nullptr;
    curl_off_t sent = 0;
    curl_off_t received = 0;
    std::string reply;
    bool replyTooLarge = false;
    bool aborted = false;
    std::vector<std::pair<std::string, std::string>> headerFields;

    bool checkAbort()
    {
        if (!aborted && *shouldAbort && (*shouldAbort)())
            aborted = true;
        return aborted;
    }
    void bytesMoved()
    {
        if (*onBytesMoved)
            (*onBytesMoved)();
    }
};

size_t readBody(char* buffer, size_t size, size_t count, void* user)
{
    auto* state = static_cast<TransferState*>(user);
    if (state->checkAbort())
        return CURL_READFUNC_ABORT;
    const size_t n = state->body->read(buffer, size * count);
    return state->body->readFailed() ? CURL_READFUNC_ABORT : n;
}

size_t writeReply(char* data, size_t size, size_t count, void* user)
{
    auto* state = static_cast<TransferState*>(user);
    const size_t n = size * count;
    std::string& reply = state->reply;
    if (reply.size() + n > HttpTransfer::kMaxReplyBytes) {
        state->replyTooLarge = true;
        return 0; // any short count ends the transfer with a write error
    }
    // Grown by doubling, but never past the cap: left to itself the buffer of
    // a reply near the cap would take twice the cap.
    if (reply.size() + n > reply.capacity())
        reply.reserve(std::min(std::max(reply.capacity() * 2, reply.size() + n), HttpTransfer::kMaxReplyBytes));
    reply.append(data, n);
    state->bytesMoved();
    return n;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

size_t readHeaderLine(char* data, size_t size, size_t count, void* user)
{
    auto* state = static_cast<TransferState*>(user);
    state->bytesMoved();
    const std::string_view line = trimmed(std::string_view(data, size * count));
    if (line.rfind("HTTP/", 0) == 0) {
        state->headerFields.clear(); // a new reply begins (after an interim one)
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        state->headerFields.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                         std::string(trimmed(line.substr(colon + 1))));
    }
    return size * count;
}

// libcurl starts a send again on a fresh connection when a kept-alive one
// turns out to have been closed by the service.
int seekBody(void* user, curl_off_t offset, int origin)
{
    auto* state = static_cast<TransferState*>(user);
    if (offset == 0 && origin == SEEK_SET && state->body->rewind()) {
        state->sent = 0;
        return CURL_SEEKFUNC_OK;
    }
    return CURL_SEEKFUNC_CANTSEEK;
}

// Transfer handles kept between sends: each keeps its connection to the
// service open, so the next photo goes out without a new TCP (and TLS) set-up.
// Senders on different threads (the photo uploader, the hi-res upload) each
// take their own.
class HandlePool {
public:
    static constexpr size_t kMaxIdle = 4;

    CURL* take()
    {
        {
            std::lock_guard lock(fMutex);
            if (!fIdle.empty()) {
                CURL* handle = fIdle.back();
                fIdle.pop_back();
                return handle;
            }
        }
        return curl_easy_init();
    }

    void give(CURL* handle)
    {
        // Forget this send's options and callbacks; the connection stays.
        curl_easy_reset(handle);
        std::lock_guard lock(fMutex);
        if (fIdle.size() < kMaxIdle) {
            fIdle.push_back(handle);
            return;
        }
        curl_easy_cleanup(handle);
    }

private:
    std::mutex fMutex;
    std::vector<CURL*> fIdle;
};

HandlePool& handlePool()
{
    static auto* pool = new HandlePool; // kept to the end: senders may still run at exit
    return *pool;
}

// Called at least once a second; the counts tell whether bytes went out or
// came in since the last call.
int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded)
{
    auto* state = static_cast<TransferState*>(user);
    if (uploaded != state->sent || downloaded != state->received) {
        if (uploaded > state->sent && *state->onBodySent)
            (*state->onBodySent)(uploaded, static_cast<int64_t>(state->body->size()));
        state->sent = uploaded;
        state->received = downloaded;
        state->bytesMoved();
    }
    return state->checkAbort() ? 1 : 0;
}

} // namespace

HttpTransfer::Result HttpTransfer::post(const std::string& url, MultipartBody& body,
                                        const std::function<bool()>& shouldAbort, const std::string& abortReason,
                                        const std::function<void()>& onBytesMoved,
                                        const std::function<void(int64_t, int64_t)>& onBodySent)
{
    static std::once_flag curlReady;
    std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    Result result;
    // Outlives the handle, which points at it until it goes back to the pool.
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const auto giveBack = [](CURL* handle) { handlePool().give(handle); };
    std::unique_ptr<CURL, decltype(giveBack)> curl(handlePool().take(), giveBack);
    if (!curl) {
        result.error = HttpError{CURLE_FAILED_INIT, "The transfer could not be set up", url};
        return result;
    }
    const std::string contentType = "Content-Type: " + MultipartBody::contentTypeValue();
    curl_slist* list = curl_slist_append(nullptr, contentType.c_str());
    // No "Expect: 100-continue" round trip: the service gets the body at once.
    list = curl_slist_append(list, "Expect:");
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(list, curl_slist_free_all);

    TransferState state;
    state.body = &body;
    state.shouldAbort = &shouldAbort;
    state.onBytesMoved = &onBytesMoved;
    state.onBodySent = &onBodySent;
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(handle, CURLOPT_READDATA, &state);
    // A small photo goes out in one read and one send, a large one in fewer.
    curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, seekBody);
    curl_easy_setopt(handle, CURLOPT_SEEKDATA, &state);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeReply);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &state);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, readHeaderLine);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &state);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &state);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kTimeOutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kTimeOutSeconds);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, openSocketCloseOnExec);
    // A reply that announces a length over the cap is refused at its header,
    // before any of its body is read.
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));

    const CURLcode code = curl_easy_perform(handle);

    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status > 0)
        result.response = HttpResponse{status, std::move(state.headerFields)};
    if (code == CURLE_OK) {
        result.body = std::move(state.reply);
        return result;
    }
    std::string description;
    if (state.replyTooLarge || code == CURLE_FILESIZE_EXCEEDED)
        description =
            "The reply is larger than " + std::to_string(kMaxReplyBytes / (1024 * 1024)) + " MiB and was not read";
    else if (state.aborted)
        description = abortReason;
    else if (body.readFailed())
        description = body.readError();
    else
        description = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
    result.error = HttpError{static_cast<int>(code), description, url};
    return result;
}
