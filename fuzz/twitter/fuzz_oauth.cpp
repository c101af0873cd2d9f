// Feeds arbitrary bytes to the parts of the signer that read outside data: the
// token replies of the service and the URLs and bodies it signs. The header must
// never carry a line break or a query/body pair, and the percent-encoder must
// round-trip every input.
#include "oauth.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<int>(size));

    const QByteArray encoded = oAuth::percentEncode(input);
    for (const char c : encoded) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                        c == '%';
        if (!ok)
            std::abort();
    }
    if (QByteArray::fromPercentEncoding(encoded) != input)
        std::abort();

    oAuth signer;
    signer.setConsumerKey("ck");
    signer.setConsumerSecret("cs");
    const bool took = signer.takeTokenReply(input);
    if (took == input.isEmpty())
        std::abort();

    // The first line is the URL, the rest the body.
    const int newline = input.indexOf('\n');
    const QByteArray url = newline < 0 ? input : input.left(newline);
    const QByteArray body = newline < 0 ? QByteArray() : input.mid(newline + 1);
    QByteArray header;
    if (!signer.buildAuthHeader(oAuth::POST, url, body, true, header))
        std::abort();
    if (!header.startsWith("Authorization: OAuth oauth_consumer_key=\"ck\",oauth_nonce=\""))
        std::abort();
    if (header.contains('\n') || header.contains('\r'))
        std::abort();
    if (!header.contains("oauth_signature=\""))
        std::abort();
    return 0;
}
