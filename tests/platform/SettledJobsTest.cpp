#include <gtest/gtest.h>

#include "platform/cups/SettledJobs.h"
#include "support/TestSupport.h"

using namespace testsupport;
using platform::cups::SettledJobs;

// Settled ids fold into the floor as soon as they are contiguous; the file keeps them for the
// same scheduler only, and a file cut short or tampered with is no history at all.
TEST(SettledJobs, AreKeptAsAFloorAndTheFewAboveItForOneScheduler) {
    SettledJobs jobs;
    jobs.Add(2, "urn:uuid:2");
    jobs.Add(3, "urn:uuid:3");
    EXPECT_EQ(jobs.Floor(), 0);
    EXPECT_FALSE(jobs.Contains(1));
    jobs.Add(1, "urn:uuid:1");
    EXPECT_EQ(jobs.Floor(), 3);
    jobs.Add(7, "urn:uuid:7");
    jobs.Add(4, "");
    jobs.Add(5, "");
    EXPECT_EQ(jobs.Floor(), 5);
    EXPECT_FALSE(jobs.Contains(6));
    EXPECT_TRUE(jobs.Contains(7));
    EXPECT_EQ(jobs.LastId(), 7);

    TempDir dir;
    const std::string path = dir / "settled";
    ASSERT_TRUE(jobs.Save(path, "/run/cups/cups.sock"));
    SettledJobs loaded;
    ASSERT_TRUE(loaded.Load(path, "/run/cups/cups.sock"));
    EXPECT_EQ(loaded.Floor(), 5);
    EXPECT_TRUE(loaded.Contains(7));
    EXPECT_FALSE(loaded.Contains(6));
    EXPECT_EQ(loaded.LastUuid(), "urn:uuid:7");
    EXPECT_FALSE(loaded.Load(path, "printserver:631"));
    EXPECT_EQ(loaded.Floor(), 0);

    const std::string text = ReadFile(path);
    WriteFile(path, text.substr(0, text.size() - 4));  // no end line
    EXPECT_FALSE(loaded.Load(path, "/run/cups/cups.sock"));
    WriteFile(path, "tessaroven-settled-jobs 1\nscheduler s\nfloor 5\nsettled 9 x\nend\n");
    EXPECT_FALSE(loaded.Load(path, "s"));
    EXPECT_FALSE(loaded.Contains(5));
}
