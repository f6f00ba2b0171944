#include "DataAccess.h"

#include "FbSession.h"

#include "core/Envelope.h"
#include "core/Frame.h"

#include <QRandomGenerator>
#include <QSqlDriver>
#include <QThread>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ibase.h>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

namespace FisServer {

namespace {

std::atomic<int> g_lockWaitMs{10000};

// Cancels a statement that waits on a row lock past its deadline. One thread for the process:
// a statement is armed with its connection's attachment and deadline, and disarmed when it
// returns; an armed statement whose deadline passes is cancelled through the engine's own
// cancellation, the one thing that ends a lock wait from outside.
class TLockWatch {
public:
    class TArmed {
    public:
        TArmed(const QSqlDatabase& db, Detail::TClock::time_point deadline) {
            const QVariant h = db.driver() ? db.driver()->handle() : QVariant();
            if (h.isValid() && h.constData())
                m_token =
                    instance().arm(*static_cast<const isc_db_handle*>(h.constData()), deadline);
        }
        ~TArmed() { disarm(); }
        // True when the statement was cancelled (or may have been) meanwhile.
        bool disarm() {
            const bool fired = m_token >= 0 && instance().disarm(m_token);
            m_token = -1;
            return fired;
        }

    private:
        qint64 m_token = -1;
    };

private:
    struct TEntry {
        isc_db_handle handle;
        Detail::TClock::time_point deadline;
        bool fired = false;
    };

    static TLockWatch& instance() {
        static TLockWatch* watch = new TLockWatch; // lives as long as the process
        return *watch;
    }

    TLockWatch() : m_thread([this] { run(); }) { m_thread.detach(); }

    qint64 arm(isc_db_handle handle, Detail::TClock::time_point deadline) {
        std::lock_guard lock(m_mutex);
        const qint64 token = m_next++;
        m_entries.emplace(token, TEntry{handle, deadline});
        m_wake.notify_one();
        return token;
    }

    bool disarm(qint64 token) {
        std::lock_guard lock(m_mutex);
        const auto it = m_entries.find(token);
        if (it == m_entries.end())
            return false;
        const bool fired = it->second.fired;
        m_entries.erase(it);
        return fired;
    }

