// The application server as a separate process on a fresh demo database: every method through
// the typed calls, the filters against the database's own rows, guide storage and issue rules,
// two clerks at once, and bad input that must neither stop the server nor change data.
#include "Connection.h"
#include "Fis98100Contracts.h"
#include "FisDatabase.h"
#include "Methods.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"
#include "core/Services.h"

#include <QCborArray>
#include <QCborMap>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

namespace {

const QString kObject = QStringLiteral("Fis98100.rdmCriaEmissaoDarfDoc");

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

} // namespace
Q_DECLARE_METATYPE(TFilter)
namespace {

QDateTime dt(const QDate& d) {
    return d.isValid() ? QDateTime(d, QTime(0, 0)) : QDateTime();
}

bool matches(const TNote& n, const TFilter& f) {
    auto inList = [&](const QString& list, const QString& key) {
        return list.isEmpty() || list.contains(QLatin1Char('\'') + key + QLatin1Char('\''));
    };
    return n.imposto == f.tax && n.valor > 0 && n.empresa == f.emp &&
           (f.ie.isEmpty() || n.ie == f.ie) && (f.im.isEmpty() || n.im == f.im) &&
           (f.flag == QLatin1String("T") || n.es == f.flag) &&
           inList(f.series, n.es + QLatin1Char('_') + n.serie) && inList(f.tipos, n.es + n.tipo) &&
           (!f.entIni.isValid() || n.ent >= f.entIni) &&
           (!f.entFim.isValid() || n.ent <= f.entFim) &&
           (!f.emiIni.isValid() || n.emi >= f.emiIni) &&
           (!f.emiFim.isValid() || n.emi <= f.emiFim) && (f.insc.isEmpty() || n.insc == f.insc);
}

// A barcode in the DARF layout for an amount, with a right general check digit, and its
// typable line in groups.
QString barcodeFor(qint64 centavos, int salt = 0) {
    const QString body = QStringLiteral("856") + QString::number(centavos).rightJustified(11, '0') +
                         QStringLiteral("0064") +
                         QString::number(30 + salt).rightJustified(4, '0') +
                         QStringLiteral("1123456780001") + QStringLiteral("51230100");
    return body.left(3) + Mod10(body) + body.mid(3);
}
QString lineFor(const QString& bar) {
    const QString d = TransformaBarraLinhaDigi(bar);
    QStringList groups;
    for (int k = 0; k < 4; ++k)
        groups << d.mid(12 * k, 11) + QLatin1Char('.') + d.mid(12 * k + 11, 1);
    return groups.join(QLatin1Char(' '));
}

} // namespace

class TestServer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void getTipoOper_data();
    void getTipoOper();
    void getSerie_data();
    void getSerie();
    void getParamFiscalAndRevenueCodes();
    void noteRecordLayout();
    void getNotaFiscalFilters_data();
    void getNotaFiscalFilters();
    void sqlTextInListsChangesNothing_data();
    void sqlTextInListsChangesNothing();
    void setDarfDocStoresGuide();
    void setDarfDocRefusals_data();
    void setDarfDocRefusals();
    void issuedGuideLocksDueDateRevenueHistory_data();
    void issuedGuideLocksDueDateRevenueHistory();
    void geraContaPagarIssuesOnce();
    void geraContaPagarWithoutPayableSettings();
    void geraContaPagarRefusesBadInput_data();
    void geraContaPagarRefusesBadInput();
    void geraContaPagarRoundsTheSumOnce();
    void twoClerksIssueTheSameNote();
    void issueWaitsForAColleaguesSave();
    void saveWaitsForAColleaguesSave();
    void malformedRequests_data();
    void malformedRequests();
    void oversizedFrameClosesOnlyThatConnection();
    void connectionReadsHostAndPortAtEveryConnect();
    void callTool_data();
    void callTool();

private:
    QSqlDatabase db();
    QList<TNote> notes(const QString& where = {});
    int count(const QString& sql);
    TServerAnswer notaFiscal(const TFilter& f);
    QList<QVariantList> rowsOf(const TServerAnswer& a, TDataPacket* packet = nullptr);
    QCborMap rawCall(QTcpSocket& s, const QByteArray& wire, bool* closed = nullptr);
    QByteArray request(qint64 id, const QString& method, const QCborArray& args,
                       const QString& object = kObject);
    TDataPacket payable(const TNote& n, double multa, double juros, const QString& bar,
                        const QString& line);
    QVariantList noteRow(const TNote& n, TDataPacket* packet = nullptr);
    void callWhileRowHeld(const QString& holdSql, const QString& method, const QCborArray& args,
                          QCborMap* answer, bool* waited);

    QTemporaryDir m_dir;
    QString m_location;
    QProcess m_server;
    QString m_log;
    int m_port = 0;
    TNetConnection m_con;
    QList<TNote> m_all;
};

QSqlDatabase TestServer::db() {
    QSqlDatabase d = QSqlDatabase::database(QStringLiteral("oracle"), false);
    if (d.isValid() && d.isOpen())
        return d;
    return FisDb::openConnection(m_location, QStringLiteral("oracle"));
}

int TestServer::count(const QString& sql) {
    QSqlQuery q(db());
    if (!q.exec(sql) || !q.next())
        qFatal("%s", qPrintable(sql));
    const int n = q.value(0).toInt();
    q.finish();
    return n;
}

QList<TNote> TestServer::notes(const QString& where) {
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

void TestServer::initTestCase() {
    QVERIFY(m_dir.isValid());
    FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
    m_location = m_dir.filePath(QStringLiteral("fis.fdb"));
    FisDb::createDatabase(m_location, true, 300);

    const QString bin =
        qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server");
    QVERIFY2(QFileInfo::exists(bin), qPrintable(bin));
    m_server.setProgram(bin);
    m_server.setArguments(
        {QStringLiteral("--database"), m_location, QStringLiteral("--port"), QStringLiteral("0")});
    connect(&m_server, &QProcess::readyReadStandardError, this,
            [this] { m_log += QString::fromUtf8(m_server.readAllStandardError()); });
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

void TestServer::cleanupTestCase() {
    m_con.setConnected(false);
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(10000))
            m_server.kill();
        m_server.waitForFinished(5000);
    }
    {
        QSqlDatabase d = QSqlDatabase::database(QStringLiteral("oracle"), false);
        if (d.isValid())
            d.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("oracle"));
}

