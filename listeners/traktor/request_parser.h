#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The head of one request as a source or metadata client sends it: the request
// line and the header fields.
struct request_head
{
    std::string method;  // "SOURCE", "PUT", "GET", ... (case-sensitive)
    std::string target;  // "/live.ogg", "/admin/metadata?mode=updinfo&..."
    std::string version; // "HTTP/1.0"; empty when the line has none
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of the first field of that name (case-insensitive), trimmed; empty if none.
    std::string field(const std::string& name) const;
};

// The line framing of a request head, kept apart from the socket: it is handed
// the bytes received so far and says what the next line is.
//
// Lines end with "\n"; a "\r" before it goes with the trimming of blanks at both
// ends. The first line is the request line (method, target, version, separated
// by blanks); header lines "Name: value" follow until an empty line ends the head.
// Header lines without a colon are taken and ignored.
class request_parser
{
public:
    enum class status {
        need_more,       // no complete line yet: read more bytes
        line,            // a request or header line was taken
        done,            // the empty line that ends the head was taken
        malformed,       // the first line is empty
        line_too_long,   // no line end within the allowed line length
        header_too_large // the head as a whole exceeds its allowance
    };

    struct result
    {
        status what = status::need_more;
        // Bytes of the input that belong to the line (line end included); 0 unless
        // the status is line or done.
        std::size_t consumed = 0;
        // The trimmed line for line and done.
        std::string text;
    };

    request_parser(std::size_t maxLineLength, std::size_t maxHeaderBytes)
        : maxLine_(maxLineLength), maxHeader_(maxHeaderBytes)
    {}

    // Looks at the unconsumed bytes (they start where the previous line ended)
    // and takes at most one line. The caller drops `consumed` bytes afterwards.
    result next(const char* data, std::size_t size);

    // What has been taken so far; complete once next() said done.
    const request_head& head() const { return head_; }

private:
    static constexpr std::size_t maxFields = 100;

    void take(const std::string& text);

    std::size_t maxLine_;
    std::size_t maxHeader_;
    std::size_t headerBytes_ = 0;
    bool requestSeen_ = false;
    bool complete_ = false;
    request_head head_;
};