    void run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            std::optional<Detail::TClock::time_point> next;
            const auto now = Detail::TClock::now();
            for (auto& [token, e] : m_entries) {
                if (e.fired)
                    continue;
                if (e.deadline <= now) {
                    // Under the mutex: the statement's thread cannot disarm and go on to its
                    // next statement meanwhile.
                    ISC_STATUS_ARRAY status{};
                    isc_db_handle h = e.handle;
                    fb_cancel_operation(status, &h, fb_cancel_raise);
                    e.fired = true;
                } else if (!next || e.deadline < *next) {
                    next = e.deadline;
                }
            }
            if (next)
                m_wake.wait_until(lock, *next);
            else
                m_wake.wait(lock);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<qint64, TEntry> m_entries;
    qint64 m_next = 0;
    std::thread m_thread;
};

// Firebird's SQLCODEs for the two ways another transaction gets in the way.
constexpr int SqlCodeConflict = -913;     // deadlock; update conflicts with concurrent update
constexpr int SqlCodeDuplicateKey = -803; // violation of PRIMARY or UNIQUE KEY constraint
} // namespace

void setLockWaitMs(int ms) {
    g_lockWaitMs = ms > 0 ? ms : 10000;
}

int lockWaitMs() {
    return g_lockWaitMs;
}

namespace Detail {
std::optional<TClock::time_point>& callDeadline() {
    thread_local std::optional<TClock::time_point> deadline;
    return deadline;
}

void pauseAfterConflict() {
    QThread::msleep(5 + QRandomGenerator::global()->bounded(30));
}
} // namespace Detail

TDbFailure classify(const QSqlError& error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    if (!ok)
        return TDbFailure::Other;
    if (code == SqlCodeConflict)
        return TDbFailure::Conflict;
    if (code == SqlCodeDuplicateKey)
        return TDbFailure::DuplicateKey;
    return TDbFailure::Other;
}

QString sqlFailure(const QString& what) {
    return QStringLiteral("Erro no banco de dados ao %1: a operação não foi concluída "
                          "(os detalhes estão no registro do servidor).")
        .arg(what);
}

QString sqlDetail(const QSqlQuery& q) {
    const QSqlError e = q.lastError();
    return QStringLiteral("%1 %2 [%3]")
        .arg(e.driverText(), e.databaseText(), q.lastQuery().simplified());
}

namespace {
// A plain read: it may run in the kept read-only transaction.
bool plainSelect(const QString& sql) {
    const QString t = sql.trimmed();
    return t.startsWith(QLatin1String("SELECT"), Qt::CaseInsensitive) &&
           !t.contains(QLatin1String("WITH LOCK"), Qt::CaseInsensitive);
}
} // namespace

TQuery::TQuery(const QSqlDatabase& db, const QString& sql) : m_db(db), m_sql(sql) {
    TFbSession* s = sessionOf(db);
    if (s && (s->writeTransaction() || plainSelect(sql))) {
        m_st = s->statement(sql, m_unshared);
        if (!m_st->ok()) {
            const TFbStatus status = m_st->status();
            m_st = nullptr;
            failFb(QStringLiteral("preparar a consulta"), status);
        }
        m_st->busy = true;
        return;
    }
    m_q.emplace(db);
    m_q->setForwardOnly(true);
    if (!m_q->prepare(sql))
        fail(QStringLiteral("preparar a consulta"));
}

TQuery::~TQuery() {
    if (m_st) {
        m_st->close();
        m_st->busy = false;
    }
}

TQuery& TQuery::bind(const QVariant& v) {
    if (m_q)
        m_q->addBindValue(v);
    else
        m_binds.append(v);
    return *this;
}

bool TQuery::run(const QString& what) {
    if (m_q)
        return m_q->exec() && m_q->isActive();
    if (m_binds.size() != m_st->paramCount())
        throw EDbError(sqlFailure(what), QStringLiteral("%1 parâmetros para %2 [%3]")
                                             .arg(m_binds.size())
                                             .arg(m_st->paramCount())
                                             .arg(m_sql.simplified()));
    for (int i = 0; i < m_binds.size(); ++i)
        m_st->bind(i, m_binds[i]);
    TFbSession* s = sessionOf(m_db);
    TFbStatus status;
    const isc_tr_handle tr = !s                      ? 0
                             : s->writeTransaction() ? s->writeTransaction()
                                                     : s->readTransaction(status);
    if (!tr) {
        if (!s)
            throw EConnectionLost(sqlFailure(what),
                                  QStringLiteral("conexão fechada [%1]").arg(m_sql.simplified()));
        failFb(what, status);
    }
    return m_st->execute(tr);
}

void TQuery::exec(const QString& what) {
    if (!run(what))
        fail(what);
}

bool TQuery::next(const QString& what) {
    if (m_q) {
        if (m_q->next())
            return true;
        if (m_q->lastError().isValid())
            fail(what);
        return false;
    }
    const int r = m_st->fetch();
    if (r < 0)
        fail(what);
    return r > 0;
}

bool TQuery::execLocking(const QString& what) {
    const auto deadline = Detail::callDeadline().value_or(Detail::TClock::now() +
                                                          std::chrono::milliseconds(lockWaitMs()));
    TLockWatch::TArmed armed(m_db, deadline);
    const bool ran = run(what);
    int row = 0;
    if (ran)
        row = m_q ? (m_q->next() ? 1 : (m_q->lastError().isValid() ? -1 : 0)) : m_st->fetch();
    if (armed.disarm())
        throw ELockTimeout(QStringLiteral("Erro no banco de dados ao %1: outro usuário mantém o "
                                          "registro bloqueado além da espera permitida.")
                               .arg(what),
                           m_q ? sqlDetail(*m_q) : m_st->status().text());
    if (!ran || row < 0)
        fail(what);
    return row > 0;
}

QVariant TQuery::value(int i) const {
    return m_q ? m_q->value(i) : m_st->value(i);
}

int TQuery::numRowsAffected() {
    return m_q ? m_q->numRowsAffected() : m_st->rowsAffected();
}

void TQuery::finish() {
    if (m_q)
        m_q->finish();
    else
        m_st->close();
}

void TQuery::fail(const QString& what) {
    if (!m_q)
        failFb(what, m_st->status());
    const QString text = sqlFailure(what);
    const QString detail = sqlDetail(*m_q);
    switch (classify(m_q->lastError())) {
    case TDbFailure::Conflict:
        throw EConflict(text, detail, false);
    case TDbFailure::DuplicateKey:
        throw EConflict(text, detail, true);
    case TDbFailure::Other:
        break;
    }
    throw EDbError(text, detail);
}

void TQuery::failFb(const QString& what, const TFbStatus& status) {
    throwFbFailure(what, status, m_sql);
}

void throwFbFailure(const QString& what, const TFbStatus& status, const QString& sql) {
    const QString text = sqlFailure(what);
    const QString detail =
        QStringLiteral("%1 [%2]").arg(status.text().simplified(), sql.simplified());
    if (status.connectionLost())
        throw EConnectionLost(text, detail);
    const int code = status.sqlCode();
    if (code == SqlCodeConflict || code == SqlCodeDuplicateKey)
        throw EConflict(text, detail, code == SqlCodeDuplicateKey);
    throw EDbError(text, detail);
}

TTransaction::TTransaction(QSqlDatabase& db) : m_session(sessionOf(db)) {
    const QString failure = sqlFailure(QStringLiteral("iniciar a transação"));
    if (!m_session)
        throw EConnectionLost(failure, QStringLiteral("conexão fechada"));
    // Snapshot, waiting on row locks, read-write: what a save or an issue needs.
    static const char tpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_concurrency, isc_tpb_wait};
    TFbStatus status;
    isc_tr_handle tr = 0;
    if (isc_start_transaction(status.vector, &tr, 1, &m_session->db(), short(sizeof tpb), tpb)) {
        if (status.connectionLost())
            throw EConnectionLost(failure, status.text());
        throw EDbError(failure, status.text());
    }
    m_tr = tr;
    m_outer = m_session->writeTransaction();
    m_session->setWriteTransaction(tr);
}