QList<QVariantList> TestServer::rowsOf(const TServerAnswer& a, TDataPacket* packet) {
    [&] { QVERIFY2(a.ok, qPrintable(a.error)); }();
    const TDataPacket p = TDataPacket::fromCbor(a.payload);
    if (packet)
        *packet = p;
    return p.rows;
}

// ----- pick lists -----

void TestServer::getTipoOper_data() {
    QTest::addColumn<QString>("flag");
    QTest::newRow("entrada") << "E";
    QTest::newRow("saída") << "S";
    QTest::newRow("todos") << "T";
}

void TestServer::getTipoOper() {
    QFETCH(QString, flag);
    QString f = flag;
    TDataPacket p;
    const auto rows = rowsOf(GetTipoOper(m_con, f), &p);
    QCOMPARE(f, flag);
    const int expected =
        count(flag == QLatin1String("T")
                  ? QStringLiteral("SELECT COUNT(*) FROM TIPOOPERAC")
                  : QStringLiteral("SELECT COUNT(*) FROM TIPOOPERAC WHERE IDENTRSAIDOP = '%1'")
                        .arg(flag));
    QVERIFY(expected > 0);
    QCOMPARE(rows.size(), expected);
    // The pick list's dataset, field by field in its column order.
    using T = TFieldType;
    QCOMPARE(p.fields, (QList<TPacketField>{{QStringLiteral("IDMARCADO"), T::FixedChar, 1},
                                            {QStringLiteral("CDTIPOOPER"), T::String, 2},
                                            {QStringLiteral("NMTIPOOPER"), T::String, 30},
                                            {QStringLiteral("IDENTRSAIDOP"), T::String, 1},
                                            {QStringLiteral("CHAVE"), T::String, 3}}));
    QString previous;
    for (const auto& r : rows) {
        const QString es = r[p.indexOf(QStringLiteral("IDENTRSAIDOP"))].toString();
        const QString code = r[p.indexOf(QStringLiteral("CDTIPOOPER"))].toString();
        QVERIFY(flag == QLatin1String("T") || es == flag);
        QCOMPARE(r[p.indexOf(QStringLiteral("CHAVE"))].toString(), es + code);
        QCOMPARE(r[p.indexOf(QStringLiteral("IDMARCADO"))].toString(), QStringLiteral(" "));
        QVERIFY(previous < es + code);
        previous = es + code;
    }
}

void TestServer::getSerie_data() {
    QTest::addColumn<QString>("flag");
    QTest::addColumn<bool>("withRegistrations");
    QTest::newRow("entrada") << "E" << false;
    QTest::newRow("saída, inscrições") << "S" << true;
    QTest::newRow("saída, qualquer inscrição") << "S" << false;
    QTest::newRow("todos") << "T" << true;
}

void TestServer::getSerie() {
    QFETCH(QString, flag);
    QFETCH(bool, withRegistrations);
    QSqlQuery q(db());
    QVERIFY(q.exec(QStringLiteral(
        "SELECT FIRST 1 CDINSCESTA, CDINSCMUNI FROM SERIENF WHERE CDEMPRESA = '01'")));
    QVERIFY(q.next());
    const QString ie = withRegistrations ? q.value(0).toString() : QString();
    const QString im = withRegistrations ? q.value(1).toString() : QString();
    q.finish();
    QString f = flag;
    TDataPacket p;
    const auto rows = rowsOf(GetSerie(m_con, QStringLiteral("01"), ie, im, f), &p);
    QCOMPARE(f, flag);
    using T = TFieldType;
    QCOMPARE(p.fields, (QList<TPacketField>{{QStringLiteral("IDMARCADO"), T::FixedChar, 1},
                                            {QStringLiteral("CDSERIE"), T::String, 5},
                                            {QStringLiteral("DSSERIE"), T::String, 20},
                                            {QStringLiteral("TIPO"), T::FixedChar, 1},
                                            {QStringLiteral("CHAVE"), T::String, 7}}));
    QStringList expected;
    if (flag != QLatin1String("S")) {
        QVERIFY(q.exec(QStringLiteral("SELECT CDSERIEENTR FROM SERIEENTR")));
        while (q.next())
            expected << QStringLiteral("E_") + q.value(0).toString();
    }
    if (flag != QLatin1String("E")) {
        QString sql = QStringLiteral("SELECT DISTINCT CDSERIE FROM SERIENF WHERE CDEMPRESA = '01'");
        if (withRegistrations)
            sql += QStringLiteral(" AND CDINSCESTA = '%1' AND CDINSCMUNI = '%2'").arg(ie, im);
        QVERIFY(q.exec(sql));
        while (q.next())
            expected << QStringLiteral("S_") + q.value(0).toString();
    }
    q.finish();
    QVERIFY(!expected.isEmpty());
    QStringList got;
    for (const auto& r : rows) {
        const QString tipo = r[p.indexOf(QStringLiteral("TIPO"))].toString();
        const QString code = r[p.indexOf(QStringLiteral("CDSERIE"))].toString();
        QCOMPARE(r[p.indexOf(QStringLiteral("CHAVE"))].toString(), tipo + QLatin1Char('_') + code);
        QVERIFY(!r[p.indexOf(QStringLiteral("DSSERIE"))].toString().isEmpty());
        got << tipo + QLatin1Char('_') + code;
    }
    std::sort(expected.begin(), expected.end());
    QCOMPARE(got, expected); // ordered by kind, then code
}

