#include "request_parser.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <cstring>

namespace {

// Space, tab, CR, LF, VT and FF, whatever the locale says.
std::string trimmed(const std::string& text)
{
    return boost::algorithm::trim_copy_if(text, boost::algorithm::is_any_of(" \t\r\n\v\f"));
}

} // namespace

std::string request_head::field(const std::string& name) const
{
    for (const auto& f : fields)
        if (boost::algorithm::iequals(f.first, name))
            return f.second;
    return {};
}

void request_parser::take(const std::string& text)
{
    if (!requestSeen_) {
        requestSeen_ = true;
        const auto blank = boost::algorithm::is_any_of(" \t");
        std::size_t begin = 0;
        std::string* parts[] = {&head_.method, &head_.target, &head_.version};
        for (std::string* part : parts) {
            while (begin < text.size() && blank(text[begin]))
                ++begin;
            std::size_t end = begin;
            while (end < text.size() && !blank(text[end]))
                ++end;
            *part = text.substr(begin, end - begin);
            begin = end;
        }
        return;
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || head_.fields.size() >= maxFields)
        return;
    head_.fields.emplace_back(trimmed(text.substr(0, colon)), trimmed(text.substr(colon + 1)));
}

request_parser::result request_parser::next(const char* data, std::size_t size)
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
    std::string text = trimmed(std::string(data, lineEnd));
    if (!requestSeen_ && text.empty()) {
        r.what = status::malformed;
        return r;
    }
    headerBytes_ += lineEnd + 1;
    r.consumed = lineEnd + 1;
    complete_ = requestSeen_ && text.empty();
    r.what = complete_ ? status::done : status::line;
    if (!complete_)
        take(text);
    r.text = std::move(text);
    return r;
}
