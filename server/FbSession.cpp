#include "FbSession.h"

#include <QDateTime>
#include <QSqlDriver>
#include <QStringList>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace FisServer {

namespace {

constexpr short Dialect = SQL_DIALECT_V6;

XSQLDA* newDa(int n) {
    auto* da = static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(n)));
    da->version = SQLDA_VERSION1;
    da->sqln = short(n);
    return da;
}

// The sessions of the open connections, by the Qt driver that owns the attachment: a driver
// that goes takes its session along, and a driver opened again gets a new one.
struct TRegistry {
    std::mutex mutex;
    std::unordered_map<const QSqlDriver*, std::unique_ptr<TFbSession>> sessions;
};

TRegistry& registry() {
    static TRegistry* r = new TRegistry; // outlives every connection
    return *r;
}

isc_db_handle handleOf(const QSqlDatabase& db) {
    const QSqlDriver* d = db.driver();
    if (!d || !d->isOpen())
        return 0;
    const QVariant h = d->handle();
    if (!h.isValid() || !h.constData())
        return 0;
    return *static_cast<const isc_db_handle*>(h.constData());
}

// UTF-8 cut to at most max bytes without splitting a character, as the driver did.
int utf8Prefix(const QByteArray& b, int max) {
    if (b.size() <= max)
        return int(b.size());
    int n = max;
    while (n > 0 && (uchar(b[n]) & 0xC0) == 0x80)
        --n;
    return n;
}

} // namespace

QString TFbStatus::text() const {
    QStringList parts;
    const ISC_STATUS* p = vector;
    char buf[1024];
    while (fb_interpret(buf, sizeof buf, &p) > 0)
        parts << QString::fromUtf8(buf);
    return parts.join(QLatin1Char(' '));
}

int TFbStatus::sqlCode() const {
    return int(isc_sqlcode(vector));
}

bool TFbStatus::connectionLost() const {
    // The codes travel as (isc_arg_gds, code) pairs along the vector.
    for (int i = 0; i + 1 < ISC_STATUS_LENGTH && vector[i] != isc_arg_end;) {
        const ISC_STATUS arg = vector[i];
        const ISC_STATUS v = vector[i + 1];
        if (arg == isc_arg_gds &&
            (v == isc_network_error || v == isc_lost_db_connection || v == isc_att_shutdown ||
             v == isc_shutdown || v == isc_conn_lost || v == isc_bad_db_handle))
            return true;
        i += arg == isc_arg_cstring ? 3 : 2;
    }
    return false;
}

QDate fromIscDate(ISC_DATE d) {
    // Firebird counts days from 17 November 1858 (the modified Julian day).
    return QDate::fromJulianDay(qint64(d) + 2400001);
}

ISC_DATE toIscDate(const QDate& d) {
    return ISC_DATE(d.toJulianDay() - 2400001);
}

// ---- statements

TFbStatement::TFbStatement(TFbSession& session, const QString& sql)
    : m_session(session), m_sql(sql) {
    isc_tr_handle tr = session.writeTransaction();
    if (!tr)
        tr = session.readTransaction(m_status);
    if (!tr)
        return;
    isc_stmt_handle h = 0;
    if (isc_dsql_allocate_statement(m_status.vector, &session.db(), &h))
        return;
    m_out = newDa(24);
    const QByteArray text = sql.toUtf8();
    if (isc_dsql_prepare(m_status.vector, &tr, &h, 0, text.constData(), Dialect, m_out)) {
        ISC_STATUS_ARRAY ignored;
        isc_dsql_free_statement(ignored, &h, DSQL_drop);
        return;
    }
    if (m_out->sqld > m_out->sqln) {
        const int n = m_out->sqld;
        std::free(m_out);
        m_out = newDa(n);
        isc_dsql_describe(m_status.vector, &h, Dialect, m_out);
    }
    m_in = newDa(8);
    if (!m_status.failed())
        isc_dsql_describe_bind(m_status.vector, &h, Dialect, m_in);
    if (!m_status.failed() && m_in->sqld > m_in->sqln) {
        const int n = m_in->sqld;
        std::free(m_in);
        m_in = newDa(n);
        isc_dsql_describe_bind(m_status.vector, &h, Dialect, m_in);
    }
    char type = isc_info_sql_stmt_type;
    char info[16];
    if (!m_status.failed())
        isc_dsql_sql_info(m_status.vector, &h, 1, &type, sizeof info, info);
    if (m_status.failed()) {
        ISC_STATUS_ARRAY ignored;
        isc_dsql_free_statement(ignored, &h, DSQL_drop);
        return;
    }
    const int len = int(isc_vax_integer(info + 1, 2));
    const int t = int(isc_vax_integer(info + 3, short(len)));
    m_kind = t == isc_info_sql_stmt_select           ? Kind::Select
             : t == isc_info_sql_stmt_select_for_upd ? Kind::SelectForUpdate
                                                     : Kind::Other;
    m_indicators = std::make_unique<short[]>(size_t(m_in->sqld + m_out->sqld) + 1);
    allocate(m_in);
    allocate(m_out);
    m_handle = h;
}