void TestServer::getParamFiscalAndRevenueCodes() {
    TDataPacket p;
    auto rows = rowsOf(GetParamFiscal(m_con), &p);
    QCOMPARE(rows.size(), 1);
    QSqlQuery q(db());
    QVERIFY(q.exec(
        QStringLiteral("SELECT CDTIPOOPERPREPAG, DTREFVENCDARF, DTREFPAGDARF FROM PARAMFISCAL")));
    QVERIFY(q.next());
    QCOMPARE(rows[0][p.indexOf(QStringLiteral("CDTIPOOPERPREPAG"))].toString(),
             q.value(0).toString());
    QCOMPARE(rows[0][p.indexOf(QStringLiteral("DTREFVENCDARF"))].toDateTime(),
             dt(q.value(1).toDate()));
    QCOMPARE(rows[0][p.indexOf(QStringLiteral("DTREFPAGDARF"))].toDateTime(),
             dt(q.value(2).toDate()));
    QCOMPARE(p.fields[0],
             (TPacketField{QStringLiteral("CDTIPOOPERPREPAG"), TFieldType::String, 2}));
    q.finish();

    const QList<TPacketField> codeFields{
        {QStringLiteral("CDRECEPADRAO"), TFieldType::String, 4},
        {QStringLiteral("CDVARIACAO"), TFieldType::String, 2},
        {QStringLiteral("DSRECEPADRAO"), TFieldType::String, 1000}};
    rows = rowsOf(GetCodRecePad(m_con, QStringLiteral("01")), &p);
    QCOMPARE(p.fields, codeFields);
    QCOMPARE(rows.size(),
             count(QStringLiteral("SELECT COUNT(*) FROM RECEITAPADRAO WHERE CDIMPOSTONFE = '01'")));
    QVERIFY(!rows.isEmpty());
    const QString code = rows[0][0].toString();

    rows = rowsOf(GetVdCodRece(m_con, QStringLiteral("01"), code), &p);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0][0].toString(), code);
    // A code of another tax, or none at all: an empty packet with the same fields.
    QSqlQuery other(db());
    QVERIFY(other.exec(
        QStringLiteral("SELECT FIRST 1 CDRECEPADRAO FROM RECEITAPADRAO WHERE CDIMPOSTONFE <> '01'"
                       " AND CDRECEPADRAO NOT IN (SELECT CDRECEPADRAO FROM RECEITAPADRAO WHERE "
                       "CDIMPOSTONFE = '01')")));
    QVERIFY(other.next());
    rows = rowsOf(GetVdCodRece(m_con, QStringLiteral("01"), other.value(0).toString()), &p);
    other.finish();
    QVERIFY(rows.isEmpty());
    QCOMPARE(p.fields, codeFields);
    QVERIFY(rowsOf(GetVdCodRece(m_con, QStringLiteral("01"), QString())).isEmpty());
    QVERIFY(rowsOf(GetCodRecePad(m_con, QStringLiteral("99"))).isEmpty());
}

// ----- notes -----

