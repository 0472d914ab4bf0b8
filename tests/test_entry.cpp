// The print-processor exports of RPQ.dll, called as a spooler calls them.
#include <windows.h>
#include <gtest/gtest.h>
#include <winspool.h>
#include <thread>
#include "printproc/jobcontext.h"
#include "tests/testutil.h"

namespace {
class EntryTest : public ::testing::Test {
protected:
    CRpqDll dll;
    void SetUp() override {
        ASSERT_NE(dll.module, nullptr);
        ASSERT_TRUE(dll.open && dll.print && dll.close && dll.control && dll.enumDatatypes && dll.caps);
    }
    // An EMF job needs no printer until copies are asked for.
    HANDLE openEmf(const wchar_t* parameters) {
        PRINTPROCESSOROPENDATA data = {};
        data.pDatatype = const_cast<LPWSTR>(L"NT EMF 1.008");
        data.pParameters = const_cast<LPWSTR>(parameters);
        data.pDocumentName = const_cast<LPWSTR>(L"doc");
        data.pPrinterName = const_cast<LPWSTR>(L"No Such Printer");
        data.JobId = 42;
        return dll.open(const_cast<LPWSTR>(L"No Such Printer"), &data);
    }
};

TEST_F(EntryTest, OpenRefusesMissingAndUnknownDatatypes) {
    SetLastError(0);
    EXPECT_EQ(dll.open(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    PRINTPROCESSOROPENDATA data = {};
    data.pDatatype = const_cast<LPWSTR>(L"");
    EXPECT_EQ(dll.open(nullptr, &data), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    data.pDatatype = const_cast<LPWSTR>(L"NT EMF 1.009");
    EXPECT_EQ(dll.open(nullptr, &data), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATATYPE));
}

TEST_F(EntryTest, OpenFillsTheContextAndDatatypeMatchIgnoresCase) {
    PRINTPROCESSOROPENDATA data = {};
    data.pDatatype = const_cast<LPWSTR>(L"nt emf 1.006");
    data.pDocumentName = const_cast<LPWSTR>(L"Report");
    data.pOutputFile = const_cast<LPWSTR>(L"FILE:");
    data.pPrinterName = const_cast<LPWSTR>(L"Office");
    data.JobId = 7;
    HANDLE h = dll.open(const_cast<LPWSTR>(L"FILE:, Port"), &data);
    ASSERT_NE(h, nullptr);
    auto ctx = static_cast<JobContext*>(h);
    EXPECT_EQ(ctx->signature, 0x5051u);
    EXPECT_EQ(ctx->size, sizeof(JobContext));
    EXPECT_EQ(ctx->datatype, 1u);
    EXPECT_EQ(ctx->jobId, 7u);
    EXPECT_EQ(ctx->copies, 1u);
    EXPECT_EQ(ctx->tabSize, 8u);
    EXPECT_STREQ(ctx->printerName, L"FILE:, Port");
    EXPECT_STREQ(ctx->documentName, L"Report");
    EXPECT_STREQ(ctx->outputFile, L"FILE:");
    EXPECT_EQ(ctx->parameters, nullptr);
    EXPECT_STREQ(ctx->openDataPrinterName, L"Office");
    // Room to escape the name in place: each character may become three.
    EXPECT_GE(LocalSize(ctx->openDataPrinterName), 260 * sizeof(wchar_t));
    EXPECT_EQ(WaitForSingleObject(ctx->pauseEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(dll.close(h));
}

TEST_F(EntryTest, CopiesFromTheParameterString) {
    struct Case {
        const wchar_t* parameters;
        DWORD copies;
    } cases[] = {
        {L"COPIES=3;", 3},   {L"COPIES=3", 1},         {L"copies=3;", 3},   {L"COPIES =3;", 1},
        {L"COPIES=3 ;", 1},  {L"COPIESX=3;", 3},       {L"COPIES=x3; COPIES=5;", 5},
        {L"COPIES=0;", 0},   {L"  TABS=4; COPIES=1;", 1},
    };
    for (const Case& c : cases) {
        HANDLE h = openEmf(c.parameters);
        ASSERT_NE(h, nullptr) << c.parameters;
        // More than one copy needs the printer, which does not exist here.
        DWORD expected = c.copies > 1 ? 1 : c.copies;
        EXPECT_EQ(static_cast<JobContext*>(h)->copies, expected) << c.parameters;
        EXPECT_TRUE(dll.close(h));
    }
}

TEST_F(EntryTest, InvalidHandlesAreRefused) {
    JobContext fake = {};
    fake.signature = 0x5050;
    HANDLE handles[] = {nullptr, INVALID_HANDLE_VALUE, &fake};
    for (HANDLE h : handles) {
        SetLastError(0);
        EXPECT_FALSE(dll.print(h, const_cast<LPWSTR>(L"x")));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(dll.control(h, JOB_CONTROL_PAUSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(dll.close(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

// A playback on a printer that does not exist fails with the spooler's error.
TEST_F(EntryTest, PlaybackWithoutItsPrinterFails) {
    HANDLE h = openEmf(nullptr);
    ASSERT_NE(h, nullptr);
    SetLastError(0);
    EXPECT_FALSE(dll.print(h, const_cast<LPWSTR>(L"Office, Job 1")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_TRUE(dll.close(h));
}

TEST_F(EntryTest, PauseResumeCancel) {
    HANDLE h = openEmf(nullptr);
    ASSERT_NE(h, nullptr);
    auto ctx = static_cast<JobContext*>(h);
    EXPECT_FALSE(dll.control(h, 99));

    EXPECT_TRUE(dll.control(h, JOB_CONTROL_PAUSE));
    EXPECT_TRUE(isPaused(ctx));
    EXPECT_EQ(WaitForSingleObject(ctx->pauseEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(dll.control(h, JOB_CONTROL_RESUME));
    EXPECT_FALSE(isPaused(ctx));
    EXPECT_EQ(WaitForSingleObject(ctx->pauseEvent, 0), WAIT_OBJECT_0);

    // A waiter blocked by a pause is released by a cancel from another thread.
    EXPECT_TRUE(dll.control(h, JOB_CONTROL_PAUSE));
    DWORD waitResult = 0xFFFFFFFF;
    std::thread waiter([&] { waitResult = WaitForSingleObject(ctx->pauseEvent, 60000); });
    std::thread canceller([&] { dll.control(h, JOB_CONTROL_CANCEL); });
    canceller.join();
    waiter.join();
    EXPECT_EQ(waitResult, WAIT_OBJECT_0);
    EXPECT_TRUE(isAborted(ctx));
    EXPECT_FALSE(isPaused(ctx));
    // Resume does not clear a cancel.
    EXPECT_TRUE(dll.control(h, JOB_CONTROL_RESUME));
    EXPECT_TRUE(isAborted(ctx));
    EXPECT_TRUE(dll.close(h));
}

TEST_F(EntryTest, CapabilitiesBySizeAndDatatype) {
    BYTE buffer[64];
    DWORD needed = 0;
    EXPECT_EQ(dll.caps(const_cast<LPWSTR>(L"RAW"), 0, buffer, 0, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(dll.caps(const_cast<LPWSTR>(L"RAW"), 0, buffer, 0, &needed), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(needed, 36u);

    memset(buffer, 0xAB, sizeof(buffer));
    EXPECT_EQ(dll.caps(const_cast<LPWSTR>(L"RAW"), 0, buffer, 16, &needed), 0u);
    EXPECT_EQ(needed, 16u);
    auto caps1 = reinterpret_cast<PRINTPROCESSOR_CAPS_1*>(buffer);
    EXPECT_EQ(caps1->dwLevel, 1u);
    EXPECT_EQ(caps1->dwNupOptions, 1u);
    EXPECT_EQ(caps1->dwPageOrderFlags, 0u);
    EXPECT_EQ(caps1->dwNumberOfCopies, 0xFFFFFFFFu);
    EXPECT_EQ(buffer[16], 0xAB);  // nothing written past level 1

    EXPECT_EQ(dll.caps(const_cast<LPWSTR>(L"TEXT"), 0, buffer, 20, &needed), 0u);
    EXPECT_EQ(needed, 16u);
    EXPECT_EQ(caps1->dwLevel, 1u);

    auto caps2 = reinterpret_cast<PRINTPROCESSOR_CAPS_2*>(buffer);
    EXPECT_EQ(dll.caps(const_cast<LPWSTR>(L"NT EMF 1.008"), PRINTER_ATTRIBUTE_LOCAL, buffer, 36, &needed), 0u);
    EXPECT_EQ(needed, 36u);
    EXPECT_EQ(caps2->dwLevel, 2u);
    EXPECT_EQ(caps2->dwNupOptions, 0x812Bu);
    EXPECT_EQ(caps2->dwPageOrderFlags, 3u);
    EXPECT_EQ(caps2->dwNumberOfCopies, 0xFFFFFFFFu);
    EXPECT_EQ(caps2->dwDuplexHandlingCaps, 3u);
    EXPECT_EQ(caps2->dwNupDirectionCaps, 15u);
    EXPECT_EQ(caps2->dwNupBorderCaps, 1u);
    EXPECT_EQ(caps2->dwBookletHandlingCaps, 1u);
    EXPECT_EQ(caps2->dwScalingCaps, 1u);

    DWORD restricted[] = {PRINTER_ATTRIBUTE_DIRECT, PRINTER_ATTRIBUTE_RAW_ONLY,
                          PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_NETWORK};
    for (DWORD attributes : restricted) {
        EXPECT_EQ(dll.caps(const_cast<LPWSTR>(L"NT EMF 1.006"), attributes, buffer, 40, &needed), 0u);
        EXPECT_EQ(caps2->dwNupOptions, 1u);
        EXPECT_EQ(caps2->dwNumberOfCopies, 1u);
        EXPECT_EQ(caps2->dwNupDirectionCaps, 0u);
        EXPECT_EQ(caps2->dwScalingCaps, 0u);
    }

    EXPECT_EQ(dll.caps(const_cast<LPWSTR>(L"RAW"), 0, nullptr, 36, &needed), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(dll.caps(nullptr, 0, buffer, 36, &needed), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(dll.caps(const_cast<LPWSTR>(L"PCL"), 0, buffer, 36, &needed), static_cast<DWORD>(ERROR_INVALID_DATATYPE));
}

TEST_F(EntryTest, DatatypeEnumeration) {
    DWORD needed = 99, count = 99;
    SetLastError(0);
    EXPECT_FALSE(dll.enumDatatypes(nullptr, nullptr, 1, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 136u);
    EXPECT_EQ(count, 0u);

    BYTE small[135];
    EXPECT_FALSE(dll.enumDatatypes(nullptr, nullptr, 1, small, sizeof(small), &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    EXPECT_FALSE(dll.enumDatatypes(nullptr, nullptr, 1, nullptr, 136, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(dll.enumDatatypes(nullptr, nullptr, 2, small, sizeof(small), &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(dll.enumDatatypes(nullptr, nullptr, 1, small, sizeof(small), nullptr, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    alignas(8) BYTE buffer[200];
    memset(buffer, 0xCD, sizeof(buffer));
    ASSERT_TRUE(dll.enumDatatypes(nullptr, nullptr, 1, buffer, sizeof(buffer), &needed, &count));
    EXPECT_EQ(count, 5u);
    auto entries = reinterpret_cast<DATATYPES_INFO_1W*>(buffer);
    const wchar_t* expected[] = {L"RAW", L"NT EMF 1.006", L"NT EMF 1.007", L"NT EMF 1.008", L"TEXT"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(entries[i].pName, expected[i]);
        EXPECT_GE(reinterpret_cast<BYTE*>(entries[i].pName), buffer + 40);
        EXPECT_LT(reinterpret_cast<BYTE*>(entries[i].pName), buffer + sizeof(buffer));
    }
    // Strings are packed backwards from the end of the buffer.
    EXPECT_EQ(reinterpret_cast<BYTE*>(entries[0].pName), buffer + sizeof(buffer) - 8);
}
}  // namespace
