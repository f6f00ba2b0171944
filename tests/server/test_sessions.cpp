// Clerk accounts against the server process: the local account served without a login only
// until it has a password, logins refused and slowed, a disabled clerk stopped at the next call,
// a clerk limited to company 01, the client asking for a login and sending the call again, and
// the clerk and time of every saved guide and issued payable.
#include "Fis98100Contracts.h"
#include "ServerFixture.h"
#include "core/Envelope.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QtTest>

namespace {

QString serverBin() {
    return qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server");
}

} // namespace

class TestSessions : public TServerFixture {
    Q_OBJECT

    // Runs an administrator's command on the test database; input goes to its standard input.
    int admin(const QStringList& args, const QByteArray& input = {}, QString* out = nullptr) {
        QProcess p;
        p.start(serverBin(), QStringList{QStringLiteral("--database"), m_location} + args);
        p.waitForStarted();
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(60000);
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitCode();
    }

    QCborMap call(QTcpSocket& s, const QString& method, const QCborArray& args) {
        return rawCall(s, request(++m_id, method, args));
    }
    QCborMap login(QTcpSocket& s, const QString& user, const QString& password) {
        return call(s, QStringLiteral("Login"), {user, password});
    }
    void open(QTcpSocket& s) {
        s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        QVERIFY(s.waitForConnected(5000));
    }
    static QString error(const QCborMap& m) { return m.value(QStringLiteral("error")).toString(); }

    qint64 m_id = 0;
    QString m_local;

private slots:
    void initTestCase() {
        startServer();
        QSqlQuery q(db());
        QVERIFY(q.exec(QStringLiteral("SELECT NMUSUARIO FROM USUARIO WHERE IDLOCAL = 'S'")));
        QVERIFY(q.next());
        m_local = q.value(0).toString();
        QVERIFY(!q.next());
        QCOMPARE(admin({QStringLiteral("--add-user"), QStringLiteral("bia")}, "senha-bia\n"), 0);
        QCOMPARE(admin({QStringLiteral("--add-user"), QStringLiteral("caio"),
                        QStringLiteral("--companies"), QStringLiteral("01")},
                       "senha-caio\n"),
                 0);
    }
    void cleanupTestCase() { stopServer(); }

    // Passwords are kept only as Argon2id strings, and a name is taken once.
    void passwordsStoredHashed() {
        QSqlQuery q(db());
        QVERIFY(q.exec(QStringLiteral("SELECT STSENHA FROM USUARIO WHERE NMUSUARIO = 'bia'")));
        QVERIFY(q.next());
        const QString hash = q.value(0).toString();
        QVERIFY2(hash.startsWith(QStringLiteral("$argon2id$")), qPrintable(hash));
        QVERIFY(!hash.contains(QStringLiteral("senha-bia")));
        QString out;
        QCOMPARE(admin({QStringLiteral("--add-user"), QStringLiteral("bia")}, "x\n", &out), 1);
        QVERIFY2(out.contains(QStringLiteral("já cadastrado")), qPrintable(out));
        QVERIFY(admin({QStringLiteral("--add-user"), QStringLiteral("nome inválido")}, "x\n") != 0);
    }

    // A wrong password, an unknown name and the local account from the network-less login are
    // told apart by nothing, and each refusal comes later than the one before.
    void wrongPasswordRefusedAndSlowed() {
        QTcpSocket s;
        open(s);
        QElapsedTimer t;
        t.start();
        QCborMap a = login(s, QStringLiteral("bia"), QStringLiteral("errada"));
        const qint64 first = t.restart();
        QCOMPARE(error(a), QStringLiteral("Usuário ou senha inválidos."));
        QVERIFY(a.value(QStringLiteral("login")).toBool());
        QVERIFY2(first >= 1000, qPrintable(QString::number(first)));
        a = login(s, QStringLiteral("bia"), QStringLiteral("errada de novo"));
        const qint64 second = t.restart();
        QCOMPARE(error(a), QStringLiteral("Usuário ou senha inválidos."));
        QVERIFY2(second >= 2000, qPrintable(QString::number(second)));
        a = login(s, QStringLiteral("ninguem"), QStringLiteral("x"));
        QCOMPARE(error(a), QStringLiteral("Usuário ou senha inválidos."));
        // The right password still works, and forgets the run of failures for the name.
        a = login(s, QStringLiteral("bia"), QStringLiteral("senha-bia"));
        QVERIFY2(error(a).isEmpty(), qPrintable(error(a)));
        QCOMPARE(a.value(QStringLiteral("result")).toString(), QStringLiteral("bia"));
        QVERIFY(!call(s, QStringLiteral("GetParamFiscal"), {}).contains(QStringLiteral("error")));
    }