TTransaction::~TTransaction() {
    if (!m_committed) {
        ISC_STATUS_ARRAY ignored;
        isc_tr_handle tr = isc_tr_handle(m_tr);
        isc_rollback_transaction(ignored, &tr);
    }
    m_session->setWriteTransaction(isc_tr_handle(m_outer));
}

void TTransaction::commit(const QString& failure) {
    TFbStatus status;
    isc_tr_handle tr = isc_tr_handle(m_tr);
    if (isc_commit_transaction(status.vector, &tr) == 0) {
        m_committed = true;
        return;
    }
    const QString text = failure + QStringLiteral(".");
    if (status.connectionLost())
        throw EConnectionLost(text, status.text());
    const int code = status.sqlCode();
    if (code == SqlCodeConflict || code == SqlCodeDuplicateKey)
        throw EConflict(text, status.text(), code == SqlCodeDuplicateKey);
    throw EDbError(text, status.text());
}

void closeConnection(QSqlDatabase& db) {
    endSession(db);
    db.close();
}

namespace {
QVariant packetValue(const QVariant& v, const TPacketField& field);
}

TDataPacket packetFrom(TQuery& q, const QList<TPacketField>& fields) {
    TDataPacket p;
    p.fields = fields;
    const int n = int(fields.size());
    // A failure while fetching throws rather than ending the packet early.
    while (q.next(QStringLiteral("ler as linhas"))) {
        QVariantList row;
        row.reserve(n);
        for (int i = 0; i < n; ++i)
            row.append(packetValue(q.value(i), fields[i]));
        p.rows.append(row);
    }
    return p;
}

namespace {

// The value packetFrom keeps for a column, from the driver-independent QVariant.
QVariant packetValue(const QVariant& v, const TPacketField& field) {
    if (v.isNull())
        return QVariant();
    switch (field.type) {
    case TFieldType::String:
    case TFieldType::FixedChar: {
        // CHAR values in a UTF8 connection arrive padded to four bytes per character.
        QString t = v.toString();
        const int size = field.size;
        while (size > 0 && t.size() > size && t.endsWith(QLatin1Char(' ')))
            t.chop(1);
        return t;
    }
    case TFieldType::Float:
        // Every float here is money kept with two decimals; the driver's scaling leaves binary
        // residue (1469.6200000000001) that must not travel. The residue is far below a
        // centavo, so the nearest whole centavo is exact.
        return double(std::llround(v.toDouble() * 100)) / 100;
    case TFieldType::Integer:
        return v.toLongLong();
    case TFieldType::DateTime:
        return v.metaType().id() == QMetaType::QDate ? QDateTime(v.toDate(), QTime(0, 0))
                                                     : v.toDateTime();
    }
    return QVariant();
}

// The few CBOR items a packet holds, appended to a byte array in the encoding QCborValue
// writes (shortest lengths, definite arrays, doubles in eight bytes).
class TCborOut {
public:
    explicit TCborOut(QByteArray& out) : m_out(&out) {}
    void setTarget(QByteArray& out) { m_out = &out; }
    void head(quint8 major, quint64 n) {
        char h[9];
        m_out->append(h, lengthHeader(major, n, h));
    }
    void text(const char* utf8, qsizetype len) {
        head(3, quint64(len));
        m_out->append(utf8, len);
    }
    void text(const QString& s) {
        const QByteArray b = s.toUtf8();
        text(b.constData(), b.size());
    }
    void array(quint64 n) { head(4, n); }
    void integer(qint64 v) { v < 0 ? head(1, quint64(-1 - v)) : head(0, quint64(v)); }
    void null() { m_out->append(char(0xf6)); }
    void real(double v) {
        quint64 bits;
        std::memcpy(&bits, &v, sizeof bits);
        char b[9];
        b[0] = char(0xfb);
        for (int i = 0; i < 8; ++i)
            b[1 + i] = char(bits >> (8 * (7 - i)));
        m_out->append(b, 9);
    }
    void raw(const QByteArray& b) { m_out->append(b); }

