#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A request body in the web service's multipart/form-data framing. Text parts
// are held in memory; a file's bytes stay on disk and are read while the body
// is sent or dumped, so a large movie never sits in memory. Every part opens
// with CR LF "--" boundary CR LF, so the body starts with CR LF and no value
// carries a line break of its own.
class MultipartBody {
public:
    static constexpr const char* kBoundary = "0xKhTmLbOuNdArY";
    // The value of the request's one "Content-Type" header.
    static std::string contentTypeValue();
    // A file name as it may stand between the quotes of the filename
    // parameter: '"', CR and LF become %22, %0D and %0A, all else is kept.
    static std::string escapedFileName(std::string_view fileName);

    MultipartBody() = default;
    ~MultipartBody();
    MultipartBody(const MultipartBody&) = delete;
    MultipartBody& operator=(const MultipartBody&) = delete;

    // Content-Disposition: form-data; name="NAME" CR LF CR LF, then the value.
    void addField(std::string_view name, std::string_view value);
    // The two header lines of a file part; the file's bytes follow with addFileContents.
    // The file name is escaped as browsers escape it in form uploads.
    void addFilePartHeader(std::string_view name, std::string_view fileName, std::string_view contentType);
    // Opens the file for sending. False, and the reason, when it cannot be read.
    bool addFileContents(const std::string& path, std::string* error);
    // The closing delimiter.
    void close();

    uint64_t size() const;

    // Replaces the file at path with the body built so far: written under a
    // private (0600) name beside it, over the earlier copy's own file when
    // that is a plain file of this user, and given the name once complete.
    // When the write fails, the earlier copy may be gone as well.
    bool writeTo(const std::string& path, std::string* error = nullptr) const;

    // The body as built so far, to be written out later (on any thread) while
    // this body lives on: its files stay open meanwhile, and what is added to
    // the body afterwards is not part of it.
    class Snapshot {
    public:
        bool writeTo(const std::string& path, std::string* error = nullptr) const;

    private:
        friend class MultipartBody;
        struct Part {
            std::string text; // a text segment, or
            int fd = -1;      // a file segment's file, owned by the body
            uint64_t size = 0;
        };
        static int takeEarlierCopy(const std::string& path, std::string& temp);
        std::vector<Part> fParts;
    };
    Snapshot snapshot() const;

    // Sequential reading for the transfer: fills buffer and returns the bytes
    // given, 0 at the end. A file that cannot be read any more, or whose size
    // is not what it was when it was added, fails the read: 0 is returned
    // and readFailed() tells.
    size_t read(char* buffer, size_t capacity);
    bool readFailed() const { return !fReadError.empty(); }
    // Back to the first byte, for a send that is started again on a fresh
    // connection; false after a failed read.
    bool rewind();
    const std::string& readError() const { return fReadError; }
    // The read failed because a file's size changed while it was sent: it is
    // still being written.
    bool fileChanged() const { return fFileChanged; }

private:
    struct Segment {
        std::string text; // a text segment, or
        std::string path; // a file segment
        int fd = -1;
        uint64_t size = 0;
    };
    Segment& textSegment();
    // read() within one part: at most the rest of the part the reading is in.
    size_t readPart(char* buffer, size_t capacity);
    bool checkFileUnchanged(const Segment& segment);

    std::vector<Segment> fSegments;
    size_t fReadSegment = 0;
    uint64_t fReadOffset = 0;
    std::string fReadError;
    bool fFileChanged = false;
};