    void disabledClerkRefusedAtNextCall() {
        QTcpSocket s;
        open(s);
        QVERIFY(error(login(s, QStringLiteral("bia"), QStringLiteral("senha-bia"))).isEmpty());
        QVERIFY(error(call(s, QStringLiteral("GetTipoOper"), {QStringLiteral("T")})).isEmpty());
        QCOMPARE(admin({QStringLiteral("--disable-user"), QStringLiteral("bia")}), 0);
        const QCborMap a = call(s, QStringLiteral("GetTipoOper"), {QStringLiteral("T")});
        QCOMPARE(error(a), QStringLiteral("Usuário \"bia\" desativado; sessão encerrada."));
        QVERIFY(!a.contains(QStringLiteral("result")));
        // Nor can it log in again, until re-enabled.
        QVERIFY(!error(login(s, QStringLiteral("bia"), QStringLiteral("senha-bia"))).isEmpty());
        QCOMPARE(admin({QStringLiteral("--enable-user"), QStringLiteral("bia")}), 0);
        QVERIFY(error(login(s, QStringLiteral("bia"), QStringLiteral("senha-bia"))).isEmpty());
        QVERIFY(error(call(s, QStringLiteral("GetTipoOper"), {QStringLiteral("T")})).isEmpty());
    }

