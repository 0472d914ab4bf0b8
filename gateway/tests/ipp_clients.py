#!/usr/bin/env python3
"""rpqgate with real IPP clients: CUPS's ipptool suites held beside
ippeveprinter, CUPS itself as a client, refused, cancelled and oversized
jobs, and a gateway killed in the middle of a transfer."""
import argparse, atexit, json, os, re, shutil, signal, socket, subprocess, sys, tempfile, threading, time

SUITES = ["get-printer-attributes", "validate-job", "print-job", "create-job", "get-jobs",
          "cancel-current-job", "ipp-2.0"]
failures = []
started_daemons = []  # Avahi and D-Bus when this run started them: stopped at its end


def check(ok, what):
    print(("PASS " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds, step=0.1):
    end = time.time() + seconds
    while time.time() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


class Server:
    """The reference workflow server on a free loopback port."""
    def __init__(self, exe, work, name, rules=()):
        self.dir = os.path.join(work, name)
        os.makedirs(self.dir)
        args = [exe, "--port", "0", "--port-file", self.dir + "/port", "--storage", self.dir + "/store",
                "--journal", self.dir + "/journal", "--quiet"]
        for r in rules:
            args += ["--rule", r]
        self.proc = subprocess.Popen(args)
        self.port = int(wait_for(lambda: os.path.exists(self.dir + "/port") and open(self.dir + "/port").read().strip(), 10))
        self.url = "http://127.0.0.1:%d/FDXS_Transfer" % self.port

    def jobs(self):
        path = self.dir + "/journal/jobs.jsonl"
        latest = {}
        if os.path.exists(path):
            for line in open(path):
                j = json.loads(line)
                latest[j["uid"]] = j
        return latest

    def verified(self):
        return {u: j for u, j in self.jobs().items() if j.get("state") == "verified"}

    def xfers(self):
        """The XFER requests' fields as the server decoded them."""
        path = self.dir + "/journal/requests.jsonl"
        out = []
        if os.path.exists(path):
            for line in open(path):
                j = json.loads(line)
                if isinstance(j.get("message"), dict) and j["message"].get("type") == "XFER":
                    out.append(j["message"])
        return out

    def types(self):
        path = self.dir + "/journal/requests.jsonl"
        return [json.loads(l).get("messageHex", "00")[:2] for l in open(path)] if os.path.exists(path) else []

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class Gateway:
    def __init__(self, exe, work, printers, extra=(), port=None, state=None, dnssd=False, configured=()):
        """printers: (name, url) for --printer; configured: names that only the state's rpqgate.conf gives."""
        self.exe, self.printers, self.extra, self.dnssd = exe, printers, list(extra), dnssd
        self.names = [name for name, _ in printers] + list(configured)
        self.port = port or free_port()
        self.state = state or tempfile.mkdtemp(prefix="state-", dir=work)
        os.chmod(self.state, 0o700)
        self.log = os.path.join(work, "rpqgate-%d.log" % self.port)
        self.start()

    def start(self):
        args = [self.exe, "serve", "--port", str(self.port), "--listen", "localhost", "--state", self.state]
        args += ([] if self.dnssd else ["--no-dnssd"]) + self.extra
        for name, url in self.printers:
            args += ["--printer", "%s=%s" % (name, url)]
        self.proc = subprocess.Popen(args, stdout=open(self.log, "ab"), stderr=subprocess.STDOUT)
        ok = wait_for(lambda: ipptool(self.uri(self.names[0]), "get-printer-attributes.test").returncode == 0, 20, 0.3)
        if not ok:
            print(open(self.log).read())
            raise SystemExit("rpqgate did not start")

    def uri(self, name):
        return "ipp://localhost:%d/ipp/print/%s" % (self.port, name)

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.kill()

    def journal(self):
        return sorted(os.listdir(os.path.join(self.state, "jobs")))


def ipptool(uri, test, document=None, variables=(), timeout=120):
    args = ["ipptool", "-t", "-T", "20"]
    if document:
        args += ["-f", document, "-d", "filetype=application/pdf"]
    for v in variables:
        args += ["-d", v]
    args += [uri, test]
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout)


def write_test(work, name, text):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write(text)
    return path


PRINT_JOB = """{
  OPERATION Print-Job
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name $rpquser
  ATTR name job-name $jobname
  ATTR mimeMediaType document-format $format
  GROUP job-attributes-tag
  ATTR integer copies $copies
  FILE $filename
  STATUS $status
  EXPECT job-id OF-TYPE integer
}
"""

