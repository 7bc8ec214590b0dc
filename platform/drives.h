// Which drive roots the walks visit, and what kind of disk lies behind one.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "platform/handles.h"

// What a drive letter maps to, as QueryDosDeviceW tells it. A SUBST drive
// maps to a folder ("\??\C:\folder"), a network drive to a redirector
// ("\Device\LanmanRedirector\...", "\Device\Mup\...").
bool IsSubstTarget(const wchar_t* target);
bool IsRedirectorTarget(const wchar_t* target);

// The drive letters as one run finds them. While an object of this class
// lives, the type and the mapping of each letter are asked of the system
// once (each answer is a round trip to the mount manager, and a scan asks
// for the same few letters dozens of times). Only a letter with a drive
// behind it is kept: one without is asked again, so that a network drive
// the user maps meanwhile (linked connections reach the elevated session)
// is seen as one. A run takes seconds; a stick pulled meanwhile fails at
// its own open. The first object alive takes effect; one made while it
// lives changes nothing.
class CDriveLetterMemo
{
public:
    CDriveLetterMemo();
    ~CDriveLetterMemo();

    UINT Type(wchar_t letter);
    std::wstring Mapping(wchar_t letter);
    // Asks about every letter the system lists, on a thread of its own,
    // while the run's first steps work (the mount manager answers slowly);
    // a question about a letter meanwhile waits for its answer. False when
    // nothing was started (a memo without effect, or no thread).
    bool AskAhead();
    // Waits until the letters asked ahead are answered.
    void WaitForAhead();

private:
    static DWORD WINAPI AskOnThread(void* memo);
    struct Letter
    {
        bool typeKnown;
        UINT type;
        bool mappingKnown;
        std::wstring mapping;
    };
    CRITICAL_SECTION m_lock;
    Letter m_letters[26];
    bool m_active;
    CHandle m_ahead;  // the thread of AskAhead

    CDriveLetterMemo(const CDriveLetterMemo&);
    CDriveLetterMemo& operator=(const CDriveLetterMemo&);
};

// GetDriveTypeW, through the memo of the run when there is one.
UINT DriveTypeOf(const wchar_t* root);

// Whether a root ("E:\") is a local disk a walk may visit: not a network
// drive, not a SUBST drive (its root is an ordinary folder), not a drive
// whose mapping cannot be read.
bool IsLocalDiskRoot(const std::wstring& root);

// The drive roots that are local disks, in the system's order.
std::vector<std::wstring> ListLocalDriveRoots();

// A removable drive, or a fixed one on a USB bus (USB hard disks report as
// fixed). Local disks only.
bool IsRemovableOrUsbDrive(const std::wstring& root);

// The serial number of the volume in a drive root ("E:\"), asked quietly: a
// drive without medium gives false, without a system dialog.
bool GetVolumeSerial(const std::wstring& root, DWORD& serial);

// A path that would reach another machine or a device: "\\host\share\x",
// "//host/x", "\\?\UNC\host\x", "\\.\pipe\x", an object manager name
// ("\??\UNC\host\x", "\\?\GLOBALROOT\..."), or a path on a network drive.
// "\\?\E:\x" is the long form of a local path and counts as one.
bool IsRemoteOrDevicePath(const wchar_t* path);
