// The wire contract as other parties rely on it: each record's fields and the method table,
// spelled out once here so that a change to either is a deliberate change of this test; and
// the look-ups and argument checks both ends use.
#include "MethodTable.h"
#include "Records.h"

#include <QCborArray>
#include <QCborMap>
#include <QtTest>

using T = TFieldType;
Q_DECLARE_METATYPE(QList<TPacketField>)

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void records_data();
    void records();
    void methodTable_data();
    void methodTable();
    void lookUps();
    void argumentKinds_data();
    void argumentKinds();
};

void TestProtocol::records_data() {
    QTest::addColumn<QList<TPacketField>>("table");
    QTest::addColumn<QList<TPacketField>>("expected");
    QTest::newRow("note") << FisProtocol::notaFiscalFields()
                          << QList<TPacketField>{{"DSHISTGUIAPAGDOC", T::String, 255},
                                                 {"NRNOTAFISC", T::String, 20},
                                                 {"EMITENTE", T::String, 50},
                                                 {"CDRECEGUIA", T::String, 4},
                                                 {"CDSERIE", T::String, 5},
                                                 {"NRLANCTONF", T::String, 10},
                                                 {"CDFILIAL", T::String, 4},
                                                 {"IDCHECK", T::FixedChar, 1},
                                                 {"VRIMPOSTONF", T::Float, 0},
                                                 {"IDENTRSAIDOP", T::String, 7},
                                                 {"NRINSJUR", T::String, 20},
                                                 {"CDINSCESTA", T::String, 16},
                                                 {"CDINSCMUNI", T::String, 16},
                                                 {"VRNOTAFISC", T::Float, 0},
                                                 {"VRMULTAGUIA", T::Float, 0},
                                                 {"VRJUROGUIA", T::Float, 0},
                                                 {"DTVENCGUIA", T::DateTime, 0},
                                                 {"NRLANCTONFDARF", T::String, 10},
                                                 {"IDSTATUSGUIA", T::String, 2},
                                                 {"IDINSJUR", T::String, 1},
                                                 {"DTENTRSAID", T::DateTime, 0},
                                                 {"CDFILIOPER", T::String, 4}};
    QTest::newRow("payable")
        << FisProtocol::contaPagarFields()
        << QList<TPacketField>{{"CDFILIAL", T::String, 4},     {"NRLANCTONF", T::String, 10},
                               {"IDSTATUSGUIA", T::String, 2}, {"VRMULTAGUIA", T::Float, 0},
                               {"VRJUROGUIA", T::Float, 0},    {"DTVENCGUIA", T::DateTime, 0},
                               {"CDINSCESTA", T::String, 16},  {"CDINSCMUNI", T::String, 16},
                               {"IDORIGDESTNF", T::String, 1}, {"NRNOTAFISC", T::String, 20},
                               {"CDDESTEMIT", T::String, 21},  {"VRNOTAFISC", T::Float, 0},
                               {"VRIMPOSTONF", T::Float, 0},   {"CDRECEITAGNRE", T::String, 10},
                               {"DTVENCGNRE", T::DateTime, 0}, {"IDENTRSAIDOP", T::String, 1},
                               {"IDCHECK", T::String, 20},     {"CDSERIEENTR", T::String, 20},
                               {"STLINHADIGI", T::String, 60}, {"STBARRAGUIA", T::String, 50},
                               {"CDFILIOPER", T::String, 4}};
    QTest::newRow("result") << FisProtocol::resultFields()
                            << QList<TPacketField>{{"CDRESULT", T::String, 3},
                                                   {"DSRESULT", T::String, 250},
                                                   {"IDTPRESULT", T::String, 2}};
    QTest::newRow("fiscal parameters") << FisProtocol::paramFiscalFields()
                                       << QList<TPacketField>{{"CDTIPOOPERPREPAG", T::String, 2},
                                                              {"DTREFVENCDARF", T::DateTime, 0},
                                                              {"DTREFPAGDARF", T::DateTime, 0}};
    QTest::newRow("revenue code") << FisProtocol::codReceFields()
                                  << QList<TPacketField>{{"CDRECEPADRAO", T::String, 4},
                                                         {"CDVARIACAO", T::String, 2},
                                                         {"DSRECEPADRAO", T::String, 1000}};
    QTest::newRow("series") << FisProtocol::serieFields()
                            << QList<TPacketField>{{"IDMARCADO", T::FixedChar, 1},
                                                   {"CDSERIE", T::String, 5},
                                                   {"DSSERIE", T::String, 20},
                                                   {"TIPO", T::FixedChar, 1},
                                                   {"CHAVE", T::String, 7}};
    QTest::newRow("operation type") << FisProtocol::tipoOperFields()
                                    << QList<TPacketField>{{"IDMARCADO", T::FixedChar, 1},
                                                           {"CDTIPOOPER", T::String, 2},
                                                           {"NMTIPOOPER", T::String, 30},
                                                           {"IDENTRSAIDOP", T::String, 1},
                                                           {"CHAVE", T::String, 3}};
}

void TestProtocol::records() {
    QFETCH(QList<TPacketField>, table);
    QFETCH(QList<TPacketField>, expected);
    QCOMPARE(table, expected);
}

