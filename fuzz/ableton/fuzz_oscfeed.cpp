// Feeds arbitrary bytes to the OSC decoder as one datagram and as a stream in
// one or more reads (SLIP when it begins with END) and checks that every report
// has the shape the receivers rely on.
#include "messanger.h"
#include "osc_parser.h"

#include <QObject>
#include <QRegularExpression>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&)
{}

struct Harness
{
    Harness()
    {
        qInstallMessageHandler(quiet);
        QObject::connect(&hub, qOverload<QString>(&Messanger::sendStat), [](const QString& tempo) {
            static const QRegularExpression shape(QStringLiteral("^(-?[0-9]+\\.[0-9]{6}|-?inf)$"));
            if (!shape.match(tempo).hasMatch())
                std::abort();
        });
        QObject::connect(&hub, qOverload<QStringList>(&Messanger::sendStat),
                         [](const QStringList& clip) {
                             if (clip.size() != 4)
                                 std::abort();
                             for (int k : {0, 2}) {
                                 bool ok = false;
                                 const qint64 value = clip.at(k).toLongLong(&ok);
                                 if (!ok || value < 0)
                                     std::abort();
                             }
                         });
    }
    Messanger hub;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Harness harness;
    if (size == 0)
        return 0;
    // The first byte chooses where the bytes are cut into reads, as a socket
    // might deliver them.
    const std::size_t step = std::size_t(data[0]) + 1;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;
    osc_parser(&harness.hub, "fuzz: ").datagram(bytes, length);
    osc_parser(&harness.hub, "fuzz: ").feed(bytes, length);
    osc_parser parser(&harness.hub, "fuzz: ");
    for (std::size_t offset = 0; offset < length; offset += step)
        parser.feed(bytes + offset, std::min(step, length - offset));
    return 0;
}
