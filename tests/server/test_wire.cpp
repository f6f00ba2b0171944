// The server as a whole on the wire: bad requests and frames that must neither stop it nor
// disturb other clients, a connection that reads its peer at every connect, and fis98100-call.
#include "ServerFixture.h"

#include "Fis98100Contracts.h"
#include "core/Frame.h"
#include "core/Services.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>
#include <algorithm>

class TestWire : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() { startServer(); }
    void cleanupTestCase() { stopServer(); }

    void malformedRequests_data();
    void malformedRequests();
    void oversizedFrameClosesOnlyThatConnection();
    void connectionReadsHostAndPortAtEveryConnect();
    void callTool_data();
    void callTool();
};

void TestWire::malformedRequests_data() {
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QString>("error");
    QByteArray garbage(4, 0);
    qToBigEndian<quint32>(4, garbage.data());
    garbage += QByteArray("\xff\x00\xff\x00", 4);
    QTest::newRow("not cbor") << garbage << "Quadro inválido";
    QTest::newRow("not a map") << FisFrame::encode(QCborValue(5)) << "Requisição inválida";
    QTest::newRow("no id") << FisFrame::encode(QCborMap{
                                  {QStringLiteral("method"), QStringLiteral("GetParamFiscal")}})
                           << "id deve ser";
    QTest::newRow("unknown object")
        << request(9, QStringLiteral("GetParamFiscal"), {}, QStringLiteral("Outro.Objeto"))
        << "Objeto desconhecido";
    QTest::newRow("unknown method")
        << request(9, QStringLiteral("DropDatabase"), {}) << "Método desconhecido";
    QTest::newRow("args not a list")
        << FisFrame::encode(QCborMap{{QStringLiteral("id"), 9},
                                     {QStringLiteral("object"), kObject},
                                     {QStringLiteral("method"), QStringLiteral("GetCodRecePad")},
                                     {QStringLiteral("args"), QStringLiteral("01")}})
        << "args deve ser uma lista";
    QTest::newRow("too few") << request(9, QStringLiteral("GetSerie"),
                                        {QStringLiteral("01"), QString()})
                             << "GetSerie: esperados 4 argumentos, recebidos 2";
    QTest::newRow("too many") << request(9, QStringLiteral("GetParamFiscal"), {1})
                              << "esperados 0 argumentos";
    QCborArray nf{QStringLiteral("01"),
                  QString(),
                  QString(),
                  QStringLiteral("T"),
                  QString(),
                  QString(),
                  QStringLiteral("2026-01-01"),
                  QCborValue(QCborValue::Null),
                  QCborValue(QCborValue::Null),
                  QCborValue(QCborValue::Null),
                  QString(),
                  QStringLiteral("01")};
    QTest::newRow("text where a date belongs") << request(9, QStringLiteral("GetNotaFiscal"), nf)
                                               << "GetNotaFiscal: argumento 7 deve ser data";
    QTest::newRow("number where text belongs")
        << request(9, QStringLiteral("GetSerie"), {1, QString(), QString(), QStringLiteral("T")})
        << "GetSerie: argumento 1 deve ser texto";
    QTest::newRow("text where a number belongs")
        << request(9, QStringLiteral("setDarfDoc"),
                   {QStringLiteral("0001"), QStringLiteral("1"), QStringLiteral("01"),
                    QStringLiteral("N"), QStringLiteral("2,50"), 0, QString(), QString(), QString(),
                    QString()})
        << "setDarfDoc: argumento 5 deve ser número";
    QTest::newRow("packet not a map") << request(9, QStringLiteral("GeraContaPagar"),
                                                 {QStringLiteral("01"), QStringLiteral("01"),
                                                  QCborArray{}, QString(), QString(), QString()})
                                      << "GeraContaPagar: argumento 3 deve ser pacote";
    QTest::newRow("bad flag") << request(9, QStringLiteral("GetTipoOper"), {QStringLiteral("X")})
                              << "E, S ou T";
    // Keys longer than their columns: a plain refusal, not the database's truncation error.
    QTest::newRow("company too long")
        << request(9, QStringLiteral("GetSerie"),
                   {QStringLiteral("001"), QString(), QString(), QStringLiteral("S")})
        << "GetSerie: empresa com mais de 2 caracteres";
    QTest::newRow("registration too long")
        << request(9, QStringLiteral("GetSerie"),
                   {QStringLiteral("01"), QString(17, QLatin1Char('1')), QString(),
                    QStringLiteral("S")})
        << "GetSerie: inscrição estadual com mais de 16 caracteres";
}

