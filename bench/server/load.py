#!/usr/bin/env python3
"""Hostile load on fis98100-server, loopback only, bounded in count and time.

Starts a server on a fresh demo database, then at once: opens CONNECTIONS idle connections and
holds them, sends FRAMES fuzzed frames over a few connections, and lets CLIENTS clerks issue
guides (some notes by two clerks at once). Prints the server's peak memory, its memory once the
load is gone, the refused connections, the guides issued, and the lost and doubled payables
checked in the database afterwards (both must be 0).

    bench/server/load.py [--build DIR] [--connections 2000] [--frames 100000] [--clients 8]
                         [--notes 3000] [--max-seconds 600]
"""
import argparse, os, random, resource, socket, struct, subprocess, sys, tempfile, threading, time
from datetime import date

OBJECT = "Fis98100.rdmCriaEmissaoDarfDoc"


# --- a small CBOR codec: what the protocol uses -------------------------------------------
class Tag0(str):
    """A date-time as the protocol sends it (tag 0, text)."""


def _head(major, n):
    if n < 24:
        return bytes([major << 5 | n])
    for size, code in ((1, 24), (2, 25), (4, 26), (8, 27)):
        if n < 1 << (8 * size):
            return bytes([major << 5 | code]) + n.to_bytes(size, "big")
    raise ValueError(n)


def enc(v):
    if v is None:
        return b"\xf6"
    if v is True or v is False:
        return b"\xf5" if v else b"\xf4"
    if isinstance(v, Tag0):
        return b"\xc0" + enc(str(v))
    if isinstance(v, int):
        return _head(0, v) if v >= 0 else _head(1, -1 - v)
    if isinstance(v, float):
        return b"\xfb" + struct.pack(">d", v)
    if isinstance(v, str):
        b = v.encode()
        return _head(3, len(b)) + b
    if isinstance(v, bytes):
        return _head(2, len(v)) + v
    if isinstance(v, (list, tuple)):
        return _head(4, len(v)) + b"".join(enc(x) for x in v)
    if isinstance(v, dict):
        return _head(5, len(v)) + b"".join(enc(k) + enc(x) for k, x in v.items())
    raise TypeError(type(v))


def dec(b, i=0):
    ib = b[i]
    major, info = ib >> 5, ib & 31
    i += 1
    if info < 24:
        n = info
    elif info in (24, 25, 26, 27):
        size = 1 << (info - 24)
        n = int.from_bytes(b[i:i + size], "big")
        i += size
    else:
        n = None
    if major == 0:
        return n, i
    if major == 1:
        return -1 - n, i
    if major in (2, 3):
        s = b[i:i + n]
        return (s if major == 2 else s.decode()), i + n
    if major == 4:
        out = []
        for _ in range(n):
            x, i = dec(b, i)
            out.append(x)
        return out, i
    if major == 5:
        out = {}
        for _ in range(n):
            k, i = dec(b, i)
            out[k], i = dec(b, i)
        return out, i
    if major == 6:
        return dec(b, i)
    if info == 20:
        return False, i
    if info == 21:
        return True, i
    if info in (22, 23):
        return None, i
    if info == 25:
        return struct.unpack(">e", b[i - 2:i])[0], i
    if info == 26:
        return struct.unpack(">f", b[i - 4:i])[0], i
    if info == 27:
        return struct.unpack(">d", b[i - 8:i])[0], i
    raise ValueError(ib)


def frame(body):
    return struct.pack(">I", len(body)) + body


def request(rid, method, args):
    return frame(enc({"id": rid, "object": OBJECT, "method": method, "args": args}))


def recv_frame(s):
    def exact(n):
        out = b""
        while len(out) < n:
            part = s.recv(n - len(out))
            if not part:
                raise ConnectionError("closed")
            out += part
        return out
    n = struct.unpack(">I", exact(4))[0]
    return dec(exact(n))[0]


def call(s, rid, method, args):
    s.sendall(request(rid, method, args))
    return recv_frame(s)


# --- the DARF barcode, as the issue run composes it -------------------------------------------
def mod10(digits):
    total, weight = 0, 2
    for c in reversed(digits):
        p = int(c) * weight
        total += p // 10 + p % 10
        weight = 3 - weight
    r = total % 10
    return str(0 if r == 0 else 10 - r)


