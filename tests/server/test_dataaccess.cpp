// The server's data access on a real Firebird database with two connections standing for two
// clerks: conflicts and duplicate keys told apart by the database's error code, the transaction
// that rolls back unless committed, and the retry on a fresh snapshot.
#include "DataAccess.h"
#include "FisDatabase.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace FisServer;

class TestDataAccess : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void failuresAreToldByCode();
    void lockedReadMeetsTheConflict();
    void transactionRollsBackUnlessCommitted();
    void retryRunsOnAFreshSnapshot();
    void retryGivesUpWhenTheWaitRunsOut();
    void otherFailuresAreNotRetried();

private:
    // Makes clerk B's snapshot older than a change clerk A commits to row 1.
    void colleagueCommitsAfter(QSqlDatabase& b);
    int value(int key);

    QTemporaryDir m_dir;
    QSqlDatabase m_a, m_b;
};

void TestDataAccess::initTestCase() {
    QVERIFY(m_dir.isValid());
    FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
    const QString location = m_dir.filePath(QStringLiteral("t.fdb"));
    FisDb::createDatabase(location, false);
    m_a = FisDb::openConnection(location, QStringLiteral("a"));
    m_b = FisDb::openConnection(location, QStringLiteral("b"));
    QSqlQuery q(m_a);
    QVERIFY(q.exec(QStringLiteral("CREATE TABLE T (K INTEGER NOT NULL PRIMARY KEY, V INTEGER)")));
}

void TestDataAccess::cleanupTestCase() {
    m_a.close();
    m_b.close();
    m_a = m_b = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("a"));
    QSqlDatabase::removeDatabase(QStringLiteral("b"));
    FisDb::shutdown(10000); // before the temporary Firebird root goes
}

void TestDataAccess::init() {
    QSqlQuery q(m_a);
    QVERIFY(q.exec(QStringLiteral("DELETE FROM T")));
    QVERIFY(q.exec(QStringLiteral("INSERT INTO T (K, V) VALUES (1, 10)")));
}

void TestDataAccess::colleagueCommitsAfter(QSqlDatabase& b) {
    QVERIFY(b.transaction()); // its snapshot is taken here
    QSqlQuery q(m_a);
    QVERIFY(q.exec(QStringLiteral("UPDATE T SET V = V + 1 WHERE K = 1")));
}

int TestDataAccess::value(int key) {
    QSqlQuery q(m_a);
    q.exec(QStringLiteral("SELECT V FROM T WHERE K = %1").arg(key));
    return q.next() ? q.value(0).toInt() : -1;
}

void TestDataAccess::failuresAreToldByCode() {
    QSqlQuery dup(m_a);
    QVERIFY(!dup.exec(QStringLiteral("INSERT INTO T (K, V) VALUES (1, 0)")));
    QCOMPARE(classify(dup.lastError()), TDbFailure::DuplicateKey);

    QSqlQuery other(m_a);
    QVERIFY(!other.exec(QStringLiteral("INSERT INTO T (K, V) VALUES (NULL, 0)")));
    QCOMPARE(classify(other.lastError()), TDbFailure::Other);
    QCOMPARE(classify(QSqlError()), TDbFailure::Other);

    colleagueCommitsAfter(m_b);
    QSqlQuery late(m_b);
    QVERIFY(!late.exec(QStringLiteral("UPDATE T SET V = 0 WHERE K = 1")));
    QCOMPARE(classify(late.lastError()), TDbFailure::Conflict);
    m_b.rollback();

    // Through the query type: the duplicate key is a conflict that says so.
    try {
        TQuery q(m_a, QStringLiteral("INSERT INTO T (K, V) VALUES (?, 0)"));
        q.bind(1).exec(QStringLiteral("gravar"));
        QFAIL("a duplicate key was accepted");
    } catch (const EConflict& e) {
        QVERIFY(e.duplicateKey());
        QVERIFY2(e.text().startsWith(QStringLiteral("Erro no banco de dados ao gravar: ")),
                 qPrintable(e.text()));
    }
}