void TestProtocol::methodTable_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kinds"); // S text, R text by reference, D number, T date, P packet
    using M = FisProtocol::MethodId;
    QTest::newRow("GetTipoOper") << int(M::GetTipoOper) << "GetTipoOper"
                                 << "R";
    QTest::newRow("GetSerie") << int(M::GetSerie) << "GetSerie"
                              << "SSSR";
    QTest::newRow("GetNotaFiscal") << int(M::GetNotaFiscal) << "GetNotaFiscal"
                                   << "SSSRRRTTTTRS";
    QTest::newRow("setDarfDoc") << int(M::setDarfDoc) << "setDarfDoc"
                                << "SSRSDDSSSS";
    QTest::newRow("GetParamFiscal") << int(M::GetParamFiscal) << "GetParamFiscal"
                                    << "";
    QTest::newRow("GeraContaPagar") << int(M::GeraContaPagar) << "GeraContaPagar"
                                    << "SRPRRS";
    QTest::newRow("GetVdCodRece") << int(M::GetVdCodRece) << "GetVdCodRece"
                                  << "SS";
    QTest::newRow("GetCodRecePad") << int(M::GetCodRecePad) << "GetCodRecePad"
                                   << "S";
}

void TestProtocol::methodTable() {
    QFETCH(int, id);
    QFETCH(QString, name);
    QFETCH(QString, kinds);
    // The server dispatches on the id: the entry found by id must be the method of that name.
    const FisProtocol::MethodSpec& m = FisProtocol::method(FisProtocol::MethodId(id));
    QCOMPARE(m.name, name);
    QCOMPARE(int(m.id), id);
    QString got;
    QList<int> byRef;
    for (int i = 0; i < m.args.size(); ++i) {
        const auto& a = m.args[i];
        switch (a.kind) {
        case FisProtocol::ArgKind::Text:
            got += a.byRef ? QLatin1Char('R') : QLatin1Char('S');
            break;
        case FisProtocol::ArgKind::Double:
            got += QLatin1Char('D');
            break;
        case FisProtocol::ArgKind::DateTime:
            got += QLatin1Char('T');
            break;
        case FisProtocol::ArgKind::Packet:
            got += QLatin1Char('P');
            break;
        }
        if (a.byRef)
            byRef << i;
    }
    QCOMPARE(got, kinds);
    QCOMPARE(m.byRefIndexes(), byRef);
}

void TestProtocol::lookUps() {
    QCOMPARE(FisProtocol::methods().size(), 8);
    // Late-bound calls ignore case.
    const FisProtocol::MethodSpec* m = FisProtocol::findMethod(QStringLiteral("getnotafiscal"));
    QVERIFY(m);
    QCOMPARE(m->name, QStringLiteral("GetNotaFiscal"));
    QCOMPARE(FisProtocol::findMethod(QStringLiteral("SETDARFDOC"))->id,
             FisProtocol::MethodId::setDarfDoc);
    QVERIFY(!FisProtocol::findMethod(QStringLiteral("DropDatabase")));
    QVERIFY(!FisProtocol::findMethod(QString()));
    QCOMPARE(QLatin1String(FisProtocol::ObjectName),
             QLatin1String("Fis98100.rdmCriaEmissaoDarfDoc"));
}

void TestProtocol::argumentKinds_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QCborValue>("value");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    using K = FisProtocol::ArgKind;
    const QCborValue date(QDateTime(QDate(2026, 1, 31), QTime(0, 0), Qt::UTC));
    QTest::newRow("text") << int(K::Text) << QCborValue(QStringLiteral("01")) << "";
    QTest::newRow("null text") << int(K::Text) << QCborValue(QCborValue::Null) << "";
    QTest::newRow("number as text")
        << int(K::Text) << QCborValue(1) << "M: argumento 2 deve ser texto";
    QTest::newRow("double") << int(K::Double) << QCborValue(2.5) << "";
    QTest::newRow("integer as double") << int(K::Double) << QCborValue(2) << "";
    QTest::newRow("text as double")
        << int(K::Double) << QCborValue(QStringLiteral("2,50")) << "M: argumento 2 deve ser número";
    QTest::newRow("null double") << int(K::Double) << QCborValue(QCborValue::Null)
                                 << "M: argumento 2 deve ser número";
    QTest::newRow("date") << int(K::DateTime) << date << "";
    QTest::newRow("no date") << int(K::DateTime) << QCborValue(QCborValue::Null) << "";
    QTest::newRow("date as text") << int(K::DateTime) << QCborValue(QStringLiteral("2026-01-31"))
                                  << "M: argumento 2 deve ser data";
    QTest::newRow("packet") << int(K::Packet) << QCborValue(QCborMap{}) << "";
    QTest::newRow("list as packet")
        << int(K::Packet) << QCborValue(QCborArray{}) << "M: argumento 2 deve ser pacote";
}

void TestProtocol::argumentKinds() {
    QFETCH(int, kind);
    QFETCH(QCborValue, value);
    QFETCH(QString, refusal);
    QCOMPARE(FisProtocol::checkArg(QStringLiteral("M"), 1, FisProtocol::ArgKind(kind), value),
             refusal);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "test_protocol.moc"