void TFbStatement::allocate(XSQLDA* da) {
    const bool input = da == m_in;
    const int base = input ? 0 : m_in->sqld;
    for (int i = 0; i < da->sqld; ++i) {
        XSQLVAR& v = da->sqlvar[i];
        int type = v.sqltype & ~1;
        if (input && type == SQL_TEXT) {
            // Parameters travel as variable texts: no padding to strip or to add.
            type = SQL_VARYING;
        }
        // Every parameter may be null; a column says itself whether it may.
        v.sqltype = short(input ? (type | 1) : v.sqltype);
        const int bytes = (type == SQL_VARYING ? v.sqllen + 2 : v.sqllen) + 1;
        m_buffers.push_back(std::make_unique<char[]>(size_t(bytes)));
        v.sqldata = m_buffers.back().get();
        v.sqlind = &m_indicators[size_t(base + i)];
        *v.sqlind = 0;
    }
}

TFbStatement::~TFbStatement() {
    if (m_handle) {
        ISC_STATUS_ARRAY ignored;
        isc_dsql_free_statement(ignored, &m_handle, DSQL_drop);
    }
    std::free(m_in);
    std::free(m_out);
}

void TFbStatement::bind(int i, const QVariant& value) {
    XSQLVAR& v = m_in->sqlvar[i];
    if (value.isNull() || !value.isValid()) {
        *v.sqlind = -1;
        return;
    }
    *v.sqlind = 0;
    const auto scaled = [&](double x) { return std::floor(0.5 + x * std::pow(10.0, -v.sqlscale)); };
    switch (v.sqltype & ~1) {
    case SQL_VARYING: {
        const QByteArray b = value.toString().toUtf8();
        const int n = utf8Prefix(b, v.sqllen);
        const short len = short(n);
        std::memcpy(v.sqldata, &len, sizeof len);
        std::memcpy(v.sqldata + 2, b.constData(), size_t(n));
        break;
    }
    case SQL_INT64: {
        const qint64 x = v.sqlscale < 0 ? qint64(scaled(value.toDouble())) : value.toLongLong();
        std::memcpy(v.sqldata, &x, sizeof x);
        break;
    }
    case SQL_LONG: {
        const qint32 x = v.sqlscale < 0 ? qint32(scaled(value.toDouble())) : value.toInt();
        std::memcpy(v.sqldata, &x, sizeof x);
        break;
    }
    case SQL_SHORT: {
        const short x = v.sqlscale < 0 ? short(scaled(value.toDouble())) : short(value.toInt());
        std::memcpy(v.sqldata, &x, sizeof x);
        break;
    }
    case SQL_DOUBLE: {
        const double x = value.toDouble();
        std::memcpy(v.sqldata, &x, sizeof x);
        break;
    }
    case SQL_FLOAT: {
        const float x = float(value.toDouble());
        std::memcpy(v.sqldata, &x, sizeof x);
        break;
    }
    case SQL_TYPE_DATE: {
        const ISC_DATE x = toIscDate(value.toDate());
        std::memcpy(v.sqldata, &x, sizeof x);
        break;
    }
    case SQL_TIMESTAMP: {
        const QDateTime dt = value.toDateTime();
        ISC_TIMESTAMP x;
        x.timestamp_date = toIscDate(dt.date());
        x.timestamp_time = ISC_TIME(dt.time().msecsSinceStartOfDay() * 10);
        std::memcpy(v.sqldata, &x, sizeof x);
        break;
    }
    case SQL_TYPE_TIME: {
        const ISC_TIME x = ISC_TIME(value.toTime().msecsSinceStartOfDay() * 10);
        std::memcpy(v.sqldata, &x, sizeof x);
        break;
    }
    case SQL_BOOLEAN:
        *reinterpret_cast<FB_BOOLEAN*>(v.sqldata) = value.toBool() ? FB_TRUE : FB_FALSE;
        break;
    default:
        *v.sqlind = -1; // no parameter of another type exists in this schema
        break;
    }
}

