// Client dataset behaviour the screens rely on.
#include "DataSet.h"
#include "core/HostExceptions.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamWriter>
#include <QtTest>

namespace {

// A small note-like dataset: key, tick, amount, due date, count.
void defineNotes(TDataSet& ds) {
    ds.AddField(QStringLiteral("NRLANCTONF"), TFieldType::String, 10);
    ds.AddField(QStringLiteral("IDCHECK"), TFieldType::FixedChar, 1);
    TField* v = ds.AddField(QStringLiteral("VRMULTAGUIA"), TFieldType::Float);
    v->setDisplayFormat(QStringLiteral("#,##0.00"));
    ds.AddField(QStringLiteral("DTVENCGUIA"), TFieldType::DateTime);
    ds.AddField(QStringLiteral("QTITENS"), TFieldType::Integer);
}

TDataPacket notesPacket(int n) {
    TDataPacket p;
    p.fields = {{QStringLiteral("NRLANCTONF"), TFieldType::String, 10},
                {QStringLiteral("IDCHECK"), TFieldType::FixedChar, 1},
                {QStringLiteral("VRMULTAGUIA"), TFieldType::Float, 0},
                {QStringLiteral("DTVENCGUIA"), TFieldType::DateTime, 0},
                {QStringLiteral("QTITENS"), TFieldType::Integer, 0}};
    for (int i = 1; i <= n; ++i)
        p.rows.append({QString::number(i).rightJustified(10, QLatin1Char('0')), QStringLiteral("U"),
                       i * 1.5, QDateTime(QDate(2026, 1, i), QTime(0, 0)), qint64(i)});
    return p;
}

QString key(TDataSet& ds) {
    return ds.FieldByName(QStringLiteral("NRLANCTONF"))->AsString();
}

// The packet's bytes as a call's answer carries them, read straight into the rows.
TAnswerPayload answerOf(const QByteArray& bytes) {
    return TAnswerPayload::encoded(bytes, 0, bytes.size());
}

// Every list of unknown length, as a peer writing as it goes may send it.
QByteArray unknownLengths(const QCborMap& packet) {
    QByteArray out;
    QCborStreamWriter w(&out);
    w.startMap();
    for (auto it = packet.begin(); it != packet.end(); ++it) {
        it.key().toCbor(w);
        if (!it.value().isArray()) {
            it.value().toCbor(w);
            continue;
        }
        w.startArray();
        for (const QCborValue& row : it.value().toArray()) {
            w.startArray();
            for (const QCborValue& v : row.toArray())
                v.toCbor(w);
            w.endArray();
        }
        w.endArray();
    }
    w.endMap();
    return out;
}

// Definitions: none (taken from the packet), as the packet has them, or other order, fewer
// fields and a float field taking the packet's integers.
void defineFor(TDataSet& ds, int kind) {
    if (kind == 1) {
        defineNotes(ds);
    } else if (kind == 2) {
        ds.AddField(QStringLiteral("qtitens"), TFieldType::Float);
        ds.AddField(QStringLiteral("DTVENCGUIA"), TFieldType::DateTime);
        ds.AddField(QStringLiteral("NRLANCTONF"), TFieldType::FixedChar, 10);
    }
}

} // namespace

class TestDataSet : public QObject {
    Q_OBJECT
private slots:
    void leavingModifiedRowPosts_data();
    void leavingModifiedRowPosts();
    void leavingUnmodifiedEditCancels();
    void failedPostKeepsRowAndPosition();
    void abortInBeforeInsertRefuses();
    void abortInBeforePostKeepsEdit();
    void changeCountAndMerge();
    void bookmarksSurviveEdits();
    void bookmarkAfterReload_data();
    void bookmarkAfterReload();
    void disabledControlsNest();
    void activeIndexOrders();
    void indexFollowsPacketFields();
    void packetRoundTripsEveryType();
    void malformedPacketRefused_data();
    void malformedPacketRefused();
    void streamedPacketEqualsDecoded_data();
    void streamedPacketEqualsDecoded();
    void streamedPacketRefusedAsDecoded_data();
    void streamedPacketRefusedAsDecoded();
    void cutOrCorruptPacketRefused();
    void datasetWithoutDefinitionsTakesPacketFields();
    void fieldTexts_data();
    void fieldTexts();
    void dateSetText_data();
    void dateSetText();
    void readOnlyFieldRefusesWrites();
    void fieldByNameNamesMissingField();
    void insertUnmodifiedIsDropped();
    void filterHidesRowsAndResets();
};

