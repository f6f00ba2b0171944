// bench_server_load [--notes N] [--database PATH] [--runs R] [--guides G] [--seconds S]
//                   [--only load|calls|guides] [--load-parts 1|2] [--keep]
//
// Makes (or reuses) a demo database big enough that one company's notes for one tax exceed
// 100,000, starts fis98100-server on it, and prints side by side what each figure costs and the
// floor measured beside it in the same run:
//   - GetNotaFiscal of company 01 / tax 05 into a TClientDataSet, in runs paired with
//     bench_fetch_floor fetching the same rows with the Firebird client calls alone;
//   - the server's and the client's peak memory for that load, against the frame (the client
//     reads the answer's frame straight into the dataset, as the screens do);
//   - GetParamFiscal calls per second on 1 and 8 connections, against a loopback echo of frames
//     of the same sizes;
//   - guides issued per second (setDarfDoc + GeraContaPagar) with 1 and 8 clients, forced
//     writes on, as the database is created, against the synchronous 8 KiB writes per second
//     the disk takes in the database's folder from as many writers (the engine writes each
//     page so, and each commit waits for its pages);
//   - isql-fb fetching the same rows, for reference.
#include "Connection.h"
#include "DataSet.h"
#include "Fis98100Contracts.h"
#include "FisDatabase.h"
#include "MethodTable.h"
#include "core/Envelope.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"
#include "core/Services.h"
#include "issuing/DarfBarcode.h"

#include <QCborArray>
#include <QCborMap>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QThread>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The load's subject: company 01's notes for tax 05, over 100,000 rows in the bench database.
const QString kCompany = QStringLiteral("01"), kTax = QStringLiteral("05");

void say(const QString& s) {
    std::printf("%s\n", s.toUtf8().constData());
    std::fflush(stdout);
}

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

// The server's note query for one company and tax with every other filter open.
QString noteSql(const QString& company, const QString& tax) {
    return QStringLiteral(
               "SELECT i.DSHISTGUIAPAGDOC, n.NRNOTAFISC, COALESCE(c.NMRAZSOCCLIE, f.NMRAZSOCFORN),"
               " i.CDRECEGUIA, n.CDSERIE, n.NRLANCTONF, n.CDFILIAL, 'U', i.VRIMPOSTONF,"
               " n.IDENTRSAIDOP, n.NRINSJUR, n.CDINSCESTA, n.CDINSCMUNI, n.VRNOTAFISC,"
               " i.VRMULTAGUIA, i.VRJUROGUIA, i.DTVENCGUIA, i.NRLANCTONFDARF, i.IDSTATUSGUIA,"
               " n.IDINSJUR, n.DTENTRSAID, n.CDFILIOPER"
               " FROM NOTAFISCAL n JOIN IMPOSTONF i ON i.CDFILIAL = n.CDFILIAL"
               " AND i.NRLANCTONF = n.NRLANCTONF AND i.CDIMPOSTONFE = '%2'"
               " LEFT JOIN CLIENTE c ON c.CDCLIENTE = n.CDCLIENTE"
               " LEFT JOIN FORNECEDOR f ON f.CDFORNECED = n.CDFORNECED"
               " WHERE n.CDEMPRESA = '%1' AND i.VRIMPOSTONF > 0"
               " ORDER BY n.DTENTRSAID, n.NRNOTAFISC, n.CDFILIAL, n.NRLANCTONF")
        .arg(company, tax);
}

// A figure of /proc/PID/status in bytes (VmRSS, VmHWM).
qint64 procKb(qint64 pid, const char* key) {
    QFile f(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key) + 1).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

