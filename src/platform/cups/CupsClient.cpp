#include "platform/cups/CupsClient.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/AddressNames.h"

namespace platform::cups {

namespace {

constexpr double kRequestTimeoutSeconds = 10.0;

const char* const kJobAttributes[] = {
    "job-state",
    "job-impressions-completed",
    "job-printer-uri",
    "job-originating-user-name",
    "job-uuid",
    "job-originating-host-name",
    "copies",
    "document-format",
    "number-of-documents",
    "time-at-completed",
    "job-k-octets",
};

bool IsLoopback(const std::string& host) {
    if (strcasecmp(host.c_str(), "localhost") == 0 || host.rfind("127.", 0) == 0 || host == "::1" ||
        host == "[::1]" || strcasecmp(host.c_str(), "localhost.localdomain") == 0) {
        return true;
    }
    return false;
}

// The queue a printer URI names. The scheduler sends the name percent-encoded (a queue may be
// called 事務室プリンタ): we name queues as the scheduler lists them, decoded.
std::string QueueOfUri(const std::string& uri) {
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user,
                        host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK) {
        return {};
    }
    const std::string path = resource;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int IntegerOf(ipp_t* ipp, const char* name, int fallback) {
    ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
    if (attr == nullptr) {
        return fallback;
    }
    const ipp_tag_t tag = ippGetValueTag(attr);
    if (tag != IPP_TAG_INTEGER && tag != IPP_TAG_ENUM) {
        return fallback;
    }
    return ippGetInteger(attr, 0);
}

// One attribute of a job's group, into what we keep of the job.
void ReadJobAttribute(ipp_attribute_t* a, JobState& job) {
    const char* name = ippGetName(a);
    const ipp_tag_t tag = ippGetValueTag(a);
    const bool number = tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM;
    const auto text = [&] {
        const char* s = ippGetString(a, 0, nullptr);
        return std::string(s != nullptr ? s : "");
    };
    if (std::strcmp(name, "job-state") == 0 && number) {
        job.state = ippGetInteger(a, 0);
    } else if (std::strcmp(name, "job-impressions-completed") == 0 && number) {
        job.impressions = ippGetInteger(a, 0);
    } else if (std::strcmp(name, "job-printer-uri") == 0) {
        job.queue = QueueOfUri(text());
    } else if (std::strcmp(name, "job-originating-user-name") == 0) {
        job.user = text();
    } else if (std::strcmp(name, "job-originating-host-name") == 0) {
        job.host = text();
    } else if (std::strcmp(name, "copies") == 0 && number) {
        job.copies = ippGetInteger(a, 0);
    } else if (std::strcmp(name, "job-uuid") == 0) {
        job.uuid = text();
    } else if (std::strcmp(name, "document-format") == 0) {
        job.format = text();
    } else if (std::strcmp(name, "job-k-octets") == 0 && number) {
        job.kOctets = std::max(0, ippGetInteger(a, 0));
    } else if (std::strcmp(name, "number-of-documents") == 0 && number) {
        job.documents = ippGetInteger(a, 0);
    } else if (std::strcmp(name, "time-at-completed") == 0 && number) {
        job.completedAt = ippGetInteger(a, 0);
    }
}

bool AddressIsOurs(const std::string& host) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool ours = false;
    for (ifaddrs* a = list; a != nullptr && !ours; a = a->ifa_next) {
        if (a->ifa_addr == nullptr) {
            continue;
        }
        char buf[INET6_ADDRSTRLEN] = {};
        if (a->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, buf,
                      sizeof buf);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, buf,
                      sizeof buf);
        }
        ours = buf[0] != '\0' && strcasecmp(buf, host.c_str()) == 0;
    }
    freeifaddrs(list);
    return ours;
}

// Every request starts with its operation attributes: the target, then who asks.
ipp_t* NewRequest(ipp_op_t op, const std::string& uri) {
    ipp_t* req = ippNewRequest(op);
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return req;
}

}  // namespace

struct CupsClient::Response {
    ipp_t* ipp = nullptr;
    ~Response() { ippDelete(ipp); }
};

CupsClient::CupsClient() = default;

CupsClient::~CupsClient() {
    Disconnect();
}

void CupsClient::Disconnect() {
    if (m_http != nullptr) {
        httpClose(m_http);
        m_http = nullptr;
    }
}

