#pragma once

#include "support/fixtureprocess.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// tests/fixtures/smtps_server.py on 127.0.0.1 with a self-signed certificate
// made for the occasion: SMTP over implicit TLS, one account, every received
// message kept in a folder.
class SmtpsServer
{
public:
    bool start(const QString &user, const QString &password);
    void stop() { proc.stop(); }
    int port() const { return listenPort; }

    int messageCount() const;
    // The n-th message (1-based) as the client sent it, and its envelope
    // ("from <address>" and "to <address>" lines).
    QByteArray message(int n) const;
    QString envelope(int n) const;

private:
    QTemporaryDir dir;
    FixtureProcess proc;
    int listenPort = 0;
};
