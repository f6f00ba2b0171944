#include "SplitRead.h"

#include "FbSession.h"
#include "FisDatabase.h"

#include <QSqlDatabase>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace FisServer {

namespace {

std::atomic<int> g_parts{std::thread::hardware_concurrency() >= 2 ? 2 : 1};

// Encoded rows handed from a part's reader to the merge, with each row's day and length.
struct TBlock {
    QByteArray bytes;
    std::vector<std::pair<ISC_DATE, qint32>> rows;
};
constexpr qsizetype BlockBytes = 32 * 1024;
// What a reader may get ahead of the merge: the other part may lag a few days behind.
constexpr qsizetype MaxQueued = 256 * 1024;

class TPart {
public:
    // Reader side. Waits while the merge has enough in hand; drops the block once stopped.
    void push(TBlock&& b) {
        std::unique_lock l(m_mutex);
        m_cv.wait(l, [&] { return m_queued < MaxQueued || m_stop; });
        if (m_stop)
            return;
        m_queued += b.bytes.size();
        m_queue.push_back(std::move(b));
        l.unlock();
        m_cv.notify_all();
    }
    void finish(std::optional<TFbStatus> failure, const QString& fault = {}) {
        {
            std::lock_guard l(m_mutex);
            m_done = true;
            m_failure = std::move(failure);
            if (!fault.isEmpty() && !m_failure) {
                m_failure.emplace();
                m_fault = fault;
            }
        }
        m_cv.notify_all();
    }
    bool stopping() const { return m_stop.load(std::memory_order_relaxed); }

    // Merge side. The next row's day; false once the part has no more rows or failed.
    bool head(ISC_DATE& day) {
        while (m_row >= m_current.rows.size()) {
            std::unique_lock l(m_mutex);
            m_cv.wait(l, [&] { return !m_queue.empty() || m_done; });
            if (m_failure || m_queue.empty())
                return false;
            m_current = std::move(m_queue.front());
            m_queue.pop_front();
            m_queued -= m_current.bytes.size();
            m_row = 0;
            m_offset = 0;
            l.unlock();
            m_cv.notify_all();
        }
        day = m_current.rows[m_row].first;
        return true;
    }
    // The head row's bytes, moving past it.
    std::pair<const char*, qint32> take() {
        const qint32 len = m_current.rows[m_row++].second;
        const char* data = m_current.bytes.constData() + m_offset;
        m_offset += len;
        return {data, len};
    }
    void stop() {
        m_stop = true;
        std::lock_guard l(m_mutex);
        m_cv.notify_all();
    }
    std::optional<TFbStatus> failure() {
        std::lock_guard l(m_mutex);
        return m_failure;
    }
    // What failed outside the engine (memory, for one), when that is what failed.
    QString fault() {
        std::lock_guard l(m_mutex);
        return m_fault;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<TBlock> m_queue;
    qsizetype m_queued = 0;
    bool m_done = false;
    std::optional<TFbStatus> m_failure;
    QString m_fault;
    std::atomic<bool> m_stop{false};
    TBlock m_current;
    size_t m_row = 0;
    qsizetype m_offset = 0;
};

// Runs on the part's own thread: the statement's execute (where the engine sorts) and fetches.
void readRows(TFbStatement& st, isc_tr_handle tr, int dateColumn, const QList<TPacketField>& fields,
              const TColumnText& replace, TPart& part) {
    std::optional<TFbStatus> failure;
    if (!st.execute(tr)) {
        part.finish(st.status());
        return;
    }
    TBlock block;
    int r = 0;
    while (!part.stopping() && (r = st.fetch()) > 0) {
        const qsizetype before = block.bytes.size();
        appendRow(block.bytes, st, fields, replace);
        ISC_DATE day = INT_MIN; // the engine puts nulls first
        if (!st.isNull(dateColumn))
            std::memcpy(&day, st.column(dateColumn).sqldata, sizeof day);
        block.rows.emplace_back(day, qint32(block.bytes.size() - before));
        if (block.bytes.size() >= BlockBytes) {
            part.push(std::move(block));
            block = TBlock();
        }
    }
    if (r < 0)
        failure = st.status();
    else if (!block.rows.empty())
        part.push(std::move(block));
    st.close();
    part.finish(std::move(failure));
}

// Nothing may leave a thread's function: what escapes fails the part, and the merge tells it.
void readPart(TFbStatement& st, isc_tr_handle tr, int dateColumn, const QList<TPacketField>& fields,
              const TColumnText& replace, TPart& part) {
    try {
        readRows(st, tr, dateColumn, fields, replace, part);
    } catch (const std::exception& e) {
        st.close();
        part.finish(std::nullopt, QString::fromLocal8Bit(e.what()));
    }
}

// A second attachment to the connection's database, with the same user and options, for the
// call's length.
class TSecondAttachment {
public:
    explicit TSecondAttachment(const QSqlDatabase& db) {
        QByteArray dpb = FisDb::attachParameters(db.userName(), db.password());
        if (dpb.isEmpty())
            return;
        const QByteArray charset("UTF8");
        dpb.append(char(isc_dpb_lc_ctype)).append(char(charset.size())).append(charset);
        const QByteArray path = db.databaseName().toUtf8();
        TFbStatus status;
        if (isc_attach_database(status.vector, short(path.size()), path.constData(), &m_db,
                                short(dpb.size()), dpb.constData())) {
            m_db = 0;
            return;
        }
        session = std::make_unique<TFbSession>(m_db);
    }
    ~TSecondAttachment() {
        session.reset();
        if (m_db) {
            ISC_STATUS_ARRAY ignored;
            isc_detach_database(ignored, &m_db);
        }
    }
    TSecondAttachment(const TSecondAttachment&) = delete;
    TSecondAttachment& operator=(const TSecondAttachment&) = delete;