void TestDataSet::leavingModifiedRowPosts_data() {
    QTest::addColumn<QString>("move");
    QTest::newRow("Next") << "Next";
    QTest::newRow("Prior") << "Prior";
    QTest::newRow("First") << "First";
    QTest::newRow("Last") << "Last";
    QTest::newRow("RecNo") << "RecNo";
}

void TestDataSet::leavingModifiedRowPosts() {
    QFETCH(QString, move);
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(3));
    ds.Next(); // row 2
    int posts = 0;
    QString postedKey;
    ds.AfterPost = [&](TDataSet* d) {
        ++posts;
        postedKey = key(*d);
    };
    ds.Edit();
    ds.FieldByName(QStringLiteral("IDCHECK"))->setAsString(QStringLiteral("C"));
    if (move == "Next")
        ds.Next();
    else if (move == "Prior")
        ds.Prior();
    else if (move == "First")
        ds.First();
    else if (move == "Last")
        ds.Last();
    else
        ds.setRecNo(3);
    QCOMPARE(posts, 1);
    QCOMPARE(postedKey, QStringLiteral("0000000002"));
    QCOMPARE(ds.State(), dsBrowse);
    ds.setRecNo(2);
    QCOMPARE(ds.FieldByName(QStringLiteral("IDCHECK"))->AsString(), QStringLiteral("C"));
}

void TestDataSet::leavingUnmodifiedEditCancels() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(3));
    int posts = 0, cancels = 0;
    ds.AfterPost = [&](TDataSet*) { ++posts; };
    ds.AfterCancel = [&](TDataSet*) { ++cancels; };
    ds.Edit();
    // Writing the value the row already holds is no change.
    ds.FieldByName(QStringLiteral("IDCHECK"))->setAsString(QStringLiteral("U"));
    QVERIFY(!ds.Modified());
    ds.Next();
    QCOMPARE(posts, 0);
    QCOMPARE(cancels, 1);
    QCOMPARE(ds.ChangeCount(), 0);
    QCOMPARE(ds.RecNo(), 2);
}

void TestDataSet::failedPostKeepsRowAndPosition() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(3));
    ds.BeforePost = [](TDataSet*) { throw EHostError(QStringLiteral("Vencimento inválido")); };
    ds.Edit();
    ds.FieldByName(QStringLiteral("QTITENS"))->setAsInteger(99);
    QVERIFY_THROWS_EXCEPTION(EHostError, ds.Next());
    QCOMPARE(ds.State(), dsEdit);
    QCOMPARE(ds.RecNo(), 1);
    QCOMPARE(ds.FieldByName(QStringLiteral("QTITENS"))->AsInteger(), 99);
}

void TestDataSet::abortInBeforeInsertRefuses() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(2));
    int afterInsert = 0;
    ds.BeforeInsert = [](TDataSet*) { throw EAbort(); };
    ds.AfterInsert = [&](TDataSet*) { ++afterInsert; };
    QVERIFY_THROWS_EXCEPTION(EAbort, ds.Insert());
    QVERIFY_THROWS_EXCEPTION(EAbort, ds.Append());
    QCOMPARE(afterInsert, 0);
    QCOMPARE(ds.RecordCount(), 2);
    QCOMPARE(ds.State(), dsBrowse);
    // Edit on an empty dataset inserts, so it is refused the same way.
    ds.EmptyDataSet();
    QVERIFY_THROWS_EXCEPTION(EAbort, ds.Edit());
    QCOMPARE(ds.RecordCount(), 0);
}

void TestDataSet::abortInBeforePostKeepsEdit() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(2));
    bool refuse = true;
    int afterPost = 0;
    ds.BeforePost = [&](TDataSet*) {
        if (refuse)
            throw EAbort();
    };
    ds.AfterPost = [&](TDataSet*) { ++afterPost; };
    ds.Edit();
    ds.FieldByName(QStringLiteral("VRMULTAGUIA"))->setAsFloat(7.25);
    QVERIFY_THROWS_EXCEPTION(EAbort, ds.Post());
    QCOMPARE(ds.State(), dsEdit);
    QCOMPARE(afterPost, 0);
    QCOMPARE(ds.ChangeCount(), 0);
    refuse = false;
    ds.Post();
    QCOMPARE(afterPost, 1);
    QCOMPARE(ds.FieldByName(QStringLiteral("VRMULTAGUIA"))->AsFloat(), 7.25);
}

