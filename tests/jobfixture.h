// A job's state bound to the test's thread, its log open at level ON, a
// printer name with its settings key path, and a scratch folder; the key
// and the folder are removed afterwards.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "printproc/rawjob/jobstate.h"
#include "tests/testutil.h"
#include "transfer/protocol.h"

class JobTest : public ::testing::Test {
protected:
    CJobState state;
    CJobScope scope{state};
    std::wstring printer = uniqueName(L"Job");
    std::wstring keyPath;  // the printer's FDXS key (not created here)
    std::wstring dir;      // scratch folder

    void SetUp() override;
    void TearDown() override;
    bool logged(const std::string& text) const;
    std::wstring path(const std::wstring& name) const { return dir + L"\\" + name; }
};

// An XFER with every counted field at its longest: 1,405 bytes encoded.
void fillLongestXfer(ProtocolRequest& request, const char* uid);
