#!/usr/bin/env python3
"""rpqgate's benchmark (run by scripts/bench.sh): a large PDF through the
gateway against its floors measured in the same run, many clients at once,
and the IPP side beside ippeveprinter. Measures; asserts nothing."""
import argparse, os, shutil, subprocess, sys, tempfile, threading, time
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ipp_clients import Gateway, Server, free_port, ipptool, print_job, job_state, start_avahi, stop_daemons, wait_for


def make_pdf(path, mib):
    """A valid one-page PDF of mib MiB: half drawing text, half an image's
    bytes that do not compress (as a scan's), so that the archive has chunks."""
    line = b"BT /F1 10 Tf 72 %d Td (RPQ benchmark line %08d: the quick brown fox) Tj ET\n"
    body = bytearray()
    i = 0
    while len(body) < mib * 512 * 1024:
        body += line % (700 - (i % 60) * 10, i)
        i += 1
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
            b"/Resources << /Font << /F1 5 0 R >> >> >>",
            b"<< /Length %d >>\nstream\n" % len(body) + bytes(body) + b"\nendstream",
            b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    image = os.urandom(mib * 512 * 1024)
    objs.append(b"<< /Type /XObject /Subtype /Image /Width %d /Height 1024 /ColorSpace /DeviceGray "
                b"/BitsPerComponent 8 /Length %d >>\nstream\n" % (len(image) // 1024, len(image)) + image + b"\nendstream")
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for n, o in enumerate(objs, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % n + o + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    for off in offsets:
        out += b"%010d 00000 n \n" % off
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    open(path, "wb").write(out)


def peak_kib(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def until_completed(work, uri, job, seconds=600):
    return wait_for(lambda: job_state(work, uri, job).get("job-state") in ("completed", "aborted", "canceled"),
                    seconds, 0.05)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--gateway", required=True)
    p.add_argument("--server", required=True)
    p.add_argument("--floors", required=True)
    p.add_argument("--mib", type=int, default=64)
    p.add_argument("--clients", type=int, default=20)
    p.add_argument("--client-mib", type=int, default=4)
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="rpqgate-bench-")
    os.chmod(work, 0o755)
    procs = []
    try:
        doc = os.path.join(work, "big.pdf")
        make_pdf(doc, a.mib)
        server = Server(a.server, work, "server", [])
        server.proc.kill(); server.proc.wait()  # again without bodies in its journal
        shutil.rmtree(server.dir)
        server = Server.__new__(Server)
        server.dir = os.path.join(work, "server")
        os.makedirs(server.dir)
        server.proc = subprocess.Popen([a.server, "--port", "0", "--port-file", server.dir + "/port", "--storage",
                                        server.dir + "/store", "--journal", server.dir + "/journal", "--no-bodies",
                                        "--quiet"])
        server.port = int(wait_for(lambda: os.path.exists(server.dir + "/port") and open(server.dir + "/port").read().strip(), 10))
        server.url = "http://127.0.0.1:%d/FDXS_Transfer" % server.port
        procs.append(server)
        gw = Gateway(a.gateway, work, [("bench", server.url)])
        procs.append(gw)
        size = os.path.getsize(doc) / 1048576.0

        t = time.time(); subprocess.run(["md5sum", doc], capture_output=True); md5 = time.time() - t
        floors = dict(l.split() for l in subprocess.run([a.floors, doc, work, server.url], capture_output=True,
                                                         text=True, check=True).stdout.splitlines())
        compress, upload = float(floors["compress"]), float(floors["upload"])
        t = time.time()
        r, job = print_job(work, gw.uri("bench"), doc, jobname="bench")
        received = time.time() - t
        until_completed(work, gw.uri("bench"), job)
        total = time.time() - t
        floor = compress + upload + md5
        print("rpqgate, one %.0f MiB PDF (archive %.1f MiB):" % (size, int(floors["archive"]) / 1048576.0))
        print("  %-34s %7.2f s" % ("through the gateway (submit to completed)", total))
        print("  %-34s %7.2f s" % ("  of which the IPP upload", received))
        print("  %-34s %7.2f s" % ("compression alone (libarchive)", compress))
        print("  %-34s %7.2f s" % ("upload alone (the chunks, libcurl)", upload))
        print("  %-34s %7.2f s" % ("md5 of the document", md5))
        print("  %-34s %7.2f   (gateway minus the IPP upload, over compression + upload + md5)" %
              ("ratio", (total - received) / floor))

        # Many clients at once.
        small = os.path.join(work, "small.pdf")
        make_pdf(small, a.client_mib)
        before = len(server.verified())
        jobs = []
        def client(i):
            r, job = print_job(work + "/c%d" % i, gw.uri("bench"), small, user="user%d" % i, jobname="client %d" % i)
            jobs.append(job)
        for i in range(a.clients):
            os.makedirs(work + "/c%d" % i)
        t = time.time()
        threads = [threading.Thread(target=client, args=(i,)) for i in range(a.clients)]
        for th in threads: th.start()
        for th in threads: th.join()
        wait_for(lambda: len(server.verified()) - before >= a.clients, 600, 0.1)
        elapsed = time.time() - t
        done = len(server.verified()) - before
        print("%d clients printing %d MiB each at once: %d verified in %.2f s, %.1f MiB/s; rpqgate's peak memory %.1f MiB" %
              (a.clients, a.client_mib, done, elapsed, done * a.client_mib / elapsed, peak_kib(gw.proc.pid) / 1024.0))

        # The IPP side alone, beside ippeveprinter receiving the same file.
        t = time.time(); print_job(work, gw.uri("bench"), doc, jobname="ipp side"); ours = time.time() - t
        if start_avahi():
            port = free_port()
            spool = os.path.join(work, "anchor")
            os.makedirs(spool)
            anchor = subprocess.Popen(["ippeveprinter", "-p", str(port), "-d", spool, "-r", "off", "-f",
                                       "application/pdf", "anchor"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            uri = "ipp://localhost:%d/ipp/print" % port
            wait_for(lambda: ipptool(uri, "get-printer-attributes.test").returncode == 0, 20, 0.2)
            t = time.time(); print_job(work, uri, doc, jobname="ipp side"); theirs = time.time() - t
            anchor.terminate(); anchor.wait()
            print("IPP side, Print-Job of %.0f MiB until its answer: rpqgate %.2f s, ippeveprinter %.2f s" % (size, ours, theirs))
        else:
            print("IPP side, Print-Job of %.0f MiB until its answer: rpqgate %.2f s (no ippeveprinter: Avahi needs root)" % (size, ours))
    finally:
        for proc in procs:
            try: proc.stop()
            except Exception: pass
        stop_daemons()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
