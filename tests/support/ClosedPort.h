#pragma once

#include <QHostAddress>
#include <QTcpServer>

// A port on 127.0.0.1 on which nothing listens: bound a moment ago, then closed again.
inline quint16 closedPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}
