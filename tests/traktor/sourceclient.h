#pragma once

#include <QByteArray>
#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// A blocking test client over a plain socket, so that every write is one send()
// of exactly the bytes given (no buffering or coalescing by a framework).
class SourceClient
{
public:
    SourceClient() = default;
    ~SourceClient() { close(); }
    SourceClient(const SourceClient&) = delete;
    SourceClient& operator=(const SourceClient&) = delete;

    bool connectTo(quint16 port, const char* address = "127.0.0.1")
    {
        return open() && connectOpened(port, address);
    }

    // The socket alone, to be connected later.
    bool open()
    {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0)
            return false;
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    bool connectOpened(quint16 port, const char* address = "127.0.0.1")
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &addr.sin_addr);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }

    // Sends the bytes in writes of at most `chunk` bytes each.
    bool send(const QByteArray& data, int chunk = 1 << 30)
    {
        for (int offset = 0; offset < data.size();) {
            const int n = qMin(chunk, data.size() - offset);
            const ssize_t sent = ::send(fd_, data.constData() + offset, size_t(n), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            offset += int(sent);
        }
        return true;
    }

    // Reads exactly n bytes, or what arrived before the peer closed or the time ran out.
    QByteArray receive(int n, int timeoutMs = 5000)
    {
        QByteArray out;
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                break;
            char buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, size_t(qMin<int>(n - out.size(), 4096)), 0);
            if (got <= 0)
                break;
            out.append(buffer, int(got));
        }
        return out;
    }

    // True when the server closed the connection (end of stream or reset) in time.
    bool closedByPeer(int timeoutMs = 5000)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        char c;
        return ::recv(fd_, &c, 1, 0) <= 0;
    }

    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};