void TestDataAccess::lockedReadMeetsTheConflict() {
    colleagueCommitsAfter(m_b);
    bool conflict = false;
    try {
        TQuery q(m_b, QStringLiteral("SELECT V FROM T WHERE K = 1 WITH LOCK"));
        q.exec(QStringLiteral("ler"));
        q.next(QStringLiteral("ler"));
    } catch (const EConflict& e) {
        conflict = !e.duplicateKey();
    }
    m_b.rollback();
    QVERIFY(conflict);
}

void TestDataAccess::transactionRollsBackUnlessCommitted() {
    {
        TTransaction tr(m_b);
        TQuery(m_b, QStringLiteral("UPDATE T SET V = 20 WHERE K = 1")).exec(QStringLiteral("x"));
    }
    QCOMPARE(value(1), 10);
    {
        TTransaction tr(m_b);
        TQuery(m_b, QStringLiteral("UPDATE T SET V = 30 WHERE K = 1")).exec(QStringLiteral("x"));
        tr.commit(QStringLiteral("gravar"));
    }
    QCOMPARE(value(1), 30);
}

void TestDataAccess::retryRunsOnAFreshSnapshot() {
    int calls = 0;
    const TRetried<int> r = retryOnConflict<int>(m_b, [&](TTransaction& tr) {
        TQuery read(m_b, QStringLiteral("SELECT V FROM T WHERE K = 1"));
        read.exec(QStringLiteral("ler"));
        read.next(QStringLiteral("ler"));
        const int seen = read.value(0).toInt();
        read.finish();
        if (++calls == 1) { // a colleague commits a change between this read and the write
            QSqlQuery q(m_a);
            q.exec(QStringLiteral("UPDATE T SET V = V + 5 WHERE K = 1"));
        }
        TQuery(m_b, QStringLiteral("UPDATE T SET V = %1 WHERE K = 1").arg(seen * 2))
            .exec(QStringLiteral("gravar"));
        tr.commit(QStringLiteral("gravar"));
        return seen;
    });
    QCOMPARE(calls, 2);
    QCOMPARE(r.attempts, 2);
    QVERIFY(r.value);
    QCOMPARE(*r.value, 15); // the second attempt saw the colleague's change
    QCOMPARE(value(1), 30);
}

// Conflicts one after the other: tried again until the call's wait runs out, not three times.
void TestDataAccess::retryGivesUpWhenTheWaitRunsOut() {
    setLockWaitMs(300);
    int calls = 0;
    QElapsedTimer t;
    t.start();
    const TRetried<int> r = retryOnConflict<int>(m_b, [&](TTransaction&) -> int {
        ++calls;
        TQuery(m_b, QStringLiteral("INSERT INTO T (K, V) VALUES (2, 0)")).exec(QStringLiteral("x"));
        throw EConflict(QStringLiteral("conflito"), false);
    });
    const qint64 waited = t.elapsed();
    setLockWaitMs(10000);
    QVERIFY2(waited >= 300, qPrintable(QString::number(waited)));
    QVERIFY(calls > 1);
    QCOMPARE(r.attempts, calls);
    QVERIFY(!r.value);
    QVERIFY(!r.lockTimedOut);
    QCOMPARE(value(2), -1); // every attempt rolled back
}

void TestDataAccess::otherFailuresAreNotRetried() {
    int calls = 0;
    QVERIFY_THROWS_EXCEPTION(
        EHostError, retryOnConflict<int>(m_b, [&](TTransaction&) -> int {
            ++calls;
            TQuery(m_b, QStringLiteral("SELECT NOTHING FROM T")).exec(QStringLiteral("x"));
            return 0;
        }));
    QCOMPARE(calls, 1);
}

QTEST_GUILESS_MAIN(TestDataAccess)
#include "test_dataaccess.moc"