// Starts the peak over (the kernel's high-water mark of resident memory).
void resetPeak(qint64 pid) {
    QFile f(pid ? QStringLiteral("/proc/%1/clear_refs").arg(pid)
                : QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// CPU time a process has used, user and system, in microseconds.
double cpuMicros(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    // The fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
    const QList<QByteArray> v = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return (v.value(11).toDouble() + v.value(12).toDouble()) * 1e6 / double(sysconf(_SC_CLK_TCK));
}

// The disk's floor for anything that commits with forced writes: 8 KiB pages written with
// O_DSYNC, as the engine opens its file, by writers threads each on pages of its own, in a
// scratch file beside the database. Writes per second; 0 when the file cannot be made.
double syncWritesPerSecond(const QString& dir, int writers, double seconds) {
    constexpr int kPage = 8192, kPagesEach = 64;
    const QByteArray path =
        QDir(dir).absoluteFilePath(QStringLiteral(".bench-disk-floor")).toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_TRUNC | O_DSYNC, 0600);
    if (fd < 0)
        return 0;
    std::vector<char> page(kPage, '\x5a');
    // Allocated beforehand, so the runs rewrite pages as the engine mostly does.
    for (int i = 0; i < writers * kPagesEach; ++i)
        if (::pwrite(fd, page.data(), kPage, off_t(i) * kPage) != kPage) {
            ::close(fd);
            ::unlink(path.constData());
            return 0;
        }
    std::atomic<bool> stop{false};
    std::atomic<qint64> done{0};
    QList<std::thread*> threads;
    QElapsedTimer t;
    t.start();
    for (int w = 0; w < writers; ++w)
        threads << new std::thread([&, w] {
            qint64 n = 0;
            for (int i = 0; !stop; i = (i + 1) % kPagesEach, ++n)
                if (::pwrite(fd, page.data(), kPage, off_t(w * kPagesEach + i) * kPage) != kPage)
                    break;
            done += n;
        });
    QThread::msleep(ulong(seconds * 1000));
    stop = true;
    for (std::thread* th : threads) {
        th->join();
        delete th;
    }
    const double elapsed = t.nsecsElapsed() / 1e9;
    ::close(fd);
    ::unlink(path.constData());
    return done / elapsed;
}

QString mib(qint64 bytes) {
    return QStringLiteral("%1 MiB").arg(bytes / 1048576.0, 0, 'f', 1);
}

// ---- frames over a plain blocking socket: the cost of the server, not of a client library

int connectTo(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const char* p, qsizetype n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, size_t(n), MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= w;
    }
    return true;
}

bool recvAll(int fd, char* p, qsizetype n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, size_t(n), 0);
        if (r <= 0)
            return false;
        p += r;
        n -= r;
    }
    return true;
}

// Sends a frame and reads the answer frame's item bytes.
bool roundTrip(int fd, const QByteArray& frame, QByteArray& item) {
    if (!sendAll(fd, frame.constData(), frame.size()))
        return false;
    uchar len[4];
    if (!recvAll(fd, reinterpret_cast<char*>(len), 4))
        return false;
    item.resize(qsizetype(len[0]) << 24 | len[1] << 16 | len[2] << 8 | len[3]);
    return recvAll(fd, item.data(), item.size());
}

QByteArray request(qint64 id, const QString& method, const QCborArray& args) {
    QCborMap m;
    m.insert(FisProtocol::Key::Id, id);
    m.insert(FisProtocol::Key::Object, QString::fromLatin1(FisProtocol::ObjectName));
    m.insert(FisProtocol::Key::Method, method);
    m.insert(FisProtocol::Key::Args, args);
    return FisFrame::encode(m);
}

// A loopback server that answers every frame with a frame of answerBytes: the floor of a round
// trip of a small call.
class TEchoServer {
public:
    explicit TEchoServer(qsizetype answerBytes) : m_answer(answerBytes + 4, 'x') {
        const quint32 n = quint32(answerBytes);
        m_answer[0] = char(n >> 24);
        m_answer[1] = char(n >> 16);
        m_answer[2] = char(n >> 8);
        m_answer[3] = char(n);
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_fd, 64);
        socklen_t len = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_accept = std::thread([this] {
            for (;;) {
                const int c = ::accept(m_fd, nullptr, nullptr);
                if (c < 0)
                    return;
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                std::thread([this, c] {
                    uchar len[4];
                    QByteArray body;
                    while (recvAll(c, reinterpret_cast<char*>(len), 4)) {
                        body.resize(qsizetype(len[0]) << 24 | len[1] << 16 | len[2] << 8 | len[3]);
                        if (!recvAll(c, body.data(), body.size()) ||
                            !sendAll(c, m_answer.constData(), m_answer.size()))
                            break;
                    }
                    ::close(c);
                }).detach();
            }
        });
    }
    ~TEchoServer() {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        m_accept.join();
    }
    quint16 port() const { return m_port; }

private:
    QByteArray m_answer;
    int m_fd = -1;
    quint16 m_port = 0;
    std::thread m_accept;
};

// Round trips per second of frame on connections connections for seconds.
// Connections that have made one call each already: a server connection opens its database at
// its first call, which no figure should include.
QList<int> warmConnections(quint16 port, int connections, const QByteArray& frame) {
    QList<int> fds;
    QByteArray item;
    for (int c = 0; c < connections; ++c) {
        const int fd = connectTo(port);
        if (fd < 0 || !roundTrip(fd, frame, item))
            throw EHostError(QStringLiteral("sem resposta na porta %1").arg(port));
        fds << fd;
    }
    return fds;
}