def barcode(cents, due, ref_pay, registration, revenue, entry, ref_due):
    reg = "".join(c for c in registration if c.isdigit()).rjust(14, "0")[:12]
    body = ("856" + str(cents).rjust(11, "0") + "0064" + str((due - ref_pay).days).rjust(4, "0")
            + "1" + reg + revenue + str((entry - ref_due).days).rjust(4, "0"))
    bar = body[:3] + mod10(body) + body[3:]
    line = " ".join(bar[11 * k:11 * k + 11] + "." + mod10(bar[11 * k:11 * k + 11]) for k in range(4))
    return bar, line


PAYABLE_FIELDS = [["CDFILIAL", "string", 4], ["NRLANCTONF", "string", 10],
                  ["IDSTATUSGUIA", "string", 2], ["VRMULTAGUIA", "float", 0],
                  ["VRJUROGUIA", "float", 0], ["DTVENCGUIA", "datetime", 0],
                  ["CDINSCESTA", "string", 16], ["CDINSCMUNI", "string", 16],
                  ["IDORIGDESTNF", "string", 1], ["NRNOTAFISC", "string", 20],
                  ["CDDESTEMIT", "string", 21], ["VRNOTAFISC", "float", 0],
                  ["VRIMPOSTONF", "float", 0], ["CDRECEITAGNRE", "string", 10],
                  ["DTVENCGNRE", "datetime", 0], ["IDENTRSAIDOP", "string", 1],
                  ["IDCHECK", "string", 20], ["CDSERIEENTR", "string", 20],
                  ["STLINHADIGI", "string", 60], ["STBARRAGUIA", "string", 50],
                  ["CDFILIOPER", "string", 4]]


def d(text):
    return date.fromisoformat(text[:10])


# --- the run ---------------------------------------------------------------------------------
class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.refused = self.held = self.frames = self.fuzz_answers = 0
        self.issued = self.emit = self.issue_refused = self.issue_errors = 0
        self.ok_keys = []

    def add(self, **kw):
        with self.lock:
            for k, v in kw.items():
                setattr(self, k, getattr(self, k) + v)


def memory(pid, field):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) // 1024
    except OSError:
        pass
    return -1


def isql(env, db, sql):
    out = subprocess.run(["isql-fb", "-q", "-user", "SYSDBA", db], input=sql, env=env,
                         capture_output=True, text=True, timeout=300)
    return out.stdout


