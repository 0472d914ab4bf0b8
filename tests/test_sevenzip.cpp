// Compression with the real 7z.dll, checked with the native 7z program.
#include <windows.h>
#include <gtest/gtest.h>
#include <random>
#include "printproc/rawjob/jobstate.h"
#include "storage/sevenzip.h"
#include "tests/jobfixture.h"

namespace {
class SevenZipTest : public JobTest {
protected:
    bool compress(const wchar_t* archive, const wchar_t* input, const std::wstring& libDir = binDir()) {
        return compressFile(libDir.c_str(), dir.c_str(), 1, path(archive).c_str(), path(input).c_str());
    }
};

TEST_F(SevenZipTest, ArchiveHoldsTheOneDocument) {
    std::mt19937 rng(3);
    std::string data(1 << 20, '\0');
    for (char& c : data) c = static_cast<char>(rng() % 50);  // compressible, not trivial
    ASSERT_TRUE(writeFileBytes(path(L"A1b2C3d4E5.dat"), data));
    ASSERT_TRUE(compress(L"A1b2C3d4E5.7z", L"A1b2C3d4E5.dat"));
    EXPECT_TRUE(logged("All files succeeded!"));
    EXPECT_TRUE(logged("Compressing <A1b2C3d4E5.dat>"));
    std::string archive = unixPathOf(path(L"A1b2C3d4E5.7z"));
    std::string out;
    ASSERT_EQ(runUnix("7zz t '" + archive + "'", &out), 0) << out;
    ASSERT_EQ(runUnix("7zz l -slt '" + archive + "' | grep '^Path = ' | tail -n +2", &out), 0);
    EXPECT_EQ(out, "Path = A1b2C3d4E5.dat\n");
    std::string mine, theirs;
    runUnix("7zz e -so '" + archive + "' | md5sum | cut -c1-32", &theirs);
    runUnix("md5sum < '" + unixPathOf(path(L"A1b2C3d4E5.dat")) + "' | cut -c1-32", &mine);
    EXPECT_EQ(theirs, mine);
    EXPECT_EQ(theirs.size(), 33u);
}

TEST_F(SevenZipTest, MissingLibrary) {
    ASSERT_TRUE(writeFileBytes(path(L"in.dat"), "data"));
    EXPECT_FALSE(compress(L"out.7z", L"in.dat", dir));
    EXPECT_TRUE(logged("[ERROR] Cannot load 7zip library! <" + narrow(dir) + "\\7z.dll>"));
    EXPECT_TRUE(logged("[ERROR] Reason <126>"));
}

TEST_F(SevenZipTest, ExistingArchiveIsNotOverwritten) {
    ASSERT_TRUE(writeFileBytes(path(L"in.dat"), "data"));
    ASSERT_TRUE(writeFileBytes(path(L"out.7z"), "keep me"));
    EXPECT_FALSE(compress(L"out.7z", L"in.dat"));
    EXPECT_TRUE(logged("Can't create archive file!"));
    EXPECT_EQ(readFileBytes(path(L"out.7z")), "keep me");
}

TEST_F(SevenZipTest, InputGoneOrLocked) {
    EXPECT_FALSE(compress(L"gone.7z", L"gone.dat"));
    EXPECT_TRUE(logged("Can't find file <" + narrow(path(L"gone.dat")) + ">"));

    ASSERT_TRUE(writeFileBytes(path(L"locked.dat"), "locked data"));
    HANDLE holder = CreateFileW(path(L"locked.dat").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(compress(L"locked.7z", L"locked.dat"));
    CloseHandle(holder);
    EXPECT_TRUE(logged("WARNING: can't open file"));
    EXPECT_TRUE(logged("Error for file <" + narrow(path(L"locked.dat")) + ">") || logged("Update Error!"));
}

TEST_F(SevenZipTest, StreamsAnswerTheirInterfacesAndCapTheirCalls) {
    std::string data(10 << 20, 'x');
    ASSERT_TRUE(writeFileBytes(path(L"big.dat"), data));
    auto stream = new CInFileStream();
    stream->AddRef();
    ASSERT_TRUE(stream->open(path(L"big.dat").c_str()));
    std::string buffer(10 << 20, '\0');
    UInt32 got = 0;
    EXPECT_EQ(stream->Read(&buffer[0], 10 << 20, &got), S_OK);
    EXPECT_EQ(got, kMaxIoChunk);
    UInt64 size = 0, position = 0;
    EXPECT_EQ(stream->GetSize(&size), S_OK);
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(stream->Seek(-10, 2, &position), S_OK);
    EXPECT_EQ(position, data.size() - 10);
    EXPECT_EQ(stream->Seek(0, 3, &position), STG_E_INVALIDFUNCTION);
    void* out = nullptr;
    EXPECT_EQ(stream->QueryInterface(IID_IStreamGetSize7z, &out), S_OK);
    static_cast<IStreamGetSize*>(out)->Release();
    EXPECT_EQ(stream->QueryInterface(IID_IOutStream7z, &out), E_NOINTERFACE);
    EXPECT_EQ(stream->Release(), 0u);

    std::vector<CDirItem> items(1);
    auto callback = new CArchiveUpdateCallback(&items, nullptr);
    callback->AddRef();
    EXPECT_EQ(callback->QueryInterface(IID_ICryptoGetTextPassword2, &out), S_OK);
    Int32 defined = 7;
    BSTR password = nullptr;
    EXPECT_EQ(static_cast<ICryptoGetTextPassword2*>(out)->CryptoGetTextPassword2(&defined, &password), S_OK);
    EXPECT_EQ(defined, 0);
    EXPECT_STREQ(password, L"");
    SysFreeString(password);
    static_cast<ICryptoGetTextPassword2*>(out)->Release();
    EXPECT_EQ(callback->QueryInterface(IID_IInStream7z, &out), E_NOINTERFACE);
    UInt64 volume = 0;
    EXPECT_EQ(callback->GetVolumeSize(0, &volume), S_FALSE);
    EXPECT_EQ(callback->Release(), 0u);
}

TEST_F(SevenZipTest, LargeInputIsStreamed) {
    // 200 MiB, written and read in pieces; the archive must extract to it.
    {
        unique_hfile file(CreateFileW(path(L"L4rg3F1l3x.dat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(static_cast<bool>(file));
        std::string block(1 << 20, '\0');
        for (int i = 0; i < 200; ++i) {
            for (size_t j = 0; j < block.size(); j += 4096) block[j] = static_cast<char>(i + j / 4096);
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr));
        }
    }
    ASSERT_TRUE(compress(L"L4rg3F1l3x.7z", L"L4rg3F1l3x.dat"));
    std::string sizes;
    runUnix("7zz e -so '" + unixPathOf(path(L"L4rg3F1l3x.7z")) + "' | md5sum; md5sum < '" +
                unixPathOf(path(L"L4rg3F1l3x.dat")) + "'",
            &sizes, 300000);
    size_t nl = sizes.find('\n');
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(sizes.substr(0, 32), sizes.substr(nl + 1, 32));
}
}  // namespace
