// The fixture of tests that plant a stick on E: and read what a command
// logged: an empty stick before and after each case.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "killers/scan_log.h"
#include "tests/testing.h"

class CStickTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        testing_util::EmptyStick();
        ScanLog::Reset(ScanLog::kHeaderFormat);
        m_header = ScanLog::Length();
    }
    void TearDown() { testing_util::EmptyStick(); }

    static void Folder(const std::wstring& name, DWORD attributes = 0)
    {
        ASSERT_TRUE(testing_util::MakeStickFolder(name, attributes)) << "E:\\" << name.c_str();
    }
    static void File(const std::wstring& name, const std::string& bytes, DWORD attributes = 0)
    {
        ASSERT_TRUE(testing_util::MakeStickFile(name, bytes, attributes)) << "E:\\" << name.c_str();
    }
    // What the case's commands wrote to the scan log.
    std::string Logged() const { return ScanLog::Text().substr(m_header); }

    int m_header;
};