TServerAnswer TestServer::notaFiscal(const TFilter& f) {
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

QVariantList TestServer::noteRow(const TNote& n, TDataPacket* packet) {
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

void TestServer::noteRecordLayout() {
    using T = TFieldType;
    const QList<TPacketField> expected{{"DSHISTGUIAPAGDOC", T::String, 255},
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
    TFilter f;
    f.emp = QStringLiteral("01");
    TDataPacket p;
    const auto rows = rowsOf(notaFiscal(f), &p);
    QCOMPARE(p.fields, expected);
    QVERIFY(!rows.isEmpty());
    // Row contents against the database, for an entry and an exit note.
    QSqlQuery q(db());
    for (const QString& es : {QStringLiteral("E"), QStringLiteral("S")}) {
        const auto it = std::find_if(m_all.begin(), m_all.end(), [&](const TNote& n) {
            return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
                   n.es == es && n.valor > 0;
        });
        QVERIFY(it != m_all.end());
        TDataPacket np;
        const QVariantList r = noteRow(*it, &np);
        QVERIFY(!r.isEmpty());
        auto v = [&](const char* name) { return r[np.indexOf(QLatin1String(name))]; };
        QCOMPARE(v("IDENTRSAIDOP").toString(),
                 es == QLatin1String("E") ? QStringLiteral("Entrada") : QStringLiteral("Saída"));
        QCOMPARE(v("IDCHECK").toString(), QStringLiteral("U"));
        QCOMPARE(v("VRIMPOSTONF").toDouble(), it->valor);
        QCOMPARE(v("NRINSJUR").toString(), it->insc);
        QCOMPARE(v("DTENTRSAID").toDateTime(), dt(it->ent));
        QCOMPARE(v("IDSTATUSGUIA").toString(), it->status);
        QVERIFY(q.exec(
            QStringLiteral(
                "SELECT COALESCE(c.NMRAZSOCCLIE, f.NMRAZSOCFORN), n.IDINSJUR FROM NOTAFISCAL n"
                " LEFT JOIN CLIENTE c ON c.CDCLIENTE = n.CDCLIENTE"
                " LEFT JOIN FORNECEDOR f ON f.CDFORNECED = n.CDFORNECED"
                " WHERE n.CDFILIAL = '%1' AND n.NRLANCTONF = '%2'")
                .arg(it->filial, it->lancto)));
        QVERIFY(q.next());
        QCOMPARE(v("EMITENTE").toString(), q.value(0).toString());
        QCOMPARE(v("IDINSJUR").toString(), q.value(1).toString());
        q.finish();
    }
}

void TestServer::getNotaFiscalFilters_data() {
    QTest::addColumn<TFilter>("filter");
    QTest::addColumn<bool>("narrows"); // fewer notes than the company's for the tax
    // Values come from real notes so that every filter finds something.
    auto pick = [&](auto pred) {
        for (const TNote& n : m_all)
            if (n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
                n.valor > 0 && pred(n))
                return n;
        qFatal("no note to build the filter from");
        return TNote();
    };
    const TNote exitNote = pick([](const TNote& n) { return n.es == QLatin1String("S"); });
    const TNote entryNote = pick([](const TNote& n) { return n.es == QLatin1String("E"); });
    TFilter base;
    base.emp = QStringLiteral("01");
    QTest::newRow("empresa") << base << false;
    TFilter f = base;
    f.emp = QStringLiteral("02");
    QTest::newRow("outra empresa") << f << false;
    f = base;
    f.ie = exitNote.ie;
    QTest::newRow("inscrição estadual") << f << true;
    f = base;
    f.im = exitNote.im;
    QTest::newRow("inscrição municipal") << f << true;
    f = base;
    f.flag = QStringLiteral("E");
    QTest::newRow("entradas") << f << true;
    f.flag = QStringLiteral("S");
    QTest::newRow("saídas") << f << true;
    f = base;
    f.series = QStringLiteral("'S_%1','E_%2'").arg(exitNote.serie, entryNote.serie);
    QTest::newRow("lista de séries") << f << true;
    f = base;
    f.tipos = QStringLiteral("'S%1'").arg(exitNote.tipo);
    QTest::newRow("lista de tipos") << f << true;
    f = base;
    f.entIni = exitNote.ent.addDays(-10);
    f.entFim = exitNote.ent;
    QTest::newRow("datas de entrada/saída") << f << true;
    f = base;
    f.emiIni = exitNote.emi;
    f.emiFim = exitNote.emi.addDays(20);
    QTest::newRow("datas de emissão") << f << true;
    f = base;
    f.entFim = exitNote.ent; // only an upper bound
    QTest::newRow("só data final") << f << true;
    f = base;
    f.insc = exitNote.insc;
    QTest::newRow("cliente/fornecedor") << f << true;
    f = base;
    f.tax = QStringLiteral("05");
    QTest::newRow("outro imposto") << f << false;
    f = base;
    f.ie = exitNote.ie;
    f.im = exitNote.im;
    f.flag = QStringLiteral("S");
    f.series = QStringLiteral("'S_%1'").arg(exitNote.serie);
    f.tipos = QStringLiteral("'S%1','E%1'").arg(exitNote.tipo);
    f.entIni = exitNote.ent.addDays(-60);
    f.entFim = exitNote.ent.addDays(60);
    f.emiIni = exitNote.emi.addDays(-60);
    f.emiFim = exitNote.emi;
    f.insc = exitNote.insc;
    QTest::newRow("combinados") << f << true;
    f = base;
    f.entIni = QDate(1990, 1, 1);
    f.entFim = QDate(1990, 12, 31);
    QTest::newRow("período sem notas") << f << true;
}

void TestServer::getNotaFiscalFilters() {
    QFETCH(TFilter, filter);
    QFETCH(bool, narrows);
    TDataPacket p;
    const auto rows = rowsOf(notaFiscal(filter), &p);
    QStringList got, expected;
    QDateTime previous;
    for (const auto& r : rows) {
        got << r[p.indexOf(QStringLiteral("CDFILIAL"))].toString() + QLatin1Char('/') +
                   r[p.indexOf(QStringLiteral("NRLANCTONF"))].toString();
        const QDateTime ent = r[p.indexOf(QStringLiteral("DTENTRSAID"))].toDateTime();
        QVERIFY(!previous.isValid() || previous <= ent);
        previous = ent;
    }
    int companyTotal = 0;
    for (const TNote& n : m_all) {
        if (matches(n, filter))
            expected << n.key();
        if (n.empresa == filter.emp && n.imposto == filter.tax && n.valor > 0)
            ++companyTotal;
    }
    got.sort();
    expected.sort();
    QCOMPARE(got, expected);
    if (QByteArray(QTest::currentDataTag()) != "período sem notas")
        QVERIFY(!expected.isEmpty());
    if (narrows)
        QVERIFY(expected.size() < companyTotal);
}

void TestServer::sqlTextInListsChangesNothing_data() {
    QTest::addColumn<QString>("series");
    QTest::addColumn<QString>("tipos");
    QTest::addColumn<bool>("refused");
    QTest::newRow("delete after list") << "'E_1'); DELETE FROM IMPOSTONF; --"
                                       << "" << true;
    QTest::newRow("quote breaking") << "'E_1'' OR ''1''=''1'"
                                    << "" << true;
    QTest::newRow("or in key") << "'S_1 OR 1=1'"
                               << "" << true;
    QTest::newRow("unquoted sql") << "1=1) OR (1=1"
                                  << "" << true;
    QTest::newRow("op types") << ""
                              << "'E01'; DROP TABLE NOTAFISCAL" << true;
    QTest::newRow("sql-looking code") << "'E_OR','S_AND'"
                                      << "" << false;
}

void TestServer::sqlTextInListsChangesNothing() {
    QFETCH(QString, series);
    QFETCH(QString, tipos);
    QFETCH(bool, refused);
    const int notesBefore = count(QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL"));
    const int taxesBefore = count(QStringLiteral("SELECT COUNT(*) FROM IMPOSTONF"));
    TFilter f;
    f.emp = QStringLiteral("01");
    f.series = series;
    f.tipos = tipos;
    const TServerAnswer a = notaFiscal(f);
    if (refused) {
        QVERIFY(!a.ok);
        QVERIFY2(a.error.startsWith(QStringLiteral("Lista de ")), qPrintable(a.error));
    } else {
        QVERIFY(rowsOf(a).isEmpty()); // matches nothing
    }
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL")), notesBefore);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM IMPOSTONF")), taxesBefore);
}

// ----- guides -----

void TestServer::setDarfDocStoresGuide() {
    const auto n = *std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    QString tax = n.imposto;
    TServerAnswer a = setDarfDoc(m_con, n.filial, n.lancto, tax, QStringLiteral("N"), 2.5, 1.25,
                                 QStringLiteral("15/08/2026"), QStringLiteral("Guia de março ç"),
                                 QStringLiteral("77"), QStringLiteral("5123"));
    QVERIFY2(a.ok, qPrintable(a.error));
    QCOMPARE(tax, n.imposto);
    TDataPacket p;
    QVariantList r = noteRow(n, &p);
    auto v = [&](const char* name) { return r[p.indexOf(QLatin1String(name))]; };
    QCOMPARE(v("VRMULTAGUIA").toDouble(), 2.5);
    QCOMPARE(v("VRJUROGUIA").toDouble(), 1.25);
    QCOMPARE(v("DTVENCGUIA").toDateTime(), dt(QDate(2026, 8, 15)));
    QCOMPARE(v("DSHISTGUIAPAGDOC").toString(), QStringLiteral("Guia de março ç"));
    QCOMPARE(v("NRLANCTONFDARF").toString(), QStringLiteral("77"));
    QCOMPARE(v("CDRECEGUIA").toString(), QStringLiteral("5123"));
    QCOMPARE(v("IDSTATUSGUIA").toString(), QStringLiteral("N"));

    // Empty due date (also as the date edit's empty mask) clears it; amounts round to centavos;
    // a status sent by the client is not taken.
    a = setDarfDoc(m_con, n.filial, n.lancto, tax, QStringLiteral("S"), 0.005, 0,
                   QStringLiteral("  /  /    "), QString(), QString(), QString());
    QVERIFY2(a.ok, qPrintable(a.error));
    r = noteRow(n, &p);
    QVERIFY(v("DTVENCGUIA").isNull());
    QCOMPARE(v("VRMULTAGUIA").toDouble(), 0.01);
    QVERIFY(v("CDRECEGUIA").isNull());
    QCOMPARE(v("IDSTATUSGUIA").toString(), QStringLiteral("N"));
}

void TestServer::setDarfDocRefusals_data() {
    QTest::addColumn<QString>("lancto");
    QTest::addColumn<double>("multa");
    QTest::addColumn<QString>("venc");
    QTest::addColumn<QString>("receita");
    QTest::addColumn<QString>("error");
    QTest::newRow("31 de fevereiro") << "" << 0.0 << "31/02/2026"
                                     << "5123"
                                     << "data de vencimento inválida";
    QTest::newRow("data ISO") << "" << 0.0 << "2026-08-15"
                              << "5123"
                              << "data de vencimento inválida";
    QTest::newRow("texto") << "" << 0.0 << "amanhã"
                           << "5123"
                           << "data de vencimento inválida";
    QTest::newRow("multa negativa") << "" << -1.0 << ""
                                    << "5123"
                                    << "valor da multa inválido";
    QTest::newRow("receita longa") << "" << 0.0 << ""
                                   << "51234"
                                   << "código da receita";
    QTest::newRow("nota inexistente") << "9999999999" << 0.0 << ""
                                      << "5123"
                                      << "não encontrada";
    QTest::newRow("lançamento longo") << "12345678901" << 0.0 << ""
                                      << "5123"
                                      << "lançamento da nota com mais de 10 caracteres";
}

void TestServer::setDarfDocRefusals() {
    QFETCH(QString, lancto);
    QFETCH(double, multa);
    QFETCH(QString, venc);
    QFETCH(QString, receita);
    QFETCH(QString, error);
    const auto n = *std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.imposto == QLatin1String("05") && n.status == QLatin1String("N");
    });
    const QVariantList before = noteRow(n);
    QString tax = n.imposto;
    const TServerAnswer a =
        setDarfDoc(m_con, n.filial, lancto.isEmpty() ? n.lancto : lancto, tax, QStringLiteral("N"),
                   multa, 0, venc, QStringLiteral("h"), QString(), receita);
    QVERIFY(!a.ok);
    QVERIFY2(a.error.startsWith(QStringLiteral("setDarfDoc: ")) && a.error.contains(error),
             qPrintable(a.error));
    QCOMPARE(noteRow(n), before);
}

