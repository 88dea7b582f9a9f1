#pragma once

#include <QByteArray>
#include <QTcpSocket>

// Sends bytes exactly as given (no client-side path cleaning) and returns
// everything the server sends until it closes or `timeoutMs` passes.
inline QByteArray rawHttp(int port, const QByteArray &request, int timeoutMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
    if (!socket.waitForConnected(timeoutMs))
        return QByteArray();
    socket.write(request);
    socket.waitForBytesWritten(timeoutMs);
    QByteArray reply;
    while (socket.waitForReadyRead(timeoutMs))
        reply += socket.readAll();
    reply += socket.readAll();
    return reply;
}

// The status code of a raw HTTP reply, or 0.
inline int rawStatus(const QByteArray &reply)
{
    if (!reply.startsWith("HTTP/1."))
        return 0;
    return reply.mid(9, 3).toInt();
}
