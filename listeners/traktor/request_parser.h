#pragma once

#include <cstddef>
#include <string>

// The line framing of the source client's handshake, kept apart from the socket:
// it is handed the bytes received so far and says what the next line is.
//
// The first line must begin with "SOURCE" once trimmed; any number of header
// lines follow, none interpreted, until an empty line ends the request. Lines
// end with "\n"; a "\r" before it goes with the trimming.
class source_request_parser
{
public:
    enum class status {
        need_more,       // no complete line yet: read more bytes
        line,            // a request or header line was taken
        done,            // the empty line that ends the request was taken
        invalid_request, // the first line does not begin with "SOURCE"
        line_too_long,   // no line end within the allowed line length
        header_too_large // the request as a whole exceeds its allowance
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

    source_request_parser(std::size_t maxLineLength, std::size_t maxHeaderBytes)
        : maxLine_(maxLineLength), maxHeader_(maxHeaderBytes)
    {}

    // Looks at the unconsumed bytes (they start where the previous line ended)
    // and takes at most one line. The caller drops `consumed` bytes afterwards.
    result next(const char* data, std::size_t size);

private:
    std::size_t maxLine_;
    std::size_t maxHeader_;
    std::size_t headerBytes_ = 0;
    bool requestSeen_ = false;
    bool complete_ = false;
};
