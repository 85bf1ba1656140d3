#include "storage/ServiceHandoff.h"

#include <algorithm>
#include <sstream>

#include "platform/SharedFile.h"

namespace {

constexpr const char* kMagic = "tessaroven-service-spans 1";
constexpr std::int64_t kMaxFileBytes = 1024 * 1024;
constexpr size_t kMaxIds = 10000;

bool Within(const ServiceHandoff::Span& span, std::int64_t t) {
    return t >= span.from && t <= span.to;
}

}  // namespace

std::vector<ServiceHandoff::Span> ServiceHandoff::Read(const std::string& path) {
    platform::SharedFile file;
    if (!file.OpenForReading(path)) {
        return {};
    }
    const std::int64_t size = file.Size();
    if (size <= 0 || size > kMaxFileBytes) {
        return {};
    }
    std::string text(static_cast<size_t>(size), '\0');
    if (file.Read(text.data(), text.size()) != size) {
        return {};
    }
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic) {
        return {};
    }
    std::vector<Span> spans;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, state;
        Span span;
        words >> key;
        if (key == "end") {
            return spans;
        }
        if (key == "recorded" && !spans.empty()) {
            std::int32_t id = 0;
            while (spans.back().alsoRecorded.size() < kMaxIds && words >> id) {
                spans.back().alsoRecorded.push_back(id);
            }
            if (!words.eof()) {
                return {};
            }
            continue;
        }
        if (key != "span" || !(words >> span.from >> span.to >> state) || span.to < span.from - 1 ||
            (state != "running" && state != "stopped") || spans.size() >= kSpansKept) {
            return {};
        }
        span.running = state == "running";
        spans.push_back(span);
    }
    return {};  // cut short
}

RecordOwner ServiceHandoff::Owner(const std::vector<Span>& spans, std::int32_t jobId,
                                  std::int64_t endedAt, std::int64_t now, bool serviceRuns) {
    const std::int64_t t = endedAt > 0 ? endedAt : now;
    const auto covers = [&](const Span& span) {
        return Within(span, t) || std::find(span.alsoRecorded.begin(), span.alsoRecorded.end(),
                                            jobId) != span.alsoRecorded.end();
    };
    // Ours, unless a service starting this very second takes it too.
    const RecordOwner here = now - t < kSettleSeconds ? RecordOwner::Undecided : RecordOwner::Here;
    if (spans.empty()) {
        return RecordOwner::Here;  // no service since this computer started
    }
    for (size_t i = 0; i + 1 < spans.size(); ++i) {
        if (covers(spans[i])) {
            return RecordOwner::Elsewhere;
        }
    }
    const Span& last = spans.back();
    if (serviceRuns) {
        // A service that has just started has not said yet whether it goes on with the last
        // span: wait for it.
        if (!last.running) {
            return RecordOwner::Undecided;
        }
        return t >= last.from ? RecordOwner::Elsewhere : here;
    }
    if (covers(last)) {
        return RecordOwner::Elsewhere;  // recorded at its stop, or taken at its next start
    }
    if (t > last.to && now <= last.to + kRestartWindow) {
        return RecordOwner::Undecided;  // it may be back in a moment and take the job
    }
    return here;
}

ServiceHandoff::ServiceHandoff(std::string publicPath, std::string privatePath)
    : m_publicPath(std::move(publicPath)), m_privatePath(std::move(privatePath)) {}

std::function<bool(long)> ServiceHandoff::Begin(std::int64_t now) {
    // The public file has the last sign of life of a service that was killed; the private one
    // outlives a reboot.
    m_spans = Read(m_publicPath);
    if (m_spans.empty()) {
        m_spans = Read(m_privatePath);
    }
    if (!m_spans.empty() && now - m_spans.back().to <= kRestartWindow) {
        m_spans.back().to = now;
        m_spans.back().running = true;
        m_spans.back().alsoRecorded.clear();  // all of them are in the span again
    } else {
        for (auto& span : m_spans) {
            span.running = false;
        }
        m_spans.push_back({now, now, true, {}});
    }
    if (m_spans.size() > kSpansKept) {
        m_spans.erase(m_spans.begin(), m_spans.end() - kSpansKept);
    }
    Write(true);
    return [spans = m_spans](long endedAt) {
        for (size_t i = 0; i + 1 < spans.size(); ++i) {
            if (Within(spans[i], endedAt)) {
                return true;
            }
        }
        return endedAt >= spans.back().from;
    };
}

void ServiceHandoff::Alive(std::int64_t now) {
    if (m_spans.empty()) {
        return;
    }
    m_spans.back().to = now;
    // The copy on disk only now and then: it matters after a reboot, when minutes are nothing.
    Write(++m_aliveCount % 12 == 0);
}

void ServiceHandoff::End(std::int64_t stopStarted, const std::vector<std::int32_t>& recorded) {
    if (m_spans.empty()) {
        return;
    }
    Span& span = m_spans.back();
    span.to = std::max(span.from - 1, stopStarted - kSettleSeconds);
    span.running = false;
    span.alsoRecorded = recorded;
    Write(true);
}

void ServiceHandoff::Write(bool both) {
    std::ostringstream out;
    out << kMagic << '\n';
    for (const auto& span : m_spans) {
        out << "span " << span.from << ' ' << span.to << ' '
            << (span.running ? "running" : "stopped") << '\n';
        for (size_t i = 0; i < span.alsoRecorded.size(); ++i) {
            out << (i % 20 == 0 ? "recorded" : "") << ' ' << span.alsoRecorded[i]
                << (i % 20 == 19 || i + 1 == span.alsoRecorded.size() ? "\n" : "");
        }
    }
    out << "end\n";
    for (const auto* path : {&m_publicPath, &m_privatePath}) {
        if (path->empty() || (!both && path == &m_privatePath)) {
            continue;
        }
        const auto slash = path->rfind('/');
        platform::ReplacementFile file;
        if (!file.Create(slash == std::string::npos ? "." : path->substr(0, slash)) ||
            !file.WriteAll(out.str()) || !file.SetMode(0644) || !file.Replace(*path)) {
            file.Discard();
        }
    }
}
