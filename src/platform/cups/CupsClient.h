#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

typedef struct _http_s http_t;

namespace platform::cups {

// What the scheduler told us about one event of a subscription.
struct Event {
    int sequence = 0;
    std::string name;     // notify-subscribed-event, e.g. "job-completed"
    std::string printer;  // queue name
    int jobId = 0;        // 0 for printer events
};

struct JobState {
    int state = 0;  // ipp_jstate_t
    int impressions = 0;
    std::string queue;
    std::string user;
    std::string host;
    int copies = 1;
    std::string uuid;    // tells a job from a later one that got the same id
    std::string format;  // document-format of its (first) document
    int documents = 1;
    long completedAt = 0;  // time-at-completed, seconds since the epoch; 0 while it runs
    int kOctets = 0;       // the documents' size in kilobytes, as received
};

// One line of a job listing.
struct JobSummary {
    int id = 0;
    int state = 0;
    std::string queue;
    long completedAt = 0;  // 0 when the scheduler did not say
    std::string uuid;
    JobState details;  // as far as the listing told
};

enum class Status { Ok, NotFound, Unavailable, Failed };

// Whether the last failed request was refused for lack of rights.
bool IsForbidden(int ippStatus);

// One connection to the CUPS scheduler this client talks to (CUPS_SERVER, client.conf), with the
// few requests the spooler needs. Not thread-safe: each thread keeps its own.
class CupsClient {
  public:
    CupsClient();
    ~CupsClient();
    CupsClient(const CupsClient&) = delete;
    CupsClient& operator=(const CupsClient&) = delete;

    // Whether the scheduler is on this computer (a local socket or a loopback address).
    static bool ServerIsLocal();
    // The scheduler's host as other machines name it ("" for a local one).
    static std::string ServerHost();
    // The scheduler as this client is configured to reach it (a socket path, host or host:port).
    static std::string ServerName();
    // How many requests this process's clients have sent (documents apart), for tests and
    // diagnostics.
    static std::uint64_t RequestsSent();

    Status ListQueues(std::vector<std::string>& queues);
    Status QueueExists(const std::string& queue);
    Status Subscribe(int leaseSeconds, int& subscriptionId);
    Status Renew(int subscriptionId, int leaseSeconds);
    Status Cancel(int subscriptionId);
    // Events from firstSequence on.
    Status Notifications(int subscriptionId, int firstSequence, std::vector<Event>& events);
    Status Job(int jobId, JobState& job);
    Status QueuedJobCount(const std::string& queue, int& count);
    // Every job the scheduler keeps (finished ones too) with an id of at least firstId, of one
    // queue or, with an empty name, of all, in the order of their ids.
    Status Jobs(const std::string& queue, int firstId, std::vector<JobSummary>& jobs);
    // Writes one document of a job (numbered from 1) to fd, at most maxBytes of it; tooLarge
    // tells when there was more.
    Status Document(int jobId, int number, int fd, std::uint64_t maxBytes, bool& tooLarge);

    // The error number of the last failed request (an IPP status, or an errno when the
    // scheduler could not be reached).
    int LastError() const { return m_lastError; }
    void Disconnect();

  private:
    struct Response;
    Status Do(void* request, Response& response);
    bool Connect();
    std::string PrinterUri(const std::string& queue) const;
    std::string ServerUri() const;

    http_t* m_http = nullptr;
    int m_lastError = 0;
};

// The job's originating host as the machine name the watch threads compare: this computer for
// jobs from itself (its name, one of its addresses, or loopback on a scheduler of this computer),
// else the host. serverHost is the remote scheduler's host, empty for a local one.
// A numeric address is named by a lookup that is waited for at most `wait`, else it stands.
std::string MachineNameForHost(const std::string& host, const std::string& computerName,
                               const std::string& serverHost,
                               std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

}  // namespace platform::cups
