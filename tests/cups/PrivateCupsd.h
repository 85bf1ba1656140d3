#pragma once

#include <cups/cups.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

// Points this process's CUPS clients at a scheduler. libcups keeps the server per thread once it
// has looked it up, so the calling thread is told as well as threads started later.
inline void UseCupsServer(const std::string& server) {
    setenv("CUPS_SERVER", server.c_str(), 1);
    cupsSetServer(server.c_str());
}

// A CUPS scheduler of the test's own, started by the project's script in a private folder, with
// counting queues. It needs root (the scheduler drops to lp) and the CUPS packages.
class PrivateCupsd {
  public:
    static bool Available() {
        return geteuid() == 0 && Exists("/usr/sbin/cupsd") && Exists("/usr/bin/lp");
    }

    explicit PrivateCupsd(std::vector<std::string> queues, bool start = true)
        : m_queues(std::move(queues)) {
        if (start) {
            Start();
        }
    }
    ~PrivateCupsd() { Stop(); }

    bool Start() {
        std::vector<std::string> argv{SCRIPTS_DIR "/private-cupsd.sh", "start", m_dir / "cups"};
        argv.insert(argv.end(), m_queues.begin(), m_queues.end());
        const auto r = RunCommand(argv);
        m_queues.clear();  // they persist in the scheduler's folder across restarts
        m_socket = r.exitCode == 0 ? m_dir / "cups/run/cups.sock" : "";
        if (!m_socket.empty()) {
            UseCupsServer(m_socket);
        }
        return !m_socket.empty();
    }
    void Stop() { RunCommand({SCRIPTS_DIR "/private-cupsd.sh", "stop", m_dir / "cups"}); }
    // With the scheduler stopped: forget every job, so that job ids start from 1 again.
    void WipeSpool() {
        RunCommand({"/bin/sh", "-c",
                    "rm -rf \"$0\"/spool/c* \"$0\"/spool/d* \"$0\"/cache/job.cache",
                    m_dir / "cups"});
    }
    bool Running() const { return !m_socket.empty(); }
    // Where the socket is once it runs.
    std::string FutureSocket() const { return m_dir / "cups/run/cups.sock"; }
    // Pages per job as the scheduler's page log has them.
    std::map<int, int> PageLog() const {
        std::map<int, int> pages;
        std::istringstream in(ReadFile(m_dir / "cups/log/page_log"));
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string printer, user, word;
            int job = 0;
            words >> printer >> user >> job;
            while (words >> word && word != "total") {
            }
            int total = -1;
            if (word == "total" && words >> total) {
                pages[job] = total;
            }
        }
        return pages;
    }
    const std::string& Socket() const { return m_socket; }
    // The TCP port it listens on besides its socket.
    std::string Port() const {
        std::string port = ReadFile(m_dir / "cups/port");
        port.erase(port.find_last_not_of("\r\n") + 1);
        return port;
    }

    // Runs a CUPS command-line client (lp, lpadmin, cupsenable, ...) against this scheduler.
    CommandResult Client(std::vector<std::string> argv) const {
        return RunCommand(argv, {"CUPS_SERVER=" + m_socket});
    }

    // Writes a document for printing into the private folder; returns its path.
    std::string Document(const std::string& name, const std::string& bytes) const {
        WriteFile(m_dir / name, bytes);
        return m_dir / name;
    }

  private:
    TempDir m_dir;
    std::vector<std::string> m_queues;
    std::string m_socket;
};

// A PDF of the given number of pages, each with one line of text.
inline std::string MakePdf(int pages) {
    std::vector<std::string> objects;
    std::string kids;
    const int first = 4;  // 1 catalog, 2 page tree, 3 font; then page and contents pairs
    for (int i = 0; i < pages; ++i) {
        kids += std::to_string(first + 2 * i) + " 0 R ";
    }
    objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) +
                      " >>");
    objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    for (int i = 0; i < pages; ++i) {
        const std::string text =
            "BT /F1 24 Tf 72 720 Td (Page " + std::to_string(i + 1) + ") Tj ET";
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents " +
                          std::to_string(first + 2 * i + 1) +
                          " 0 R /Resources << /Font << /F1 3 0 R >> >> >>");
        objects.push_back("<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text +
                          "\nendstream");
    }
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t off : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

