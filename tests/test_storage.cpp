// Checksums and chunk files with real files.
#include <windows.h>
#include <gtest/gtest.h>
#include <bcrypt.h>
#include "printproc/rawjob/jobstate.h"
#include "storage/chunks.h"
#include "tests/jobfixture.h"

namespace {
// MD5 through BCrypt, a code path apart from the CryptoAPI under test.
std::string md5Hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr, 0);
    UCHAR digest[16] = {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), static_cast<ULONG>(bytes.size()), 0);
    BCryptFinishHash(hash, digest, 16, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    char hex[33];
    digestToHex(digest, hex);
    return hex;
}

std::string hexOf(const BYTE* digest) {
    char hex[33];
    digestToHex(digest, hex);
    return hex;
}

class StorageTest : public JobTest {
protected:
    // Chunks an archive of the given bytes and checks every chunk.
    void chunkAndCheck(const std::string& archive, size_t expectedChunks) {
        ASSERT_TRUE(writeFileBytes(path(L"ABCDEFGHIJ.7z"), archive));
        ChunkSet set;
        DWORD count = 0;
        ASSERT_TRUE(createChunkFilename(*state.hash(), path(L"ABCDEFGHIJ.7z").c_str(), set, &count));
        EXPECT_EQ(count, expectedChunks);
        ASSERT_EQ(set.chunks.size(), expectedChunks);
        EXPECT_STREQ(set.baseName, L"ABCDEFGHIJ");
        EXPECT_EQ(set.totalSize, archive.size());
        EXPECT_EQ(hexOf(set.totalDigest), md5Hex(archive));
        for (size_t i = 0; i < expectedChunks; ++i) {
            const ChunkEntry& e = set.chunks[i];
            wchar_t name[32];
            _snwprintf(name, 32, L"ABCDEFGHIJ.%03d", static_cast<int>(i + 1));
            EXPECT_EQ(e.number, i + 1);
            EXPECT_STREQ(e.name, name);
            EXPECT_EQ(std::wstring(e.path), path(name));
            std::string expected = archive.substr(i * kChunkSize, kChunkSize);
            EXPECT_EQ(e.size, expected.size());
            EXPECT_EQ(readFileBytes(e.path), expected);
            EXPECT_EQ(hexOf(e.digest), md5Hex(expected));
        }
        wchar_t next[32];
        _snwprintf(next, 32, L"ABCDEFGHIJ.%03d", static_cast<int>(expectedChunks + 1));
        EXPECT_EQ(GetFileAttributesW(path(next).c_str()), INVALID_FILE_ATTRIBUTES);
        deleteChunkFiles(set);
        EXPECT_TRUE(set.chunks.empty());
        EXPECT_EQ(GetFileAttributesW(path(L"ABCDEFGHIJ.001").c_str()), INVALID_FILE_ATTRIBUTES);
    }
};

TEST_F(StorageTest, ChunkBoundaries) {
    chunkAndCheck(randomData(kChunkSize, 1), 1);
    chunkAndCheck(randomData(kChunkSize + 1, 2), 2);
    chunkAndCheck(randomData(2 * kChunkSize, 3), 2);
    chunkAndCheck("", 1);
    EXPECT_TRUE(logged("Delete file <" + narrow(path(L"ABCDEFGHIJ.001")) + "> - SUCCESS"));
}

TEST_F(StorageTest, EmptyFileHasTheDigestOfNoData) {
    ASSERT_TRUE(writeFileBytes(path(L"EMPTY00000.7z"), ""));
    ChunkSet set;
    DWORD count = 0;
    ASSERT_TRUE(createChunkFilename(*state.hash(), path(L"EMPTY00000.7z").c_str(), set, &count));
    ASSERT_EQ(set.chunks.size(), 1u);
    EXPECT_EQ(set.chunks[0].size, 0u);
    EXPECT_EQ(hexOf(set.chunks[0].digest), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(StorageTest, ExistingChunkIsOverwritten) {
    ASSERT_TRUE(writeFileBytes(path(L"OVERWRITE0.001"), std::string(5000, 'x')));
    ASSERT_TRUE(writeFileBytes(path(L"OVERWRITE0.7z"), "ten bytes!"));
    ChunkSet set;
    DWORD count = 0;
    ASSERT_TRUE(createChunkFilename(*state.hash(), path(L"OVERWRITE0.7z").c_str(), set, &count));
    EXPECT_EQ(readFileBytes(path(L"OVERWRITE0.001")), "ten bytes!");
}

TEST_F(StorageTest, ChunkNamesPastNineHundredNinetyNine) {
    ChunkEntry entry;
    ASSERT_TRUE(buildChunkNames(L"C:", L"\\spool\\", L"UID", 1000, entry));
    EXPECT_STREQ(entry.name, L"UID.1000");
    EXPECT_STREQ(entry.path, L"C:\\spool\\UID.1000");
    ASSERT_TRUE(buildChunkNames(L"C:", L"\\spool\\", L"UID", 7, entry));
    EXPECT_STREQ(entry.name, L"UID.007");
}

TEST_F(StorageTest, ChunkPathOverTheLimit) {
    // An archive path of 259 characters fits; its chunk path would need 260.
    std::wstring longDir = dir + L"\\" + std::wstring(200 - dir.size() % 50, L'd');
    ASSERT_TRUE(CreateDirectoryW(longDir.c_str(), nullptr));
    std::wstring archive = longDir + L"\\";
    archive += std::wstring(259 - archive.size() - 3, L'a') + L".7z";
    ASSERT_EQ(archive.size(), 259u);
    ASSERT_TRUE(writeFileBytes(archive, "data"));
    ChunkSet set;
    DWORD count = 0;
    EXPECT_FALSE(createChunkFilename(*state.hash(), archive.c_str(), set, &count));
    EXPECT_TRUE(logged("createChunkFilename: Failed result: <"));
    EXPECT_TRUE(set.chunks.empty());
}

TEST_F(StorageTest, ChecksumFile) {
    std::string data = randomData(300000, 9);
    ASSERT_TRUE(writeFileBytes(path(L"doc.dat"), data));
    ULONGLONG size = 0;
    BYTE digest[16] = {};
    ASSERT_TRUE(checksumFile(*state.hash(), path(L"doc.dat").c_str(), &size, digest));
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(hexOf(digest), md5Hex(data));
    for (char c : hexOf(digest)) EXPECT_TRUE(isdigit(c) || (c >= 'a' && c <= 'f')) << c;

    BYTE untouched[16] = {1, 2, 3};
    EXPECT_FALSE(checksumFile(*state.hash(), path(L"missing.dat").c_str(), &size, untouched));
    EXPECT_EQ(untouched[0], 1);
    EXPECT_TRUE(logged("Could not open the data file. Reason: 2"));
}
}  // namespace
