#include "metadata_request.h"

#include <QByteArray>
#include <QTextCodec>

#include <map>

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string percent_decoded(const std::string& text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+' && plusIsSpace) {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                   hex_value(text[i + 2]) >= 0) {
            out += char(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

metadata_request metadata_request::parse(const std::string& target)
{
    metadata_request r;
    const std::size_t question = target.find('?');
    if (target.substr(0, question) != "/admin/metadata")
        return r;
    // The first of each name counts, as later ones could only be a client's mistake.
    std::map<std::string, std::string> values;
    const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
    std::size_t begin = 0;
    while (begin <= query.size()) {
        std::size_t end = query.find('&', begin);
        if (end == std::string::npos)
            end = query.size();
        const std::string pair = query.substr(begin, end - begin);
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos)
            values.emplace(percent_decoded(pair.substr(0, equals)),
                           percent_decoded(pair.substr(equals + 1)));
        begin = end + 1;
    }
    const auto value = [&values](const char* name) {
        const auto it = values.find(name);
        return it == values.end() ? std::string() : it->second;
    };
    if (value("mode") != "updinfo") {
        r.what = verdict::not_updinfo;
        return r;
    }
    r.mount = value("mount");
    if (r.mount.empty()) {
        r.what = verdict::no_mount;
        return r;
    }
    const std::string charset = value("charset");
    QTextCodec* codec = QTextCodec::codecForName(charset.empty() ? "ISO-8859-1" : charset.c_str());
    if (codec == nullptr) {
        r.what = verdict::unknown_charset;
        return r;
    }
    const auto text = [codec](const std::string& bytes) {
        return codec->toUnicode(bytes.data(), static_cast<int>(bytes.size()));
    };
    if (values.count("artist") != 0 || values.count("title") != 0) {
        r.artist = text(value("artist"));
        r.title = text(value("title"));
    } else if (values.count("song") != 0) {
        const QString song = text(value("song"));
        const int separator = song.indexOf(QStringLiteral(" - "));
        r.from_song = true;
        r.artist = separator < 0 ? QString() : song.left(separator);
        r.title = separator < 0 ? song : song.mid(separator + 3);
    } else {
        r.what = verdict::no_song;
        return r;
    }
    r.what = verdict::ok;
    return r;
}
