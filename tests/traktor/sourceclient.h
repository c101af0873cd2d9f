#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A blocking client over a plain socket, so that every write is one send() of
// exactly the bytes given. The socket exists from construction on, so that it
// can be had before file descriptors run out and connected after.
class SourceClient
{
public:
    SourceClient() : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~SourceClient() { ::close(fd_); }
    SourceClient(const SourceClient&) = delete;
    SourceClient& operator=(const SourceClient&) = delete;

    bool connectTo(quint16 port)
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }

    bool send(const QByteArray& data, int chunk = 1 << 30)
    {
        for (int offset = 0, n; offset < data.size(); offset += n)
            if ((n = int(::send(fd_, data.constData() + offset,
                                size_t(qMin(chunk, data.size() - offset)), MSG_NOSIGNAL))) <= 0)
                return false;
        return true;
    }

    // Exactly n bytes, or what came before the peer closed or the time ran out.
    QByteArray receive(int n)
    {
        QByteArray out;
        char buffer[4096];
        for (ssize_t got = 1; out.size() < n && wait(5000) && got > 0;)
            if ((got = ::recv(fd_, buffer, size_t(qMin(n - out.size(), 4096)), 0)) > 0)
                out.append(buffer, int(got));
        return out;
    }

    // True when the server closed the connection (end of stream or reset) in time.
    bool closedByPeer(int timeoutMs = 5000)
    {
        char c;
        return wait(timeoutMs) && ::recv(fd_, &c, 1, 0) <= 0;
    }

private:
    bool wait(int timeoutMs)
    {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }
    const int fd_;
};
