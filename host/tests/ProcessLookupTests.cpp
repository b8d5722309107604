// Processes by command name over a scripted process table.
#include "host/ProcessLookup.h"

#include "platform/services/Sysctl.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace host;

// kern.proc.all as the kernel answers it: the length for a null buffer, ENOMEM for a short one.
struct ScriptedTable {
    std::vector<std::pair<int32_t, std::string>> processes;
    int sizeErrno = 0; // the size query fails with it
    int growReads = 0; // reads that find the table grown since the size query
    int readErrno = 0; // reads fail with it
    int reads = 0;

    SysctlFunction function() {
        return [this](const int*, unsigned, void* oldp, size_t* oldlenp, const void*, size_t) -> int {
            const size_t needed = processes.size() * sizeof(bsd::kinfo_proc);
            if (!oldp) {
                if (sizeErrno) {
                    errno = sizeErrno;
                    return -1;
                }
                *oldlenp = needed;
                return 0;
            }
            ++reads;
            if (readErrno) {
                errno = readErrno;
                return -1;
            }
            if (growReads > 0) {
                --growReads;
                errno = ENOMEM;
                *oldlenp = needed + sizeof(bsd::kinfo_proc);
                return -1;
            }
            auto* out = static_cast<bsd::kinfo_proc*>(oldp);
            for (size_t i = 0; i < processes.size(); ++i) {
                out[i] = bsd::kinfo_proc{};
                out[i].kp_proc.p_pid = processes[i].first;
                std::strncpy(out[i].kp_proc.p_comm, processes[i].second.c_str(), bsd::MAXCOMLEN);
            }
            *oldlenp = needed;
            return 0;
        };
    }
};

TEST(GetAllPIDsForProcessNameTest, MoreMatchesThanSlotsKeepTheFirstAndTheSinglePidLookupRefuses) {
    ScriptedTable table{{{10, "launchd"}, {41, "TesselHelper"}, {42, "TesselHelper"}}};
    int32_t pid = 0;
    unsigned count = 0;
    int error = -1;
    EXPECT_EQ(GetAllPIDsForProcessName("TesselHelper", &pid, 1, &count, &error, table.function()), -5);
    EXPECT_EQ(pid, 41);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(GetPIDForProcessName("TesselHelper", table.function()), -1);
    EXPECT_EQ(GetPIDForProcessName("launchd", table.function()), 10);

    int32_t pids[10];
    EXPECT_EQ(GetAllPIDsForProcessName("TesselHelper", pids, 10, &count, nullptr, table.function()), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(pids[1], 42);
    EXPECT_EQ(GetAllPIDsForProcessName("Wakelist", pids, 10, &count, &error, table.function()), -1);
    EXPECT_EQ(count, 0u);
}

TEST(GetAllPIDsForProcessNameTest, NamesMatchOnTheirFirstSixteenCharactersAndPidZeroIsSkipped) {
    ScriptedTable table{{{0, "TesselHelper"}, {7, "ABCDEFGHIJKLMNOPQ"}}};
    int32_t pids[4];
    unsigned count = 0;
    EXPECT_EQ(GetAllPIDsForProcessName("ABCDEFGHIJKLMNOPxyz", pids, 4, &count, nullptr, table.function()), 0);
    EXPECT_EQ(pids[0], 7);
    EXPECT_EQ(GetAllPIDsForProcessName("TesselHelper", pids, 4, &count, nullptr, table.function()), -1);
}

TEST(GetAllPIDsForProcessNameTest, AbsentArgumentsAndUnreadableTablesAreRefused) {
    ScriptedTable table{{{5, "x"}}};
    int32_t pids[2];
    unsigned count = 0;
    int error = 0;
    EXPECT_EQ(GetAllPIDsForProcessName(nullptr, pids, 2, &count, &error, table.function()), -2);
    EXPECT_EQ(GetAllPIDsForProcessName("x", nullptr, 2, &count, &error, table.function()), -2);
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 2, nullptr, &error, table.function()), -2);
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 0, &count, &error, table.function()), -2);
    table.sizeErrno = EPERM;
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 2, &count, &error, table.function()), -3);
    EXPECT_EQ(error, EPERM);
    // The error out is optional.
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 2, &count, nullptr, table.function()), -3);
}

TEST(GetAllPIDsForProcessNameTest, AGrowingTableIsReadAgainOnlyTenTimesAndOtherFailuresAreNotRetried) {
    ScriptedTable table{{{5, "x"}}};
    int32_t pids[2];
    unsigned count = 0;
    int error = 0;
    table.growReads = 3;
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 2, &count, &error, table.function()), 0);
    EXPECT_EQ(table.reads, 4);

    table.reads = 0;
    table.growReads = 1000;
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 2, &count, &error, table.function()), -3);
    EXPECT_EQ(error, ENOMEM);
    EXPECT_EQ(table.reads, kProcessTableReadAttempts);

    table.reads = 0;
    table.growReads = 0;
    table.readErrno = EFAULT;
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 2, &count, &error, table.function()), -3);
    EXPECT_EQ(error, EFAULT);
    EXPECT_EQ(table.reads, 1);
}

} // namespace