void TestServer::issuedGuideLocksDueDateRevenueHistory_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("nada") << "" << true;
    QTest::newRow("multa") << "multa" << false;
    QTest::newRow("juros") << "juros" << false;
    QTest::newRow("vencimento") << "vencimento" << false;
    QTest::newRow("vencimento vazio") << "sem vencimento" << false;
    QTest::newRow("receita") << "receita" << false;
    QTest::newRow("histórico") << "histórico" << false;
}

void TestServer::issuedGuideLocksDueDateRevenueHistory() {
    QFETCH(QString, change);
    QFETCH(bool, accepted);
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.status == QLatin1String("S") && n.valor > 0;
    });
    QVERIFY2(it != m_all.end(), "the demo data holds issued guides");
    TDataPacket p;
    const QVariantList r = noteRow(*it, &p);
    auto v = [&](const char* name) { return r[p.indexOf(QLatin1String(name))]; };
    double multa = v("VRMULTAGUIA").toDouble(), juros = v("VRJUROGUIA").toDouble();
    QString venc = v("DTVENCGUIA").toDateTime().date().toString(QStringLiteral("dd/MM/yyyy"));
    QString receita = v("CDRECEGUIA").toString(), hist = v("DSHISTGUIAPAGDOC").toString();
    if (change == QLatin1String("multa"))
        multa += 1.1;
    else if (change == QLatin1String("juros"))
        juros += 0.35;
    else if (change == QLatin1String("vencimento"))
        venc =
            v("DTVENCGUIA").toDateTime().date().addDays(1).toString(QStringLiteral("dd/MM/yyyy"));
    else if (change == QLatin1String("sem vencimento"))
        venc.clear();
    else if (change == QLatin1String("receita"))
        receita =
            receita == QLatin1String("1020") ? QStringLiteral("5123") : QStringLiteral("1020");
    else if (change == QStringLiteral("histórico"))
        hist += QStringLiteral(" alterado");
    QString tax = it->imposto;
    const TServerAnswer a =
        setDarfDoc(m_con, it->filial, it->lancto, tax, QStringLiteral("S"), multa, juros, venc,
                   hist, v("NRLANCTONFDARF").toString(), receita);
    const QVariantList after = noteRow(*it);
    if (accepted) {
        QVERIFY2(a.ok, qPrintable(a.error));
        QCOMPARE(after[p.indexOf(QStringLiteral("VRMULTAGUIA"))].toDouble(), RoundDec(multa, 2));
        QCOMPARE(after[p.indexOf(QStringLiteral("VRJUROGUIA"))].toDouble(), RoundDec(juros, 2));
    } else {
        QVERIFY(!a.ok);
        QVERIFY2(a.error.contains(QStringLiteral("já foi emitida")), qPrintable(a.error));
        QCOMPARE(after, r);
    }
    QCOMPARE(after[p.indexOf(QStringLiteral("IDSTATUSGUIA"))].toString(), QStringLiteral("S"));
}

