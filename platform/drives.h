// Which drive roots the walks visit, and what kind of disk lies behind one.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// What a drive letter maps to, as QueryDosDeviceW tells it. A SUBST drive
// maps to a folder ("\??\C:\folder"), a network drive to a redirector
// ("\Device\LanmanRedirector\...", "\Device\Mup\...").
bool IsSubstTarget(const wchar_t* target);
bool IsRedirectorTarget(const wchar_t* target);

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