bool TFbStatement::execute(isc_tr_handle tr) {
    close();
    if (isc_dsql_execute(m_status.vector, &tr, &m_handle, Dialect, m_in->sqld ? m_in : nullptr))
        return false;
    open = m_kind != Kind::Other;
    return true;
}

int TFbStatement::fetch() {
    const ISC_STATUS r = isc_dsql_fetch(m_status.vector, &m_handle, Dialect, m_out);
    if (r == 100)
        return 0;
    return r == 0 ? 1 : -1;
}

void TFbStatement::close() {
    if (!open)
        return;
    open = false;
    // A cursor its transaction's end closed already answers an error that means nothing here.
    ISC_STATUS_ARRAY ignored;
    isc_dsql_free_statement(ignored, &m_handle, DSQL_close);
}

int TFbStatement::rowsAffected() {
    const char items[] = {isc_info_sql_records};
    char buf[64];
    if (isc_dsql_sql_info(m_status.vector, &m_handle, sizeof items, items, sizeof buf, buf))
        return -1;
    if (buf[0] != isc_info_sql_records)
        return -1;
    int count = 0;
    for (const char* p = buf + 3; *p != isc_info_end && p < buf + sizeof buf - 7;) {
        const char item = *p++;
        const short len = short(isc_vax_integer(p, 2));
        p += 2;
        const int n = int(isc_vax_integer(p, len));
        p += len;
        if (item == isc_info_req_insert_count || item == isc_info_req_update_count ||
            item == isc_info_req_delete_count)
            count += n;
    }
    return count;
}

bool TFbStatement::isNull(int i) const {
    const XSQLVAR& v = m_out->sqlvar[i];
    return (v.sqltype & 1) && *v.sqlind < 0;
}

QVariant TFbStatement::value(int i) const {
    if (isNull(i))
        return QVariant();
    const XSQLVAR& v = m_out->sqlvar[i];
    const char* d = v.sqldata;
    const double scale = v.sqlscale < 0 ? std::pow(10.0, v.sqlscale) : 1;
    switch (v.sqltype & ~1) {
    case SQL_VARYING: {
        short len;
        std::memcpy(&len, d, sizeof len);
        return QString::fromUtf8(d + 2, len);
    }
    case SQL_TEXT:
        return QString::fromUtf8(d, v.sqllen);
    case SQL_INT64: {
        qint64 x;
        std::memcpy(&x, d, sizeof x);
        return v.sqlscale < 0 ? QVariant(double(x) * scale) : QVariant(x);
    }
    case SQL_LONG: {
        qint32 x;
        std::memcpy(&x, d, sizeof x);
        return v.sqlscale < 0 ? QVariant(double(x) * scale) : QVariant(x);
    }
    case SQL_SHORT: {
        short x;
        std::memcpy(&x, d, sizeof x);
        return v.sqlscale < 0 ? QVariant(double(x) * scale) : QVariant(int(x));
    }
    case SQL_DOUBLE: {
        double x;
        std::memcpy(&x, d, sizeof x);
        return x;
    }
    case SQL_FLOAT: {
        float x;
        std::memcpy(&x, d, sizeof x);
        return double(x);
    }
    case SQL_TYPE_DATE: {
        ISC_DATE x;
        std::memcpy(&x, d, sizeof x);
        return fromIscDate(x);
    }
    case SQL_TIMESTAMP: {
        ISC_TIMESTAMP x;
        std::memcpy(&x, d, sizeof x);
        return QDateTime(fromIscDate(x.timestamp_date),
                         QTime::fromMSecsSinceStartOfDay(int(x.timestamp_time / 10)));
    }
    case SQL_TYPE_TIME: {
        ISC_TIME x;
        std::memcpy(&x, d, sizeof x);
        return QTime::fromMSecsSinceStartOfDay(int(x / 10));
    }
    case SQL_BOOLEAN:
        return *reinterpret_cast<const FB_BOOLEAN*>(d) != FB_FALSE;
    default:
        return QVariant();
    }
}