namespace {

// The scheduler's host without a port ("host:port" names the port the client uses).
std::string ConfiguredServerHost() {
    const char* server = cupsServer();
    std::string host = server != nullptr ? server : "";
    if (const auto colon = host.rfind(':'); colon != std::string::npos && host.find(':') == colon) {
        host.resize(colon);
    }
    return host;
}

bool IsThisComputer(const std::string& host) {
    char full[256] = {};
    gethostname(full, sizeof full - 1);
    std::string shortName = full;
    shortName.resize(std::min(shortName.size(), shortName.find('.')));
    return IsLoopback(host) || strcasecmp(host.c_str(), full) == 0 ||
           strcasecmp(host.c_str(), shortName.c_str()) == 0 || AddressIsOurs(host);
}

}  // namespace

bool CupsClient::ServerIsLocal() {
    const std::string host = ConfiguredServerHost();
    return host.empty() || host[0] == '/' || IsThisComputer(host);
}

std::string CupsClient::ServerHost() {
    return ServerIsLocal() ? std::string() : ConfiguredServerHost();
}

std::string CupsClient::ServerName() {
    const char* server = cupsServer();
    return server != nullptr ? server : "";
}

std::string CupsClient::ServerUri() const {
    char uri[1024];
    const std::string host = ServerHost();
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr,
                    host.empty() ? "localhost" : host.c_str(), host.empty() ? 0 : ippPort(), "/");
    return uri;
}

std::string CupsClient::PrinterUri(const std::string& queue) const {
    char uri[1024];
    const std::string host = ServerHost();
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr,
                     host.empty() ? "localhost" : host.c_str(), host.empty() ? 0 : ippPort(),
                     "/printers/%s", queue.c_str());
    return uri;
}

bool CupsClient::Connect() {
    if (m_http == nullptr) {
        m_http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                              5000, nullptr);
        if (m_http == nullptr) {
            m_lastError = errno != 0 ? errno : ECONNREFUSED;
            return false;
        }
        httpSetTimeout(m_http, kRequestTimeoutSeconds, nullptr, nullptr);
    }
    return true;
}

namespace {
std::atomic<std::uint64_t> g_requestsSent{0};
}  // namespace

std::uint64_t CupsClient::RequestsSent() {
    return g_requestsSent.load();
}

Status CupsClient::Do(void* request, Response& response) {
    ipp_t* req = static_cast<ipp_t*>(request);
    if (!Connect()) {
        ippDelete(req);
        return Status::Unavailable;
    }
    ++g_requestsSent;
    response.ipp = cupsDoRequest(m_http, req, "/");  // frees the request
    const ipp_status_t status = cupsLastError();
    if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL ||
        (response.ipp == nullptr && status <= IPP_STATUS_OK_EVENTS_COMPLETE)) {
        m_lastError = static_cast<int>(status);
        // The connection may be dead (the scheduler restarted): start a fresh one next time.
        Disconnect();
        return Status::Unavailable;
    }
    if (status > IPP_STATUS_OK_EVENTS_COMPLETE) {
        m_lastError = static_cast<int>(status);
        return status == IPP_STATUS_ERROR_NOT_FOUND ? Status::NotFound : Status::Failed;
    }
    return Status::Ok;
}

Status CupsClient::ListQueues(std::vector<std::string>& queues) {
    queues.clear();
    ipp_t* req = NewRequest(IPP_OP_CUPS_GET_PRINTERS, ServerUri());
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-name");
    Response resp;
    const Status s = Do(req, resp);
    if (s != Status::Ok) {
        // An empty list is no failure.
        return s == Status::NotFound ? Status::Ok : s;
    }
    for (ipp_attribute_t* a = ippFirstAttribute(resp.ipp); a != nullptr;
         a = ippNextAttribute(resp.ipp)) {
        if (ippGetName(a) != nullptr && std::strcmp(ippGetName(a), "printer-name") == 0) {
            queues.emplace_back(ippGetString(a, 0, nullptr));
        }
    }
    return Status::Ok;
}

Status CupsClient::QueueExists(const std::string& queue) {
    ipp_t* req = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(queue));
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-name");
    Response resp;
    return Do(req, resp);
}

Status CupsClient::Subscribe(int leaseSeconds, int& subscriptionId) {
    // Only what the watchers act on: a job's start and end, queues coming and going. Progress
    // and printer states would be dozens of events a job, and the scheduler keeps only the
    // last hundred or so (MaxEvents): a burst would push out the ends we wait for.
    static const char* const events[] = {"job-created", "job-completed", "printer-added",
                                         "printer-deleted"};
    ipp_t* req = NewRequest(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS, ServerUri());
    ippAddString(req, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method", nullptr,
                 "ippget");
    ippAddStrings(req, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events",
                  static_cast<int>(std::size(events)), nullptr, events);
    ippAddInteger(req, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration",
                  leaseSeconds);
    Response resp;
    const Status s = Do(req, resp);
    if (s != Status::Ok) {
        return s;
    }
    subscriptionId = IntegerOf(resp.ipp, "notify-subscription-id", 0);
    return subscriptionId > 0 ? Status::Ok : Status::Failed;
}

