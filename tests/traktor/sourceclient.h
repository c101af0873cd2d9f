#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>

// A source on 127.0.0.1 for the listener tests and benchmarks. Every write
// leaves before the next is made, so that the listener sees the pieces as a
// slow sender sends them.
struct SourceClient : QTcpSocket
{
    bool connectTo(quint16 port)
    {
        connectToHost(QHostAddress::LocalHost, port);
        setSocketOption(LowDelayOption, 1);
        return waitForConnected(5000);
    }
    bool send(const QByteArray& data, int chunk = 1 << 30)
    {
        for (int offset = 0; offset < data.size(); offset += chunk)
            if (write(data.mid(offset, chunk)) < 0 || !waitForBytesWritten(5000))
                return false;
        return true;
    }
    QByteArray receive(int n)
    {
        while (bytesAvailable() < n && waitForReadyRead(5000)) {
        }
        return read(n);
    }
    bool closedByPeer(int timeoutMs = 5000)
    {
        return state() == UnconnectedState || waitForDisconnected(timeoutMs);
    }
};