void TestWire::malformedRequests() {
    QFETCH(QByteArray, wire);
    QFETCH(QString, error);
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(s.waitForConnected(5000));
    const QCborMap answer = rawCall(s, wire);
    QVERIFY2(answer.value(QStringLiteral("error")).toString().contains(error),
             qPrintable(QCborValue(answer).toDiagnosticNotation()));
    QVERIFY(!answer.contains(QStringLiteral("result")));
    // The same connection still serves.
    const QCborMap next = rawCall(s, request(10, QStringLiteral("GetParamFiscal"), {}));
    QCOMPARE(next.value(QStringLiteral("id")).toInteger(), 10);
    QVERIFY(next.value(QStringLiteral("result")).isMap());
}

void TestWire::oversizedFrameClosesOnlyThatConnection() {
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(other.waitForConnected(5000));
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(s.waitForConnected(5000));
    QByteArray prefix(4, 0);
    qToBigEndian<quint32>(0x7fffffff, prefix.data());
    bool closed = false;
    const QCborMap answer = rawCall(s, prefix + QByteArray(100, 'x'), &closed);
    QVERIFY2(answer.value(QStringLiteral("error"))
                 .toString()
                 .contains(QStringLiteral("excede o limite")),
             qPrintable(QCborValue(answer).toDiagnosticNotation()));
    QVERIFY(closed);
    // A half-sent frame from a client that goes away harms nobody either.
    {
        QTcpSocket half;
        half.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        QVERIFY(half.waitForConnected(5000));
        half.write(request(1, QStringLiteral("GetParamFiscal"), {}).left(10));
        half.waitForBytesWritten(1000);
    }
    const QCborMap next = rawCall(other, request(3, QStringLiteral("GetParamFiscal"), {}));
    QVERIFY(next.value(QStringLiteral("result")).isMap());
    QVERIFY(GetParamFiscal(m_con).ok);
    QVERIFY(m_server.state() == QProcess::Running);
}

void TestWire::connectionReadsHostAndPortAtEveryConnect() {
    TNetConnection con;
    con.setServerName(kObject);
    con.setPort(1); // nothing listens there
    int connects = 0;
    connect(&con, &TSocketConnection::beforeConnect, this, [&] {
        ++connects;
        con.setHost(QStringLiteral("127.0.0.1"));
        con.setPort(m_port);
    });
    con.setConnected(true);
    QVERIFY2(con.connected(), qPrintable(con.lastError()));
    QString flag = QStringLiteral("E");
    QVERIFY(GetTipoOper(con, flag).ok);
    con.setConnected(false);
    QVERIFY(GetParamFiscal(con).ok); // a call connects again, through beforeConnect
    QCOMPARE(connects, 2);
    // The log has one line per call with the method and its duration.
    QTRY_VERIFY(
        m_log.contains(QRegularExpression(QStringLiteral("GetTipoOper \\d+ ms ok \\d+ linhas"))));
}

