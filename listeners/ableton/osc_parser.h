#pragma once

#include <QByteArray>
#include <QStringList>

#include <cstddef>
#include <vector>

class Messanger;

// Recognises the tempo and clip messages in the bytes of one read of an OSC
// connection and reports them through the hub. The sender writes messages back
// to back without framing, so nothing here parses the OSC grammar: the bytes are
// cut into NUL-delimited tokens and the messages are found by searching them.
// Tokens never carry over from one read to the next.
class osc_parser
{
public:
    explicit osc_parser(Messanger* hub);

    // Tokenises one read's bytes, reports what it recognises, and forgets them.
    void feed(const char* data, std::size_t size);
    void feed(const QByteArray& bytes) { feed(bytes.constData(), std::size_t(bytes.size())); }

private:
    // A token is a run of non-zero bytes and all the 0 bytes that follow it. The
    // tokens of one read lie back to back in its bytes, so they are kept as spans
    // into them; a value that spans two neighbouring tokens is one span as well.
    struct span
    {
        std::size_t begin;
        std::size_t size;
    };

    void tokenise(const char* data, std::size_t size);
    void recognise(const char* data);
    void readClipFields(const char* data, std::size_t i);
    bool readInteger(const char* data, span& value, std::size_t& j);

    Messanger* hub;
    std::vector<span> tokens;
    QStringList clipFields;
};