// ---- sessions

TFbSession::~TFbSession() {
    release();
}

isc_tr_handle TFbSession::readTransaction(TFbStatus& status) {
    if (m_read)
        return m_read;
    // Read-only read committed: each statement sees what is committed when it runs, and the
    // engine takes such a transaction as committed from its start, so keeping it open holds
    // back no garbage collection.
    static const char tpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed,
                               isc_tpb_rec_version, isc_tpb_nowait};
    if (isc_start_transaction(status.vector, &m_read, 1, &m_db, short(sizeof tpb), tpb))
        m_read = 0;
    return m_read;
}

TFbStatement* TFbSession::statement(const QString& sql, std::unique_ptr<TFbStatement>& unshared) {
    const auto it = m_statements.find(sql);
    if (it != m_statements.end() && it->second->ok() && !it->second->busy)
        return it->second.get();
    auto st = std::make_unique<TFbStatement>(*this, sql);
    if (!st->ok() || it != m_statements.end()) {
        // A statement that did not prepare tells why once; one in use is lent to one caller.
        unshared = std::move(st);
        return unshared.get();
    }
    // A method builds its texts from a few fixed pieces; a bound keeps a flood of distinct
    // filters from piling statements up.
    if (m_statements.size() >= 256) {
        for (auto i = m_statements.begin(); i != m_statements.end();)
            i = i->second->busy ? std::next(i) : m_statements.erase(i);
    }
    TFbStatement* out = st.get();
    m_statements.emplace(sql, std::move(st));
    return out;
}

void TFbSession::endRead() {
    if (m_read) {
        for (auto& entry : m_statements)
            if (!entry.second->busy)
                entry.second->close();
        ISC_STATUS_ARRAY ignored;
        if (isc_commit_transaction(ignored, &m_read))
            isc_rollback_transaction(ignored, &m_read);
        m_read = 0;
    }
}

void TFbSession::release() {
    m_statements.clear();
    endRead();
}

void TFbSession::abandon() {
    // The engine dropped every handle with the attachment; freeing them again is an error at
    // best, another attachment's handle at worst.
    for (auto& entry : m_statements)
        entry.second->forget();
    m_statements.clear();
    m_read = 0;
    m_write = 0;
}

TFbSession* sessionOf(const QSqlDatabase& db) {
    const isc_db_handle h = handleOf(db);
    if (!h)
        return nullptr;
    TRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    const QSqlDriver* driver = db.driver();
    auto it = r.sessions.find(driver);
    if (it != r.sessions.end() && it->second->db() == h)
        return it->second.get();
    if (it != r.sessions.end()) {
        // The connection was closed and opened again behind our back.
        it->second->abandon();
        r.sessions.erase(it);
    } else {
        QObject::connect(driver, &QObject::destroyed, [driver] {
            TRegistry& reg = registry();
            std::lock_guard l(reg.mutex);
            const auto i = reg.sessions.find(driver);
            if (i != reg.sessions.end()) {
                i->second->abandon();
                reg.sessions.erase(i);
            }
        });
    }
    return r.sessions.emplace(driver, std::make_unique<TFbSession>(h)).first->second.get();
}

void endSession(const QSqlDatabase& db) {
    TRegistry& r = registry();
    std::unique_ptr<TFbSession> s;
    {
        std::lock_guard lock(r.mutex);
        const auto it = r.sessions.find(db.driver());
        if (it == r.sessions.end())
            return;
        s = std::move(it->second);
        r.sessions.erase(it);
    }
    if (s->db() == handleOf(db))
        s->release();
    else
        s->abandon();
}

void endReadTransaction(const QSqlDatabase& db) {
    TRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.sessions.find(db.driver());
    if (it != r.sessions.end() && it->second->db() == handleOf(db))
        it->second->endRead();
}

void dropLostConnection(QSqlDatabase& db) {
    TRegistry& r = registry();
    {
        std::lock_guard lock(r.mutex);
        const auto it = r.sessions.find(db.driver());
        if (it != r.sessions.end()) {
            it->second->abandon();
            r.sessions.erase(it);
        }
    }
    db.close();
}

} // namespace FisServer
