// Backlog records: layout, cleanup of old jobs through the clock seam.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstddef>
#include "printproc/rawjob/jobstate.h"
#include "printproc/rawjob/statemachine.h"
#include "printproc/rawjob/transfercontext.h"
#include "base/namedlock.h"
#include "storage/backlog.h"
#include "tests/testclock.h"
#include "tests/testutil.h"

namespace {
constexpr ULONGLONG kMinute = 600000000ULL;  // in 100 ns units

class BacklogTest : public ::testing::Test {
protected:
    CJobState state;
    CJobScope scope{state};
    CManualClock clock;
    JobRecord job = {};
    TransferContext ctx;
    std::wstring dir;
    wchar_t printer[MAX_PATH] = L"Back:log";
    wchar_t document[MAX_PATH] = L"report.txt";

    void SetUp() override {
        state.setClock(&clock);
        clock.setWall(fileTimeToUInt64(CSystemClock::instance().wallNow()));
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir = std::wstring(temp) + uniqueName(L"rpqbacklog");
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
        wchar_t name[MAX_PATH];
        wcscpy(name, uniqueName(L"Backlog").c_str());
        ASSERT_TRUE(state.log().openLogFile(name));
        state.log().setLevel(L_ON);
        strcpy(job.uid, "J0bUid0001");
        wcscpy(job.storagePath, dir.c_str());
        wcscpy(job.userName, L"alice");
        wcscpy(job.hostName, L"HOST1");
        wcscpy(job.documentPath, L"C:\\Docs\\");
        job.printerName = printer;
        job.documentName = document;
        job.jobId = 77;
        job.noOfPages = 2;
        job.noOfCopies = 3;
        ctx.fillFrom(job);
        ctx.chunkSet.totalSize = 123456789;
        for (int i = 0; i < 16; ++i) ctx.inputDigest[i] = static_cast<BYTE>(0xF0 + i);
    }
    void TearDown() override { removeTree(dir); }
    bool save() {
        const BacklogEntry entry = {ctx.userName,   ctx.hostName, ctx.printerName, ctx.documentName, ctx.documentPath,
                                    ctx.jobId,      ctx.noOfPages, ctx.noOfCopies, ctx.chunkSet.totalSize,
                                    ctx.inputDigest};
        return saveRecord(ctx.storagePath, ctx.uid(), entry);
    }
    std::wstring path(const std::wstring& name) const { return dir + L"\\" + name; }
    bool exists(const std::wstring& name) const { return GetFileAttributesW(path(name).c_str()) != INVALID_FILE_ATTRIBUTES; }
    void files(const std::wstring& uid, std::initializer_list<const wchar_t*> extensions) {
        for (const wchar_t* ext : extensions) ASSERT_TRUE(writeFileBytes(path(uid + ext), "x"));
    }
    void setCreated(const std::wstring& name, ULONGLONG when) {
        unique_hfile f(CreateFileW(path(name).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME ft = uint64ToFileTime(when);
        // Wine reports the last write time as the creation time: set both.
        ASSERT_TRUE(SetFileTime(f.get(), &ft, nullptr, &ft));
    }
    ULONGLONG now() const { return fileTimeToUInt64(CSystemClock::instance().wallNow()); }
};

TEST_F(BacklogTest, RecordBytesAtTheirOffsets) {
    ASSERT_TRUE(save());
    std::string bytes = readFileBytes(path(L"J0bUid0001.psf"));
    ASSERT_EQ(bytes.size(), 2160u);
    auto wide = [&](size_t offset) { return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + offset)); };
    EXPECT_EQ(wide(10), L"alice");
    EXPECT_EQ(wide(530), L"HOST1");
    EXPECT_EQ(wide(562), L"Back:log");
    EXPECT_EQ(wide(1082), L"report.txt");
    EXPECT_EQ(wide(1602), L"C:\\Docs\\");
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(bytes.data() + 2124), 77u);
    EXPECT_EQ(*reinterpret_cast<const WORD*>(bytes.data() + 2128), 2);
    EXPECT_EQ(*reinterpret_cast<const WORD*>(bytes.data() + 2130), 3);
    EXPECT_EQ(*reinterpret_cast<const ULONGLONG*>(bytes.data() + 2136), 123456789u);
    EXPECT_EQ(static_cast<BYTE>(bytes[2144]), 0xF0);
    EXPECT_EQ(static_cast<BYTE>(bytes[2159]), 0xFF);
    for (size_t offset : {0, 9, 2122, 2123, 2132, 2135}) EXPECT_EQ(bytes[offset], 0) << offset;
    EXPECT_EQ(bytes[10 + 2 * 5], 0);  // text fields end in a NUL, zero behind it
    EXPECT_EQ(bytes[528], 0);

