// Where the program points its users and its usage ping: the maker's web
// pages, the suite's download and the statistics endpoint.
#pragma once

// The three links of the main window.
const wchar_t kForumThreadUrl[] = L"http://bbs.quorvel.com/thread-728-1-1.html";
const wchar_t kHomePageUrl[] = L"http://www.quorvel.com/?fr=stickmedic";
const wchar_t kForumHomeUrl[] = L"http://bbs.quorvel.com/?fr=stickmedic";

// The security suite's installer, offered when the suite is not installed.
const wchar_t kSuiteDownloadUrl[] = L"http://dl.quorvel.com/quorvel/QuorvelSetup.exe";

// The usage ping: %s is the product name.
const wchar_t kUsageReportUrlFormat[] = L"http://stat.quorvel.com/killer.htm?name=%s&ver=1.0";