    std::unique_ptr<TFbSession> session;

private:
    isc_db_handle m_db = 0;
};

} // namespace

int splitReadParts() {
    return g_parts.load();
}

void setSplitReadParts(int parts) {
    g_parts = parts < 2 ? 1 : 2;
}

std::optional<TStreamedPacket> streamSplitPacket(const QSqlDatabase& db, const QString& sql,
                                                 const QVariantList& binds, int dateColumn,
                                                 const QList<TPacketField>& fields, qint64 limit,
                                                 const TColumnText& replace, const QString& what) {
    TFbSession* first = sessionOf(db);
    if (g_parts.load() < 2 || !first || first->writeTransaction())
        return std::nullopt;
    TSecondAttachment second(db);
    if (!second.session)
        return std::nullopt;
    TFbStatus status;
    const isc_tr_handle tr0 = first->readTransaction(status);
    if (!tr0)
        throwFbFailure(what, status, sql);
    std::unique_ptr<TFbStatement> unshared0, unshared1;
    TFbStatement* st0 = first->statement(sql, unshared0);
    if (!st0->ok())
        throwFbFailure(QStringLiteral("preparar a consulta"), st0->status(), sql);
    TFbStatement* st1 = second.session->statement(sql, unshared1);
    const isc_tr_handle tr1 = st1->ok() ? second.session->readTransaction(status) : 0;
    const auto dateType = [&](const TFbStatement* st) {
        return dateColumn < st->columnCount() &&
               (st->column(dateColumn).sqltype & ~1) == SQL_TYPE_DATE;
    };
    if (!tr1 || st0->paramCount() != binds.size() + 1 || !dateType(st0) || !dateType(st1))
        return std::nullopt;
    TFbStatement* st[2] = {st0, st1};
    for (int p = 0; p < 2; ++p) {
        for (int i = 0; i < binds.size(); ++i)
            st[p]->bind(i, binds[i]);
        st[p]->bind(int(binds.size()), p);
    }

    TPart parts[2];
    std::thread readers[2];
    st0->busy = true;
    // Whatever ends the merge, both readers stop and are waited for before their statements go.
    struct TJoin {
        TPart* parts;
        std::thread* readers;
        TFbStatement* st0;
        ~TJoin() {
            for (int p = 0; p < 2; ++p)
                parts[p].stop();
            for (int p = 0; p < 2; ++p)
                if (readers[p].joinable())
                    readers[p].join();
            st0->busy = false;
        }
    } join{parts, readers, st0};
    for (int p = 0; p < 2; ++p)
        readers[p] = std::thread(readPart, std::ref(*st[p]), p ? tr1 : tr0, dateColumn,
                                 std::cref(fields), std::cref(replace), std::ref(parts[p]));

    TPacketWriter out(fields, limit);
    for (;;) {
        ISC_DATE day0 = 0, day1 = 0;
        const bool has0 = parts[0].head(day0);
        const bool has1 = parts[1].head(day1);
        if (!has0 && !has1)
            break;
        if ((!has0 && parts[0].failure()) || (!has1 && parts[1].failure()))
            break;
        const auto [row, len] =
            (has0 && (!has1 || day0 <= day1)) ? parts[0].take() : parts[1].take();
        out.addEncoded(row, len);
    }
    for (TPart& part : parts)
        part.stop();
    for (TPart& part : parts)
        if (const QString fault = part.fault(); !fault.isEmpty())
            throw EDbError(sqlFailure(what),
                           QStringLiteral("%1 [%2]").arg(fault, sql.simplified()));
    // The connection's own attachment first: its loss is what the caller must hear of.
    if (const std::optional<TFbStatus> f = parts[0].failure())
        throwFbFailure(what, *f, sql);
    if (std::optional<TFbStatus> f = parts[1].failure()) {
        // The second attachment is the call's alone; losing it says nothing of the connection.
        throw EDbError(sqlFailure(what),
                       QStringLiteral("%1 [%2]").arg(f->text().simplified(), sql.simplified()));
    }
    return out.finish();
}

} // namespace FisServer
