#pragma once
// Who is calling on one connection. A connection has no session until a clerk logs in; the
// person who runs a server listening on loopback only is served without a login while their
// account has no password, from this machine only (the out-of-the-box single-PC set-up). The
// account is read again at every call, so disabling a clerk or setting the local password ends
// a session at its next call.
#include "Accounts.h"

#include <QSqlDatabase>
#include <QString>

namespace FisServer {

class TSession {
public:
    // localPeer: the server listens on loopback only and the peer is on this machine.
    // peerHost: whose failed logins slow down the next ones.
    void setPeer(bool localPeer, const QString& peerHost) {
        m_localPeer = localPeer;
        m_peerHost = peerHost;
    }

    // Empty on success, else the text for the client. A failure answers late: the longer the
    // run of failures for the name or the peer, the later (1 s, doubling up to 16 s).
    QString login(QSqlDatabase& db, const QString& user, const QString& password);
    // Empty when a call may run, with account set to the clerk's; else why not (the session,
    // if any, is over).
    QString admit(QSqlDatabase& db, TAccount& account);
    QString clerk() const { return m_clerk; }

private:
    bool m_localPeer = false;
    QString m_peerHost;
    QString m_clerk;
};

// Text of a refusal for lack of a session; the answer carries FisProtocol::Session::NeedLogin.
QString loginRequiredText();

} // namespace FisServer