TDataPacket TestServer::payable(const TNote& n, double multa, double juros, const QString& bar,
                                const QString& line) {
    TDataPacket p;
    p.fields = Fis98100::ContaPagarFields();
    const QDateTime venc(QDate(2026, 9, 30), QTime(0, 0));
    const double total = RoundDec(n.valor + juros + multa, 2);
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

void TestServer::geraContaPagarIssuesOnce() {
    // The payable layout the screens send is the one the server checks.
    QCOMPARE(Fis98100::ContaPagarFields(), FisServer::contaPagarFields());
    const auto n = *std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    // Its stored fine and interest are what the guide carries.
    const double multa = 2.0, juros = 1.5;
    const qint64 cents = ToCentavos(n.valor) + 350;
    QString bar = barcodeFor(cents), line = lineFor(bar), tax = n.imposto;
    const TServerAnswer a =
        GeraContaPagar(m_con, n.empresa, tax, payable(n, multa, juros, bar, line), bar, line,
                       QStringLiteral("Histórico da guia"));
    QVERIFY2(a.ok, qPrintable(a.error));
    QVERIFY2(a.payload.isArray(), qPrintable(a.payload.toDiagnosticNotation()));
    const QCborArray arr = a.payload.toArray();
    QCOMPARE(arr.size(), 3);
    const TDataPacket result = TDataPacket::fromCbor(arr[0]);
    QCOMPARE(result.fields,
             (QList<TPacketField>{{QStringLiteral("CDRESULT"), TFieldType::String, 3},
                                  {QStringLiteral("DSRESULT"), TFieldType::String, 250},
                                  {QStringLiteral("IDTPRESULT"), TFieldType::String, 2}}));
    QCOMPARE(result.rows,
             (QList<QVariantList>{
                 {QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK"), QStringLiteral("01")}}));
    QCOMPARE(arr[1].toString(), QStringLiteral("_") + n.filial + n.lancto + QStringLiteral("S_"));
    QCOMPARE(arr[2].toString(), QStringLiteral("C"));
    QCOMPARE(tax, n.imposto);
    QCOMPARE(bar, barcodeFor(cents));

    const QString where =
        QStringLiteral(" WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2' AND CDIMPOSTONFE = '01'")
            .arg(n.filial, n.lancto);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR") + where), 1);
    QSqlQuery q(db());
    QVERIFY(q.exec(
        QStringLiteral("SELECT c.STBARRAGUIA, c.STLINHADIGI, c.VRCONTAPAGAR, i.IDSTATUSGUIA,"
                       " i.NRCONTAPAGAR - c.NRCONTAPAGAR, c.DSHISTGUIAPAGDOC, i.VRMULTAGUIA"
                       " FROM CONTAPAGAR c JOIN IMPOSTONF i ON i.CDFILIAL = c.CDFILIAL"
                       " AND i.NRLANCTONF = c.NRLANCTONF AND i.CDIMPOSTONFE = c.CDIMPOSTONFE"
                       " WHERE c.CDFILIAL = '%1' AND c.NRLANCTONF = '%2' AND c.CDIMPOSTONFE = '01'")
            .arg(n.filial, n.lancto)));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString().trimmed(), bar); // CHAR(44) comes back padded
    QCOMPARE(q.value(1).toString(), line);
    QCOMPARE(ToCentavos(q.value(2).toDouble()), cents);
    QCOMPARE(q.value(3).toString(), QStringLiteral("S"));
    QCOMPARE(q.value(4).toInt(), 0);
    QCOMPARE(q.value(5).toString(), QStringLiteral("Histórico da guia"));
    QCOMPARE(q.value(6).toDouble(), multa);
    q.finish();

    // The same note again: refused, no second payable.
    const TServerAnswer b = GeraContaPagar(
        m_con, n.empresa, tax, payable(n, multa, juros, bar, line), bar, line, QString());
    QVERIFY2(b.ok && b.payload.isArray(), qPrintable(b.error));
    QCOMPARE(TDataPacket::fromCbor(b.payload.toArray()[0]).rows[0].mid(0, 2),
             (QVariantList{QStringLiteral("ERR"), QStringLiteral("EMIT")}));
    QCOMPARE(
        count(QStringLiteral(
                  "SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2'")
                  .arg(n.filial, n.lancto)),
        1);
    // Each answer's kind and key reach the server's log line of its call.
    QTRY_VERIFY2(m_log.contains(QRegularExpression(
                     QStringLiteral("GeraContaPagar \\d+ ms MSG CONTAPAGAR_OK"))),
                 qPrintable(m_log.right(2000)));
    QTRY_VERIFY2(
        m_log.contains(QRegularExpression(QStringLiteral("GeraContaPagar \\d+ ms ERR EMIT"))),
        qPrintable(m_log.right(2000)));
    // The worksheet now shows it issued.
    TDataPacket p;
    QCOMPARE(noteRow(n, &p)[p.indexOf(QStringLiteral("IDSTATUSGUIA"))].toString(),
             QStringLiteral("S"));
}

void TestServer::geraContaPagarWithoutPayableSettings() {
    QCOMPARE(
        count(QStringLiteral("SELECT COUNT(*) FROM IMPOSTOCONTAPAG WHERE CDIMPOSTONFE = '08'")), 0);
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.imposto == QLatin1String("08") && n.status == QLatin1String("N") && n.valor > 0;
    });
    QVERIFY(it != m_all.end());
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    QString bar = barcodeFor(ToCentavos(it->valor)), line = lineFor(bar), tax = it->imposto;
    const TServerAnswer a = GeraContaPagar(m_con, it->empresa, tax, payable(*it, 0, 0, bar, line),
                                           bar, line, QString());
    QVERIFY2(a.ok && a.payload.isArray(), qPrintable(a.error));
    QCOMPARE(TDataPacket::fromCbor(a.payload.toArray()[0]).rows[0].mid(0, 2),
             (QVariantList{QStringLiteral("ERR"), QStringLiteral("ERRO_BENEFICIARIO")}));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before);
    QTRY_VERIFY(m_log.contains(
        QRegularExpression(QStringLiteral("GeraContaPagar \\d+ ms ERR ERRO_BENEFICIARIO"))));
}

void TestServer::geraContaPagarRefusesBadInput_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("text");
    QTest::newRow("20 campos") << "fields20"
                               << "21 campos";
    QTest::newRow("campo trocado") << "rename"
                                   << "campo 14";
    QTest::newRow("duas linhas") << "rows2"
                                 << "exatamente uma linha";
    QTest::newRow("nenhuma linha") << "rows0"
                                   << "exatamente uma linha";
    QTest::newRow("texto em campo numérico") << "textInFloat"
                                             << "VRMULTAGUIA";
    QTest::newRow("sem vencimento") << "noDue"
                                    << "vencimento";
    QTest::newRow("dígito do código de barras") << "barDigit"
                                                << "Dígito verificador";
    QTest::newRow("código de barras curto") << "barShort"
                                            << "44 dígitos";
    QTest::newRow("linha digitável de outro código") << "line"
                                                     << "Linha digitável não corresponde";
    QTest::newRow("valor do código de barras") << "amount"
                                               << "Valor do código de barras";
    QTest::newRow("total diferente") << "total"
                                     << "difere de imposto";
    QTest::newRow("nota de outra empresa") << "company"
                                           << "não pertence";
    QTest::newRow("filial longa") << "longBranch"
                                  << "filial com mais de 4 caracteres";
    QTest::newRow("imposto longo") << "longTax"
                                   << "imposto com mais de 2 caracteres";
}

