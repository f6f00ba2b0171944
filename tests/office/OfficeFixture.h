#pragma once
// An office: one database and several fis98100-server processes on it. The database is the
// embedded default (a file in a temporary folder, shared through the project's Firebird root) or,
// when FIS_OFFICE_FIREBIRD_DIR names the folder of a server started by scripts/firebird-server,
// a database on that Firebird server.
#include "ServerFixture.h"

#include <memory>
#include <vector>

struct TAppServerProcess {
    QProcess process;
    QString log;
    int port = 0;
};

class TOfficeFixture : public TServerFixture {
    Q_OBJECT
protected:
    // Creates the demo database with the given number of notes at the office's location.
    void createOffice(int notes = 300);
    // Starts one more application server on the office's database; its index in m_servers.
    int startAppServer();
    void stopAppServer(int index);
    // Stops every application server, closes the oracle and removes a database made on the
    // Firebird server.
    void closeOffice();
    // A connection to the application server of that index.
    std::unique_ptr<TNetConnection> connectTo(int index);
    bool onFirebirdServer() const { return !m_firebirdDir.isEmpty(); }
    // A fresh location beside the office's database (a restore's target).
    QString siblingLocation(const QString& fileName) const;
    QString localPathOf(const QString& location) const;

    std::vector<std::unique_ptr<TAppServerProcess>> m_servers;
    QString m_firebirdDir;
    QStringList m_madeFiles;
};

// The worksheet row of a note as an application server lists it, or an empty list.
QVariantList worksheetRow(TSocketConnection& con, const TNote& n, TDataPacket* packet);
// The outcome of a GeraContaPagar answer: "CONTAPAGAR_OK", "EMIT", ... or the error text.
QString issueOutcome(const QCborMap& answer);
