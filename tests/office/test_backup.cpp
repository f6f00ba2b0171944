// A backup taken while four clerks issue guides through two application servers, restored:
// every guide issued in the copy has exactly one payable and every issue acknowledged before the
// backup began is there. The command line refuses to overwrite a backup or a database.
#include "OfficeFixture.h"

#include "FisDatabase.h"
#include "core/Frame.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

// A backup or a restore of this small database takes seconds; the wait for one stays well
// inside the test's time limit, so that a hang fails the test with what the process said.
constexpr int kProcessWaitMs = 100000;

// A clerk issuing one guide after another over its own connection, without waiting in the
// event loop's place: answers are taken as they come, so four clerks and a backup run at once.
struct TClerk {
    QTcpSocket socket;
    TFrameReader reader;
    QList<TNote> queue;
    QList<QCborArray> args;
    QString inFlight;
    QStringList acked, refused;
    bool stopping = false;
    qint64 nextId = 1;

    void sendNext() {
        if (stopping || queue.isEmpty()) {
            inFlight.clear();
            return;
        }
        const TNote n = queue.takeFirst();
        inFlight = n.key() + QLatin1Char('/') + n.imposto;
        QCborMap m;
        m.insert(QStringLiteral("id"), nextId++);
        m.insert(QStringLiteral("object"), kObject);
        m.insert(QStringLiteral("method"), QStringLiteral("GeraContaPagar"));
        m.insert(QStringLiteral("args"), args.takeFirst());
        socket.write(FisFrame::encode(m));
    }
    void onReadyRead() {
        reader.readFrom(&socket);
        QCborValue item;
        while (reader.next(item) == TFrameReader::Status::Item) {
            (issueOutcome(item.toMap()) == QLatin1String("CONTAPAGAR_OK") ? acked : refused)
                << inFlight;
            sendNext();
        }
    }
};

} // namespace

class TestBackup : public TOfficeFixture {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void backupWhileFourClerksIssue();
    void refusesToOverwrite();

private:
    int runServer(const QStringList& args, QString* output = nullptr);
    QString m_backup;
    QString m_restored;
};

void TestBackup::initTestCase() {
    createOffice(800);
    if (QTest::currentTestFailed())
        return;
    for (int k = 0; k < 2 && !QTest::currentTestFailed(); ++k)
        startAppServer();
    m_backup = m_dir.filePath(QStringLiteral("office.fbk"));
    m_restored =
        siblingLocation(QStringLiteral("restored-%1.fdb").arg(QCoreApplication::applicationPid()));
    m_madeFiles << localPathOf(m_restored);
    QFile::remove(localPathOf(m_restored));
}

void TestBackup::cleanupTestCase() {
    {
        QSqlDatabase r = QSqlDatabase::database(QStringLiteral("restored"), false);
        if (r.isValid())
            r.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("restored"));
    closeOffice();
}

