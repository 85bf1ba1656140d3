#include <gtest/gtest.h>

#include <cstdio>
#include "storage/ServiceHandoff.h"

#include "support/TestSupport.h"

using namespace testsupport;
using Span = ServiceHandoff::Span;
constexpr auto kHere = RecordOwner::Here;
constexpr auto kService = RecordOwner::Elsewhere;
constexpr auto kWait = RecordOwner::Undecided;
constexpr std::int64_t W = ServiceHandoff::kRestartWindow;

// The desktop program's side: a job is the service's when it ended within a span in which the
// service counted, including the one it runs in now, or when the service named it at its stop; a
// job that ended after the service stopped waits out the restart window, in which a service that
// comes back takes it; one that ended a moment ago waits for a service starting right now.
TEST(ServiceHandoff, AJobBelongsToTheServiceThatRanWhenItEnded) {
    const auto owner = [](const std::vector<Span>& spans, int job, std::int64_t endedAt,
                          std::int64_t now, bool runs) {
        return ServiceHandoff::Owner(spans, job, endedAt, now, runs);
    };
    EXPECT_EQ(owner({}, 1, 100, 100, false), kHere);  // no service since the start

    const std::vector<Span> running{{100, 200, false, {}}, {1000, 1500, true, {}}};
    EXPECT_EQ(owner(running, 1, 1600, 1600, true), kService);
    EXPECT_EQ(owner(running, 1, 1000, 1600, true), kService);
    EXPECT_EQ(owner(running, 1, 999, 1600, true), kHere);     // before it started
    EXPECT_EQ(owner(running, 1, 999, 1000, true), kWait);     // unless a moment before
    EXPECT_EQ(owner(running, 1, 150, 1600, true), kService);  // an earlier span
    EXPECT_EQ(owner(running, 1, 0, 1600, true), kService);    // no time: now

    const std::vector<Span> stopped{{100, 200, false, {}}, {1000, 1500, false, {7}}};
    EXPECT_EQ(owner(stopped, 1, 1500, 1600, false), kService);
    EXPECT_EQ(owner(stopped, 7, 1502, 1600, false), kService);  // named at its stop
    EXPECT_EQ(owner(stopped, 8, 1502, 1500 + W, false), kWait);
    EXPECT_EQ(owner(stopped, 8, 1502, 1500 + W, true), kWait);  // its span not said yet
    EXPECT_EQ(owner(stopped, 8, 1502, 1500 + W + 1, false), kHere);
    EXPECT_EQ(owner(stopped, 1, 500, 1600, false), kHere);  // between two spans
    // A service that was killed left its last sign of life as the end of its span.
    const std::vector<Span> killed{{1000, 1500, true, {}}};
    EXPECT_EQ(owner(killed, 1, 1400, 1501, false), kService);
    EXPECT_EQ(owner(killed, 1, 1501, 1503, false), kWait);
    EXPECT_EQ(owner(killed, 1, 1501, 1500 + W + 1, false), kHere);
}

// The service's side: a start within the restart window goes on with the span before (it takes
// the jobs that ended in between), a later one starts a new span (the desktop has those); the
// desktop programs read what it wrote; the copy of its own outlives the public file.
TEST(ServiceHandoff, TheServiceGoesOnAfterARestartAndStartsAfreshAfterAPause) {
    TempDir dir;
    const std::string pub = dir / "public";
    const std::string own = dir / "own";
    {
        ServiceHandoff first(pub, own);
        const auto takes = first.Begin(1000);
        EXPECT_FALSE(takes(999));
        EXPECT_TRUE(takes(1000));
        first.Alive(1100);
        first.End(1200, {42});
    }
    auto spans = ServiceHandoff::Read(pub);
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0].from, 1000);
    EXPECT_EQ(spans[0].to, 1200 - ServiceHandoff::kSettleSeconds);
    EXPECT_FALSE(spans[0].running);
    EXPECT_EQ(ServiceHandoff::Owner(spans, 42, 1199, 1300, false), kService);
    EXPECT_EQ(ServiceHandoff::Owner(spans, 43, 1199, 1200, false), kWait);
    const std::int64_t stoppedAt = spans[0].to;
    {
        ServiceHandoff restarted(pub, own);
        const auto takes = restarted.Begin(stoppedAt + W);
        EXPECT_TRUE(takes(1199));  // ended while it was away, within the window
        EXPECT_FALSE(takes(999));
        spans = ServiceHandoff::Read(pub);
        ASSERT_EQ(spans.size(), 1u);
        EXPECT_TRUE(spans[0].running);
        EXPECT_EQ(ServiceHandoff::Owner(spans, 43, 1199, 1300, true), kService);
        restarted.End(1300, {});
    }
    {
        std::remove(pub.c_str());  // a reboot empties the runtime folder
        ServiceHandoff later(pub, own);
        const auto takes = later.Begin(1298 + W + 1);
        EXPECT_TRUE(takes(1250));   // in its earlier span: never recorded by anyone else
        EXPECT_FALSE(takes(1299));  // the desktop programs' since the window passed
        EXPECT_TRUE(takes(1298 + W + 1));
        spans = ServiceHandoff::Read(pub);
        ASSERT_EQ(spans.size(), 2u);
        EXPECT_EQ(ServiceHandoff::Owner(spans, 5, 1299, 1400, true), kHere);
    }
    // What no service wrote is no span.
    WriteFile(pub, "tessaroven-service-spans 1\nspan 5 2 running\nend\n");
    EXPECT_TRUE(ServiceHandoff::Read(pub).empty());
    WriteFile(pub, "tessaroven-service-spans 1\nspan 1 3 running\n");
    EXPECT_TRUE(ServiceHandoff::Read(pub).empty());
    WriteFile(pub, "tessaroven-service-spans 1\nspan 1 3 stopped\nrecorded 4 x\nend\n");
    EXPECT_TRUE(ServiceHandoff::Read(pub).empty());
}