void TestWire::callTool_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // stdout on success, stderr otherwise
    const QStringList nf{QStringLiteral("GetNotaFiscal"),  QStringLiteral("\"01\""),
                         QStringLiteral("\"\""),           QStringLiteral("\"\""),
                         QStringLiteral("\"S\""),          QStringLiteral("\"'S_1'\""),
                         QStringLiteral("\"\""),           QStringLiteral("\"2000-01-01\""),
                         QStringLiteral("\"2099-12-31\""), QStringLiteral("null"),
                         QStringLiteral("null"),           QStringLiteral("\"\""),
                         QStringLiteral("\"01\"")};
    QTest::newRow("notas") << nf << 0 << "\"refs\":[\"S\",\"'S_1'\",\"\",\"\"]";
    QStringList badDate = nf;
    badDate[7] = QStringLiteral("\"amanhã\"");
    QTest::newRow("data inválida") << badDate << 1 << "argumento 7 deve ser data";
    QTest::newRow("código da receita")
        << QStringList{QStringLiteral("GetVdCodRece"), QStringLiteral("\"01\""),
                       QStringLiteral("\"5123\"")}
        << 0 << "[\"5123\",";
    QTest::newRow("pacote malformado")
        << QStringList{QStringLiteral("GeraContaPagar"),
                       QStringLiteral("\"01\""),
                       QStringLiteral("\"01\""),
                       QStringLiteral(
                           "{\"fields\": [[\"CDFILIAL\",\"string\",4]], \"rows\": [[\"0001\"]]}"),
                       QStringLiteral("\"\""),
                       QStringLiteral("\"\""),
                       QStringLiteral("\"\"")}
        << 0 << "\"result\":\"Conta a pagar: o pacote deve ter os 21 campos";
    QTest::newRow("argumentos a menos")
        << QStringList{QStringLiteral("GetSerie"), QStringLiteral("\"01\"")} << 2
        << "GetSerie espera 4 argumentos";
    QTest::newRow("não é JSON") << QStringList{QStringLiteral("GetCodRecePad"),
                                               QStringLiteral("01x")}
                                << 1 << "não é um valor JSON";
    for (const char* port : {"0", "99999", "-1", "65536"})
        QTest::newRow(qPrintable(QStringLiteral("porta %1").arg(QLatin1String(port))))
            << QStringList{QStringLiteral("--port"), QLatin1String(port),
                           QStringLiteral("GetParamFiscal")}
            << 2 << QStringLiteral("--port deve ser de 1 a 65535: %1").arg(QLatin1String(port));
    for (const char* timeout : {"0", "-1", "nan", "inf", "1e10"})
        QTest::newRow(qPrintable(QStringLiteral("espera %1").arg(QLatin1String(timeout))))
            << QStringList{QStringLiteral("--timeout"), QLatin1String(timeout),
                           QStringLiteral("GetParamFiscal")}
            << 2
            << QStringLiteral("--timeout deve ser um número de segundos maior que zero e até "
                              "86400: %1")
                   .arg(QLatin1String(timeout));
    QTest::newRow("espera de meio segundo")
        << QStringList{QStringLiteral("--timeout"), QStringLiteral("0.5"),
                       QStringLiteral("GetParamFiscal")}
        << 0 << "\"result\"";
    QTest::newRow("sem servidor")
        << QStringList{QStringLiteral("--port"), QStringLiteral("1"),
                       QStringLiteral("GetParamFiscal")}
        << 1 << "Não foi possível conectar ao servidor de aplicação em 127.0.0.1:1";
}

void TestWire::callTool() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QProcess p;
    p.setProgram(qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-call"));
    if (args.first() != QLatin1String("--port"))
        args = QStringList{QStringLiteral("--port"), QString::number(m_port)} + args;
    p.setArguments(args);
    p.start();
    QVERIFY(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitCode(), exitCode);
    QVERIFY2((exitCode == 0 ? out : err).contains(output), qPrintable(out + err));
    if (exitCode == 0)
        QVERIFY(QJsonDocument::fromJson(out.toUtf8()).isObject());
}

QTEST_GUILESS_MAIN(TestWire)
#include "test_wire.moc"