void TestDataSet::changeCountAndMerge() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(3));
    QCOMPARE(ds.ChangeCount(), 0);
    for (int i = 0; i < 2; ++i) { // the same row twice counts once
        ds.First();
        ds.Edit();
        ds.FieldByName(QStringLiteral("QTITENS"))->setAsInteger(100 + i);
        ds.Post();
    }
    QCOMPARE(ds.ChangeCount(), 1);
    ds.Last();
    ds.Edit();
    ds.FieldByName(QStringLiteral("IDCHECK"))->setAsString(QStringLiteral("C"));
    ds.Post();
    QCOMPARE(ds.ChangeCount(), 2);
    ds.MergeChangeLog();
    QCOMPARE(ds.ChangeCount(), 0);
    QCOMPARE(ds.FieldByName(QStringLiteral("IDCHECK"))->AsString(), QStringLiteral("C"));
    ds.setLogChanges(false);
    ds.Edit();
    ds.FieldByName(QStringLiteral("IDCHECK"))->setAsString(QStringLiteral("U"));
    ds.Post();
    QCOMPARE(ds.ChangeCount(), 0);
}

void TestDataSet::bookmarksSurviveEdits() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.AddIndex(QStringLiteral("idxQt"), QStringLiteral("QTITENS"));
    ds.SetData(notesPacket(5));
    ds.setRecNo(3);
    const auto bm = ds.GetBookmark();
    // Edit rows, including the bookmarked one in a way that re-sorts it, and insert one.
    ds.setIndexName(QStringLiteral("idxQt"));
    ds.Edit();
    ds.FieldByName(QStringLiteral("QTITENS"))->setAsInteger(50);
    ds.Post();
    QCOMPARE(ds.RecNo(), 5); // re-sorted to the end, cursor stays on it
    ds.First();
    ds.Edit();
    ds.FieldByName(QStringLiteral("IDCHECK"))->setAsString(QStringLiteral("C"));
    ds.Next();
    ds.Append();
    ds.FieldByName(QStringLiteral("NRLANCTONF"))->setAsString(QStringLiteral("X"));
    ds.Post();
    QVERIFY(ds.BookmarkValid(bm));
    ds.GotoBookmark(bm);
    QCOMPARE(key(ds), QStringLiteral("0000000003"));
    ds.FreeBookmark(bm);
    ds.Delete();
    QVERIFY(!ds.BookmarkValid(bm));
    QVERIFY_THROWS_EXCEPTION(EHostError, ds.GotoBookmark(bm));
}

void TestDataSet::bookmarkAfterReload_data() {
    QTest::addColumn<int>("before");   // rows of the first load
    QTest::addColumn<int>("at");       // row bookmarked (0: none taken)
    QTest::addColumn<int>("reloads");  // loads since
    QTest::addColumn<int>("after");    // rows of the last load
    QTest::addColumn<int>("expected"); // RecNo after GotoBookmark; -1: no longer valid
    QTest::newRow("same place after a refresh") << 5 << 3 << 1 << 5 << 3;
    QTest::newRow("fewer rows, place kept") << 5 << 2 << 1 << 3 << 2;
    QTest::newRow("place gone") << 5 << 4 << 1 << 3 << -1;
    QTest::newRow("two refreshes") << 4 << 4 << 2 << 4 << 4;
    // Nothing remembered: the dataset stays where it is (on the last row here).
    QTest::newRow("no bookmark") << 5 << 0 << 1 << 5 << 5;
}

void TestDataSet::bookmarkAfterReload() {
    QFETCH(int, before);
    QFETCH(int, at);
    QFETCH(int, reloads);
    QFETCH(int, after);
    QFETCH(int, expected);
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(before));
    TDataSet::TBookmark bm = 0;
    if (at > 0) {
        ds.setRecNo(at);
        bm = ds.GetBookmark();
    }
    for (int i = 1; i < reloads; ++i)
        ds.SetData(notesPacket(before));
    TDataPacket p = notesPacket(after);
    for (QVariantList& row : p.rows)
        row[0] = QStringLiteral("N") + row[0].toString().right(3);
    ds.SetData(p);
    ds.Last();
    if (expected < 0) {
        QVERIFY(!ds.BookmarkValid(bm));
        QVERIFY_THROWS_EXCEPTION(EHostError, ds.GotoBookmark(bm));
        QCOMPARE(ds.RecNo(), after);
        return;
    }
    QCOMPARE(ds.BookmarkValid(bm), at > 0);
    ds.GotoBookmark(bm);
    QCOMPARE(ds.RecNo(), expected);
    QCOMPARE(key(ds), QStringLiteral("N%1").arg(expected, 3, 10, QLatin1Char('0')));
}

