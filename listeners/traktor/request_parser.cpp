#include "source_request_parser.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <cstring>

source_request_parser::result source_request_parser::next(const char* data, std::size_t size)
{
    result r;
    if (complete_)
        return r;
    // Only the part that may still hold a line end of an allowed line is searched,
    // so a flood without line ends costs no more than one line's length.
    const std::size_t window = size < maxLine_ + 1 ? size : maxLine_ + 1;
    const void* found = window > 0 ? std::memchr(data, '\n', window) : nullptr;
    if (found == nullptr) {
        if (size > maxLine_)
            r.what = status::line_too_long;
        else if (headerBytes_ + size > maxHeader_)
            r.what = status::header_too_large;
        return r;
    }
    const std::size_t lineEnd = static_cast<std::size_t>(static_cast<const char*>(found) - data);
    if (headerBytes_ + lineEnd + 1 > maxHeader_) {
        r.what = status::header_too_large;
        return r;
    }
    // Space, tab, CR, LF, VT and FF, whatever the locale says.
    std::string text = boost::algorithm::trim_copy_if(std::string(data, lineEnd),
                                                      boost::algorithm::is_any_of(" \t\r\n\v\f"));
    if (!requestSeen_) {
        if (!boost::algorithm::starts_with(text, "SOURCE")) {
            r.what = status::invalid_request;
            return r;
        }
        requestSeen_ = true;
    }
    headerBytes_ += lineEnd + 1;
    r.consumed = lineEnd + 1;
    r.what = text.empty() ? status::done : status::line;
    complete_ = text.empty();
    r.text = std::move(text);
    return r;
}