// Round trips per second over the connections, each in a thread of its own, for seconds.
double callsPerSecond(const QList<int>& fds, const QByteArray& frame, double seconds) {
    std::atomic<qint64> done{0};
    std::atomic<bool> failed{false};
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    QList<std::thread*> threads;
    QElapsedTimer t;
    t.start();
    for (const int fd : fds)
        threads << new std::thread([&, fd] {
            QByteArray item;
            while (std::chrono::steady_clock::now() < end) {
                if (!roundTrip(fd, frame, item)) {
                    failed = true;
                    break;
                }
                ++done;
            }
        });
    for (std::thread* th : threads) {
        th->join();
        delete th;
    }
    if (failed)
        throw EHostError(QStringLiteral("uma conexão caiu durante a medida"));
    return done / (t.nsecsElapsed() / 1e9);
}

// ---- issuing

struct TOpenNote {
    QString filial, lancto, empresa, ie, im, es, serie;
    QDate ent;
    double valor = 0;
};

QList<TOpenNote> openNotes(QSqlDatabase& db, const QString& tax, int count) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    const QString sql =
        QStringLiteral("SELECT FIRST %1 n.CDFILIAL, n.NRLANCTONF, n.CDEMPRESA, n.CDINSCESTA,"
                       " n.CDINSCMUNI, n.IDENTRSAIDOP, n.CDSERIE, n.DTENTRSAID, i.VRIMPOSTONF"
                       " FROM IMPOSTONF i JOIN NOTAFISCAL n ON n.CDFILIAL = i.CDFILIAL"
                       " AND n.NRLANCTONF = i.NRLANCTONF"
                       " WHERE i.CDIMPOSTONFE = '%2' AND i.IDSTATUSGUIA = 'N'"
                       " AND i.VRIMPOSTONF > 0")
            .arg(count)
            .arg(tax);
    if (!q.exec(sql))
        throw EHostError(QStringLiteral("notas em aberto: ") + q.lastError().text());
    QList<TOpenNote> out;
    while (q.next())
        out << TOpenNote{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                         q.value(3).toString(), q.value(4).toString(), q.value(5).toString(),
                         q.value(6).toString(), q.value(7).toDate(),   q.value(8).toDouble()};
    return out;
}

// The two frames that issue one note's guide, as the screen sends them.
struct TIssueFrames {
    QByteArray save, issue;
};

TIssueFrames issueFrames(QSqlDatabase& db, const TOpenNote& n, const QString& tax) {
    static QHash<QString, QString> registrations;
    QSqlQuery q(db);
    TDarfInput in;
    in.VRIMPOSTONF = n.valor;
    in.VRMULTAGUIA = 0.0;
    in.VRJUROGUIA = 0.0;
    in.DTVENCGUIA = QDate(2026, 9, 30);
    in.DTENTRSAID = n.ent;
    in.CDRECEGUIA = QStringLiteral("5123");
    if (q.exec(QStringLiteral("SELECT DTREFVENCDARF, DTREFPAGDARF FROM PARAMFISCAL")) && q.next()) {
        in.DTREFVENCDARF = q.value(0).toDate();
        in.DTREFPAGDARF = q.value(1).toDate();
    }
    if (!registrations.contains(n.empresa) &&
        q.exec(QStringLiteral("SELECT NRINSJUREMPR FROM EMPRESA WHERE CDEMPRESA = '%1'")
                   .arg(n.empresa)) &&
        q.next())
        registrations.insert(n.empresa, q.value(0).toString());
    q.finish();
    in.NRINSJUREMPR = registrations.value(n.empresa);
    const TDarfBarcode darf = MontaBarraDarf(in);
    const QDateTime venc(QDate(2026, 9, 30), QTime(0, 0));
    TDataPacket p;
    p.fields = Fis98100::ContaPagarFields();
    p.rows.append({n.filial,
                   n.lancto,
                   QStringLiteral("N"),
                   0.0,
                   0.0,
                   venc,
                   n.ie,
                   n.im,
                   QVariant(),
                   QStringLiteral("123"),
                   QVariant(),
                   1000.0,
                   RoundDec(n.valor, 2),
                   QStringLiteral("5123"),
                   venc,
                   n.es,
                   QStringLiteral("C"),
                   n.serie,
                   darf.STLINHADIGI,
                   darf.STBARRAGUIA,
                   n.filial});
    TIssueFrames f;
    f.save = request(1, QStringLiteral("setDarfDoc"),
                     {n.filial, n.lancto, tax, QStringLiteral("N"), 0.0, 0.0,
                      QStringLiteral("30/09/2026"), QStringLiteral("Guia de teste"), QString(),
                      QStringLiteral("5123")});
    f.issue = request(2, QStringLiteral("GeraContaPagar"),
                      {n.empresa, tax, p.toCbor(), darf.STBARRAGUIA, darf.STLINHADIGI,
                       QStringLiteral("Guia de teste")});
    return f;
}