    // caio may work on company 01 only: lookups, note lists, saves and issues for 02 are refused
    // before they touch anything; 01 works, and its guide's history and payable name caio.
    void clerkLimitedToOneCompany() {
        QTcpSocket s;
        open(s);
        QVERIFY(error(login(s, QStringLiteral("caio"), QStringLiteral("senha-caio"))).isEmpty());
        const QString tax = QStringLiteral("01");
        auto list = [&](const QString& emp) {
            return call(s, QStringLiteral("GetNotaFiscal"),
                        {emp, QString(), QString(), QStringLiteral("T"), QString(), QString(),
                         QCborValue(), QCborValue(), QCborValue(), QCborValue(), QString(), tax});
        };
        QVERIFY(error(list(QStringLiteral("01"))).isEmpty());
        QCOMPARE(error(list(QStringLiteral("02"))),
                 QStringLiteral("GetNotaFiscal: o usuário \"caio\" não tem acesso à empresa 02."));
        QVERIFY(error(call(s, QStringLiteral("GetSerie"),
                           {QStringLiteral("02"), QString(), QString(), QStringLiteral("T")}))
                    .contains(QStringLiteral("empresa 02")));
        QVERIFY(error(call(s, QStringLiteral("GetSerie"),
                           {QString(), QString(), QString(), QStringLiteral("T")}))
                    .contains(QStringLiteral("todas as empresas")));

        const QString open = QStringLiteral("WHERE i.IDSTATUSGUIA = 'N' AND i.VRIMPOSTONF > 0 AND "
                                            "i.CDIMPOSTONFE = '01' AND n.CDEMPRESA = '%1'");
        const TNote other = notes(open.arg(QStringLiteral("02"))).value(0);
        const TNote mine = notes(open.arg(QStringLiteral("01"))).value(0);
        QVERIFY(!other.filial.isEmpty() && !mine.filial.isEmpty());
        auto save = [&](const TNote& n) {
            return call(s, QStringLiteral("setDarfDoc"),
                        {n.filial, n.lancto, n.imposto, QStringLiteral("N"), 2.0, 1.5,
                         QStringLiteral("30/09/2026"), QStringLiteral("Guia de teste"), QString(),
                         QStringLiteral("5123")});
        };
        const QString savedOther = error(save(other));
        QVERIFY2(savedOther.contains(QStringLiteral("não tem acesso à empresa 02")),
                 qPrintable(savedOther));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM GUIAHISTORICO WHERE CDFILIAL = '%1' "
                                      "AND NRLANCTONF = '%2'")
                           .arg(other.filial, other.lancto)),
                 0);
        auto issue = [&](const TNote& n, const QString& emp) {
            const TDarfBarcode b = composed(n, 2.0, 1.5);
            return call(s, QStringLiteral("GeraContaPagar"),
                        {emp, n.imposto,
                         payable(n, 2.0, 1.5, b.STBARRAGUIA, b.STLINHADIGI).toCbor(), b.STBARRAGUIA,
                         b.STLINHADIGI, QStringLiteral("Guia de teste")});
        };
        QVERIFY(error(issue(other, QStringLiteral("02"))).contains(QStringLiteral("empresa 02")));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND "
                                      "NRLANCTONF = '%2'")
                           .arg(other.filial, other.lancto)),
                 0);

        QVERIFY(error(save(mine)).isEmpty());
        const QCborMap issued = issue(mine, QStringLiteral("01"));
        QVERIFY2(error(issued).isEmpty(), qPrintable(error(issued)));
        const TDataPacket result =
            TDataPacket::fromCbor(issued.value(QStringLiteral("result")).toArray().at(0));
        QCOMPARE(result.rows.value(0).value(1).toString(), QStringLiteral("CONTAPAGAR_OK"));
        // The server's log line of the call names the clerk too.
        QTRY_VERIFY2(m_log.contains(QRegularExpression(QStringLiteral(
                         "GeraContaPagar \\d+ ms MSG CONTAPAGAR_OK — usuário caio\n"))),
                     qPrintable(m_log.right(1000)));

        // The trail: who saved and who issued, with the time, and the payable's clerk.
        QSqlQuery q(db());
        QVERIFY(q.exec(QStringLiteral("SELECT NMUSUARIOGUIA, DTALTERGUIA FROM IMPOSTONF WHERE "
                                      "CDFILIAL = '%1' AND NRLANCTONF = '%2' AND CDIMPOSTONFE = "
                                      "'01'")
                           .arg(mine.filial, mine.lancto)));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("caio"));
        QVERIFY(qAbs(q.value(1).toDateTime().secsTo(QDateTime::currentDateTime())) < 600);
        QString out;
        QCOMPARE(admin({QStringLiteral("--audit"), mine.key()}, {}, &out), 0);
        const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains(QStringLiteral("\tcaio\t01\tgravada\t")), qPrintable(out));
        QVERIFY2(lines[1].contains(QStringLiteral("\tcaio\t01\temitida\t")), qPrintable(out));
        QVERIFY(lines[0].contains(QStringLiteral("multa 2.00; juros 1.50")));
        QVERIFY(admin({QStringLiteral("--audit"), QStringLiteral("sem-barra")}) != 0);
    }

    // Run last but one: every payable the server issued in these tests carries its clerk and
    // the time it was issued.
    void everyIssuedPayableCarriesClerkAndTime() {
        // One more, issued in the local account's session (no login, as on a single PC).
        const TNote n = notes(QStringLiteral("WHERE i.IDSTATUSGUIA = 'N' AND i.VRIMPOSTONF > 0 "
                                             "AND i.CDIMPOSTONFE = '01' AND n.CDEMPRESA = '03'"))
                            .value(0);
        QVERIFY(!n.filial.isEmpty());
        QTcpSocket s;
        open(s);
        const TDarfBarcode b = composed(n, 0, 0);
        const QCborMap issued =
            call(s, QStringLiteral("GeraContaPagar"),
                 {n.empresa, n.imposto, payable(n, 0, 0, b.STBARRAGUIA, b.STLINHADIGI).toCbor(),
                  b.STBARRAGUIA, b.STLINHADIGI, QString()});
        QVERIFY2(error(issued).isEmpty(), qPrintable(error(issued)));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND "
                                      "NRLANCTONF = '%2' AND NMUSUARIO = '%3'")
                           .arg(n.filial, n.lancto, m_local)),
                 1);

        QSqlQuery q(db());
        QVERIFY(q.exec(QStringLiteral("SELECT c.NMUSUARIO, c.DTINCLUSAO FROM CONTAPAGAR c JOIN "
                                      "GUIAHISTORICO h ON h.CDFILIAL = c.CDFILIAL AND "
                                      "h.NRLANCTONF = c.NRLANCTONF AND h.CDIMPOSTONFE = "
                                      "c.CDIMPOSTONFE AND h.IDEVENTO = 'E'")));
        int rows = 0;
        while (q.next()) {
            ++rows;
            QVERIFY(!q.value(0).toString().isEmpty());
            QVERIFY(qAbs(q.value(1).toDateTime().secsTo(QDateTime::currentDateTime())) < 600);
        }
        QVERIFY(rows >= 2);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM GUIAHISTORICO h WHERE h.IDEVENTO = "
                                      "'E' AND NOT EXISTS (SELECT 1 FROM CONTAPAGAR c WHERE "
                                      "c.CDFILIAL = h.CDFILIAL AND c.NRLANCTONF = h.NRLANCTONF "
                                      "AND c.NMUSUARIO = h.NMUSUARIO)")),
                 0);
    }

    // The local account answers without a login until it has a password; from then on nothing
    // answers before a login, and the connection that was served finds its session over.
    void noMethodAnswersBeforeLogin() {
        QTcpSocket s;
        open(s);
        QVERIFY(error(call(s, QStringLiteral("GetParamFiscal"), {})).isEmpty());
        QCOMPARE(admin({QStringLiteral("--set-password"), m_local}, "local-pw\n"), 0);
        for (const auto& m : FisProtocol::methods()) {
            QCborArray args;
            for (const auto& a : m.args)
                args.append(a.kind == FisProtocol::ArgKind::Double ? QCborValue(0.0)
                            : a.kind == FisProtocol::ArgKind::Packet
                                ? QCborValue(TDataPacket().toCbor())
                                : QCborValue(QStringLiteral("01")));
            const QCborMap a = call(s, m.name, args);
            QCOMPARE(error(a), QStringLiteral("Sessão não iniciada: informe usuário e senha."));
            QVERIFY(a.value(QStringLiteral("login")).toBool());
            QVERIFY(!a.contains(QStringLiteral("result")));
        }
        // Without its password the local account no longer logs in.
        QVERIFY(!error(login(s, m_local, QString())).isEmpty());
        QVERIFY(error(login(s, m_local, QStringLiteral("local-pw"))).isEmpty());
        QVERIFY(error(call(s, QStringLiteral("GetParamFiscal"), {})).isEmpty());
    }

    // The client asks its prompt when the server wants a login, tells it why after a failure,
    // and sends the refused call again once logged in; giving up answers the refusal.
    void clientPromptsAndRetries() {
        TNetConnection con;
        con.setHost(QStringLiteral("127.0.0.1"));
        con.setPort(m_port);
        con.setServerName(kObject);
        QStringList errors;
        con.setLoginPrompt([&](const QString&, const QString& error, QString& user,
                               QString& password) {
            errors << error;
            if (errors.size() > 3)
                return false;
            user = QStringLiteral("bia");
            password = errors.size() == 1 ? QStringLiteral("errada") : QStringLiteral("senha-bia");
            return true;
        });
        QString flag = QStringLiteral("T");
        const TServerAnswer a = GetTipoOper(con, flag);
        QVERIFY2(a.ok, qPrintable(a.error));
        QCOMPARE(errors,
                 (QStringList{QStringLiteral("Sessão não iniciada: informe usuário e senha."),
                              QStringLiteral("Usuário ou senha inválidos.")}));

        TNetConnection quitter;
        quitter.setHost(QStringLiteral("127.0.0.1"));
        quitter.setPort(m_port);
        quitter.setServerName(kObject);
        quitter.setLoginPrompt(
            [](const QString&, const QString&, QString&, QString&) { return false; });
        const TServerAnswer refused = GetTipoOper(quitter, flag);
        QVERIFY(!refused.ok);
        QCOMPARE(refused.error, QStringLiteral("Sessão não iniciada: informe usuário e senha."));
    }
};

QTEST_MAIN(TestSessions)
#include "test_sessions.moc"