    // A definite length in its shortest form.
    static int lengthHeader(quint8 major, quint64 n, char* out) {
        const quint8 m = quint8(major << 5);
        if (n < 24) {
            out[0] = char(m | n);
            return 1;
        }
        const int bytes = n <= 0xff ? 1 : n <= 0xffff ? 2 : n <= 0xffffffffu ? 4 : 8;
        out[0] = char(m | (bytes == 1 ? 24 : bytes == 2 ? 25 : bytes == 4 ? 26 : 27));
        for (int i = 0; i < bytes; ++i)
            out[1 + i] = char(n >> (8 * (bytes - 1 - i)));
        return 1 + bytes;
    }

private:
    QByteArray* m_out;
};

// "YYYY-MM-DDT00:00:00.000Z" under tag 0, what a wall-clock date at midnight is written as,
// without going through the time-zone machinery for every row.
bool appendMidnight(TCborOut& w, ISC_DATE day) {
    int year, month, dayOfMonth;
    fromIscDate(day).getDate(&year, &month, &dayOfMonth);
    if (year < 1000 || year > 9999)
        return false;
    // Written digit by digit: a formatted print per date was a tenth of a large answer's cost.
    char text[] = "0000-00-00T00:00:00.000Z";
    for (int i = 3; i >= 0; --i, year /= 10)
        text[i] = char('0' + year % 10);
    text[5] = char('0' + month / 10);
    text[6] = char('0' + month % 10);
    text[8] = char('0' + dayOfMonth / 10);
    text[9] = char('0' + dayOfMonth % 10);
    w.head(6, 0);
    w.text(text, 24);
    return true;
}

void appendValue(TCborOut& w, const TPacketField& field, const QVariant& v) {
    if (v.isNull() || !v.isValid()) {
        w.null();
        return;
    }
    switch (field.type) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        w.text(v.toString());
        return;
    case TFieldType::Float:
        w.real(v.toDouble());
        return;
    case TFieldType::Integer:
        w.integer(v.toLongLong());
        return;
    case TFieldType::DateTime:
        w.raw(cborFromDateTime(v.toDateTime()).toCbor());
        return;
    }
}

// One column of the fetched row, written as the packet keeps it.
void appendColumn(TCborOut& w, const TFbStatement& st, int i, const TPacketField& field,
                  const TColumnText& replace) {
    if (st.isNull(i)) {
        w.null();
        return;
    }
    const XSQLVAR& v = st.column(i);
    const int type = v.sqltype & ~1;
    const bool replaced = i == replace.column && replace.map;
    if (!replaced && type == SQL_VARYING &&
        (field.type == TFieldType::String || field.type == TFieldType::FixedChar)) {
        short len;
        std::memcpy(&len, v.sqldata, sizeof len);
        w.text(v.sqldata + 2, len);
        return;
    }
    if (field.type == TFieldType::Float && v.sqlscale < 0 &&
        (type == SQL_INT64 || type == SQL_LONG || type == SQL_SHORT)) {
        // Money: the same arithmetic as through the driver's value, without the variant.
        qint64 x = 0;
        if (type == SQL_INT64)
            std::memcpy(&x, v.sqldata, sizeof x);
        else if (type == SQL_LONG)
            x = *reinterpret_cast<const qint32*>(v.sqldata);
        else
            x = *reinterpret_cast<const short*>(v.sqldata);
        static constexpr double Scale[] = {1, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9};
        const double value =
            double(x) *
            (-v.sqlscale < int(std::size(Scale)) ? Scale[-v.sqlscale] : std::pow(10.0, v.sqlscale));
        w.real(double(std::llround(value * 100)) / 100);
        return;
    }
    if (!replaced && type == SQL_TEXT && field.size > 0 &&
        (field.type == TFieldType::String || field.type == TFieldType::FixedChar)) {
        // CHAR padding beyond the field's size goes, as packetValue strips it; plain ASCII
        // counts one character per byte.
        int len = v.sqllen;
        bool ascii = true;
        for (int b = 0; b < len && ascii; ++b)
            ascii = uchar(v.sqldata[b]) < 0x80;
        if (ascii) {
            while (len > field.size && v.sqldata[len - 1] == ' ')
                --len;
            w.text(v.sqldata, len);
            return;
        }
    }
    if (field.type == TFieldType::DateTime && type == SQL_TYPE_DATE) {
        ISC_DATE day;
        std::memcpy(&day, v.sqldata, sizeof day);
        if (appendMidnight(w, day))
            return;
    }
    QVariant value = packetValue(st.value(i), field);
    if (replaced)
        value = replace.map(value.toString());
    appendValue(w, field, value);
}

} // namespace