bool issuedOk(const QByteArray& item) {
    const QCborValue result = QCborValue::fromCbor(item).toMap().value(FisProtocol::Key::Result);
    if (!result.isArray())
        return false;
    const TDataPacket p = TDataPacket::fromCbor(result.toArray().at(0));
    return !p.rows.isEmpty() && p.rows[0].value(1).toString() == QLatin1String("CONTAPAGAR_OK");
}

// Guides per second over the connections, each issuing its share of frames in turn. The frames
// go in slices; between slices the clients wait, still connected, while between() runs, so that
// a floor measured there meets the same moments of the shared disk as the guides.
double guidesPerSecond(const QList<int>& fds, const QList<TIssueFrames>& frames, int slices,
                       const std::function<void()>& between, int* refused) {
    std::atomic<int> bad{0};
    std::mutex m;
    std::condition_variable cv;
    int slice = -1, done = 0;
    const qsizetype clients = fds.size();
    QList<std::thread*> threads;
    for (qsizetype c = 0; c < clients; ++c)
        threads << new std::thread([&, c] {
            QByteArray item;
            for (int s = 0; s < slices; ++s) {
                {
                    std::unique_lock lock(m);
                    cv.wait(lock, [&] { return slice == s; });
                }
                const qsizetype end = frames.size() * (s + 1) / slices;
                for (qsizetype i = frames.size() * s / slices + c; i < end; i += clients)
                    if (!roundTrip(fds[c], frames[i].save, item) ||
                        !roundTrip(fds[c], frames[i].issue, item) || !issuedOk(item))
                        ++bad;
                std::lock_guard lock(m);
                ++done;
                cv.notify_all();
            }
        });
    qint64 busy = 0;
    for (int s = 0; s < slices; ++s) {
        between();
        QElapsedTimer t;
        t.start();
        std::unique_lock lock(m);
        slice = s;
        done = 0;
        cv.notify_all();
        cv.wait(lock, [&] { return done == clients; });
        busy += t.nsecsElapsed();
    }
    between();
    for (std::thread* th : threads) {
        th->join();
        delete th;
    }
    *refused = bad;
    return frames.size() / (busy / 1e9);
}

struct TBenchOptions {
    int notes = 330000;
    int runs = 3;
    int guides = 400;
    double seconds = 3;
    QString dbPath, only;
    QString loadParts; // the server's --load-parts; its default when empty
    bool keep = false;
    bool wanted(const char* section) const {
        return only.isEmpty() || only == QLatin1String(section);
    }
};

// False on a usage error.
bool parseOptions(QStringList a, TBenchOptions& o) {
    while (!a.isEmpty()) {
        const QString opt = a.takeFirst();
        if (opt == QLatin1String("--notes") && !a.isEmpty())
            o.notes = a.takeFirst().toInt();
        else if (opt == QLatin1String("--runs") && !a.isEmpty())
            o.runs = std::max(1, a.takeFirst().toInt());
        else if (opt == QLatin1String("--guides") && !a.isEmpty())
            o.guides = std::max(8, a.takeFirst().toInt());
        else if (opt == QLatin1String("--seconds") && !a.isEmpty())
            o.seconds = std::max(0.5, a.takeFirst().toDouble());
        else if (opt == QLatin1String("--database") && !a.isEmpty())
            o.dbPath = a.takeFirst();
        else if (opt == QLatin1String("--only") && !a.isEmpty())
            o.only = a.takeFirst();
        else if (opt == QLatin1String("--load-parts") && !a.isEmpty())
            o.loadParts = a.takeFirst();
        else if (opt == QLatin1String("--keep"))
            o.keep = true;
        else
            return false;
    }
    return true;
}