void TestDataSet::disabledControlsNest() {
    TClientDataSet ds;
    defineNotes(ds);
    TDataSource src;
    src.setDataSet(&ds);
    int dataChanges = 0, stateChanges = 0;
    src.OnDataChange = [&](TDataSource*, TField*) { ++dataChanges; };
    src.OnStateChange = [&](TDataSource*) { ++stateChanges; };
    ds.SetData(notesPacket(3));
    QVERIFY(dataChanges > 0);
    dataChanges = stateChanges = 0;
    ds.DisableControls();
    ds.DisableControls();
    QVERIFY(ds.ControlsDisabled());
    ds.First();
    while (!ds.Eof()) {
        ds.Edit();
        ds.FieldByName(QStringLiteral("IDCHECK"))->setAsString(QStringLiteral("C"));
        ds.Next();
    }
    ds.EnableControls();
    QVERIFY(ds.ControlsDisabled());
    QCOMPARE(dataChanges, 0);
    QCOMPARE(stateChanges, 0);
    ds.EnableControls();
    QVERIFY(!ds.ControlsDisabled());
    QCOMPARE(dataChanges, 1); // one "everything changed" at the end
    ds.EnableControls();      // unbalanced extra call is harmless
    QVERIFY(!ds.ControlsDisabled());
    ds.First();
    QCOMPARE(dataChanges, 2);
    ds.Edit();
    QCOMPARE(stateChanges, 1);
}

void TestDataSet::activeIndexOrders() {
    TClientDataSet ds;
    ds.AddField(QStringLiteral("CDRESULT"), TFieldType::String, 3);
    ds.AddField(QStringLiteral("DSRESULT"), TFieldType::String, 250);
    ds.AddField(QStringLiteral("IDTPRESULT"), TFieldType::String, 2);
    ds.AddIndex(QStringLiteral("idxResultado"), QStringLiteral("IDTPRESULT"));
    ds.setIndexName(QStringLiteral("idxResultado"));
    QCOMPARE(ds.IndexName(), QStringLiteral("idxResultado"));
    TDataPacket p;
    p.fields = {{QStringLiteral("CDRESULT"), TFieldType::String, 3},
                {QStringLiteral("DSRESULT"), TFieldType::String, 250},
                {QStringLiteral("IDTPRESULT"), TFieldType::String, 2}};
    p.rows = {{QStringLiteral("ERR"), QStringLiteral("EMIT"), QStringLiteral("2")},
              {QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK"), QStringLiteral("1")},
              {QStringLiteral("ERR"), QStringLiteral("X"), QVariant()}};
    ds.SetData(p);
    QStringList order;
    for (ds.First(); !ds.Eof(); ds.Next())
        order << ds.FieldByName(QStringLiteral("DSRESULT"))->AsString();
    QCOMPARE(order, (QStringList{"X", "CONTAPAGAR_OK", "EMIT"}));
    ds.setIndexName(QString());
    ds.First();
    QCOMPARE(ds.FieldByName(QStringLiteral("DSRESULT"))->AsString(), QStringLiteral("EMIT"));
    QVERIFY_THROWS_EXCEPTION(EHostError, ds.setIndexName(QStringLiteral("nope")));
}

void TestDataSet::indexFollowsPacketFields() {
    // A dataset that takes its fields from the packets, its order chosen before the first one.
    TClientDataSet ds;
    ds.AddIndex(QStringLiteral("idxResultado"), QStringLiteral("IDTPRESULT"));
    ds.setIndexName(QStringLiteral("idxResultado"));
    auto load = [&](bool keyFirst) {
        TDataPacket p;
        const TPacketField cd{QStringLiteral("CDRESULT"), TFieldType::String, 3};
        const TPacketField tp{QStringLiteral("IDTPRESULT"), TFieldType::String, 2};
        p.fields = keyFirst ? QList<TPacketField>{tp, cd} : QList<TPacketField>{cd, tp};
        for (const auto& [code, order] : {std::pair{"ERR", "2"}, {"MSG", "1"}, {"OUT", "3"}})
            p.rows.append(keyFirst ? QVariantList{order, code} : QVariantList{code, order});
        ds.SetData(p);
        QStringList codes;
        for (ds.First(); !ds.Eof(); ds.Next())
            codes << ds.FieldByName(QStringLiteral("CDRESULT"))->AsString();
        return codes;
    };
    const QStringList ordered{"MSG", "ERR", "OUT"};
    QCOMPARE(load(false), ordered);
    ds.Close(); // the packet's fields go with it
    QCOMPARE(load(true), ordered);
    QCOMPARE(load(false), ordered);
    // A packet without the index's field is refused and the rows stay.
    TDataPacket bad;
    bad.fields = {{QStringLiteral("CDRESULT"), TFieldType::String, 3}};
    bad.rows = {{QStringLiteral("X")}};
    QVERIFY_THROWS_EXCEPTION(EHostError, ds.SetData(bad));
    QCOMPARE(ds.RecordCount(), 3);
}

void TestDataSet::packetRoundTripsEveryType() {
    TClientDataSet ds;
    defineNotes(ds);
    TDataPacket p = notesPacket(2);
    p.rows.append({QVariant(), QVariant(), QVariant(), QVariant(), QVariant()}); // all empty
    p.rows.append({QStringLiteral("Ação ç"), QStringLiteral("C"), -0.1, // non-ASCII, negative
                   QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58)), qint64(-7)});
    ds.SetData(p);
    QCOMPARE(ds.RecordCount(), 4);
    const TDataPacket out = ds.GetData();
    QCOMPARE(out, p);
    // Through CBOR as the server sends it.
    TClientDataSet other;
    defineNotes(other);
    other.SetData(out.toCbor());
    QCOMPARE(other.GetData(), p);
    other.Last();
    other.Prior();
    QVERIFY(other.FieldByName(QStringLiteral("DTVENCGUIA"))->IsNull());
    QVERIFY(other.FieldByName(QStringLiteral("VRMULTAGUIA"))->IsNull());
    QCOMPARE(other.FieldByName(QStringLiteral("VRMULTAGUIA"))->AsFloat(), 0.0);
    QCOMPARE(other.FieldByName(QStringLiteral("NRLANCTONF"))->AsString(), QString());
}