Status CupsClient::Renew(int subscriptionId, int leaseSeconds) {
    ipp_t* req = NewRequest(IPP_OP_RENEW_SUBSCRIPTION, ServerUri());
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id",
                  subscriptionId);
    ippAddInteger(req, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration",
                  leaseSeconds);
    Response resp;
    return Do(req, resp);
}

Status CupsClient::Cancel(int subscriptionId) {
    ipp_t* req = NewRequest(IPP_OP_CANCEL_SUBSCRIPTION, ServerUri());
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id",
                  subscriptionId);
    Response resp;
    return Do(req, resp);
}

Status CupsClient::Notifications(int subscriptionId, int firstSequence,
                                 std::vector<Event>& events) {
    events.clear();
    ipp_t* req = NewRequest(IPP_OP_GET_NOTIFICATIONS, ServerUri());
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-ids",
                  subscriptionId);
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-sequence-numbers",
                  firstSequence);
    Response resp;
    const Status s = Do(req, resp);
    if (s != Status::Ok) {
        return s;
    }
    Event* current = nullptr;
    for (ipp_attribute_t* a = ippFirstAttribute(resp.ipp); a != nullptr;
         a = ippNextAttribute(resp.ipp)) {
        if (ippGetGroupTag(a) != IPP_TAG_EVENT_NOTIFICATION || ippGetName(a) == nullptr) {
            current = nullptr;
            continue;
        }
        if (current == nullptr) {
            current = &events.emplace_back();
        }
        const std::string name = ippGetName(a);
        if (name == "notify-sequence-number") {
            current->sequence = ippGetInteger(a, 0);
        } else if (name == "notify-subscribed-event") {
            current->name = ippGetString(a, 0, nullptr);
        } else if (name == "printer-name") {
            current->printer = ippGetString(a, 0, nullptr);
        } else if (name == "notify-job-id") {
            current->jobId = ippGetInteger(a, 0);
        }
    }
    return Status::Ok;
}

Status CupsClient::Job(int jobId, JobState& job) {
    ipp_t* req = NewRequest(IPP_OP_GET_JOB_ATTRIBUTES, ServerUri());
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
    ippAddStrings(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(std::size(kJobAttributes)), nullptr, kJobAttributes);
    Response resp;
    const Status s = Do(req, resp);
    if (s != Status::Ok) {
        return s;
    }
    job = {};
    for (ipp_attribute_t* a = ippFirstAttribute(resp.ipp); a != nullptr;
         a = ippNextAttribute(resp.ipp)) {
        if (ippGetGroupTag(a) == IPP_TAG_JOB && ippGetName(a) != nullptr) {
            ReadJobAttribute(a, job);
        }
    }
    return Status::Ok;
}

Status CupsClient::QueuedJobCount(const std::string& queue, int& count) {
    ipp_t* req = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(queue));
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "queued-job-count");
    Response resp;
    const Status s = Do(req, resp);
    if (s != Status::Ok) {
        return s;
    }
    count = IntegerOf(resp.ipp, "queued-job-count", 0);
    return Status::Ok;
}

Status CupsClient::Jobs(const std::string& queue, int firstId, std::vector<JobSummary>& jobs) {
    // What Job tells of each, so that a long listing needs no request per job afterwards.
    std::vector<const char*> attributes{"job-id"};
    attributes.insert(attributes.end(), std::begin(kJobAttributes), std::end(kJobAttributes));
    jobs.clear();
    ipp_t* req = NewRequest(IPP_OP_GET_JOBS, queue.empty() ? ServerUri() : PrinterUri(queue));
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "first-job-id", std::max(1, firstId));
    ippAddStrings(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(attributes.size()), nullptr, attributes.data());
    Response resp;
    const Status s = Do(req, resp);
    if (s == Status::NotFound) {
        return Status::Ok;  // no jobs
    }
    if (s != Status::Ok) {
        return s;
    }
    JobSummary job;
    auto take = [&] {
        // The scheduler honours first-job-id; a listing that does not is cut here all the same.
        if (job.id >= firstId && job.id > 0) {
            job.state = job.details.state;
            job.queue = job.details.queue;
            job.completedAt = job.details.completedAt;
            job.uuid = job.details.uuid;
            jobs.push_back(job);
        }
        job = {};
    };
    for (ipp_attribute_t* a = ippFirstAttribute(resp.ipp); a != nullptr;
         a = ippNextAttribute(resp.ipp)) {
        const char* name = ippGetName(a);
        if (name == nullptr) {
            take();
        } else if (ippGetGroupTag(a) != IPP_TAG_JOB) {
            continue;
        } else if (std::strcmp(name, "job-id") == 0) {
            job.id = ippGetInteger(a, 0);
        } else {
            ReadJobAttribute(a, job.details);
        }
    }
    take();
    std::sort(jobs.begin(), jobs.end(),
              [](const JobSummary& a, const JobSummary& b) { return a.id < b.id; });
    return Status::Ok;
}

