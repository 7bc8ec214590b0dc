// How the records of a quarantine read in the window: one row per record,
// what of them can come back, and what cannot.
#pragma once
#include <string>

#include "app/restore.h"

// A path as the user reads it: without the long form's "\\?\" (the
// quarantine records a name ending in a dot or a blank in that form).
std::wstring ShownPath(const std::wstring& path);

// Whether a record keeps what its change destroyed: a file's copy, a
// folder's or attributes' old state, a registry backup, a task definition.
bool CanComeBack(const ManifestRecord& record);

// "文件  E:\Setup.exe", with "（已恢复）" or "（未保留，无法恢复）" behind it.
std::wstring RecordRow(const ManifestRecord& record, bool restored);

// The records that can come back and have not yet.
size_t CountComeBack(const QuarantineSummary& quarantine);

// What cannot come back, named for the user: the changes a quarantine never
// keeps, and how many of its records kept nothing.
std::wstring NotBackText(const QuarantineSummary& quarantine);

// "2026-12-09 22:30:00  12 项：文件 5，属性 3，注册表 4"
std::wstring QuarantineRow(const QuarantineSummary& quarantine);