// Starts the server on dbPath and waits until it listens; its log goes to work/server.log.
quint16 startServer(QProcess& server, const QString& binDir, const QString& work,
                    const TBenchOptions& o) {
    server.setProgram(binDir + QStringLiteral("/fis98100-server"));
    QStringList args = {QStringLiteral("--database"), o.dbPath, QStringLiteral("--port"),
                        QStringLiteral("0")};
    if (!o.loadParts.isEmpty())
        args << QStringLiteral("--load-parts") << o.loadParts;
    server.setArguments(args);
    // The log goes to a file: the figures block the event loop for seconds, and a server writing
    // into a full pipe would wait for it.
    const QString logPath = work + QStringLiteral("/server.log");
    QFile::remove(logPath);
    server.setStandardErrorFile(logPath);
    server.start();
    QString log;
    static const QRegularExpression listening(QStringLiteral("escutando em [^:]+:(\\d+)"));
    QElapsedTimer wait;
    wait.start();
    while (!listening.match(log).hasMatch() && wait.elapsed() < 60000 &&
           server.state() != QProcess::NotRunning) {
        QThread::msleep(100);
        QFile f(logPath);
        if (f.open(QIODevice::ReadOnly))
            log = QString::fromUtf8(f.readAll());
    }
    if (!listening.match(log).hasMatch())
        throw EHostError(QStringLiteral("o servidor não subiu: %1").arg(log));
    return quint16(listening.match(log).captured(1).toInt());
}

struct TLoadFigures {
    QList<double> callMs, loadMs, floorMs, ratios;
    // CPU of the server process for the call and of the floor program for its fetch: how much
    // of each wall time is one process's own work, and whose work is the larger.
    QList<double> serverCpuMs, floorCpuMs;
    qsizetype rows = 0, bytes = 0, floorRows = -1;
    qint64 serverIdle = 0, serverPeak = 0, serverAfter = 0;
    qint64 clientPeak = 0, clientLive = 0, floorPeak = 0;
};

// The floor program's fetch of the same rows: rows, milliseconds and its peak memory (bytes).
void fetchFloor(const QString& binDir, const QString& dbPath, const QString& script,
                TLoadFigures& f) {
    QProcess floor;
    floor.setProgram(binDir + QStringLiteral("/bench_fetch_floor"));
    floor.setArguments({dbPath, script, QStringLiteral("1")});
    floor.start();
    floor.waitForFinished(-1);
    const QList<QByteArray> out = floor.readAllStandardOutput().trimmed().split(' ');
    if (floor.exitCode() != 0 || out.size() < 2)
        throw EHostError(QStringLiteral("bench_fetch_floor falhou: %1")
                             .arg(QString::fromUtf8(floor.readAllStandardError())));
    f.floorRows = out[0].toLongLong();
    f.floorMs << out[1].toDouble();
    f.floorPeak = std::max(f.floorPeak, out.value(3).toLongLong() * 1024);
    f.floorCpuMs << out.value(4).toDouble();
}

// The note list into a client dataset, each run paired with the floor.
void measureLoad(TNetConnection& con, qint64 serverPid, const TBenchOptions& o,
                 const QString& binDir, const QString& company, const QString& tax,
                 TLoadFigures& f) {
    QTemporaryFile script;
    script.open();
    script.write(noteSql(company, tax).toUtf8());
    script.flush();
    for (int r = 0; r < o.runs && o.wanted("load"); ++r) {
        fetchFloor(binDir, o.dbPath, script.fileName(), f);
        resetPeak(serverPid);
        resetPeak(0);
        const qint64 clientBefore = procKb(0, "VmRSS:");
        QString flag = QStringLiteral("T"), series, tipos, insc;
        const double cpuBefore = cpuMicros(serverPid);
        QElapsedTimer t;
        t.start();
        TServerAnswer ans = GetNotaFiscal(con, company, QString(), QString(), flag, series, tipos,
                                          {}, {}, {}, {}, insc, tax);
        f.callMs << t.nsecsElapsed() / 1e6;
        f.serverCpuMs << (cpuMicros(serverPid) - cpuBefore) / 1000;
        // The answer keeps its frame; the dataset reads its rows from it.
        f.bytes = ans.payload.frameSize();
        t.restart();
        {
            TClientDataSet cds;
            cds.SetData(CheckResultServ(ans, true, 0));
            ans = TServerAnswer(); // the frame goes once the rows are in
            f.loadMs << t.nsecsElapsed() / 1e6;
            f.rows = cds.RecordCount();
            f.clientLive = std::max(f.clientLive, procKb(0, "VmRSS:") - clientBefore);
        }
        f.clientPeak = std::max(f.clientPeak, procKb(0, "VmHWM:") - clientBefore);
        f.serverPeak = std::max(f.serverPeak, procKb(serverPid, "VmHWM:") - f.serverIdle);
        f.ratios << (f.callMs.last() + f.loadMs.last()) / f.floorMs.last();
        std::fprintf(stderr,
                     "par %d: carga %.0f ms + %.0f ms, piso %.0f ms, %.2fx; CPU do servidor %.0f "
                     "ms, do piso %.0f ms\n",
                     r + 1, f.callMs.last(), f.loadMs.last(), f.floorMs.last(), f.ratios.last(),
                     f.serverCpuMs.last(), f.floorCpuMs.last());
    }
    // The server hands its memory back once the answer has gone out.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 2500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    f.serverAfter = procKb(serverPid, "VmRSS:");
}