std::string MachineNameForHost(const std::string& host, const std::string& computerName,
                               const std::string& serverHost, std::chrono::milliseconds wait) {
    // Seen from a remote scheduler, its own loopback is that scheduler's computer, not ours.
    if (!serverHost.empty() && IsLoopback(host)) {
        return "\\\\" + serverHost;
    }
    if (!host.empty() && IsThisComputer(host)) {
        return "\\\\" + computerName;
    }
    // A scheduler of this computer (a print server) gets the client's address from Samba and
    // from IPP clients that send no name: records name the computer, not its current lease.
    if (serverHost.empty()) {
        return "\\\\" + ComputerNameOfAddress(host, wait);
    }
    return "\\\\" + host;
}

}  // namespace platform::cups

namespace platform::cups {

bool IsForbidden(int ippStatus) {
    return ippStatus == IPP_STATUS_ERROR_FORBIDDEN ||
           ippStatus == IPP_STATUS_ERROR_NOT_AUTHENTICATED ||
           ippStatus == IPP_STATUS_ERROR_NOT_AUTHORIZED ||
           ippStatus == IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED;
}

Status CupsClient::Document(int jobId, int number, int fd, std::uint64_t maxBytes, bool& tooLarge) {
    tooLarge = false;
    if (!Connect()) {
        return Status::Unavailable;
    }
    ipp_t* req = NewRequest(IPP_OP_CUPS_GET_DOCUMENT, ServerUri());
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "document-number", number);
    // A local certificate from an earlier request may be stale (the scheduler makes new ones
    // when it restarts); cupsDoRequest drops it the same way before it sends.
    if (const char* auth = httpGetAuthString(m_http);
        auth != nullptr && std::strncmp(auth, "Local ", 6) == 0) {
        httpSetAuthString(m_http, nullptr, nullptr);
    }
    // The answer's attributes first, then the document itself on the same connection: read
    // here rather than by cupsDoIORequest, to stop at maxBytes. The stock policy asks for
    // authentication (AuthType Default): the scheduler answers HTTP 401, cupsGetResponse then
    // prepares it (PeerCred on the local socket, or the Local certificate) and reconnects, and
    // the same request must be sent again, as cupsDoRequest does. A few times at most: libcups
    // gives up by itself after repeated refusals (HTTP_STATUS_CUPS_AUTHORIZATION_CANCELED), and
    // we do not count on that.
    constexpr int kAttempts = 3;
    Response resp;
    for (int attempt = 0; attempt < kAttempts && resp.ipp == nullptr; ++attempt) {
        const http_status_t sent = cupsSendRequest(m_http, req, "/", ippLength(req));
        if (sent != HTTP_STATUS_OK && sent != HTTP_STATUS_CONTINUE) {
            break;
        }
        resp.ipp = cupsGetResponse(m_http, "/");
        if (resp.ipp == nullptr && httpGetStatus(m_http) != HTTP_STATUS_UNAUTHORIZED) {
            break;  // refused for good, or the connection failed
        }
    }
    ippDelete(req);
    const ipp_status_t status = cupsLastError();
    if (resp.ipp == nullptr || status > IPP_STATUS_OK_EVENTS_COMPLETE) {
        m_lastError = static_cast<int>(status);
        Disconnect();  // whatever is left unread on it
        if (status == IPP_STATUS_ERROR_NOT_FOUND) {
            return Status::NotFound;
        }
        return status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || resp.ipp == nullptr
                   ? Status::Unavailable
                   : Status::Failed;
    }
    char buf[65536];
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = httpRead2(m_http, buf, sizeof buf);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            m_lastError = EIO;
            Disconnect();
            return Status::Failed;
        }
        total += static_cast<std::uint64_t>(n);
        if (total > maxBytes) {
            tooLarge = true;
            Disconnect();
            return Status::Failed;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(fd, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                m_lastError = errno;
                Disconnect();
                return Status::Failed;
            }
            done += w;
        }
    }
    return Status::Ok;
}

}  // namespace platform::cups