void TestDataSet::malformedPacketRefused_data() {
    QTest::addColumn<QCborValue>("packet");
    QTest::addColumn<QString>("textPart");
    const TDataPacket good = notesPacket(1);
    TDataPacket missing = good;
    missing.fields.removeAt(3);
    for (auto& r : missing.rows)
        r.removeAt(3);
    TDataPacket mistyped = good;
    mistyped.fields[2].type = TFieldType::DateTime;
    mistyped.rows[0][2] = QDateTime(QDate(2026, 1, 1), QTime(0, 0));
    QCborMap badValue = good.toCbor().toMap();
    QCborArray rows = badValue.value(QStringLiteral("rows")).toArray();
    QCborArray row0 = rows[0].toArray();
    row0[4] = QStringLiteral("sete");
    rows[0] = row0;
    badValue.insert(QStringLiteral("rows"), rows);
    QTest::newRow("missing field") << missing.toCbor() << "DTVENCGUIA";
    QTest::newRow("type mismatch") << mistyped.toCbor() << "VRMULTAGUIA";
    QTest::newRow("value of wrong type") << QCborValue(badValue) << "QTITENS";
    QTest::newRow("not a packet") << QCborValue(QStringLiteral("x")) << "Pacote inválido";
}

void TestDataSet::malformedPacketRefused() {
    QFETCH(QCborValue, packet);
    QFETCH(QString, textPart);
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(2));
    ds.Next();
    ds.Edit();
    ds.FieldByName(QStringLiteral("IDCHECK"))->setAsString(QStringLiteral("C"));
    try {
        ds.SetData(packet);
        QFAIL("packet accepted");
    } catch (const EHostError& e) {
        QVERIFY2(e.text().contains(textPart), qPrintable(e.text()));
    }
    // The dataset is left as it was, the clerk's pending edit included.
    QCOMPARE(ds.RecordCount(), 2);
    QCOMPARE(ds.RecNo(), 2);
    QCOMPARE(key(ds), QStringLiteral("0000000002"));
    QCOMPARE(ds.State(), dsEdit);
    QCOMPARE(ds.FieldByName(QStringLiteral("IDCHECK"))->AsString(), QStringLiteral("C"));
}

