#include "ServerFixture.h"

#include "Fis98100Contracts.h"
#include "FisDatabase.h"
#include "core/Frame.h"
#include "core/Services.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>
#include <csignal>
#include <sys/prctl.h>

QSqlDatabase TServerFixture::db() {
    QSqlDatabase d = QSqlDatabase::database(QStringLiteral("oracle"), false);
    if (d.isValid() && d.isOpen())
        return d;
    return FisDb::openConnection(m_location, QStringLiteral("oracle"));
}

int TServerFixture::count(const QString& sql) {
    QSqlQuery q(db());
    if (!q.exec(sql) || !q.next())
        qFatal("%s", qPrintable(sql));
    const int n = q.value(0).toInt();
    q.finish();
    return n;
}

QList<TNote> TServerFixture::notes(const QString& where) {
    QSqlQuery q(db());
    q.setForwardOnly(true);
    const QString sql =
        QStringLiteral(
            "SELECT n.CDFILIAL, n.NRLANCTONF, n.CDEMPRESA, n.CDINSCESTA, n.CDINSCMUNI, "
            "n.IDENTRSAIDOP,"
            " n.CDTIPOOPER, n.CDSERIE, n.NRINSJUR, i.CDIMPOSTONFE, i.IDSTATUSGUIA, n.DTEMISSAONF,"
            " n.DTENTRSAID, i.VRIMPOSTONF FROM NOTAFISCAL n JOIN IMPOSTONF i"
            " ON i.CDFILIAL = n.CDFILIAL AND i.NRLANCTONF = n.NRLANCTONF ") +
        where + QStringLiteral(" ORDER BY n.CDFILIAL, n.NRLANCTONF, i.CDIMPOSTONFE");
    if (!q.exec(sql))
        qFatal("%s", qPrintable(sql));
    QList<TNote> out;
    while (q.next()) {
        TNote n;
        n.filial = q.value(0).toString();
        n.lancto = q.value(1).toString();
        n.empresa = q.value(2).toString();
        n.ie = q.value(3).toString();
        n.im = q.value(4).toString();
        n.es = q.value(5).toString();
        n.tipo = q.value(6).toString();
        n.serie = q.value(7).toString();
        n.insc = q.value(8).toString();
        n.imposto = q.value(9).toString();
        n.status = q.value(10).toString().trimmed();
        n.emi = q.value(11).toDate();
        n.ent = q.value(12).toDate();
        n.valor = q.value(13).toDouble();
        out << n;
    }
    return out;
}

void TServerFixture::startServer() {
    QVERIFY(m_dir.isValid());
    FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
    m_location = m_dir.filePath(QStringLiteral("fis.fdb"));
    FisDb::createDatabase(m_location, true, 300);

    const QString bin =
        qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server");
    QVERIFY2(QFileInfo::exists(bin), qPrintable(bin));
    m_server.setProgram(bin);
    m_server.setArguments(QStringList{QStringLiteral("--database"), m_location,
                                      QStringLiteral("--port"), QStringLiteral("0")} +
                          m_serverArgs);
    connect(&m_server, &QProcess::readyReadStandardError, this,
            [this] { m_log += QString::fromUtf8(m_server.readAllStandardError()); });
    // A test that dies before its cleanup takes its server with it, rather than leaving it
    // listening on the database for the rest of the run.
    m_server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_server.start();
    QVERIFY(m_server.waitForStarted());
    static const QRegularExpression listening(
        QStringLiteral("escutando em 127\\.0\\.0\\.1:(\\d+)"));
    QTRY_VERIFY_WITH_TIMEOUT(
        listening.match(m_log).hasMatch() || m_server.state() == QProcess::NotRunning, 30000);
    QVERIFY2(listening.match(m_log).hasMatch(), qPrintable(m_log));
    m_port = listening.match(m_log).captured(1).toInt();

    m_con.setHost(QStringLiteral("127.0.0.1"));
    m_con.setPort(m_port);
    m_con.setServerName(kObject);
    m_con.setThrowException(false);
    m_con.setConnected(true);
    QVERIFY2(m_con.connected(), qPrintable(m_con.lastError()));
    m_all = notes();
    QVERIFY(m_all.size() > 300);
}

void TServerFixture::stopServer() {
    m_con.setConnected(false);
    bool stoppedCleanly = true;
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(10000))
            m_server.kill();
        m_server.waitForFinished(5000);
        // The engine must have shut down within its time: a forced exit can leave the lock
        // table that this process shares held.
        stoppedCleanly = m_server.exitStatus() == QProcess::NormalExit && m_server.exitCode() == 0;
    }
    {
        QSqlDatabase d = QSqlDatabase::database(QStringLiteral("oracle"), false);
        if (d.isValid())
            d.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("oracle"));
    FisDb::shutdown(10000); // before the temporary Firebird root goes
    QVERIFY2(stoppedCleanly, qPrintable(m_log));
}