int TestBackup::runServer(const QStringList& args, QString* output) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server"), args);
    // Well inside the test's own time limit, so that a hang is told with what the server said.
    const bool finished = p.waitForFinished(kProcessWaitMs);
    if (!finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    if (output)
        *output = QString::fromUtf8(p.readAll());
    if (!finished)
        return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void TestBackup::backupWhileFourClerksIssue() {
    // Each clerk has guides of its own: every issue it sends should be acknowledged.
    QList<TNote> guides;
    for (const TNote& n : std::as_const(m_all))
        if (n.status == QLatin1String("N") && n.valor > 0 &&
            QStringList{QStringLiteral("01"), QStringLiteral("05"), QStringLiteral("06"),
                        QStringLiteral("07")}
                .contains(n.imposto))
            guides << n;
    // Far more than four clerks issue while a backup of this database runs.
    QVERIFY2(guides.size() >= 240, qPrintable(QString::number(guides.size())));
    guides = guides.mid(0, 240);
    const int issuedBefore = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));

    TClerk clerks[4];
    for (int k = 0; k < 4; ++k) {
        TClerk& c = clerks[k];
        for (int i = k; i < guides.size(); i += 4) {
            c.queue << guides[i];
            const TDarfBarcode darf = composed(guides[i], 0, 0);
            c.args << QCborArray{
                guides[i].empresa,
                guides[i].imposto,
                payable(guides[i], 0, 0, darf.STBARRAGUIA, darf.STLINHADIGI).toCbor(),
                darf.STBARRAGUIA,
                darf.STLINHADIGI,
                QString()};
        }
        connect(&c.socket, &QTcpSocket::readyRead, this, [&c] { c.onReadyRead(); });
        // Two clerks on each application server.
        c.socket.connectToHost(QHostAddress::LocalHost, quint16(m_servers[size_t(k / 2)]->port));
        QVERIFY(c.socket.waitForConnected(5000));
    }
    for (TClerk& c : clerks)
        c.sendNext();
    auto ackedCount = [&] {
        int n = 0;
        for (const TClerk& c : clerks)
            n += c.acked.size();
        return n;
    };
    QTRY_VERIFY_WITH_TIMEOUT(ackedCount() >= 12, 60000);

    QSet<QString> ackedBeforeBackup;
    for (const TClerk& c : clerks)
        for (const QString& key : c.acked)
            ackedBeforeBackup.insert(key);
    QProcess backup;
    backup.setProcessChannelMode(QProcess::MergedChannels);
    backup.start(qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server"),
                 {QStringLiteral("--database"), m_location, QStringLiteral("--backup"), m_backup});
    QVERIFY(backup.waitForStarted());
    QElapsedTimer took;
    took.start();
    if (!QTest::qWaitFor([&] { return backup.state() == QProcess::NotRunning; }, kProcessWaitMs)) {
        backup.kill();
        backup.waitForFinished(5000);
        QFAIL(qPrintable(QStringLiteral("the backup did not end in %1 s (%2 issues acknowledged "
                                        "so far): %3")
                             .arg(kProcessWaitMs / 1000)
                             .arg(ackedCount())
                             .arg(QString::fromUtf8(backup.readAll()))));
    }
    const qint64 backupMs = took.elapsed();
    const int ackedDuringBackup = ackedCount() - int(ackedBeforeBackup.size());
    const QString backupLog = QString::fromUtf8(backup.readAll());
    QVERIFY2(backup.exitStatus() == QProcess::NormalExit && backup.exitCode() == 0,
             qPrintable(backupLog));
    QVERIFY(QFileInfo(m_backup).size() > 0);
    // The clerks were issuing while the backup ran.
    QVERIFY2(ackedDuringBackup > 0, "no issue was acknowledged while the backup ran");

    for (TClerk& c : clerks)
        c.stopping = true;
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(std::begin(clerks), std::end(clerks),
                                         [](const TClerk& c) { return c.inFlight.isEmpty(); }),
                             60000);
    QSet<QString> sent;
    for (const TClerk& c : clerks) {
        QVERIFY2(c.refused.isEmpty(), qPrintable(c.refused.join(QLatin1Char(' '))));
        for (const QString& key : c.acked)
            sent.insert(key);
    }
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")),
             issuedBefore + int(sent.size()));

    QString out;
    QVERIFY2(runServer({QStringLiteral("--restore"), m_backup, m_restored}, &out) == 0,
             qPrintable(out));
    QSqlDatabase r = FisDb::openConnection(m_restored, QStringLiteral("restored"));
    QSqlQuery q(r);
    auto one = [&](const QString& sql) {
        if (!q.exec(sql) || !q.next())
            qFatal("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
        const int v = q.value(0).toInt();
        q.finish();
        return v;
    };
    // Every guide marked issued has exactly one payable, the one it names; no payable without
    // its guide marked issued.
    QCOMPARE(one(QStringLiteral(
                 "SELECT COUNT(*) FROM IMPOSTONF i WHERE i.IDSTATUSGUIA = 'S' AND 1 <> (SELECT "
                 "COUNT(*) FROM CONTAPAGAR c WHERE c.CDFILIAL = i.CDFILIAL AND c.NRLANCTONF = "
                 "i.NRLANCTONF AND c.CDIMPOSTONFE = i.CDIMPOSTONFE AND c.NRCONTAPAGAR = "
                 "i.NRCONTAPAGAR)")),
             0);
    QCOMPARE(one(QStringLiteral(
                 "SELECT COUNT(*) FROM CONTAPAGAR c WHERE NOT EXISTS (SELECT 1 FROM IMPOSTONF i "
                 "WHERE c.CDFILIAL = i.CDFILIAL AND c.NRLANCTONF = i.NRLANCTONF AND "
                 "c.CDIMPOSTONFE = i.CDIMPOSTONFE AND i.IDSTATUSGUIA = 'S' AND i.NRCONTAPAGAR = "
                 "c.NRCONTAPAGAR)")),
             0);
    // Every issue acknowledged before the backup began is in the copy.
    for (const QString& key : std::as_const(ackedBeforeBackup)) {
        const QStringList k = key.split(QLatin1Char('/'));
        QCOMPARE(one(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND "
                                    "NRLANCTONF = '%2' AND CDIMPOSTONFE = '%3'")
                         .arg(k[0], k[1], k[2])),
                 1);
    }
    // Nothing but what was issued before, or by these clerks.
    const int inCopy = one(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    QVERIFY(inCopy >= issuedBefore + int(ackedBeforeBackup.size()));
    QVERIFY(inCopy <= issuedBefore + int(sent.size()));
    // The sequence goes on after the restored payables: a new issue cannot take a used number.
    QVERIFY(one(QStringLiteral("SELECT GEN_ID(GEN_CONTAPAGAR, 0) FROM RDB$DATABASE")) >=
            one(QStringLiteral("SELECT MAX(NRCONTAPAGAR) FROM CONTAPAGAR")));
    qInfo("%s: backup %lld ms while %d issues were acknowledged; %d of %d issues in the copy",
          onFirebirdServer() ? "Firebird server" : "embedded", backupMs, ackedDuringBackup,
          inCopy - issuedBefore, int(sent.size()));
}