void TestDataSet::streamedPacketEqualsDecoded_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("definitions");
    TDataPacket odd = notesPacket(3);
    odd.rows[0] = {QString(), QStringLiteral("ç"), QVariant(), QVariant(), qint64(-1) << 62};
    odd.rows[1][3] = QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58, 7));
    QCborMap rowsFirst;
    rowsFirst.insert(QStringLiteral("rows"), odd.toCbor().toMap().value(QStringLiteral("rows")));
    rowsFirst.insert(QStringLiteral("extra"), QCborArray{1, 2});
    rowsFirst.insert(QStringLiteral("fields"),
                     odd.toCbor().toMap().value(QStringLiteral("fields")));
    // Dates as other peers write them: a plain day, an offset, an epoch tag; integers in a
    // float column; an empty text.
    QCborMap loose = notesPacket(4).toCbor().toMap();
    QCborArray rows = loose.value(QStringLiteral("rows")).toArray();
    auto setCell = [&](int r, int c, const QCborValue& v) {
        QCborArray row = rows[r].toArray();
        row[c] = v;
        rows[r] = row;
    };
    setCell(0, 3, QStringLiteral("2026-03-04"));
    setCell(1, 3,
            QCborValue(QCborKnownTags::DateTimeString,
                       QCborValue(QStringLiteral("2026-03-04T10:00:00-03:00"))));
    setCell(2, 3, QCborValue(QCborKnownTags::UnixTime_t, 1700000000));
    setCell(0, 2, 7);
    setCell(1, 2, -7);
    setCell(3, 0, QStringLiteral(""));
    loose.insert(QStringLiteral("rows"), rows);
    for (int kind : {0, 1, 2}) {
        const QByteArray k = QByteArray::number(kind);
        QTest::newRow("empty " + k) << notesPacket(0).toCbor().toCbor() << kind;
        QTest::newRow("one row " + k) << notesPacket(1).toCbor().toCbor() << kind;
        QTest::newRow("5000 rows " + k) << notesPacket(5000).toCbor().toCbor() << kind;
        QTest::newRow("odd values " + k) << odd.toCbor().toCbor() << kind;
        QTest::newRow("rows before fields " + k) << QCborValue(rowsFirst).toCbor() << kind;
        QTest::newRow("loose values " + k) << QCborValue(loose).toCbor() << kind;
        QTest::newRow("unknown lengths " + k) << unknownLengths(loose) << kind;
    }
}

// A packet read straight from its bytes gives what decoding it first gives: values, order
// under an index, and the same after an edit.
void TestDataSet::streamedPacketEqualsDecoded() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, definitions);
    TClientDataSet decoded, streamed;
    defineFor(decoded, definitions);
    defineFor(streamed, definitions);
    decoded.SetData(QCborValue::fromCbor(bytes));
    streamed.SetData(answerOf(bytes));
    QCOMPARE(streamed.GetData(), decoded.GetData());
    if (decoded.IsEmpty())
        return;
    for (TClientDataSet* ds : {&decoded, &streamed}) {
        ds->setIndexFieldNames(QStringLiteral("DTVENCGUIA;NRLANCTONF"));
        ds->Last();
        ds->Edit();
        ds->FieldByName(QStringLiteral("NRLANCTONF"))->setAsString(QStringLiteral("0"));
        ds->Post();
    }
    QCOMPARE(streamed.RecNo(), decoded.RecNo());
    for (int pos = 0; pos < decoded.RecordCount(); ++pos)
        for (int f = 0; f < decoded.FieldCount(); ++f)
            QCOMPARE(streamed.ValueAt(pos, f), decoded.ValueAt(pos, f));
    QCOMPARE(streamed.GetData(), decoded.GetData());
}

void TestDataSet::streamedPacketRefusedAsDecoded_data() {
    malformedPacketRefused_data();
    const QCborArray oneField{QCborValue(QCborArray{"NRLANCTONF", "string", 10})};
    auto packet = [](const QCborValue& fields, const QCborValue& rows) {
        QCborMap m;
        m.insert(QStringLiteral("fields"), fields);
        m.insert(QStringLiteral("rows"), rows);
        return QCborValue(m);
    };
    QTest::newRow("rows not a list") << packet(oneField, 3) << "listas";
    QTest::newRow("field not a triple")
        << packet(QCborArray{QCborValue(QCborArray{"A", "string"})}, QCborArray{}) << "[nome";
    QTest::newRow("row not a list") << packet(oneField, QCborArray{1}) << "linha 1 tem 0";
    QTest::newRow("long row") << packet(oneField, QCborArray{QCborValue(QCborArray{"a", "b"})})
                              << "linha 1 tem 2";
    QTest::newRow("bytes for a text")
        << packet(oneField, QCborArray{QCborValue(QCborArray{QByteArray("a")})})
        << "esperado texto";
    QTest::newRow("bad row after a missing field")
        << packet(oneField, QCborArray{QCborArray{"a"}, QCborArray{1}}) << "linha 2, campo";
}