JOB_STATE = """{
  OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR integer job-id $job
  ATTR name requesting-user-name tester
  STATUS successful-ok
  DISPLAY job-state
  DISPLAY job-state-message
  DISPLAY job-state-reasons
}
"""

CANCEL = """{
  OPERATION Cancel-Job
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR integer job-id $job
  ATTR name requesting-user-name $user
  STATUS successful-ok
}
"""


def print_job(work, uri, document, user="tester", jobname="report", copies=1, fmt="application/pdf",
              status="successful-ok", extra=""):
    text = PRINT_JOB.replace("$status", status).replace("  FILE $filename", extra + "  FILE $filename")
    if not status.startswith("successful"):
        text = text.replace("  EXPECT job-id OF-TYPE integer\n", "")
    test = write_test(work, "print.test", text)
    r = subprocess.run(["ipptool", "-tv", "-T", "20", "-f", document, "-d", "rpquser=" + user, "-d", "jobname=" + jobname,
                        "-d", "copies=%d" % copies, "-d", "format=" + fmt, uri, test],
                       capture_output=True, text=True, timeout=120)
    job = None
    for line in r.stdout.splitlines():
        line = line.strip()
        if line.startswith("job-id (integer) = "):
            job = int(line.split("=")[1])
    if job is None and status.startswith("successful"):
        print(r.stdout[-2000:])
    return r, job


def job_state(work, uri, job):
    test = write_test(work, "state.test", JOB_STATE)
    r = subprocess.run(["ipptool", "-t", "-T", "20", "-d", "job=%d" % job, uri, test], capture_output=True, text=True)
    state = {}
    for line in r.stdout.splitlines():
        for key in ("job-state", "job-state-message", "job-state-reasons"):
            if line.strip().startswith(key + " ") or line.strip().startswith(key + "="):
                state[key] = line.split("=", 1)[1].strip()
    return state


def wait_state(work, uri, job, states, seconds=60):
    if job is None:
        return None
    return wait_for(lambda: (lambda s: s if s.get("job-state") in states else None)(job_state(work, uri, job)), seconds, 0.3)


def avahi_state():
    """Avahi's server state as it answers on the system bus (2: running), None when nothing answers."""
    try:
        r = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/",
                            "org.freedesktop.Avahi.Server.GetState"], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return None
    m = re.search(r"int32 (-?\d+)", r.stdout)
    return int(m.group(1)) if r.returncode == 0 and m else None


def runs_as(pidfile, name):
    """Whether the pid file names a live process of that name (not a zombie, not a reused number)."""
    try:
        pid = int(open(pidfile).read().strip())
        status = open("/proc/%d/status" % pid).read()
    except (OSError, ValueError):
        return False
    return ("Name:\t%s\n" % name[:15]) in status and "State:\tZ" not in status


def start_avahi():
    """Avahi on the system bus, started when nothing answers there; needs root."""
    if os.geteuid() != 0:
        return False
    if avahi_state() == 2:
        return True
    # A bus or daemon killed with the session that started it leaves its pid file behind; dbus-daemon then
    # refuses to start, and avahi-daemon without a bus exits, leaving zombies that pgrep still lists.
    if not runs_as("/run/dbus/pid", "dbus-daemon"):
        if os.path.exists("/run/dbus/pid"):
            os.remove("/run/dbus/pid")
        os.makedirs("/run/dbus", exist_ok=True)
        r = subprocess.run(["dbus-daemon", "--system", "--fork"], capture_output=True, text=True)
        if r.returncode != 0:
            print("dbus-daemon: " + r.stderr.strip())
        started_daemons.append("dbus")
    if avahi_state() is None:
        if os.path.exists("/run/avahi-daemon/pid") and not runs_as("/run/avahi-daemon/pid", "avahi-daemon"):
            os.remove("/run/avahi-daemon/pid")
        r = subprocess.run(["avahi-daemon", "-D"], capture_output=True, text=True)
        if r.returncode != 0:
            print("avahi-daemon: " + (r.stderr or r.stdout).strip())
        started_daemons.append("avahi")
    if wait_for(lambda: avahi_state() == 2, 15, 0.3):
        return True
    print("Avahi does not run here (its state on the system bus: %s)" % avahi_state())
    return False


def stop_daemons():
    if "avahi" in started_daemons:
        subprocess.run(["avahi-daemon", "-k"], capture_output=True)
    if "dbus" in started_daemons and runs_as("/run/dbus/pid", "dbus-daemon"):
        try:
            os.kill(int(open("/run/dbus/pid").read().strip()), signal.SIGTERM)
            os.remove("/run/dbus/pid")
        except (OSError, ValueError):
            pass
    del started_daemons[:]


