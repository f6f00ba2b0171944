// setDarfDoc on a fresh demo database: an issued guide refuses a changed fine or interest as it
// refuses a changed due date, and takes the same values again; a note without an amount of the
// tax gets no guide row made up for it.
#include "FisDatabase.h"
#include "Methods.h"
#include "core/HostExceptions.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

class TestSaveGuide : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QSqlDatabase m_db;

    // The text of the refusal, empty when the save went through.
    QString save(const QString& filial, const QString& lancto, const QString& tax, double multa,
                 double juros, const QString& venc, const QString& hist, const QString& receita) {
        QCborArray args{filial, lancto, tax,  QStringLiteral("S"), multa,
                        juros,  venc,   hist, QString(),           receita};
        try {
            FisServer::setDarfDoc(m_db, args);
        } catch (const EHostError& e) {
            return e.text();
        }
        return QString();
    }
    QVariantList guideRow(const QString& filial, const QString& lancto, const QString& tax) {
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("SELECT VRMULTAGUIA, VRJUROGUIA, DTVENCGUIA, DSHISTGUIAPAGDOC,"
                                 " CDRECEGUIA, IDSTATUSGUIA FROM IMPOSTONF WHERE CDFILIAL = ?"
                                 " AND NRLANCTONF = ? AND CDIMPOSTONFE = ?"));
        q.addBindValue(filial);
        q.addBindValue(lancto);
        q.addBindValue(tax);
        QVariantList out;
        if (q.exec() && q.next())
            for (int i = 0; i < 6; ++i)
                out << q.value(i);
        return out;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
        const QString location = m_dir.filePath(QStringLiteral("guide.fdb"));
        FisDb::createDatabase(location, true, 80);
        m_db = FisDb::openConnection(location, QStringLiteral("guide"));
        QVERIFY(m_db.isOpen());
    }
    void cleanupTestCase() {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("guide"));
        FisDb::shutdown(10000); // before the temporary Firebird root goes
    }

    void issuedGuideKeepsItsAmounts_data() {
        QTest::addColumn<double>("dMulta");
        QTest::addColumn<double>("dJuros");
        QTest::addColumn<QString>("refused"); // the field named in the refusal, "" accepted
        QTest::newRow("same values again") << 0.0 << 0.0 << "";
        QTest::newRow("below a centavo") << 0.004 << 0.003 << "";
        QTest::newRow("fine") << 1.1 << 0.0 << "valor da multa";
        QTest::newRow("interest") << 0.0 << 0.35 << "valor dos juros";
        QTest::newRow("both") << 0.5 << 0.5 << "valor da multa, valor dos juros";
    }
    void issuedGuideKeepsItsAmounts() {
        QFETCH(double, dMulta);
        QFETCH(double, dJuros);
        QFETCH(QString, refused);
        QSqlQuery q(m_db);
        QVERIFY(q.exec(QStringLiteral(
            "SELECT FIRST 1 CDFILIAL, NRLANCTONF, CDIMPOSTONFE, VRMULTAGUIA, VRJUROGUIA,"
            " DTVENCGUIA, DSHISTGUIAPAGDOC, CDRECEGUIA FROM IMPOSTONF"
            " WHERE IDSTATUSGUIA = 'S'")));
        QVERIFY2(q.next(), "the demo data holds issued guides");
        const QString filial = q.value(0).toString(), lancto = q.value(1).toString(),
                      tax = q.value(2).toString();
        const double multa = q.value(3).toDouble() + qAbs(dMulta);
        const double juros = q.value(4).toDouble() + qAbs(dJuros);
        const QString venc = q.value(5).toDate().toString(QStringLiteral("dd/MM/yyyy"));
        const QString hist = q.value(6).toString(), receita = q.value(7).toString();
        q.finish();
        const QVariantList before = guideRow(filial, lancto, tax);

        const QString why = save(filial, lancto, tax, multa, juros, venc, hist, receita);
        if (refused.isEmpty()) {
            QVERIFY2(why.isEmpty(), qPrintable(why));
        } else {
            QVERIFY2(why.startsWith(QStringLiteral("setDarfDoc: ")) &&
                         why.contains(QString::fromUtf8("já foi emitida")) && why.contains(refused),
                     qPrintable(why));
        }
        QCOMPARE(guideRow(filial, lancto, tax), before);
    }

    // No row of the tax, or a row without an amount: refused, and no row appears.
    void noteWithoutTheTaxGetsNoGuide_data() {
        QTest::addColumn<QString>("where");
        QTest::newRow("no row of the tax")
            << "NOT EXISTS (SELECT 1 FROM IMPOSTONF i WHERE i.CDFILIAL = n.CDFILIAL"
               " AND i.NRLANCTONF = n.NRLANCTONF AND i.CDIMPOSTONFE = '41')";
        QTest::newRow("row with no amount")
            << "EXISTS (SELECT 1 FROM IMPOSTONF i WHERE i.CDFILIAL = n.CDFILIAL"
               " AND i.NRLANCTONF = n.NRLANCTONF AND i.CDIMPOSTONFE = '41')";
    }
    void noteWithoutTheTaxGetsNoGuide() {
        QFETCH(QString, where);
        QSqlQuery q(m_db);
        QVERIFY(q.exec(QStringLiteral("SELECT FIRST 1 n.CDFILIAL, n.NRLANCTONF FROM NOTAFISCAL n"
                                      " WHERE ") +
                       where));
        QVERIFY(q.next());
        const QString filial = q.value(0).toString(), lancto = q.value(1).toString();
        q.finish();
        if (QTest::currentDataTag() == QByteArray("row with no amount")) {
            QVERIFY(
                q.exec(QStringLiteral("UPDATE IMPOSTONF SET VRIMPOSTONF = 0 WHERE CDFILIAL = '") +
                       filial + QStringLiteral("' AND NRLANCTONF = '") + lancto +
                       QStringLiteral("' AND CDIMPOSTONFE = '41'")));
        }
        const QVariantList before = guideRow(filial, lancto, QStringLiteral("41"));
        const QString why = save(filial, lancto, QStringLiteral("41"), 2.5, 1, QString(),
                                 QStringLiteral("h"), QString());
        QVERIFY2(why.contains(QString::fromUtf8("não tem valor do imposto 41")), qPrintable(why));
        QCOMPARE(guideRow(filial, lancto, QStringLiteral("41")), before);
    }
};

QTEST_GUILESS_MAIN(TestSaveGuide)
#include "test_saveguide.moc"