// A PostScript document with page comments, which the PostScript queue counts without Ghostscript.
inline std::string MakePostScript(int pages) {
    std::string ps = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(pages) + "\n%%EndComments\n";
    for (int i = 1; i <= pages; ++i) {
        ps += "%%Page: " + std::to_string(i) + " " + std::to_string(i) +
              "\n/Helvetica findfont 24 scalefont setfont 72 720 moveto (Page " +
              std::to_string(i) + ") show showpage\n";
    }
    return ps + "%%EOF\n";
}

}  // namespace testsupport

namespace testsupport {

// A scheduler on another host: a network namespace of its own, reached from here over a veth
// pair. Jobs can be sent to it from here, over the network, or from the host itself.
class RemoteCupsd {
  public:
    static bool Available() {
        return PrivateCupsd::Available() && Exists("/usr/sbin/ip") &&
               RunCommand({"/usr/sbin/ip", "netns", "list"}).exitCode == 0;
    }

    explicit RemoteCupsd(const std::vector<std::string>& queues) {
        const std::string id = std::to_string(getpid());
        m_ns = "tsv" + id;
        m_hostLink = "tvh" + id;
        const std::string peer = "tvn" + id;
        const std::string net = "10.231." + std::to_string(getpid() % 250) + ".";
        m_address = net + "2";
        // Listing namespaces works in containers that may not create or enter one.
        m_namespace = Ip({"netns", "add", m_ns}) &&
                      Ip({"netns", "exec", m_ns, "/usr/sbin/ip", "link", "set", "lo", "up"});
        if (!m_namespace) {
            return;
        }
        Ip({"link", "add", m_hostLink, "type", "veth", "peer", "name", peer});
        Ip({"link", "set", peer, "netns", m_ns});
        Ip({"addr", "add", net + "1/30", "dev", m_hostLink});
        Ip({"link", "set", m_hostLink, "up"});
        Ip({"netns", "exec", m_ns, "ip", "addr", "add", net + "2/30", "dev", peer});
        Ip({"netns", "exec", m_ns, "ip", "link", "set", peer, "up"});
        Ip({"netns", "exec", m_ns, "ip", "link", "set", "lo", "up"});
        std::vector<std::string> argv{
            "/usr/sbin/ip", "netns",       "exec", m_ns, SCRIPTS_DIR "/private-cupsd.sh",
            "start",        m_dir / "cups"};
        argv.insert(argv.end(), queues.begin(), queues.end());
        m_started = RunCommand(argv, {"PRIVATE_CUPSD_ADDRESS=" + m_address}).exitCode == 0;
        std::string port = ReadFile(m_dir / "cups/port");
        port.resize(port.find_first_of("\r\n") == std::string::npos ? port.size()
                                                                    : port.find_first_of("\r\n"));
        m_server = m_address + ":" + port;
    }
    ~RemoteCupsd() {
        if (m_started) {
            RunCommand({SCRIPTS_DIR "/private-cupsd.sh", "stop", m_dir / "cups"});
        }
        Ip({"netns", "del", m_ns});
        Ip({"link", "del", m_hostLink});
    }

    bool NamespaceEntered() const { return m_namespace; }
    bool Running() const { return m_started; }
    // What a client here sets CUPS_SERVER to.
    const std::string& Server() const { return m_server; }
    const std::string& Address() const { return m_address; }

    // lp from this computer, over the network.
    int PrintFromHere(const std::string& queue, const std::string& file) const {
        return RunCommand({"/usr/bin/lp", "-d", queue, file}, {"CUPS_SERVER=" + m_server}).exitCode;
    }
    // lp on the remote host itself.
    int PrintOnTheServer(const std::string& queue, const std::string& file) const {
        return RunCommand({"/usr/sbin/ip", "netns", "exec", m_ns, "/usr/bin/lp", "-d", queue, file},
                          {"CUPS_SERVER=" + (m_dir / "cups/run/cups.sock")})
            .exitCode;
    }
    std::string Document(const std::string& name, const std::string& bytes) const {
        WriteFile(m_dir / name, bytes);
        return m_dir / name;
    }

  private:
    static bool Ip(std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/sbin/ip");
        return RunCommand(args).exitCode == 0;
    }

    TempDir m_dir;
    std::string m_ns;
    std::string m_hostLink;
    std::string m_address;
    std::string m_server;
    bool m_namespace = false;
    bool m_started = false;
};

}  // namespace testsupport
