#include "OfficeFixture.h"

#include "Fis98100Contracts.h"
#include "FisDatabase.h"

#include <QtTest>

void TOfficeFixture::createOffice(int notes) {
    QVERIFY(m_dir.isValid());
    FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
    m_firebirdDir = qEnvironmentVariable("FIS_OFFICE_FIREBIRD_DIR");
    if (onFirebirdServer()) {
        QFile portFile(m_firebirdDir + QStringLiteral("/port"));
        QVERIFY2(portFile.open(QIODevice::ReadOnly),
                 "no Firebird server: scripts/firebird-server start did not run");
        const int port = portFile.readAll().trimmed().toInt();
        QVERIFY(port > 0);
        // One file per test process: several may share the server.
        m_location = QStringLiteral("127.0.0.1/%1:%2/data/office-%3.fdb")
                         .arg(port)
                         .arg(m_firebirdDir)
                         .arg(QCoreApplication::applicationPid());
        QFile::remove(localPathOf(m_location));
    } else {
        m_location = m_dir.filePath(QStringLiteral("office.fdb"));
    }
    FisDb::createDatabase(m_location, true, notes);
    m_madeFiles << localPathOf(m_location);
    m_all = notes == 0 ? QList<TNote>() : this->notes();
}

QString TOfficeFixture::localPathOf(const QString& location) const {
    return FisDb::isRemoteLocation(location) ? location.mid(location.indexOf(QLatin1Char(':')) + 1)
                                             : location;
}

QString TOfficeFixture::siblingLocation(const QString& fileName) const {
    const int slash = m_location.lastIndexOf(QLatin1Char('/'));
    return m_location.left(slash + 1) + fileName;
}

int TOfficeFixture::startAppServer() {
    const QString bin =
        qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server");
    auto s = std::make_unique<TAppServerProcess>();
    TAppServerProcess* p = s.get();
    p->process.setProgram(bin);
    p->process.setArguments(
        {QStringLiteral("--database"), m_location, QStringLiteral("--port"), QStringLiteral("0")});
    connect(&p->process, &QProcess::readyReadStandardError, this,
            [p] { p->log += QString::fromUtf8(p->process.readAllStandardError()); });
    p->process.start();
    m_servers.push_back(std::move(s));
    const int index = int(m_servers.size()) - 1;
    [&] {
        QVERIFY2(p->process.waitForStarted(), qPrintable(bin));
        static const QRegularExpression listening(
            QStringLiteral("escutando em 127\\.0\\.0\\.1:(\\d+)"));
        QTRY_VERIFY_WITH_TIMEOUT(listening.match(p->log).hasMatch() ||
                                     p->process.state() == QProcess::NotRunning,
                                 30000);
        QVERIFY2(listening.match(p->log).hasMatch(), qPrintable(p->log));
        p->port = listening.match(p->log).captured(1).toInt();
    }();
    return index;
}

void TOfficeFixture::stopAppServer(int index) {
    QProcess& p = m_servers[size_t(index)]->process;
    if (p.state() != QProcess::NotRunning) {
        p.terminate();
        if (!p.waitForFinished(10000))
            p.kill();
        p.waitForFinished(5000);
    }
}

void TOfficeFixture::closeOffice() {
    for (size_t i = 0; i < m_servers.size(); ++i)
        stopAppServer(int(i));
    stopServer();
    if (onFirebirdServer())
        for (const QString& f : std::as_const(m_madeFiles))
            QFile::remove(f);
}

std::unique_ptr<TNetConnection> TOfficeFixture::connectTo(int index) {
    auto con = std::make_unique<TNetConnection>();
    con->setHost(QStringLiteral("127.0.0.1"));
    con->setPort(m_servers[size_t(index)]->port);
    con->setServerName(kObject);
    con->setThrowException(false);
    con->setConnected(true);
    return con;
}

QVariantList worksheetRow(TSocketConnection& con, const TNote& n, TDataPacket* packet) {
    QString flag = QStringLiteral("T"), series, tipos, insc;
    const TServerAnswer a =
        GetNotaFiscal(con, n.empresa, QString(), QString(), flag, series, tipos, QDateTime(),
                      QDateTime(), QDateTime(), QDateTime(), insc, n.imposto);
    if (!a.ok)
        return {};
    const TDataPacket p = TDataPacket::fromCbor(a.payload);
    for (const auto& r : p.rows)
        if (r[p.indexOf(QStringLiteral("CDFILIAL"))] == n.filial &&
            r[p.indexOf(QStringLiteral("NRLANCTONF"))] == n.lancto) {
            if (packet)
                *packet = p;
            return r;
        }
    return {};
}

QString issueOutcome(const QCborMap& answer) {
    const QCborValue result = answer.value(QStringLiteral("result"));
    if (!result.isArray())
        return answer.value(QStringLiteral("error")).toString();
    const TDataPacket r = TDataPacket::fromCbor(result.toArray()[0]);
    return r.rows.isEmpty() ? QString() : r.rows[0].value(1).toString();
}