namespace {
thread_local qint64 t_answerLimit = FisFrame::DefaultMaxFrame;
}

qint64 answerLimit() {
    return t_answerLimit;
}

void setAnswerLimit(qint64 bytes) {
    t_answerLimit = bytes;
}

namespace {
constexpr int CountRoom = 9; // the rows' count in its longest form
}

TPacketWriter::TPacketWriter(const QList<TPacketField>& fields, qint64 limit) : m_limit(limit) {
    // The head: the map, the field list and the rows key; the rows' count is known only at
    // the end, so room for its longest form stays before the rows.
    TCborOut h(m_head);
    h.head(5, 2);
    h.text(QString(FisProtocol::Key::Fields));
    h.array(quint64(fields.size()));
    for (const TPacketField& f : fields) {
        h.array(3);
        h.text(f.name);
        h.text(fieldTypeName(f.type));
        h.integer(f.size);
    }
    h.text(QString(FisProtocol::Key::Rows));
    m_start = PacketHeadroom + m_head.size() + CountRoom;
    m_out.bytes.reserve(m_start + 64 * 1024);
    m_out.bytes.resize(m_start);
    m_size = m_head.size() + CountRoom;
}

void TPacketWriter::rowWritten(qsizetype bytes) {
    m_size += bytes;
    ++m_out.rows;
    if (m_target == &m_out.bytes && m_size > m_limit) {
        m_out.bytes = QByteArray();
        m_target = &m_scratch;
    }
    if (m_target == &m_scratch)
        m_scratch.clear();
}

void TPacketWriter::addEncoded(const char* row, qsizetype len) {
    if (m_target == &m_out.bytes)
        m_out.bytes.append(row, len);
    rowWritten(len);
}

TStreamedPacket TPacketWriter::finish() {
    char count[CountRoom];
    const int c = TCborOut::lengthHeader(4, quint64(m_out.rows), count);
    if (m_target == &m_scratch) {
        m_out.oversized = m_size - CountRoom + c;
        return std::move(m_out);
    }
    // The head goes right before the rows, leaving the headroom (and what the count did not
    // take) in front.
    m_out.headroom = m_start - c - m_head.size();
    char* data = m_out.bytes.data();
    std::memcpy(data + m_out.headroom, m_head.constData(), size_t(m_head.size()));
    std::memcpy(data + m_out.headroom + m_head.size(), count, size_t(c));
    return std::move(m_out);
}

void appendRow(QByteArray& out, const TFbStatement& st, const QList<TPacketField>& fields,
               const TColumnText& replace) {
    TCborOut w(out);
    const int n = int(fields.size());
    w.array(quint64(n));
    for (int i = 0; i < n; ++i)
        appendColumn(w, st, i, fields[i], replace);
}

TStreamedPacket streamPacket(TQuery& q, const QList<TPacketField>& fields, qint64 limit,
                             const TColumnText& replace) {
    TPacketWriter out(fields, limit);
    const TFbStatement* st = q.statement();
    const int n = int(fields.size());
    while (q.next(QStringLiteral("ler as linhas"))) {
        QByteArray& target = out.target();
        const qsizetype before = target.size();
        if (st) {
            appendRow(target, *st, fields, replace);
        } else {
            TCborOut w(target);
            w.array(quint64(n));
            for (int i = 0; i < n; ++i) {
                QVariant v = packetValue(q.value(i), fields[i]);
                if (i == replace.column && replace.map && !v.isNull())
                    v = replace.map(v.toString());
                appendValue(w, fields[i], v);
            }
        }
        out.rowWritten(target.size() - before);
    }
    return out.finish();
}

QVariant nullText() {
    return QVariant(QMetaType(QMetaType::QString));
}

QVariant textOrNull(const QString& s) {
    return s.isEmpty() ? nullText() : QVariant(s);
}

} // namespace FisServer
