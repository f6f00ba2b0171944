#pragma once
// The application server as a separate process on a fresh demo database, with the helpers the
// server tests of every method family share: the database as an oracle, the notes it holds,
// typed and raw calls, and a colleague's transaction holding a guide's row.
#include "Connection.h"
#include "core/DataPacket.h"
#include "core/ServerAnswer.h"
#include "issuing/DarfBarcode.h"

#include <QCborArray>
#include <QCborMap>
#include <QDate>
#include <QObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QTcpSocket>
#include <QTemporaryDir>

// The object name as it travels, spelled out: the tests pin the wire, not the constant.
inline const QString kObject = QStringLiteral("Fis98100.rdmCriaEmissaoDarfDoc");

struct TNote {
    QString filial, lancto, empresa, ie, im, es, tipo, serie, insc, imposto, status;
    QDate emi, ent;
    double valor = 0;
    QString key() const { return filial + QLatin1Char('/') + lancto; }
};

struct TFilter {
    QString emp, ie, im, flag = QStringLiteral("T"), series, tipos, insc,
                         tax = QStringLiteral("01");
    QDate entIni, entFim, emiIni, emiFim;
};
Q_DECLARE_METATYPE(TFilter)

inline QDateTime dt(const QDate& d) {
    return d.isValid() ? QDateTime(d, QTime(0, 0)) : QDateTime();
}

class TServerFixture : public QObject {
    Q_OBJECT
protected:
    // Creates the demo database (300 notes), starts fis98100-server on a free port (with
    // m_serverArgs besides) and connects.
    void startServer();
    void stopServer();

    QSqlDatabase db();
    QList<TNote> notes(const QString& where = {});
    int count(const QString& sql);
    TServerAnswer notaFiscal(const TFilter& f);
    QList<QVariantList> rowsOf(const TServerAnswer& a, TDataPacket* packet = nullptr);
    QCborMap rawCall(QTcpSocket& s, const QByteArray& wire, bool* closed = nullptr);
    QByteArray request(qint64 id, const QString& method, const QCborArray& args,
                       const QString& object = kObject);
    // The payable record of a note's guide due on 30/09/2026 with revenue code 5123; its total
    // is the tax plus the fine and the interest each rounded to the centavo.
    TDataPacket payable(const TNote& n, double multa, double juros, const QString& bar,
                        const QString& line);
    // The barcode and typable line of that guide, composed from the database's fiscal
    // parameters and company registration as the issue run composes them.
    TDarfBarcode composed(const TNote& n, double multa, double juros,
                          const QDate& due = QDate(2026, 9, 30),
                          const QString& revenue = QStringLiteral("5123"));
    QVariantList noteRow(const TNote& n, TDataPacket* packet = nullptr);
    void callWhileRowHeld(const QString& holdSql, const QString& method, const QCborArray& args,
                          QCborMap* answer, bool* waited);

    // A field of the server process's /proc status in KiB ("VmRSS", "VmHWM"); -1 if unknown.
    qint64 serverMemoryKb(const char* field);
    // Starts the server's peak (VmHWM) again from what it holds now.
    void resetServerPeak();

    QStringList m_serverArgs;
    QTemporaryDir m_dir;
    QString m_location;
    QProcess m_server;
    QString m_log;
    int m_port = 0;
    TNetConnection m_con;
    QList<TNote> m_all;
};