void TestServer::geraContaPagarRefusesBadInput() {
    QFETCH(QString, what);
    QFETCH(QString, text);
    const auto n = *std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("05") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    QString bar = barcodeFor(ToCentavos(n.valor)), line = lineFor(bar), tax = n.imposto;
    QString empresa = n.empresa;
    TDataPacket p = payable(n, 0, 0, bar, line);
    QCborValue wire;
    if (what == QLatin1String("fields20")) {
        p.fields.removeLast();
        p.rows[0].removeLast();
    } else if (what == QLatin1String("rename")) {
        p.fields[13].name = QStringLiteral("CDRECEITA");
    } else if (what == QLatin1String("rows2")) {
        p.rows.append(p.rows[0]);
    } else if (what == QLatin1String("rows0")) {
        p.rows.clear();
    } else if (what == QLatin1String("textInFloat")) {
        QCborMap m = p.toCbor().toMap();
        QCborArray rows = m.value(QStringLiteral("rows")).toArray();
        QCborArray r0 = rows[0].toArray();
        r0[3] = QStringLiteral("dois reais");
        rows[0] = r0;
        m.insert(QStringLiteral("rows"), rows);
        wire = m;
    } else if (what == QLatin1String("noDue")) {
        p.rows[0][5] = QVariant();
        p.rows[0][14] = QVariant();
    } else if (what == QLatin1String("barDigit")) {
        bar[3] = bar[3] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
        p.rows[0][19] = bar;
    } else if (what == QLatin1String("barShort")) {
        bar.chop(1);
        p.rows[0][19] = bar;
    } else if (what == QLatin1String("line")) {
        line = lineFor(barcodeFor(ToCentavos(n.valor), 1));
        p.rows[0][18] = line;
    } else if (what == QLatin1String("amount")) {
        bar = barcodeFor(ToCentavos(n.valor) + 1);
        line = lineFor(bar);
        p.rows[0][19] = bar;
        p.rows[0][18] = line;
    } else if (what == QLatin1String("total")) {
        p.rows[0][12] = n.valor + 1;
    } else if (what == QLatin1String("company")) {
        empresa = QStringLiteral("02");
    } else if (what == QLatin1String("longBranch")) {
        p.rows[0][0] = QStringLiteral("0") + n.filial;
    } else if (what == QLatin1String("longTax")) {
        tax = QStringLiteral("0") + tax;
    }
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    QCborArray args{empresa, tax, wire.isUndefined() ? p.toCbor() : wire, bar, line, QString()};
    const TServerAnswer a = m_con.call(QStringLiteral("GeraContaPagar"), args, {1, 3, 4});
    QVERIFY2(a.ok, qPrintable(a.error));
    QVERIFY2(a.payload.isString(), qPrintable(a.payload.toDiagnosticNotation()));
    QVERIFY2(a.payload.toString().contains(text), qPrintable(a.payload.toString()));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before);
    TDataPacket np;
    QCOMPARE(noteRow(n, &np)[np.indexOf(QStringLiteral("IDSTATUSGUIA"))].toString(),
             QStringLiteral("N"));
}

QByteArray TestServer::request(qint64 id, const QString& method, const QCborArray& args,
                               const QString& object) {
    QCborMap m;
    m.insert(QStringLiteral("id"), id);
    m.insert(QStringLiteral("object"), object);
    m.insert(QStringLiteral("method"), method);
    m.insert(QStringLiteral("args"), args);
    return FisFrame::encode(m);
}