    ASSERT_TRUE(deleteRecord(ctx.storagePath, ctx.uid()));
    EXPECT_FALSE(exists(L"J0bUid0001.psf"));
    EXPECT_FALSE(deleteRecord(ctx.storagePath, ctx.uid()));
}

TEST_F(BacklogTest, HostNameTooLongFailsTheRecord) {
    wchar_t host[32] = L"ABCDEFGHIJKLMNOPQ";
    ctx.hostName = host;
    EXPECT_FALSE(save());
    EXPECT_FALSE(exists(L"J0bUid0001.psf"));
}

TEST_F(BacklogTest, DiscardDeletesTheJobWithOrWithoutItsRecord) {
    files(L"J0bUid0001", {L".dat", L".7z", L".001"});
    files(L"0therJ0b01", {L".001", L".psf"});
    ASSERT_TRUE(discardJobFiles(ctx.storagePath, ctx.uid()));  // no record yet: the files go all the same
    EXPECT_FALSE(exists(L"J0bUid0001.dat"));
    EXPECT_FALSE(exists(L"J0bUid0001.001"));
    EXPECT_TRUE(exists(L"0therJ0b01.001"));

    files(L"J0bUid0001", {L".dat", L".7z", L".001"});
    ASSERT_TRUE(save());
    ASSERT_TRUE(CreateDirectoryW(path(L"J0bUid0001.dir").c_str(), nullptr));
    ASSERT_TRUE(discardJobFiles(ctx.storagePath, ctx.uid()));
    for (const wchar_t* ext : {L".dat", L".7z", L".001", L".psf"}) EXPECT_FALSE(exists(std::wstring(L"J0bUid0001") + ext));
    EXPECT_TRUE(exists(L"J0bUid0001.dir"));  // directories stay
    EXPECT_TRUE(exists(L"0therJ0b01.001"));
    EXPECT_TRUE(exists(L"0therJ0b01.psf"));
}

// QUIT leaves nothing of the job in the transfer context, names included;
// the names themselves stay with the job.
TEST_F(BacklogTest, QuitLetsGoOfTheJob) {
    ctx.job = &state;
    EXPECT_EQ(stateQuit(ctx), ST_END_OF_JOB);
    EXPECT_EQ(ctx.printerName, nullptr);
    EXPECT_EQ(ctx.documentName, nullptr);
    EXPECT_STREQ(job.printerName, L"Back:log");
    EXPECT_EQ(ctx.jobId, 0u);
}

