// The typed calls against a scripted server in this process: each sends its method with the
// object name and arguments of the kinds the method table gives, and takes back exactly the
// by-reference arguments the table names into the caller's texts.
#include "Fis98100Contracts.h"
#include "core/Frame.h"

#include <QCborMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

// Answers every request with result true and, for every argument i, refs[i] = "ret<i>" (null
// for the indexes in nullRefs), so that only what the caller asked for can come back.
class TEchoServer : public QObject {
public:
    QList<QCborMap> requests;
    QList<int> nullRefs;

    TEchoServer() {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    reader.readFrom(s);
                    QCborValue item;
                    while (reader.next(item) == TFrameReader::Status::Item)
                        s->write(answer(item.toMap()));
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    int port() const { return server.serverPort(); }

private:
    QByteArray answer(const QCborMap& req) {
        requests << req;
        QCborMap refs;
        const qsizetype n = req.value(QStringLiteral("args")).toArray().size();
        for (qsizetype i = 0; i < n; ++i)
            refs.insert(i, nullRefs.contains(int(i)) ? QCborValue(QCborValue::Null)
                                                     : QCborValue(QStringLiteral("ret%1").arg(i)));
        QCborMap m;
        m.insert(QStringLiteral("id"), req.value(QStringLiteral("id")));
        m.insert(QStringLiteral("result"), true);
        m.insert(QStringLiteral("refs"), refs);
        return FisFrame::encode(m);
    }

    QTcpServer server;
    TFrameReader reader;
};

} // namespace

class TestContracts : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void eachCallFollowsTheTable();
    void nullRefClearsTheText();

private:
    // The last request: its method and arguments against the table's entry for it.
    void checkRequest(const QString& method, const QList<int>& byRef);

    TEchoServer* m_server = nullptr;
    TNetConnection* m_con = nullptr;
};

void TestContracts::init() {
    m_server = new TEchoServer;
    m_con = new TNetConnection;
    m_con->setPort(m_server->port());
}

void TestContracts::cleanup() {
    delete m_con;
    delete m_server;
}

void TestContracts::checkRequest(const QString& method, const QList<int>& byRef) {
    QVERIFY(!m_server->requests.isEmpty());
    const QCborMap req = m_server->requests.takeLast();
    QCOMPARE(req.value(QStringLiteral("object")).toString(),
             QStringLiteral("Fis98100.rdmCriaEmissaoDarfDoc"));
    QCOMPARE(req.value(QStringLiteral("method")).toString(), method);
    const FisProtocol::MethodSpec* entry = FisProtocol::findMethod(method);
    QVERIFY(entry);
    QCOMPARE(entry->byRefIndexes(), byRef);
    const QCborArray args = req.value(QStringLiteral("args")).toArray();
    QCOMPARE(args.size(), entry->args.size());
    for (int i = 0; i < args.size(); ++i)
        QVERIFY2(FisProtocol::checkArg(method, i, entry->args[i].kind, args[i]).isEmpty(),
                 qPrintable(FisProtocol::checkArg(method, i, entry->args[i].kind, args[i])));
}

void TestContracts::eachCallFollowsTheTable() {
    const QString c = QStringLiteral("const");
    QString a = QStringLiteral("a"), b = QStringLiteral("b"), d = QStringLiteral("d"),
            e = QStringLiteral("e");
    const QDateTime day(QDate(2026, 3, 1), QTime(0, 0));

    QVERIFY(GetTipoOper(*m_con, a).ok);
    checkRequest(QStringLiteral("GetTipoOper"), {0});
    QCOMPARE(a, QStringLiteral("ret0"));

    QVERIFY(GetSerie(*m_con, c, c, c, a).ok);
    checkRequest(QStringLiteral("GetSerie"), {3});
    QCOMPARE(a, QStringLiteral("ret3"));

    QVERIFY(GetNotaFiscal(*m_con, c, c, c, a, b, d, day, day, QDateTime(), QDateTime(), e, c).ok);
    checkRequest(QStringLiteral("GetNotaFiscal"), {3, 4, 5, 10});
    QCOMPARE((QStringList{a, b, d, e}),
             (QStringList{QStringLiteral("ret3"), QStringLiteral("ret4"), QStringLiteral("ret5"),
                          QStringLiteral("ret10")}));

    QVERIFY(setDarfDoc(*m_con, c, c, a, c, 1.5, 0, c, c, c, c).ok);
    checkRequest(QStringLiteral("setDarfDoc"), {2});
    QCOMPARE(a, QStringLiteral("ret2"));

    QVERIFY(GetParamFiscal(*m_con).ok);
    checkRequest(QStringLiteral("GetParamFiscal"), {});

    TDataPacket packet;
    packet.fields = Fis98100::ContaPagarFields();
    QVERIFY(GeraContaPagar(*m_con, c, a, packet, b, d, c).ok);
    checkRequest(QStringLiteral("GeraContaPagar"), {1, 3, 4});
    QCOMPARE((QStringList{a, b, d}),
             (QStringList{QStringLiteral("ret1"), QStringLiteral("ret3"), QStringLiteral("ret4")}));

    QVERIFY(GetVdCodRece(*m_con, c, c).ok);
    checkRequest(QStringLiteral("GetVdCodRece"), {});
    QVERIFY(GetCodRecePad(*m_con, c).ok);
    checkRequest(QStringLiteral("GetCodRecePad"), {});
    QCOMPARE(c, QStringLiteral("const"));
}

void TestContracts::nullRefClearsTheText() {
    m_server->nullRefs = {4};
    QString imposto = QStringLiteral("01"), barra = QStringLiteral("856"),
            linha = QStringLiteral("856 0");
    QVERIFY(
        GeraContaPagar(*m_con, QStringLiteral("01"), imposto, TDataPacket(), barra, linha, {}).ok);
    QCOMPARE(imposto, QStringLiteral("ret1"));
    QCOMPARE(barra, QStringLiteral("ret3"));
    QVERIFY(linha.isEmpty());
}

QTEST_GUILESS_MAIN(TestContracts)
#include "test_contracts.moc"
