// bench_fetch_floor DATABASE SQLFILE [RUNS]
//
// The floor under a GetNotaFiscal load: the same statement fetched with the Firebird client
// calls alone (no Qt, no conversion), every column of every row read once from the fetch
// buffers. One attachment, one read-only read-committed transaction, the statement prepared
// once; each run executes and fetches it whole. Prints one line per run: "rows milliseconds
// checksum peak-KiB cpu-milliseconds": peak-KiB the process's peak resident memory so far (the
// embedded engine's page cache and sort for the statement, which a server process carries as
// well), cpu-milliseconds the CPU the process used for the run.
// The embedded engine takes its root from FIREBIRD, as the server does.
#include <ibase.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool failed(const ISC_STATUS* status, const char* what) {
    if (status[0] == 1 && status[1]) {
        std::fprintf(stderr, "bench_fetch_floor: %s: ", what);
        const ISC_STATUS* p = status;
        char buf[512];
        while (fb_interpret(buf, sizeof buf, &p))
            std::fprintf(stderr, "%s ", buf);
        std::fprintf(stderr, "\n");
        return true;
    }
    return false;
}

// CPU time of the whole process, every engine thread included, as for the server it pairs with.
double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// This process's own peak resident memory (the rusage figure would keep the parent's from
// before the exec).
long peakKib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        long value = 0;
        if (key == "VmHWM:" && status >> value)
            return value;
        status.ignore(4096, '\n');
    }
    return -1;
}

XSQLDA* newDa(int n) {
    auto* da = static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(n)));
    da->version = SQLDA_VERSION1;
    da->sqln = short(n);
    return da;
}

// Attaches to location with the environment's credentials, in UTF8 as the server does.
bool attach(const std::string& location, isc_db_handle& db) {
    const char* user = std::getenv("ISC_USER") ? std::getenv("ISC_USER") : "SYSDBA";
    const char* password = std::getenv("ISC_PASSWORD") ? std::getenv("ISC_PASSWORD") : "masterkey";
    std::string dpb;
    dpb += char(isc_dpb_version1);
    auto item = [&](char tag, const std::string& v) {
        dpb += tag;
        dpb += char(v.size());
        dpb += v;
    };
    item(isc_dpb_user_name, user);
    item(isc_dpb_password, password);
    item(isc_dpb_lc_ctype, "UTF8");
    ISC_STATUS_ARRAY st{};
    return !(isc_attach_database(st, 0, location.c_str(), &db, short(dpb.size()), dpb.data()),
             failed(st, "abrir o banco"));
}

// One run: executes the prepared statement, reads every value of every row once, as any
// consumer of the rows would, and prints the run's line.
bool fetchAll(isc_tr_handle& tr, isc_stmt_handle& stmt, XSQLDA* out) {
    ISC_STATUS_ARRAY st{};
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = cpuMs();
    if (isc_dsql_execute(st, &tr, &stmt, SQL_DIALECT_V6, nullptr), failed(st, "executar"))
        return false;
    long rows = 0;
    unsigned long checksum = 0;
    while (isc_dsql_fetch(st, &stmt, SQL_DIALECT_V6, out) == 0) {
        ++rows;
        for (int i = 0; i < out->sqld; ++i) {
            const XSQLVAR& v = out->sqlvar[i];
            if ((v.sqltype & 1) && *v.sqlind < 0)
                continue;
            const int len = (v.sqltype & ~1) == SQL_VARYING
                                ? *reinterpret_cast<const short*>(v.sqldata) + 2
                                : v.sqllen;
            for (int b = 0; b < len; ++b)
                checksum += static_cast<unsigned char>(v.sqldata[b]);
        }
    }
    if (failed(st, "ler"))
        return false;
    isc_dsql_free_statement(st, &stmt, DSQL_close);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%ld %.1f %lu %ld %.1f\n", rows, ms, checksum % 1000, peakKib(), cpuMs() - cpu0);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "uso: bench_fetch_floor BANCO ARQUIVO_SQL [EXECUÇÕES]\n");
        return 2;
    }
    std::ifstream in(argv[2]);
    std::stringstream text;
    text << in.rdbuf();
    const std::string sql = text.str();
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;

    isc_db_handle db = 0;
    if (!attach(argv[1], db))
        return 1;
    ISC_STATUS_ARRAY st{};
    static const char tpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed,
                               isc_tpb_rec_version, isc_tpb_nowait};
    isc_tr_handle tr = 0;
    if (isc_start_transaction(st, &tr, 1, &db, short(sizeof tpb), tpb), failed(st, "transação"))
        return 1;
    isc_stmt_handle stmt = 0;
    XSQLDA* out = newDa(64);
    isc_dsql_allocate_statement(st, &db, &stmt);
    if (isc_dsql_prepare(st, &tr, &stmt, 0, sql.c_str(), SQL_DIALECT_V6, out),
        failed(st, "preparar"))
        return 1;
    std::vector<std::vector<char>> buffers(size_t(out->sqld));
    std::vector<short> nulls(size_t(out->sqld));
    for (int i = 0; i < out->sqld; ++i) {
        XSQLVAR& v = out->sqlvar[i];
        buffers[size_t(i)].resize(size_t(v.sqllen) + 2);
        v.sqldata = buffers[size_t(i)].data();
        v.sqlind = &nulls[size_t(i)];
    }
    for (int r = 0; r < runs; ++r)
        if (!fetchAll(tr, stmt, out))
            return 1;
    isc_dsql_free_statement(st, &stmt, DSQL_drop);
    isc_commit_transaction(st, &tr);
    isc_detach_database(st, &db);
    std::free(out);
    return 0;
}