TEST_F(BacklogTest, OrphansOlderThanAnHourAreRemoved) {
    files(L"0ldJ0b0001", {L".psf", L".001", L".002"});
    files(L"N3wJ0b0001", {L".psf", L".001"});
    ASSERT_TRUE(writeFileBytes(path(L"Zer0Byte01.psf"), ""));
    files(L"Zer0Byte01", {L".001"});
    ASSERT_TRUE(CreateDirectoryW(path(L"D1rect0ry1.psf").c_str(), nullptr));
    ULONGLONG t = now();
    setCreated(L"0ldJ0b0001.psf", t - 120 * kMinute);
    setCreated(L"N3wJ0b0001.psf", t);
    setCreated(L"Zer0Byte01.psf", t - 90 * kMinute);

    clock.setWall(t + 60 * kMinute + 59 * 10000000ULL);  // 60 min 59 s: the new job stays
    ASSERT_TRUE(lookForOlderJobs(job.storagePath, clock));
    EXPECT_FALSE(exists(L"0ldJ0b0001.psf"));
    EXPECT_FALSE(exists(L"0ldJ0b0001.002"));
    EXPECT_FALSE(exists(L"Zer0Byte01.psf"));
    EXPECT_FALSE(exists(L"Zer0Byte01.001"));
    EXPECT_TRUE(exists(L"N3wJ0b0001.psf"));
    EXPECT_TRUE(exists(L"N3wJ0b0001.001"));
    EXPECT_TRUE(exists(L"D1rect0ry1.psf"));

    clock.setWall(t + 61 * kMinute);
    ASSERT_TRUE(lookForOlderJobs(job.storagePath, clock));
    EXPECT_FALSE(exists(L"N3wJ0b0001.psf"));
    EXPECT_FALSE(exists(L"N3wJ0b0001.001"));
    std::string log = readFileBytes(state.log().path());
    EXPECT_NE(log.find("Read <0> bytes into backlog_record"), std::string::npos);
    EXPECT_NE(log.find("Timediff 61 minutes"), std::string::npos);
}

TEST_F(BacklogTest, RecordFromTheFutureCountsAsOld) {
    files(L"Futur3J0b1", {L".psf", L".001"});
    setCreated(L"Futur3J0b1.psf", now() + 30 * kMinute);
    clock.setWall(now());
    ASSERT_TRUE(lookForOlderJobs(job.storagePath, clock));
    EXPECT_FALSE(exists(L"Futur3J0b1.psf"));
    EXPECT_FALSE(exists(L"Futur3J0b1.001"));
}
TEST_F(BacklogTest, FilesWithoutARecordAndRunningJobs) {
    files(L"N0Rec0rd01", {L".dat", L".7z"});   // failed before its record: old
    files(L"N0Rec0rd02", {L".dat"});           // young
    files(L"Runn1ngJ01", {L".psf", L".001"});  // old, but its job still runs
    files(L"Runn1ngJ02", {L".dat"});
    ULONGLONG t = now();
    for (const wchar_t* name : {L"N0Rec0rd01.dat", L"N0Rec0rd01.7z", L"Runn1ngJ01.psf", L"Runn1ngJ02.dat"})
        setCreated(name, t - 90 * kMinute);
    setCreated(L"N0Rec0rd02.dat", t - 10 * kMinute);
    // Only RPQ's own job files are ever swept, whatever lies beside them.
    const wchar_t* foreign[] = {L"notes.txt", L"N0Rec0rd01.exe", L"N0Rec0rd01.dat.bak", L"short.dat", L"N0Rec0rd1.001",
                                L"N0Rec0rd01.01", L"N0-Rec0rd1.dat"};
    for (const wchar_t* name : foreign) {
        ASSERT_TRUE(writeFileBytes(path(name), "x"));
        setCreated(name, t - 90 * kMinute);
    }
    CNamedLock running1(kRunningJobLock, L"Runn1ngJ01"), running2(kRunningJobLock, L"Runn1ngJ02");
    clock.setWall(t);
    ASSERT_TRUE(lookForOlderJobs(job.storagePath, clock));
    EXPECT_FALSE(exists(L"N0Rec0rd01.dat"));
    EXPECT_FALSE(exists(L"N0Rec0rd01.7z"));
    EXPECT_TRUE(exists(L"N0Rec0rd02.dat"));
    for (const wchar_t* name : {L"Runn1ngJ01.psf", L"Runn1ngJ01.001", L"Runn1ngJ02.dat"}) EXPECT_TRUE(exists(name));
    for (const wchar_t* name : foreign) EXPECT_TRUE(exists(name)) << name;
    ASSERT_TRUE(discardJobFiles(ctx.storagePath, "N0Rec0rd01"));
    EXPECT_TRUE(exists(L"N0Rec0rd01.exe"));
}
}  // namespace