QCborMap TestServer::rawCall(QTcpSocket& s, const QByteArray& wire, bool* closed) {
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

void TestServer::geraContaPagarRoundsTheSumOnce() {
    // Fine and interest typed with three decimals: the screen rounds their sum with the tax once,
    // and the server must agree with it, not with the parts rounded one by one.
    const auto it = std::find_if(m_all.rbegin(), m_all.rend(), [](const TNote& n) {
        return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    QVERIFY(it != m_all.rend());
    const double multa = 0.005, juros = 0.005;
    const qint64 cents = ToCentavos(RoundDec(it->valor + juros + multa, 2));
    QCOMPARE(cents, ToCentavos(it->valor) + 1);
    QString bar = barcodeFor(cents), line = lineFor(bar), tax = it->imposto;
    const TServerAnswer a = GeraContaPagar(m_con, it->empresa, tax,
                                           payable(*it, multa, juros, bar, line), bar, line, {});
    QVERIFY2(a.ok && a.payload.isArray(),
             qPrintable(a.ok ? a.payload.toDiagnosticNotation() : a.error));
    QCOMPARE(TDataPacket::fromCbor(a.payload.toArray()[0]).rows[0].mid(0, 2),
             (QVariantList{QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK")}));
}

void TestServer::twoClerksIssueTheSameNote() {
    QList<TNote> candidates;
    for (const TNote& n : m_all)
        if (n.imposto == QLatin1String("06") && n.status == QLatin1String("N") && n.valor > 0 &&
            candidates.size() < 4)
            candidates << n;
    QCOMPARE(candidates.size(), 4);
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    for (const TNote& n : candidates) {
        const QString bar = barcodeFor(ToCentavos(n.valor)), line = lineFor(bar);
        const QCborArray args{n.empresa, n.imposto, payable(n, 0, 0, bar, line).toCbor(),
                              bar,       line,      QString()};
        QTcpSocket a, b;
        a.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        b.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        QVERIFY(a.waitForConnected(5000) && b.waitForConnected(5000));
        // Let both workers open their database before the requests race.
        QCOMPARE(rawCall(a, request(1, QStringLiteral("GetParamFiscal"), {}))
                     .contains(QStringLiteral("result")),
                 true);
        QCOMPARE(rawCall(b, request(1, QStringLiteral("GetParamFiscal"), {}))
                     .contains(QStringLiteral("result")),
                 true);
        a.write(request(2, QStringLiteral("GeraContaPagar"), args));
        b.write(request(2, QStringLiteral("GeraContaPagar"), args));
        a.flush();
        b.flush();
        QStringList outcomes;
        for (QTcpSocket* s : {&a, &b}) {
            const QCborMap m = rawCall(*s, {});
            QVERIFY2(m.value(QStringLiteral("result")).isArray(),
                     qPrintable(QCborValue(m).toDiagnosticNotation()));
            const TDataPacket r =
                TDataPacket::fromCbor(m.value(QStringLiteral("result")).toArray()[0]);
            outcomes << r.rows[0][1].toString();
        }
        outcomes.sort();
        QCOMPARE(outcomes, (QStringList{QStringLiteral("CONTAPAGAR_OK"), QStringLiteral("EMIT")}));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND "
                                      "NRLANCTONF = '%2' AND CDIMPOSTONFE = '06'")
                           .arg(n.filial, n.lancto)),
                 1);
    }
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before + 4);
    // Which way each loser was refused (lock conflict, or the guide already seen issued).
    QTest::qWait(100);
    for (const QString& line : m_log.split(QLatin1Char('\n')))
        if (line.contains(QStringLiteral("GeraContaPagar")) &&
            line.contains(QStringLiteral("EMIT")))
            qInfo("%s", qPrintable(line));
}

// A colleague's transaction that changed the guide's row without issuing it: the issue waits for
// it and then issues, instead of calling the guide issued.
void TestServer::issueWaitsForAColleaguesSave() {
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("02") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    QVERIFY(it != m_all.end());
    const TNote n = *it;
    const QString where =
        QStringLiteral(" WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2' AND CDIMPOSTONFE = '01'")
            .arg(n.filial, n.lancto);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR") + where), 0);
    const QString bar = barcodeFor(ToCentavos(n.valor)), line = lineFor(bar);
    const QCborArray args{n.empresa, n.imposto, payable(n, 0, 0, bar, line).toCbor(),
                          bar,       line,      QString()};

    QCborMap m;
    bool waited = false;
    callWhileRowHeld(QStringLiteral("UPDATE IMPOSTONF SET VRMULTAGUIA = 0") + where,
                     QStringLiteral("GeraContaPagar"), args, &m, &waited);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(waited, "the issue did not wait for the row lock");
    QVERIFY2(m.value(QStringLiteral("result")).isArray(),
             qPrintable(QCborValue(m).toDiagnosticNotation()));
    QCOMPARE(
        TDataPacket::fromCbor(m.value(QStringLiteral("result")).toArray()[0]).rows[0].mid(0, 2),
        (QVariantList{QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK")}));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR") + where), 1);
    QTRY_VERIFY(m_log.contains(QStringLiteral("MSG CONTAPAGAR_OK (após conflito de transação)")));
}

// Sends method while a colleague's transaction holds a guide's row (holdSql changes it),
// commits that transaction after a moment and gives the answer; waited is false when the call
// answered before the commit.
void TestServer::callWhileRowHeld(const QString& holdSql, const QString& method,
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

// A save that meets a colleague's transaction on the same guide waits for it and then saves on
// a fresh snapshot, instead of asking the clerk to try again.
void TestServer::saveWaitsForAColleaguesSave() {
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("02") && n.imposto == QLatin1String("06") &&
               n.status == QLatin1String("N");
    });
    QVERIFY(it != m_all.end());
    const TNote n = *it;
    const QString where =
        QStringLiteral(" WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2' AND CDIMPOSTONFE = '%3'")
            .arg(n.filial, n.lancto, n.imposto);
    const QCborArray args{n.filial,
                          n.lancto,
                          n.imposto,
                          QStringLiteral("N"),
                          4.25,
                          1.5,
                          QStringLiteral("15/10/2026"),
                          QStringLiteral("Guia salva após espera"),
                          QString(),
                          QStringLiteral("5123")};

    QCborMap m;
    bool waited = false;
    callWhileRowHeld(QStringLiteral("UPDATE IMPOSTONF SET VRJUROGUIA = 9") + where,
                     QStringLiteral("setDarfDoc"), args, &m, &waited);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(waited, "the save did not wait for the row lock");
    QVERIFY2(m.value(QStringLiteral("result")).toBool(),
             qPrintable(QCborValue(m).toDiagnosticNotation()));
    QSqlQuery q(db());
    QVERIFY(q.exec(
        QStringLiteral("SELECT VRMULTAGUIA, VRJUROGUIA, DSHISTGUIAPAGDOC FROM IMPOSTONF") + where));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toDouble(), 4.25);
    QCOMPARE(q.value(1).toDouble(), 1.5); // the later save wins, as if one came after the other
    QCOMPARE(q.value(2).toString(), QStringLiteral("Guia salva após espera"));
    QTRY_VERIFY(m_log.contains(QStringLiteral("setDarfDoc")) &&
                m_log.contains(QStringLiteral("ok (após conflito de transação)")));
}

// ----- bad input -----

void TestServer::malformedRequests_data() {
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

void TestServer::malformedRequests() {
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

void TestServer::oversizedFrameClosesOnlyThatConnection() {
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

void TestServer::connectionReadsHostAndPortAtEveryConnect() {
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

void TestServer::callTool_data() {
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
    QTest::newRow("sem servidor")
        << QStringList{QStringLiteral("--port"), QStringLiteral("1"),
                       QStringLiteral("GetParamFiscal")}
        << 1 << "Não foi possível conectar ao servidor de aplicação em 127.0.0.1:1";
}

void TestServer::callTool() {
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

QTEST_GUILESS_MAIN(TestServer)
#include "test_server.moc"