qint64 TServerFixture::serverMemoryKb(const char* field) {
    QFile f(QStringLiteral("/proc/%1/status").arg(m_server.processId()));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

void TServerFixture::resetServerPeak() {
    QFile f(QStringLiteral("/proc/%1/clear_refs").arg(m_server.processId()));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

QList<QVariantList> TServerFixture::rowsOf(const TServerAnswer& a, TDataPacket* packet) {
    [&] { QVERIFY2(a.ok, qPrintable(a.error)); }();
    const TDataPacket p = TDataPacket::fromCbor(a.payload);
    if (packet)
        *packet = p;
    return p.rows;
}

TServerAnswer TServerFixture::notaFiscal(const TFilter& f) {
    QString flag = f.flag, series = f.series, tipos = f.tipos, insc = f.insc;
    const TServerAnswer a =
        GetNotaFiscal(m_con, f.emp, f.ie, f.im, flag, series, tipos, dt(f.entIni), dt(f.entFim),
                      dt(f.emiIni), dt(f.emiFim), insc, f.tax);
    // The by-reference texts come back as sent.
    [&] {
        QCOMPARE(flag, f.flag);
        QCOMPARE(series, f.series);
        QCOMPARE(tipos, f.tipos);
        QCOMPARE(insc, f.insc);
    }();
    return a;
}

QVariantList TServerFixture::noteRow(const TNote& n, TDataPacket* packet) {
    TFilter f;
    f.emp = n.empresa;
    f.tax = n.imposto;
    TDataPacket p;
    for (const auto& r : rowsOf(notaFiscal(f), &p))
        if (r[p.indexOf(QStringLiteral("CDFILIAL"))] == n.filial &&
            r[p.indexOf(QStringLiteral("NRLANCTONF"))] == n.lancto) {
            if (packet)
                *packet = p;
            return r;
        }
    return {};
}

TDataPacket TServerFixture::payable(const TNote& n, double multa, double juros, const QString& bar,
                                    const QString& line) {
    TDataPacket p;
    p.fields = Fis98100::ContaPagarFields();
    const QDateTime venc(QDate(2026, 9, 30), QTime(0, 0));
    const double total = RoundDec(n.valor + RoundDec(juros, 2) + RoundDec(multa, 2), 2);
    p.rows.append({n.filial,
                   n.lancto,
                   n.status,
                   multa,
                   juros,
                   venc,
                   n.ie,
                   n.im,
                   QVariant(),
                   QStringLiteral("123"),
                   QVariant(),
                   1000.0,
                   total,
                   QStringLiteral("5123"),
                   venc,
                   n.es,
                   QStringLiteral("C"),
                   n.serie,
                   line,
                   bar,
                   n.filial});
    return p;
}

TDarfBarcode TServerFixture::composed(const TNote& n, double multa, double juros, const QDate& due,
                                      const QString& revenue) {
    TDarfInput in;
    in.VRIMPOSTONF = n.valor;
    in.VRMULTAGUIA = RoundDec(multa, 2);
    in.VRJUROGUIA = RoundDec(juros, 2);
    in.DTVENCGUIA = due;
    in.DTENTRSAID = n.ent;
    in.CDRECEGUIA = revenue;
    QSqlQuery q(db());
    if (!q.exec(QStringLiteral("SELECT DTREFVENCDARF, DTREFPAGDARF FROM PARAMFISCAL")) || !q.next())
        qFatal("PARAMFISCAL");
    in.DTREFVENCDARF = q.value(0).toDate();
    in.DTREFPAGDARF = q.value(1).toDate();
    if (!q.exec(QStringLiteral("SELECT NRINSJUREMPR FROM EMPRESA WHERE CDEMPRESA = '%1'")
                    .arg(n.empresa)) ||
        !q.next())
        qFatal("EMPRESA %s", qPrintable(n.empresa));
    in.NRINSJUREMPR = q.value(0).toString();
    q.finish();
    return MontaBarraDarf(in);
}

QByteArray TServerFixture::request(qint64 id, const QString& method, const QCborArray& args,
                                   const QString& object) {
    QCborMap m;
    m.insert(QStringLiteral("id"), id);
    m.insert(QStringLiteral("object"), object);
    m.insert(QStringLiteral("method"), method);
    m.insert(QStringLiteral("args"), args);
    return FisFrame::encode(m);
}

QCborMap TServerFixture::rawCall(QTcpSocket& s, const QByteArray& wire, bool* closed) {
    if (!wire.isEmpty())
        s.write(wire);
    TFrameReader reader;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 30000) {
        reader.readFrom(&s);
        QCborValue item;
        if (reader.next(item) == TFrameReader::Status::Item) {
            if (closed)
                *closed = !s.waitForReadyRead(2000) && s.state() != QAbstractSocket::ConnectedState;
            return item.toMap();
        }
        if (!s.waitForReadyRead(200) && s.state() != QAbstractSocket::ConnectedState &&
            s.bytesAvailable() == 0)
            break;
    }
    return {};
}

// Sends method while a colleague's transaction holds a guide's row (holdSql changes it),
// commits that transaction after a moment and gives the answer; waited is false when the call
// answered before the commit.
void TServerFixture::callWhileRowHeld(const QString& holdSql, const QString& method,
                                      const QCborArray& args, QCborMap* answer, bool* waited) {
    QSqlDatabase d = db();
    QVERIFY(d.transaction());
    QSqlQuery hold(d);
    QVERIFY2(hold.exec(holdSql), qPrintable(hold.lastError().text()));
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(s.waitForConnected(5000));
    s.write(request(1, method, args));
    s.flush();
    *waited = !s.waitForReadyRead(700);
    hold.finish();
    QVERIFY(d.commit());
    *answer = rawCall(s, {});
}