struct TCallFigures {
    double calls1 = 0, calls8 = 0, echo1 = 0, echo8 = 0, cpuPerCall = 0;
};

// Small calls against the echo floor; the call is made once even when not measured.
TCallFigures measureCalls(quint16 port, qint64 serverPid, const TBenchOptions& o) {
    QByteArray item;
    const QByteArray small = request(7, QStringLiteral("GetParamFiscal"), {});
    {
        const int fd = connectTo(port);
        if (fd < 0 || !roundTrip(fd, small, item))
            throw EHostError(QStringLiteral("GetParamFiscal sem resposta"));
        ::close(fd);
    }
    TCallFigures c;
    if (!o.wanted("calls"))
        return c;
    // The echo and the server take turns in short slices over connections kept open, so that
    // the machine's other load falls on both alike.
    TEchoServer echo(item.size());
    const QList<int> echo1 = warmConnections(echo.port(), 1, small);
    const QList<int> echo8 = warmConnections(echo.port(), 8, small);
    const QList<int> calls1 = warmConnections(port, 1, small);
    const QList<int> calls8 = warmConnections(port, 8, small);
    constexpr int Slices = 6;
    const double slice = o.seconds / Slices;
    double cpu = 0, calls = 0;
    for (int i = 0; i < Slices; ++i) {
        c.echo1 += callsPerSecond(echo1, small, slice) / Slices;
        // The server's own CPU per call, which the machine's other load moves far less than
        // the rate.
        const double cpuBefore = cpuMicros(serverPid);
        QElapsedTimer t;
        t.start();
        const double rate = callsPerSecond(calls1, small, slice);
        cpu += cpuMicros(serverPid) - cpuBefore;
        calls += rate * t.nsecsElapsed() / 1e9;
        c.calls1 += rate / Slices;
        c.echo8 += callsPerSecond(echo8, small, slice) / Slices;
        c.calls8 += callsPerSecond(calls8, small, slice) / Slices;
    }
    c.cpuPerCall = cpu / calls;
    for (const QList<int>& fds : {echo1, echo8, calls1, calls8})
        for (const int fd : fds)
            ::close(fd);
    return c;
}

struct TGuideFigures {
    double perSecond1 = 0, perSecond8 = 0;
    qsizetype issued1 = 0, issued8 = 0;
    int refused1 = 0, refused8 = 0;
    // The disk's synchronous page writes per second with 1 and 8 writers: the mean of the
    // measures taken between the slices of each run.
    double disk1 = 0, disk8 = 0;
};

// guides notes issued by one client, as many again by eight.
TGuideFigures measureGuides(quint16 port, const QString& dbPath, int guides) {
    TGuideFigures g;
    if (!guides)
        return g;
    const QString guideTax = QStringLiteral("01");
    QSqlDatabase db = FisDb::openConnection(dbPath, QStringLiteral("bench"));
    const QList<TOpenNote> open = openNotes(db, guideTax, guides * 2);
    if (open.size() < guides * 2)
        throw EHostError(QStringLiteral("notas em aberto insuficientes: %1").arg(open.size()));
    QList<TIssueFrames> first, second;
    for (int i = 0; i < open.size(); ++i)
        (i < guides ? first : second) << issueFrames(db, open[i], guideTax);
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    const QString dir = QFileInfo(dbPath).absolutePath();
    const QByteArray warm = request(7, QStringLiteral("GetParamFiscal"), {});
    const auto run = [&](const QList<TIssueFrames>& frames, int clients, int* refused,
                         double* disk) {
        constexpr int Slices = 4;
        const QList<int> fds = warmConnections(port, clients, warm);
        double floor = 0;
        const double perSecond = guidesPerSecond(
            fds, frames, Slices,
            [&] { floor += syncWritesPerSecond(dir, clients, 0.4) / (Slices + 1); }, refused);
        for (const int fd : fds)
            ::close(fd);
        *disk = floor;
        return perSecond;
    };
    g.issued1 = first.size();
    g.issued8 = second.size();
    g.perSecond1 = run(first, 1, &g.refused1, &g.disk1);
    g.perSecond8 = run(second, 8, &g.refused8, &g.disk8);
    return g;
}