def main():
    ap = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--build", default=os.path.join(here, "..", "..", "build"))
    ap.add_argument("--connections", type=int, default=2000)
    ap.add_argument("--frames", type=int, default=100000)
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--notes", type=int, default=3000)
    ap.add_argument("--max-seconds", type=float, default=600)
    a = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    server_bin = os.path.join(a.build, "bin", "fis98100-server")
    work = tempfile.mkdtemp(prefix="fis-load-")
    root, db = os.path.join(work, "firebird"), os.path.join(work, "fis.fdb")
    subprocess.run([server_bin, "--firebird-root", root, "--create-database", db, "--demo",
                    "--notes", str(a.notes)], check=True, capture_output=True)
    env = dict(os.environ, FIREBIRD=root, FIREBIRD_LOCK=root + "/lock")
    regs = {}
    for line in isql(env, db, "SELECT CDEMPRESA, NRINSJUREMPR FROM EMPRESA;").splitlines():
        p = line.split()
        if len(p) == 2 and p[0].isdigit():
            regs[p[0]] = p[1]
    before = int(isql(env, db, "SELECT COUNT(*) FROM CONTAPAGAR;").split()[-1])
    log = open(os.path.join(work, "server.log"), "w+")
    server = subprocess.Popen([server_bin, "--firebird-root", root, "--database", db, "--port",
                               "0"], stderr=log, env=env)
    port = None
    for _ in range(300):
        time.sleep(0.1)
        log.seek(0)
        text = log.read()
        if "escutando em 127.0.0.1:" in text:
            port = int(text.split("escutando em 127.0.0.1:")[1].split(",")[0])
            break
    if not port:
        sys.exit("the server did not start")
    idle_mb = memory(server.pid, "VmRSS")
    deadline = time.time() + a.max_seconds
    st = Stats()
    peak = [idle_mb]
    done = threading.Event()
    connected = threading.Semaphore(0)
    ready = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], memory(server.pid, "VmRSS"))
            time.sleep(0.2)

    held = []
    slowest = [0.0]

    def connector():
        # Idle connections, once the clerks are in: served up to the cap, the rest refused with
        # a text, while the clerks go on.
        for _ in range(a.clients):
            connected.acquire()
        ready.set()
        for _ in range(a.connections):
            if time.time() > deadline:
                break
            t = time.time()
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=10)
                held.append(s)
            except OSError:
                st.add(refused=1)
            # A connect the listen queue could not take waits a second for the system's retry.
            slowest[0] = max(slowest[0], time.time() - t)
        time.sleep(2)
        for s in held:
            s.setblocking(False)
            try:
                data = s.recv(4096)
                if not data or b"ocupado" in data:
                    st.add(refused=1)
                else:
                    st.add(held=1)
            except BlockingIOError:
                st.add(held=1)
            except OSError:
                st.add(refused=1)

    seeds = [request(1, "GetParamFiscal", []),
             request(2, "GetSerie", ["01", "", "", "T"]),
             request(3, "GetNotaFiscal", ["01", "", "", "T", "'E_1'", "", None, None, None, None,
                                          "", "01"]),
             request(4, "setDarfDoc", ["0001", "1", "01", "N", 1.5, 0.5, "30/09/2026", "h", "",
                                       "5123"]),
             request(5, "GeraContaPagar", ["01", "01", {"fields": PAYABLE_FIELDS[:3],
                                                        "rows": [["0001", "1", "N"]]}, "", "", ""])]

    def fuzzed(rng):
        kind = rng.randrange(6)
        f = bytearray(rng.choice(seeds))
        if kind == 0:  # flipped bytes after the length
            for _ in range(rng.randrange(1, 8)):
                f[rng.randrange(4, len(f))] = rng.randrange(256)
            return bytes(f)
        if kind == 1:  # random body
            return frame(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200))))
        if kind == 2:  # tiny items: tags, empty arrays, small integers
            item = rng.choice([b"\xc1\x00", b"\x80", b"\x81\x81\x01", b"\x01", b"\xd8\x63\x01"])
            n = rng.randrange(1, 20000)
            return frame(_head(4, n) + item * n)
        if kind == 3:  # deep nesting
            return frame(b"\x81" * rng.randrange(10, 5000) + b"\x01")
        if kind == 4:  # an item cut short, in a frame of its own length
            return frame(bytes(f[4:rng.randrange(5, len(f))]))
        return bytes(f)  # the seed as it is

    def fuzzer(n, seed):
        rng = random.Random(seed)
        sent = 0
        while sent < n and time.time() < deadline:
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=30)
            except OSError:
                time.sleep(0.2)
                continue
            stop = threading.Event()

            def drain():
                buf = b""
                try:
                    while not stop.is_set():
                        data = s.recv(65536)
                        if not data:
                            break
                        buf += data
                        while len(buf) >= 4 and len(buf) >= 4 + struct.unpack(">I", buf[:4])[0]:
                            n = struct.unpack(">I", buf[:4])[0]
                            body, buf = buf[4:4 + n], buf[4 + n:]
                            if b"\x1a\x3a\xde\x68\xb1" in body:  # the marker's id
                                return
                            st.add(fuzz_answers=1)
                except OSError:
                    pass

            t = threading.Thread(target=drain, daemon=True)
            t.start()
            ready.wait()
            try:
                while sent < n and time.time() < deadline:
                    batch = b"".join(fuzzed(rng) for _ in range(50))
                    s.sendall(batch)
                    sent += 50
                    st.add(frames=50)
                    if not t.is_alive():
                        break  # closed by the server (a length beyond the limit): again
                # The server answers in order: once this one is back, it read every frame.
                s.sendall(request(987654321, "GetParamFiscal", []))
            except OSError:
                pass
            t.join(max(1, deadline - time.time()))
            stop.set()
            s.close()

    def clerk(k):
        rng = random.Random(100 + k)
        company = ["01", "02", "03", "04"][k % 4]
        s = socket.create_connection(("127.0.0.1", port), timeout=60)
        param = call(s, 1, "GetParamFiscal", [])["result"]
        connected.release()
        ready.wait()
        pf = [f[0] for f in param["fields"]]
        prow = param["rows"][0]
        ref_due, ref_pay = d(prow[pf.index("DTREFVENCDARF")]), d(prow[pf.index("DTREFPAGDARF")])
        ans = call(s, 2, "GetNotaFiscal", [company, "", "", "T", "", "", None, None, None, None,
                                           "", "01"])["result"]
        f = [x[0] for x in ans["fields"]]
        notes = [r for r in ans["rows"] if r[f.index("IDSTATUSGUIA")] == "N"]
        # Two clerks per company: they walk the same notes from opposite ends.
        if k >= 4:
            notes.reverse()
        rid = 10
        for r in notes:
            if time.time() > deadline:
                break
            fil, lan = r[f.index("CDFILIAL")], r[f.index("NRLANCTONF")]
            tax = r[f.index("VRIMPOSTONF")]
            fine, interest = rng.choice([0.0, 1.5, 2.25]), rng.choice([0.0, 0.5])
            rid += 1
            call(s, rid, "setDarfDoc", [fil, lan, "01", "N", fine, interest, "30/09/2026",
                                        "carga", "", "5123"])
            cents = round(tax * 100) + round(fine * 100) + round(interest * 100)
            bar, line = barcode(cents, date(2026, 9, 30), ref_pay, regs[company], "5123",
                                d(r[f.index("DTENTRSAID")]), ref_due)
            row = [fil, lan, "N", fine, interest, Tag0("2026-09-30T00:00:00.000Z"), None, None,
                   None, "1", None, 0.0, cents / 100, "5123", Tag0("2026-09-30T00:00:00.000Z"),
                   "S", "C", "1", line, bar, fil]
            rid += 1
            a2 = call(s, rid, "GeraContaPagar", [company, "01",
                                                  {"fields": PAYABLE_FIELDS, "rows": [row]},
                                                  bar, line, "carga"])
            res = a2.get("result")
            if isinstance(res, list):
                kind = res[0]["rows"][0][1]
                if kind == "CONTAPAGAR_OK":
                    st.add(issued=1)
                    with st.lock:
                        st.ok_keys.append((fil, lan))
                elif kind == "EMIT":
                    st.add(emit=1)
                else:
                    st.add(issue_errors=1)
            elif isinstance(res, str):
                st.add(issue_refused=1)
                print("recusado:", res, file=sys.stderr)
            else:
                st.add(issue_errors=1)
                print("erro:", a2.get("error"), file=sys.stderr)
        s.close()

    threads = [threading.Thread(target=sample, daemon=True), threading.Thread(target=connector)]
    per = a.frames // 4
    threads += [threading.Thread(target=fuzzer, args=(per, i)) for i in range(4)]
    threads += [threading.Thread(target=clerk, args=(k,)) for k in range(a.clients)]
    t0 = time.time()
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join()
    elapsed = time.time() - t0
    for s in held:
        s.close()
    time.sleep(3)
    after_mb = memory(server.pid, "VmRSS")
    peak_mb = max(peak[0], memory(server.pid, "VmHWM"))
    done.set()
    alive = server.poll() is None
    server.terminate()
    server.wait(10)
    out = isql(env, db, """
SELECT COUNT(*) FROM CONTAPAGAR;
SELECT COUNT(*) FROM (SELECT CDFILIAL, NRLANCTONF, CDIMPOSTONFE FROM CONTAPAGAR
  GROUP BY 1, 2, 3 HAVING COUNT(*) > 1);
SELECT COUNT(*) FROM IMPOSTONF i WHERE i.IDSTATUSGUIA = 'S' AND NOT EXISTS (SELECT 1 FROM
  CONTAPAGAR c WHERE c.NRCONTAPAGAR = i.NRCONTAPAGAR);
SELECT COUNT(*) FROM CONTAPAGAR c JOIN IMPOSTONF i ON i.CDFILIAL = c.CDFILIAL AND
  i.NRLANCTONF = c.NRLANCTONF AND i.CDIMPOSTONFE = c.CDIMPOSTONFE
  WHERE c.VRCONTAPAGAR <> i.VRIMPOSTONF + c.VRMULTAGUIA + c.VRJUROGUIA;
""")
    nums = [int(x) for x in out.split() if x.isdigit()]
    payables, doubled, marked_without, wrong_total = nums[:4]
    lost = (before + st.issued) - payables + marked_without
    print(f"duração                        {elapsed:.0f} s (limite {a.max_seconds:.0f} s)")
    print(f"conexões abertas               {a.connections}: {st.held} mantidas, "
          f"{st.refused} recusadas")
    print(f"conexão mais lenta             {slowest[0] * 1000:.0f} ms")
    print(f"quadros com ruído enviados     {st.frames} ({st.fuzz_answers} respondidos)")
    print(f"guias emitidas                 {st.issued} (já emitidas {st.emit}, recusadas "
          f"{st.issue_refused}, erros {st.issue_errors})")
    print(f"memória do servidor            ociosa {idle_mb} MB, pico {peak_mb} MB, "
          f"depois da carga {after_mb} MB")
    print(f"servidor vivo ao fim           {'sim' if alive else 'NÃO'}")
    print(f"contas a pagar perdidas        {lost}")
    print(f"contas a pagar em dobro        {doubled}")
    print(f"totais que contradizem a guia  {wrong_total}")
    return 0 if alive and lost == 0 and doubled == 0 and wrong_total == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