void TestBackup::refusesToOverwrite() {
    QVERIFY(QFileInfo::exists(m_backup));
    const qint64 size = QFileInfo(m_backup).size();
    QString out;
    QVERIFY(
        runServer({QStringLiteral("--database"), m_location, QStringLiteral("--backup"), m_backup},
                  &out) != 0);
    QVERIFY2(out.contains(QStringLiteral("não será sobrescrito")), qPrintable(out));
    QCOMPARE(QFileInfo(m_backup).size(), size);

    // A restore never replaces a database, the live one least of all.
    const int payables = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    QVERIFY(runServer({QStringLiteral("--restore"), m_backup, m_location}, &out) != 0);
    QVERIFY2(!out.isEmpty(), "a refused restore without a reason");
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), payables);

    // A name gbak would read as one of its switches (-rep replaces a database) is refused.
    QVERIFY(runServer({QStringLiteral("--restore"), m_backup, QStringLiteral("--"),
                       QStringLiteral("-rep")},
                      &out) != 0);
    QVERIFY2(out.contains(QStringLiteral("não são aceitos")), qPrintable(out));

    // The Firebird server would put a relative name wherever it runs from.
    if (onFirebirdServer()) {
        QVERIFY(runServer({QStringLiteral("--database"), m_location, QStringLiteral("--backup"),
                           QStringLiteral("relative.fbk")},
                          &out) != 0);
        QVERIFY2(out.contains(QStringLiteral("caminho completo")), qPrintable(out));
    }

    // A backup that cannot be made leaves no file behind.
    const QString missing = m_dir.filePath(QStringLiteral("none.fbk"));
    QVERIFY(runServer({QStringLiteral("--database"), siblingLocation(QStringLiteral("none.fdb")),
                       QStringLiteral("--backup"), missing},
                      &out) != 0);
    QVERIFY(!QFileInfo::exists(missing));
}

QTEST_GUILESS_MAIN(TestBackup)
#include "test_backup.moc"