// The same texts as decoding first, and the dataset (with its pending edit) left as it was.
void TestDataSet::streamedPacketRefusedAsDecoded() {
    QFETCH(QCborValue, packet);
    QFETCH(QString, textPart);
    TClientDataSet decoded, streamed;
    QString expected, got;
    for (TClientDataSet* ds : {&decoded, &streamed}) {
        defineNotes(*ds);
        ds->SetData(notesPacket(2));
        ds->Next();
        ds->Edit();
        ds->FieldByName(QStringLiteral("IDCHECK"))->setAsString(QStringLiteral("C"));
        try {
            if (ds == &decoded)
                ds->SetData(packet);
            else
                ds->SetData(answerOf(packet.toCbor()));
            QFAIL("packet accepted");
        } catch (const EHostError& e) {
            (ds == &decoded ? expected : got) = e.text();
        }
        QCOMPARE(ds->RecordCount(), 2);
        QCOMPARE(key(*ds), QStringLiteral("0000000002"));
        QCOMPARE(ds->State(), dsEdit);
        QCOMPARE(ds->FieldByName(QStringLiteral("IDCHECK"))->AsString(), QStringLiteral("C"));
    }
    QVERIFY2(expected.contains(textPart), qPrintable(expected));
    QCOMPARE(got, expected);
}

// Bytes cut anywhere, or with a byte changed, never crash nor half-load: they load whole
// (a changed byte may still spell a valid packet) or are refused with the rows kept.
void TestDataSet::cutOrCorruptPacketRefused() {
    const QByteArray bytes = notesPacket(3).toCbor().toCbor();
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(2));
    for (int cut = 0; cut < bytes.size(); ++cut) {
        try {
            ds.SetData(answerOf(bytes.left(cut)));
            QFAIL(qPrintable(QStringLiteral("cut at %1 accepted").arg(cut)));
        } catch (const EHostError& e) {
            QVERIFY2(e.text().startsWith(QStringLiteral("Pacote inválido")), qPrintable(e.text()));
        }
        QCOMPARE(ds.RecordCount(), 2);
    }
    int refused = 0;
    for (int at = 0; at < bytes.size(); ++at) {
        for (const char change : {'\xff', '\x1b', '\x7f', '\x00'}) {
            QByteArray bad = bytes;
            bad[at] = change;
            ds.SetData(notesPacket(2));
            try {
                ds.SetData(answerOf(bad));
                QCOMPARE(ds.GetData().rows.size(), ds.RecordCount());
            } catch (const EHostError&) {
                ++refused;
                QCOMPARE(ds.RecordCount(), 2);
            }
        }
    }
    QVERIFY(refused > bytes.size());
}

void TestDataSet::datasetWithoutDefinitionsTakesPacketFields() {
    TClientDataSet ds;
    ds.SetData(notesPacket(2));
    QCOMPARE(ds.FieldCount(), 5);
    QCOMPARE(ds.FieldByName(QStringLiteral("QTITENS"))->DataType(), TFieldType::Integer);
    // A later packet with other fields replaces them.
    TDataPacket p;
    p.fields = {{QStringLiteral("CDRECEPADRAO"), TFieldType::String, 4}};
    p.rows = {{QStringLiteral("1234")}};
    ds.SetData(p);
    QCOMPARE(ds.FieldCount(), 1);
    QCOMPARE(ds.FieldByName(QStringLiteral("CDRECEPADRAO"))->AsString(), QStringLiteral("1234"));
}

void TestDataSet::fieldTexts_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("display");
    QTest::newRow("float formatted") << "VRMULTAGUIA" << QVariant(1234.5) << "1234,5"
                                     << "1.234,50";
    QTest::newRow("float empty") << "VRMULTAGUIA" << QVariant() << ""
                                 << "";
    QTest::newRow("float millions") << "VRMULTAGUIA" << QVariant(1234567.891) << "1234567,891"
                                    << "1.234.567,89";
    QTest::newRow("date") << "DTVENCGUIA" << QVariant(QDateTime(QDate(2026, 3, 5), QTime(0, 0)))
                          << "05/03/2026"
                          << "05/03/2026";
    QTest::newRow("date time") << "DTVENCGUIA"
                               << QVariant(QDateTime(QDate(2026, 3, 5), QTime(8, 1, 2)))
                               << "05/03/2026 08:01:02"
                               << "05/03/2026 08:01:02";
    QTest::newRow("integer") << "QTITENS" << QVariant(qint64(12)) << "12"
                             << "12";
}

void TestDataSet::fieldTexts() {
    QFETCH(QString, field);
    QFETCH(QVariant, value);
    QFETCH(QString, text);
    QFETCH(QString, display);
    TClientDataSet ds;
    defineNotes(ds);
    ds.CreateDataSet();
    ds.Append();
    TField* f = ds.FieldByName(field);
    f->setValue(value);
    QCOMPARE(f->Text(), text);
    QCOMPARE(f->DisplayText(), display);
    // Text typed back gives the same value.
    f->Clear();
    f->setText(text);
    QCOMPARE(f->Text(), text);
}