// isql-fb, same query, same database, output thrown away: for reference.
double isqlMs(const QString& dbPath, const QString& sql) {
    QTemporaryFile isqlScript;
    isqlScript.open();
    isqlScript.write(QStringLiteral("SET HEADING OFF;\nSET COUNT ON;\n%1;\n").arg(sql).toUtf8());
    isqlScript.flush();
    QProcess isql;
    isql.setProgram(QStringLiteral("isql-fb"));
    isql.setArguments({QStringLiteral("-q"), QStringLiteral("-ch"), QStringLiteral("UTF8"),
                       QStringLiteral("-u"), QStringLiteral("SYSDBA"), QStringLiteral("-p"),
                       QStringLiteral("masterkey"), dbPath, QStringLiteral("-i"),
                       isqlScript.fileName()});
    QElapsedTimer it;
    it.start();
    isql.start();
    isql.waitForFinished(-1);
    return it.nsecsElapsed() / 1e6;
}

// A ratio of 0 (or one that could not be taken) leaves its column empty.
void printRow(const QString& what, const QString& now, const QString& floor, double ratio) {
    const bool shown = ratio > 0 && std::isfinite(ratio);
    say(QStringLiteral("%1 | %2 | %3 | %4")
            .arg(what, -44)
            .arg(now, 14)
            .arg(floor, 14)
            .arg(shown ? QStringLiteral("%1x").arg(ratio, 0, 'f', 2) : QString(), 8));
}

void printLoad(const TBenchOptions& o, const TLoadFigures& f) {
    const double total = median(f.callMs) + median(f.loadMs);
    printRow(QStringLiteral("carga até o dataset (mediana de %1, pareada)").arg(o.runs),
             QStringLiteral("%1 ms").arg(total, 0, 'f', 0),
             QStringLiteral("%1 ms").arg(median(f.floorMs), 0, 'f', 0), median(f.ratios));
    printRow(QStringLiteral("  dos quais GetNotaFiscal (servidor + rede)"),
             QStringLiteral("%1 ms").arg(median(f.callMs), 0, 'f', 0), QString(),
             median(f.callMs) / median(f.floorMs));
    printRow(QStringLiteral("  dos quais SetData no dataset"),
             QStringLiteral("%1 ms").arg(median(f.loadMs), 0, 'f', 0), QString(),
             median(f.loadMs) / median(f.floorMs));
    printRow(QStringLiteral("CPU do servidor na chamada (mediana)"),
             QStringLiteral("%1 ms").arg(median(f.serverCpuMs), 0, 'f', 0),
             QStringLiteral("%1 ms").arg(median(f.floorCpuMs), 0, 'f', 0),
             median(f.serverCpuMs) / median(f.floorCpuMs));
    printRow(QStringLiteral("memória de pico do servidor na carga"), mib(f.serverPeak),
             mib(f.bytes), double(f.serverPeak) / f.bytes);
    printRow(QStringLiteral("  piso: o programa do piso, mesma consulta"), mib(f.floorPeak),
             mib(f.bytes), double(f.floorPeak) / f.bytes);
    printRow(QStringLiteral("memória do servidor depois (ociosa antes: %1)").arg(mib(f.serverIdle)),
             mib(f.serverAfter), mib(f.serverIdle), double(f.serverAfter) / f.serverIdle);
    printRow(QStringLiteral("memória de pico do cliente na carga"), mib(f.clientPeak), mib(f.bytes),
             double(f.clientPeak) / f.bytes);
    printRow(QStringLiteral("memória do cliente com o dataset"), mib(f.clientLive), mib(f.bytes),
             double(f.clientLive) / f.bytes);
}

void printCalls(const TCallFigures& c) {
    printRow(QStringLiteral("GetParamFiscal, 1 conexão (chamadas/s)"),
             QString::number(c.calls1, 'f', 0), QString::number(c.echo1, 'f', 0),
             c.echo1 / c.calls1);
    printRow(QStringLiteral("GetParamFiscal, 8 conexões (chamadas/s)"),
             QString::number(c.calls8, 'f', 0), QString::number(c.echo8, 'f', 0),
             c.echo8 / c.calls8);
    say(QStringLiteral("CPU do servidor por chamada GetParamFiscal (1 conexão): %1 µs")
            .arg(c.cpuPerCall, 0, 'f', 1));
}

