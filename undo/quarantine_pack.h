// The quarantine's pack: every file a scan keeps, copied masked to the end
// of one file, "kept.bin", and named in its record by its offset there.
#pragma once
#include <windows.h>

#include <string>

#include "platform/handles.h"
#include "undo/quarantine_manifest.h"

// The fixed reversible mask of kept bytes; `offset` is the position of
// bytes[0] in the file. Masking twice gives the bytes back.
void MaskBytes(BYTE* bytes, DWORD size, ULONGLONG offset);

// The pack of a quarantine folder, and a record's name of its copy at
// `offset` in it.
extern const wchar_t kPackName[];  // "kept.bin"
std::wstring PackedName(ULONGLONG offset);
// Where a record's copy lies: the file in the quarantine folder and the
// offset in it. False for a name of no form this program writes.
bool ParseStoredName(const std::wstring& stored, std::wstring& file, ULONGLONG& offset);

// What became of a file to be kept.
enum CopyResult
{
    kCopyMade,
    kCopyLocked,
    kCopyUnreadable,
    kCopyNotAFile,
    kCopyTooLarge,
    kCopyNoRoom,
    kCopyFailed,
    kCopyOtherVolume,
    kCopyLinked,   // a file with other names (hard links): not kept, not deleted
    kCopyNothing,  // nothing at the path: the change fails by itself
};
// Why a file was not kept, as the manifest says it ("locked", ...).
const wchar_t* NoCopyReason(CopyResult result);

// The serial number of the volume of the drive a path names; false when
// unknown.
bool DriveSerial(const std::wstring& path, DWORD& serial);

// Opens the file to be kept as itself (a link in its place is not
// followed). kCopyMade when open; kCopyNothing when there is nothing at the
// path to keep.
CopyResult OpenSource(const std::wstring& path, CHandle& source);

// Cuts the pack back to `size` bytes: a copy begun there goes again.
void CutPack(HANDLE pack, ULONGLONG size);

// Copies the open file, masked, to the end of the pack (`packSize` bytes
// long), filling the record's details. A file in a drive root named as the
// root's listing names it, opened as itself, lies on the volume the listing
// in use read (`listedSerial`, when `inListedRoot`); anywhere else the
// volume is asked of the file and must be the drive's (`driveSerial`, when
// `driveKnown`). At most `room` bytes.
CopyResult CopyMasked(HANDLE source, bool inListedRoot, DWORD listedSerial, bool driveKnown, DWORD driveSerial,
                      HANDLE pack, ULONGLONG packSize, ULONGLONG room, ManifestRecord& record);