def suites_side_by_side(work, gw, document, server):
    if os.geteuid() != 0:
        print("SKIP ippeveprinter beside rpqgate: it needs Avahi, which needs root")
        anchor = None
    elif not start_avahi():
        check(False, "Avahi runs for ippeveprinter")
        anchor = None
    else:
        port = free_port()
        spool = os.path.join(work, "anchor-spool")
        os.makedirs(spool)
        anchor = subprocess.Popen(["ippeveprinter", "-p", str(port), "-d", spool, "-r", "off",
                                   "-f", "application/pdf,image/jpeg,image/pwg-raster", "anchor"],
                                  stdout=open(os.path.join(work, "anchor.log"), "wb"), stderr=subprocess.STDOUT)
        anchor_uri = "ipp://localhost:%d/ipp/print" % port
        if not wait_for(lambda: ipptool(anchor_uri, "get-printer-attributes.test").returncode == 0, 20, 0.3):
            print(open(os.path.join(work, "anchor.log")).read()[-2000:])
            check(False, "ippeveprinter starts")
            anchor.kill()
            anchor = None
    before = set(server.verified())
    for suite in SUITES:
        ours = ipptool(gw.uri("busy"), suite + ".test", document)
        if anchor:
            theirs = ipptool(anchor_uri, suite + ".test", document)
            print("     %-24s ippeveprinter %-4s rpqgate %s" % (suite, "pass" if theirs.returncode == 0 else "FAIL",
                                                              "pass" if ours.returncode == 0 else "FAIL"))
            check(theirs.returncode != 0 or ours.returncode == 0,
                  "%s passes on rpqgate as on ippeveprinter" % suite)
            if theirs.returncode == 0 and ours.returncode != 0:
                print(ours.stdout[-3000:])
        else:
            print("     %-24s rpqgate %s" % (suite, "pass" if ours.returncode == 0 else "FAIL"))
    if anchor:
        anchor.terminate()
        anchor.wait()
    # Every document the suites printed and did not cancel arrived whole.
    wait_for(lambda: not gw.journal(), 90, 0.3)
    data = open(document, "rb").read()
    arrived = [j for u, j in server.verified().items() if u not in before]
    check(len(arrived) > 0 and all(open(j["document"], "rb").read() == data for j in arrived),
          "the suites' %d documents arrived byte for byte" % len(arrived))


def dnssd(work, gateway_exe, server):
    """Printers are announced through DNS-SD where Avahi runs, and not with --no-dnssd."""
    if os.geteuid() != 0:
        print("SKIP DNS-SD: Avahi needs root")
        return
    if not start_avahi():
        check(False, "Avahi runs for DNS-SD")
        return
    shown = Gateway(gateway_exe, work, [("announced", server.url)], dnssd=True)
    hidden = Gateway(gateway_exe, work, [("unannounced", server.url)])
    try:
        found = ""
        for _ in range(3):
            found = subprocess.run(["ippfind", "-T", "3", "_ipp._tcp", "-x", "echo", "{service_name} {service_port}", ";"],
                                   capture_output=True, text=True, timeout=30).stdout
            if "announced %d" % shown.port in found:
                break
        check("announced %d" % shown.port in found, "DNS-SD announces the printer (ippfind)")
        check("unannounced" not in found, "--no-dnssd announces nothing")
    finally:
        shown.stop()
        hidden.stop()


def authentication(work, gateway_exe, document, server):
    """With --auth-service and --print-group, the job's user is the authenticated one and
    only the group prints. A PAM service of the test's own that admits any password."""
    service = "/etc/pam.d/rpqgate-test-%d" % os.getpid()
    if os.geteuid() != 0 or not os.path.isdir("/etc/pam.d"):
        print("SKIP authentication: a PAM service of the test's own needs root")
        return
    open(service, "w").write("auth required pam_permit.so\naccount required pam_permit.so\n")
    gw = None
    try:
        gw = Gateway(gateway_exe, work, [("secure", server.url)],
                     ["--auth-service", os.path.basename(service), "--print-group", "root"])
        # The HTTP answer carries no IPP body: ipptool fails the request and names the status.
        r, job = print_job(work, gw.uri("secure"), document, status="client-error-not-authenticated")
        check(job is None and "status-code = client-error-not-authenticated" in r.stdout,
              "without credentials a print request is not authenticated")
        before = set(server.verified())
        authed = gw.uri("secure").replace("ipp://", "ipp://root:secret@")
        r, job = print_job(work, authed, document, user="mallory", jobname="authenticated",
                           extra="  ATTR name job-originating-host-name forged-host\n")
        new = wait_for(lambda: set(server.verified()) - before, 30, 0.2)
        x = [x for x in server.xfers() if new and x.get("uid") in new]
        check(bool(x) and x[-1].get("username") == "root" and x[-1].get("hostname") == "UNKNOWN",
              "the job's user is the authenticated user, not requesting-user-name; a host the client "
              "names itself is not taken: %s" % (x[-1] if x else None))
        r, job = print_job(work, gw.uri("secure").replace("ipp://", "ipp://nobody:secret@"), document,
                           status="client-error-forbidden")
        check(job is None and "status-code = client-error-forbidden" in r.stdout,
              "a user outside --print-group may not print")
    finally:
        if gw:
            gw.stop()
        os.remove(service)