// A guide's floor is the disk: its ratio is how many synchronous page writes of this disk, at
// this moment, one guide costs. Each commit waits for its pages, so the ratio stays put when the
// shared disk slows down or speeds up, where guides/s alone swings with it.
void printGuides(const TGuideFigures& g) {
    say(QStringLiteral("Guias emitidas (setDarfDoc + GeraContaPagar, gravação forçada); piso: "
                       "gravações síncronas de 8 KiB/s no disco, tantos gravadores quantos "
                       "clientes"));
    const auto row = [](const QString& clients, double perSecond, qsizetype issued, int refused,
                        double disk) {
        printRow(QStringLiteral("Guias/s, %1 (%2 guias, %3 recusadas)")
                     .arg(clients)
                     .arg(issued)
                     .arg(refused),
                 QString::number(perSecond, 'f', 0), QString::number(disk, 'f', 0),
                 disk / perSecond);
    };
    row(QStringLiteral("1 cliente"), g.perSecond1, g.issued1, g.refused1, g.disk1);
    row(QStringLiteral("8 clientes"), g.perSecond8, g.issued8, g.refused8, g.disk8);
}

// Everything the run measured, each section only when it ran.
void printFigures(const TBenchOptions& o, const QString& root, const TLoadFigures& load,
                  const TCallFigures& calls, const TGuideFigures& guides, double isql) {
    say(QStringLiteral("Banco: %1 (%2 notas no total; raiz Firebird %3)")
            .arg(o.dbPath)
            .arg(o.notes)
            .arg(root));
    if (o.wanted("load"))
        say(QStringLiteral("GetNotaFiscal empresa %1 imposto %2: %3 notas (piso: %4); quadro %5")
                .arg(kCompany, kTax)
                .arg(load.rows)
                .arg(load.floorRows)
                .arg(mib(load.bytes)));
    say(QStringLiteral("%1 | %2 | %3 | %4")
            .arg(QStringLiteral("Medida"), -44)
            .arg(QStringLiteral("Agora"), 14)
            .arg(QStringLiteral("Piso"), 14)
            .arg(QStringLiteral("Razão"), 8));
    if (o.wanted("load"))
        printLoad(o, load);
    if (o.wanted("calls"))
        printCalls(calls);
    if (o.wanted("guides"))
        printGuides(guides);
    if (o.wanted("load"))
        say(QStringLiteral("isql-fb, mesma consulta, saída descartada: %1 ms (referência)")
                .arg(isql, 0, 'f', 0));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TBenchOptions o;
    if (!parseOptions(app.arguments().mid(1), o)) {
        std::fprintf(stderr, "uso: bench_server_load [--notes N] [--runs R] [--guides G] "
                             "[--seconds S] [--database PATH] [--only load|calls|guides] "
                             "[--load-parts 1|2] [--keep]\n");
        return 2;
    }
    const QString binDir = QCoreApplication::applicationDirPath();
    const QString work = QDir(binDir).absoluteFilePath(QStringLiteral("../bench-data"));
    QDir().mkpath(work);
    if (o.dbPath.isEmpty())
        o.dbPath = QStringLiteral("%1/notes-%2.fdb").arg(work).arg(o.notes);

    try {
        const QString root = FisDb::prepareEnvironment(work + QStringLiteral("/firebird"));
        if (!QFileInfo::exists(o.dbPath)) {
            say(QStringLiteral("Criando %1 com %2 notas...").arg(o.dbPath).arg(o.notes));
            QElapsedTimer t;
            t.start();
            FisDb::createDatabase(o.dbPath, true, o.notes);
            say(QStringLiteral("  criado em %1 s").arg(t.elapsed() / 1000.0, 0, 'f', 1));
        }
        QProcess server;
        const quint16 port = startServer(server, binDir, work, o);
        const qint64 serverPid = server.processId();
        TNetConnection con;
        con.setPort(port);
        con.setTimeoutMs(600000);
        con.setServerName(QString::fromLatin1(FisProtocol::ObjectName));
        // The server opens its database connection at the first call; keep that out of the
        // figures.
        CheckResultServ(GetParamFiscal(con), true, 0);
        app.processEvents();

        TLoadFigures load;
        load.serverIdle = procKb(serverPid, "VmRSS:");
        measureLoad(con, serverPid, o, binDir, kCompany, kTax, load);
        const TCallFigures calls = measureCalls(port, serverPid, o);
        const TGuideFigures guides =
            measureGuides(port, o.dbPath, o.wanted("guides") ? o.guides : 0);
        const double isql = o.wanted("load") ? isqlMs(o.dbPath, noteSql(kCompany, kTax)) : 0;

        con.setConnected(false);
        server.terminate();
        server.waitForFinished(10000);
        if (!o.keep && !qEnvironmentVariableIsEmpty("FIS_BENCH_DROP"))
            QFile::remove(o.dbPath);

        printFigures(o, root, load, calls, guides, isql);
        return 0;
    } catch (const EHostError& e) {
        std::fprintf(stderr, "bench_server_load: %s\n", e.text().toUtf8().constData());
        return 1;
    }
}