void TestDataSet::dateSetText_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QDate>("expected");
    QTest::addColumn<bool>("valid");
    QTest::newRow("full") << "05/03/2026" << QDate(2026, 3, 5) << true;
    QTest::newRow("short") << "5/3/26" << QDate(2026, 3, 5) << true;
    QTest::newRow("old century") << "1/2/98" << QDate(1998, 2, 1) << true;
    QTest::newRow("empty mask") << "  /  /    " << QDate() << true;
    QTest::newRow("empty") << "" << QDate() << true;
    QTest::newRow("31 feb") << "31/02/2026" << QDate() << false;
    QTest::newRow("letters") << "ab/cd/efgh" << QDate() << false;
    QTest::newRow("half typed") << "12/  /2026" << QDate() << false;
    QTest::newRow("three digit year") << "01/01/202" << QDate() << false;
}

void TestDataSet::dateSetText() {
    QFETCH(QString, typed);
    QFETCH(QDate, expected);
    QFETCH(bool, valid);
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(1));
    ds.Edit();
    TField* f = ds.FieldByName(QStringLiteral("DTVENCGUIA"));
    if (!valid) {
        try {
            DateSetText(f, typed);
            QFAIL("invalid date accepted");
        } catch (const EHostError& e) {
            QCOMPARE(e.text(), QStringLiteral("Não é uma data válida."));
        }
        QCOMPARE(f->AsDateTime().date(), QDate(2026, 1, 1)); // unchanged
        return;
    }
    DateSetText(f, typed);
    QCOMPARE(f->AsDateTime().date(), expected);
    QCOMPARE(f->IsNull(), !expected.isValid());
}

void TestDataSet::readOnlyFieldRefusesWrites() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(1));
    TField* f = ds.FieldByName(QStringLiteral("NRLANCTONF"));
    QVERIFY_THROWS_EXCEPTION(EHostError, f->setAsString(QStringLiteral("1"))); // browse state
    f->setReadOnly(true);
    ds.Edit();
    QVERIFY_THROWS_EXCEPTION(EHostError, f->setAsString(QStringLiteral("1")));
    QCOMPARE(key(ds), QStringLiteral("0000000001"));
}

void TestDataSet::fieldByNameNamesMissingField() {
    TClientDataSet ds;
    defineNotes(ds);
    try {
        ds.FieldByName(QStringLiteral("NOPE"));
        QFAIL("no error");
    } catch (const EHostError& e) {
        QCOMPARE(e.text(), QStringLiteral("Campo 'NOPE' não encontrado."));
    }
    QVERIFY(ds.FieldByName(QStringLiteral("idcheck"))); // case-insensitive
    // Reading fields of a closed dataset gives empty values.
    QVERIFY(ds.FieldByName(QStringLiteral("IDCHECK"))->IsNull());
    QVERIFY(ds.IsEmpty());
    QVERIFY(ds.Eof());
}

void TestDataSet::insertUnmodifiedIsDropped() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(2));
    ds.Last();
    ds.Insert();
    QCOMPARE(ds.RecordCount(), 3);
    QCOMPARE(ds.RecNo(), 2);
    ds.First(); // nothing typed: the new row goes away
    QCOMPARE(ds.RecordCount(), 2);
    QCOMPARE(ds.ChangeCount(), 0);
    ds.Append();
    ds.FieldByName(QStringLiteral("NRLANCTONF"))->setAsString(QStringLiteral("9"));
    ds.First();
    QCOMPARE(ds.RecordCount(), 3);
    QCOMPARE(ds.ChangeCount(), 1);
    ds.Last();
    QCOMPARE(key(ds), QStringLiteral("9"));
}

void TestDataSet::filterHidesRowsAndResets() {
    TClientDataSet ds;
    defineNotes(ds);
    ds.SetData(notesPacket(5));
    ds.OnFilterRecord = [](TDataSet* d, bool& accept) {
        accept = d->FieldByName(QStringLiteral("QTITENS"))->AsInteger() % 2 == 1;
    };
    ds.setFilter(QStringLiteral("QTITENS impar"));
    ds.setRecNo(3);
    ds.setFiltered(true);
    QCOMPARE(ds.RecordCount(), 3);
    QCOMPARE(key(ds), QStringLiteral("0000000003")); // the current row stays current
    QCOMPARE(ds.RecNo(), 2);
    ds.setFiltered(false);
    ds.setFilter(QString());
    QCOMPARE(ds.RecordCount(), 5);
    QCOMPARE(ds.RecNo(), 3);
    QCOMPARE(ds.Filter(), QString());
}

QTEST_GUILESS_MAIN(TestDataSet)
#include "test_dataset.moc"