def cups_client(work, gw, document, server):
    if os.geteuid() != 0:
        print("SKIP CUPS as a client: cupsd wants root here")
        return
    root = os.path.join(work, "cups")
    for d in ("spool", "tmp", "cache", "state", "log", "ppd"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    port = free_port()
    open(os.path.join(root, "cupsd.conf"), "w").write(
        "Listen 127.0.0.1:%d\nLogLevel warn\nWebInterface no\nBrowsing off\nDefaultAuthType Basic\n"
        "<Location />\nOrder allow,deny\nAllow all\n</Location>\n"
        "<Location /admin>\nOrder allow,deny\nAllow all\n</Location>\n"
        "<Policy default>\n<Limit All>\nOrder deny,allow\n</Limit>\n</Policy>\n" % port)
    open(os.path.join(root, "cups-files.conf"), "w").write(
        "ServerRoot %s\nRequestRoot %s/spool\nTempDir %s/tmp\nCacheDir %s/cache\nStateDir %s/state\n"
        "ErrorLog %s/log/error_log\nAccessLog %s/log/access_log\nPageLog %s/log/page_log\n"
        "ServerBin /usr/lib/cups\nDataDir /usr/share/cups\nUser lp\nGroup lp\nSystemGroup root\n"
        % ((root,) * 8))
    for d in ("spool", "tmp", "cache"):
        shutil.chown(os.path.join(root, d), "root", "lp")
        os.chmod(os.path.join(root, d), 0o1770)
    cupsd = subprocess.Popen(["cupsd", "-f", "-c", root + "/cupsd.conf", "-s", root + "/cups-files.conf"],
                             stdout=subprocess.DEVNULL, stderr=open(root + "/log/stderr", "wb"))
    host = "127.0.0.1:%d" % port
    try:
        # lpstat -r exits 0 either way; only its text tells.
        if not wait_for(lambda: "scheduler is running" in subprocess.run(["lpstat", "-h", host, "-r"], capture_output=True,
                                                                       text=True).stdout, 20, 0.3):
            check(False, "cupsd starts")
            return
        r = subprocess.run(["lpadmin", "-h", host, "-p", "gate", "-E", "-v", gw.uri("office"), "-m", "everywhere"],
                           capture_output=True, text=True, timeout=120)
        check(r.returncode == 0, "lpadmin -m everywhere makes a queue for rpqgate " + r.stderr.strip())
        if r.returncode != 0:
            return
        before = set(server.verified())
        r = subprocess.run(["lp", "-h", host, "-d", "gate", "-t", "Quarterly report", "-n", "2", "-o", "raw",
                            "-U", "carol", document], capture_output=True, text=True)
        check(r.returncode == 0, "lp takes the job " + r.stderr.strip())
        new = wait_for(lambda: set(server.verified()) - before, 90, 0.5)
        check(bool(new), "CUPS's job arrives verified at the server")
        if new:
            uid = new.pop()
            job = server.verified()[uid]
            check(open(job["document"], "rb").read() == open(document, "rb").read(), "CUPS's document arrives byte for byte")
            xfer = [x for x in server.xfers() if x.get("uid") == uid]
            if xfer:
                x = xfer[-1]
                check(x.get("noOfCopies") == 2 and x.get("filename", "").startswith("Quarterly report")
                      and x.get("username") == "carol", "user, job name and copies as CUPS sent them: %s" % x)
            else:
                check(False, "the server decoded CUPS's XFER")
    finally:
        cupsd.terminate()
        cupsd.wait()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--gateway", required=True)
    p.add_argument("--server", required=True)
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="rpqgate-ipp-")
    os.chmod(work, 0o755)  # CUPS's backend runs as lp and reads its spool in here
    procs = []
    try:
        document = os.path.join(work, "report.pdf")
        subprocess.run(["gs", "-q", "-sDEVICE=pdfwrite", "-o", document, "-c",
                        "/Helvetica findfont 24 scalefont setfont 1 1 3 { 72 700 moveto (Page) show showpage } for"],
                       check=True)
        # The command line: help, refusals with reasons, a state folder others can read.
        r = subprocess.run([a.gateway, "--help"], capture_output=True, text=True)
        check(r.returncode == 0 and "--printer NAME=URL" in r.stdout and "rpqgate.conf" in r.stdout, "rpqgate --help")
        project = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")).read()
        version = re.search(r"^project\(RPQ VERSION ([0-9.]+)", project, re.M).group(1)
        r = subprocess.run([a.gateway, "--version"], capture_output=True, text=True)
        check(r.returncode == 0 and r.stdout == "rpqgate %s\n" % version, "rpqgate --version: " + r.stdout.strip())
        r = subprocess.run([a.gateway, "serve", "--printer", "x=http://h:1/a"], capture_output=True, text=True)
        check(r.returncode == 2 and "--state" in r.stderr, "serve without --state says what is missing")
        r = subprocess.run([a.gateway, "print"], capture_output=True, text=True)
        check(r.returncode == 2 and "unknown command" in r.stderr, "an unknown command is refused")
        open_dir = os.path.join(work, "open-state")
        os.makedirs(open_dir, mode=0o755)
        os.chmod(open_dir, 0o755)
        r = subprocess.run([a.gateway, "serve", "--state", open_dir, "--no-dnssd", "--port", str(free_port()),
                            "--printer", "x=http://127.0.0.1:1/FDXS_Transfer"], capture_output=True, text=True, timeout=30)
        check(r.returncode == 1 and "mode 700" in r.stderr, "a state folder others can read is refused")

        server = Server(a.server, work, "server")
        refusing = Server(a.server, work, "refusing", ["error:5 XFER"])
        slow = Server(a.server, work, "slow", ["delay:4000 CHUNK count 1"])
        # A busy server, as a real printer is busy: cancel-current-job wants a job in progress.
        busy = Server(a.server, work, "busy", ["delay:3000 CHUNK"])
        procs += [server, refusing, slow, busy]
        gw = Gateway(a.gateway, work, [("office", server.url), ("refused", refusing.url), ("slow", slow.url),
                                       ("busy", busy.url), ("nowhere", "http://127.0.0.1:%d/FDXS_Transfer" % free_port())])
        procs.append(gw)

        # A job's fields, its pages counted, and its bytes.
        firmware = write_test(work, "firmware.test", "{\n OPERATION Get-Printer-Attributes\n GROUP operation-attributes-tag\n"
                              " ATTR charset attributes-charset utf-8\n ATTR naturalLanguage attributes-natural-language en\n"
                              " ATTR uri printer-uri $uri\n ATTR keyword requested-attributes printer-firmware-string-version\n"
                              " STATUS successful-ok\n DISPLAY printer-firmware-string-version\n}\n")
        r = ipptool(gw.uri("office"), firmware)
        shown = re.search(r"printer-firmware-string-version \([^)]*\) = ([^,\n]*)", r.stdout)
        check(r.returncode == 0 and shown is not None and shown.group(1).strip() == version,
              "the printer tells its version to clients: " + " ".join(l.strip() for l in r.stdout.splitlines()[-2:]))
        before = set(server.verified())
        r, job = print_job(work, gw.uri("office"), document, user="alice", jobname="Quarterly report", copies=3,
                           extra="  ATTR name job-originating-host-name forged-host\n")
        check(job is not None, "Print-Job is accepted")
        state = wait_state(work, gw.uri("office"), job, ("completed", "aborted", "canceled"))
        check(state and state["job-state"] == "completed", "the job completes after the server's OK: %s" % state)
        new = set(server.verified()) - before
        check(len(new) == 1, "one job verified at the server")
        if new:
            uid = new.pop()
            x = [x for x in server.xfers() if x.get("uid") == uid][-1]
            check(x.get("username") == "alice" and x.get("filename") == "Quarterly report.pdf"
                  and x.get("noOfCopies") == 3 and x.get("noOfPages") == 3 and x.get("hostname") == "localhost",
                  "user, document name (with the format's extension), copies, pages, host: %s" % x)
            check(open(server.verified()[uid]["document"], "rb").read() == open(document, "rb").read(),
                  "the document arrives byte for byte")

        # Clients at once, on two printers: each job arrives whole with its own fields.
        docs = []
        for i in range(6):
            d = os.path.join(work, "client%d.pdf" % i)
            subprocess.run(["gs", "-q", "-sDEVICE=pdfwrite", "-o", d, "-c",
                            "/Helvetica findfont 24 scalefont setfont 72 700 moveto (Client %d) show showpage" % i],
                           check=True)
            docs.append(d)
        before = set(server.verified()) | set(busy.verified())
        threads = [threading.Thread(target=print_job, args=(os.path.join(work, "t%d" % i),
                                                            gw.uri("office" if i % 2 else "busy"), docs[i]),
                                    kwargs={"user": "user%d" % i, "jobname": "client %d" % i}) for i in range(6)]
        for i, t in enumerate(threads):
            os.makedirs(os.path.join(work, "t%d" % i))
            t.start()
        for t in threads:
            t.join()
        arrived = wait_for(lambda: (lambda v: v if len(v) >= 6 else None)(
            {u: j for u, j in list(server.verified().items()) + list(busy.verified().items()) if u not in before}), 60, 0.3)
        fields = {}
        for srv in (server, busy):
            for x in srv.xfers():
                if arrived and x.get("uid") in arrived:
                    fields[x["uid"]] = x
        good = bool(arrived) and len(fields) == 6 and all(
            open(arrived[u]["document"], "rb").read() == open(docs[int(x["username"][4:])], "rb").read()
            and x["filename"] == "client %s.pdf" % x["username"][4:] for u, x in fields.items())
        check(good, "six clients at once on two printers: each document arrives whole with its own user and name")

        # The same over TLS (ipps://, PAPPL's self-signed certificate; as root PAPPL
        # writes it to /etc/cups/ssl: removed again when this run made it).
        ssl = "/etc/cups/ssl"
        had = set(os.listdir(ssl)) if os.path.isdir(ssl) else set()
        atexit.register(lambda: [os.remove(os.path.join(ssl, f)) for f in
                                 (set(os.listdir(ssl)) - had if os.path.isdir(ssl) else ())])
        before = set(server.verified())
        r, job = print_job(work, gw.uri("office").replace("ipp://", "ipps://"), document, jobname="over TLS")
        check(job is not None and wait_for(lambda: set(server.verified()) - before, 30, 0.2) is not None,
              "a job printed over ipps:// arrives")

        # JPEG forwarded as it came; PWG raster (which PAPPL streams) written back page by page
        # as PWG raster; pages counted, the format's extension added.
        raster = os.path.join(work, "two.pwg")
        subprocess.run(["gs", "-q", "-sDEVICE=pwgraster", "-r72", "-o", raster, "-c",
                        "/Helvetica findfont 24 scalefont setfont 72 700 moveto (One) show showpage "
                        "72 700 moveto (Two) show showpage"], check=True, capture_output=True)
        urf = os.path.join(work, "two.urf")
        # URF as Apple's clients send it, 8-bit gray (Ghostscript's own default of 1 bit is not URF).
        subprocess.run(["gs", "-q", "-sDEVICE=urf", "-dcupsBitsPerColor=8", "-r72", "-o", urf, "-c",
                        "/Helvetica findfont 24 scalefont setfont 72 700 moveto (One) show showpage "
                        "72 700 moveto (Two) show showpage"], check=True, capture_output=True)
        photo = os.path.join(work, "photo.jpg")
        subprocess.run(["gs", "-q", "-sDEVICE=jpeg", "-r30", "-o", photo, "-c", "showpage"], check=True,
                       capture_output=True)
        for path, fmt, name, pages in ((raster, "image/pwg-raster", "raster.pwg", 2), (urf, "image/urf", "apple.pwg", 2),
                                       (photo, "image/jpeg", "photo.jpg", 1)):
            before = set(server.verified())
            r, job = print_job(work, gw.uri("office"), path, jobname=name.split(".")[0], fmt=fmt)
            new = wait_for(lambda: set(server.verified()) - before, 30, 0.2)
            x = [x for x in server.xfers() if new and x.get("uid") in new]
            got = open(server.verified()[x[-1]["uid"]]["document"], "rb").read() if x else b""
            same = got == open(path, "rb").read() if fmt == "image/jpeg" else got[:4] == b"RaS2"
            check(bool(x) and x[-1].get("noOfPages") == pages and x[-1].get("filename") == name and same,
                  "%s arrives as %s with %d page(s): %s" % (fmt, name, pages, x[-1] if x else None))

        # Raster PAPPL cannot read (URF has no 1-bit pages) ends aborted, and nothing is sent.
        bad = os.path.join(work, "onebit.urf")
        subprocess.run(["gs", "-q", "-sDEVICE=urf", "-r72", "-o", bad, "-c", "showpage"], check=True, capture_output=True)
        r, job = print_job(work, gw.uri("office"), bad, jobname="badraster", fmt="image/urf")
        state = wait_state(work, gw.uri("office"), job, ("completed", "aborted", "canceled"))
        check(state and state["job-state"] == "aborted" and "Cancelled" not in state.get("job-state-message", ""),
              "unreadable raster ends aborted, not as if the client had cancelled: %s" % state)
        check(not [x for x in server.xfers() if x.get("filename", "").startswith("badraster")],
              "and nothing of it reaches the server")

        # No server there: the probe finds nobody, the job ends aborted and leaves nothing behind.
        r, job = print_job(work, gw.uri("nowhere"), document)
        state = wait_state(work, gw.uri("nowhere"), job, ("completed", "aborted", "canceled"))
        check(state and state["job-state"] == "aborted" and "not ready" in state.get("job-state-message", ""),
              "a printer whose server is not there ends the job aborted: %s" % state)
        check(wait_for(lambda: gw.journal() == [], 10) is not None, "and its journal is empty again")

        # The server refuses: aborted, with the reason.
        r, job = print_job(work, gw.uri("refused"), document)
        state = wait_state(work, gw.uri("refused"), job, ("completed", "aborted", "canceled"))
        check(state and state["job-state"] == "aborted" and "server reason 5" in state.get("job-state-message", ""),
              "a refused job ends aborted with the server's reason: %s" % state)

        # Formats and sizes the gateway does not take get IPP's answers.
        text = write_test(work, "note.txt", "plain text\n")
        # PAPPL 1.3 takes a job of any format; one it cannot forward ends aborted (PAPPL's own words).
        r, job = print_job(work, gw.uri("office"), text, fmt="text/plain")
        state = wait_state(work, gw.uri("office"), job, ("completed", "aborted", "canceled"))
        check(state and state["job-state"] == "aborted", "a text/plain job ends aborted: %s" % state)
        check(not [x for x in server.xfers() if x.get("filename", "").startswith("report")],
              "and nothing of it reaches the server")
        broken = write_test(work, "broken.test", "{\n OPERATION Print-Job\n GROUP operation-attributes-tag\n"
                            " ATTR charset attributes-charset utf-8\n ATTR naturalLanguage attributes-natural-language en\n"
                            " ATTR uri printer-uri $uri\n GROUP job-attributes-tag\n ATTR integer copies -7\n"
                            " FILE $filename\n STATUS client-error-attributes-or-values-not-supported\n"
                            " STATUS successful-ok-ignored-or-substituted-attributes\n}\n")
        r = ipptool(gw.uri("office"), broken, document)
        check(r.returncode == 0, "copies -7 is refused or substituted, never printed as asked")
        import http.client
        statuses = []
        for body in (os.urandom(300), b"\x02\x00\x00\x02\x00\x00\x00\x01\x01\x47\xff\xff", b"\x01"):
            conn = http.client.HTTPConnection("localhost", gw.port, timeout=20)
            conn.request("POST", "/ipp/print/office", body, {"Content-Type": "application/ipp"})
            resp = conn.getresponse()
            statuses.append(resp.status)
            resp.read()
            conn.close()
        check(all(st == 400 for st in statuses), "malformed IPP requests get HTTP 400: %s" % statuses)
        check(gw.proc.poll() is None, "the gateway survives the hostile requests")

        # Cancelled while the server holds a chunk: canceled, and the server hears RESET.
        r, job = print_job(work, gw.uri("slow"), document)
        sending = lambda g, j: wait_for(lambda: "Sending part" in job_state(work, g.uri("slow"), j).get("job-state-message", ""), 20, 0.05)
        check(sending(gw, job) is not None, "the job shows its parts as they go")
        time.sleep(0.5)  # the chunk is with the server, which holds it for 4 s
        test = write_test(work, "cancel.test", CANCEL)
        subprocess.run(["ipptool", "-t", "-d", "job=%d" % job, "-d", "user=tester", gw.uri("slow"), test],
                       capture_output=True)
        state = wait_state(work, gw.uri("slow"), job, ("completed", "aborted", "canceled"))
        check(state and state["job-state"] == "canceled", "a cancelled job ends canceled: %s" % state)
        check(wait_for(lambda: "03" in slow.types(), 20) is not None, "the server hears RESET after the cancel")
        check(wait_for(lambda: gw.journal() == [], 10) is not None, "the cancelled job leaves nothing in the journal")

        # Killed while a chunk is on its way: the journal keeps the job, the next run sends it.
        slowed = Server(a.server, work, "slow2", ["delay:4000 CHUNK count 1"])
        procs.append(slowed)
        gw.stop()
        gw.printers = [("office", server.url), ("refused", refusing.url), ("slow", slowed.url), ("busy", busy.url)]
        gw.start()
        r, job = print_job(work, gw.uri("slow"), document, jobname="killed")
        sending(gw, job)
        time.sleep(0.5)
        gw.kill()
        kept = gw.journal()
        check(any(n.endswith(".job") for n in kept) and any(n.endswith(".doc") for n in kept),
              "a killed gateway leaves the job in its journal: %s" % kept)
        uid = next((n[:-4] for n in kept if n.endswith(".job")), "")
        xfers = lambda srv: len([x for x in srv.xfers() if x.get("uid") == uid])
        gw.start()
        # The server may have verified the chunk it held on its own: the next run's own XFER tells.
        check(wait_for(lambda: xfers(slowed) == 2 and len(slowed.verified()) == 1, 60) is not None,
              "the next run sends the job to the end")
        check(wait_for(lambda: gw.journal() == [], 10) is not None, "and then forgets it")
        if slowed.verified():
            j = list(slowed.verified().values())[0]
            check(open(j["document"], "rb").read() == open(document, "rb").read(), "the resent document is whole")

        # Killed again, and its server is not there when it restarts: the job stays in the journal
        # and is tried again, until a run finds the server.
        third = Server(a.server, work, "slow3", ["delay:4000 CHUNK count 1"])
        procs.append(third)
        gw.stop()
        others = [("office", server.url), ("refused", refusing.url), ("busy", busy.url)]
        gw.printers = others + [("slow", third.url)]
        gw.start()
        r, job = print_job(work, gw.uri("slow"), document, jobname="killed twice")
        sending(gw, job)
        time.sleep(0.5)
        gw.kill()
        uid = next((n[:-4] for n in gw.journal() if n.endswith(".job")), "")
        gw.printers = others + [("slow", "http://127.0.0.1:%d/FDXS_Transfer" % free_port())]
        gw.extra = ["--resend-after", "1"]
        gw.start()
        log = lambda: open(gw.log, errors="replace").read()
        tried = wait_for(lambda: log().count("tried again in 1 s") >= 2, 30, 0.2)
        check(tried is not None and len(gw.journal()) >= 2,
              "a left job whose server is not there stays in the journal and is tried again: %s" % gw.journal())
        gw.stop()
        gw.printers, gw.extra = others + [("slow", third.url)], []
        gw.start()
        check(wait_for(lambda: xfers(third) == 2 and len(third.verified()) == 1, 60) is not None and
              wait_for(lambda: gw.journal() == [], 10) is not None, "and reaches the server once one is there")

        # A printer from rpqgate.conf alone (as the systemd unit runs rpqgate) with interaction on:
        # the job's page on the server is offered to the client.
        state = tempfile.mkdtemp(prefix="state-", dir=work)
        open(os.path.join(state, "rpqgate.conf"), "w").write("[office]\nurl = %s\ninteraction = yes\n" % server.url)
        shown = Gateway(a.gateway, work, [], state=state, configured=["office"])
        procs.append(shown)
        r, job = print_job(work, shown.uri("office"), document)
        st = wait_state(work, shown.uri("office"), job, ("completed", "aborted", "canceled"))
        page = "http://127.0.0.1:%d/FDXS_Interaction?uid=" % server.port
        check(st and st["job-state"] == "completed" and page in st.get("job-state-message", ""),
              "a printer of rpqgate.conf alone prints; with interaction on, the job's message offers its page "
              "on the server: %s" % st)
        shown.stop()

        # A document larger than the limit.
        small = Gateway(a.gateway, work, [("office", server.url)], ["--max-size", "1000"])
        procs.append(small)
        r, job = print_job(work, small.uri("office"), document, status="successful-ok")
        if job:
            state = wait_state(work, small.uri("office"), job, ("completed", "aborted", "canceled"))
            check(state and state["job-state"] == "aborted" and "larger" in state.get("job-state-message", ""),
                  "a document above --max-size ends aborted and says why: %s" % state)
        else:
            check("request-entity" in r.stdout or "413" in r.stdout or r.returncode != 0,
                  "a document above --max-size is refused")

        suites_side_by_side(work, gw, document, busy)
        cups_client(work, gw, document, server)
        dnssd(work, a.gateway, server)
        authentication(work, a.gateway, document, server)
    finally:
        for proc in procs:
            try:
                proc.stop()
            except Exception:
                pass
        stop_daemons()
        if not failures:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
