#pragma once

#include <QHostAddress>
#include <QTcpServer>

// A loopback port that was free a moment ago (0 if none): another process may
// take it first, so tests that can listen on port 0 and read the port back.
inline quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}
