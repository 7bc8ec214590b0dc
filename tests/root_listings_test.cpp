// The root listings the walks of one scan share, on the sandbox's stick E:
// (and D:, a CD drive without medium): listed once, and kept as a fresh
// listing would show the root after each change the gateway makes.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "tests/declining_recorder.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/root_listings.h"

using namespace testing_util;

namespace {

const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// What the walks read of an entry's attributes.
const DWORD kTold = kHiddenSystem | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

int g_rootListings = 0;
void CountRootListings(const std::wstring& folder, std::vector<DirEntry>&)
{
    if (folder == L"E:\\")
        ++g_rootListings;
}

class CListingCounter
{
public:
    CListingCounter() { g_rootListings = 0; SetListingHook(CountRootListings); }
    ~CListingCounter() { SetListingHook(NULL); }
};

class RootListingsTest : public ::testing::Test
{
protected:
    void SetUp() { EmptyStick(); }
    void TearDown() { EmptyStick(); }
};

// The entries a fresh listing shows, by name: their attributes as the walks
// read them.
std::map<std::wstring, DWORD> Fresh()
{
    std::vector<DirEntry> entries;
    EXPECT_TRUE(ListFolder(L"E:\\*", entries));
    std::map<std::wstring, DWORD> shown;
    for (size_t i = 0; i < entries.size(); ++i)
        shown[entries[i].name] = entries[i].attributes & kTold;
    return shown;
}

std::map<std::wstring, DWORD> Kept(CRootListing& listing)
{
    std::map<std::wstring, DWORD> kept;
    for (size_t i = 0; i < listing.Entries().size(); ++i)
    {
        const DirEntry& entry = listing.Entries()[i];
        if (!entry.gone)
            kept[entry.name] = entry.attributes & kTold;
    }
    return kept;
}

}  // namespace

TEST_F(RootListingsTest, AfterEachChangeTheListingIsWhatAFreshOneShows)
{
    ASSERT_TRUE(MakeStickFile(L"a.txt", "a"));
    ASSERT_TRUE(MakeStickFile(L"b.txt", "b", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(MakeStickFile(L"c.txt", "c", kHiddenSystem));
    ASSERT_TRUE(MakeStickFolder(L"dir", kHiddenSystem));
    ASSERT_TRUE(MakeStickFolder(L"empty", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(MakeStickFile(L"dir\\b.txt", "nested, named like a root file"));

    CRootListings listings;
    CRootListing* listing = listings.Get(L"E:\\");
    ASSERT_TRUE(listing != NULL);
    ASSERT_EQ(Fresh(), Kept(*listing));

    // Deleted in the long form and plainly, shown, made hidden, removed.
    EXPECT_TRUE(GateDeleteFile(L"\\\\?\\E:\\a.txt", kKeepOrLeave));
    EXPECT_TRUE(GateSetAttributes(L"E:\\dir", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(GateSetAttributes(L"\\\\?\\E:\\b.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(GateSetAttributes(L"E:\\C.TXT", FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(GateRemoveFolder(L"E:\\empty"));
    // Below the root: the root's entry of the same name stays as it is.
    EXPECT_TRUE(GateDeleteFile(L"E:\\dir\\b.txt", kKeepOrLeave));
    // What fails changes nothing.
    EXPECT_FALSE(GateDeleteFile(L"E:\\missing.txt", kKeepOrLeave));
    EXPECT_FALSE(GateSetAttributes(L"E:\\missing.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(Fresh(), Kept(*listing));
    EXPECT_EQ(3u, Kept(*listing).size());
    EXPECT_TRUE(listing->Index().Find(L"a.txt") == NULL);
    EXPECT_TRUE(listing->Index().Find(L"b.txt") != NULL);

    // A change declined and answered as made (report-only) is not made:
    // the listing still shows the entry as it is.
    {
        CDecliningRecorder reportOnly;
        EXPECT_TRUE(GateDeleteFile(L"E:\\b.txt", kKeepOrLeave));
        EXPECT_TRUE(GateSetAttributes(L"E:\\dir", kHiddenSystem));
    }
    EXPECT_EQ(Fresh(), Kept(*listing));
    EXPECT_TRUE(listing->Index().Find(L"b.txt") != NULL);
}

TEST_F(RootListingsTest, TheWalksOfOneScanShareOneListingOfEachRoot)
{
    ASSERT_TRUE(MakeStickFile(L"a.txt", "a"));
    CListingCounter counter;
    {
        CRootListings scan;
        CRootListing* first = scan.Get(L"E:\\");
        ASSERT_TRUE(first != NULL);
        {
            // A walk within the scan: it gets the scan's listing, and what it
            // deletes is gone for the walks after it.
            CRootListings walk;
            EXPECT_EQ(first, walk.Get(L"E:\\"));
            EXPECT_EQ(first, walk.Get(L"e:\\"));
            EXPECT_TRUE(GateDeleteFile(L"E:\\a.txt", kKeepOrLeave));
        }
        CRootListings next;
        EXPECT_EQ(first, next.Get(L"E:\\"));
        EXPECT_TRUE(first->Index().Find(L"a.txt") == NULL);
        // A drive without medium lists nothing, and quietly.
        EXPECT_TRUE(next.Get(L"D:\\") == NULL);
    }
    EXPECT_EQ(1, g_rootListings);

    // Once the scan is over, a walk lists afresh, and a change it makes is
    // no longer written into the listings that are gone.
    ASSERT_TRUE(MakeStickFile(L"b.txt", "b"));
    CRootListings alone;
    CRootListing* listing = alone.Get(L"E:\\");
    ASSERT_TRUE(listing != NULL);
    EXPECT_EQ(2, g_rootListings);
    EXPECT_TRUE(listing->Index().Find(L"b.txt") != NULL);
    EXPECT_TRUE(listing->Index().Find(L"a.txt") == NULL);
}

TEST_F(RootListingsTest, TheDrivesAreAskedForOnceForTheScan)
{
    CRootListings scan;
    const std::vector<std::wstring>& roots = scan.LocalRoots();
    EXPECT_EQ(ListLocalDriveRoots(), roots);
    {
        CRootListings walk;
        EXPECT_EQ(&roots, &walk.LocalRoots());
        EXPECT_TRUE(walk.IsRemovableOrUsb(L"E:\\"));
        EXPECT_FALSE(walk.IsRemovableOrUsb(L"C:\\"));
        EXPECT_FALSE(walk.IsRemovableOrUsb(L"D:\\"));
    }
    EXPECT_TRUE(scan.IsRemovableOrUsb(L"e:\\"));
}

TEST_F(RootListingsTest, AChangeThroughAnotherFormOfTheNameIsNotLost)
{
    // Win32 takes "Album." as "Album"; a short name reaches its entry too,
    // but no listing can tell which: the root is listed again at the next ask.
    ASSERT_TRUE(MakeStickFolder(L"Album", kHiddenSystem));
    ASSERT_TRUE(MakeStickFile(L"A long name of a file.txt", "x"));
    wchar_t shortName[MAX_PATH] = {0};
    ASSERT_NE(0u, ::GetShortPathNameW(L"E:\\A long name of a file.txt", shortName, MAX_PATH));
    ASSERT_NE(std::wstring(L"E:\\A long name of a file.txt"), shortName);

    CRootListings scan;
    CRootListing* second = NULL;
    {
        CRootListings walk;
        CRootListing* first = walk.Get(L"E:\\");
        ASSERT_TRUE(first != NULL);
        EXPECT_TRUE(GateSetAttributes(L"E:\\Album.", FILE_ATTRIBUTE_NORMAL));
        EXPECT_EQ(Fresh(), Kept(*first));
        EXPECT_EQ(first, walk.Get(L"E:\\"));
        EXPECT_TRUE(GateDeleteFile(shortName, kKeepOrLeave));
        EXPECT_FALSE(FileExists(L"E:\\A long name of a file.txt"));
        // The next ask lists the root again; what the walk held stays readable.
        second = walk.Get(L"E:\\");
        ASSERT_TRUE(second != NULL);
        EXPECT_NE(first, second);
        EXPECT_EQ(Fresh(), Kept(*second));
        EXPECT_EQ(1u, Kept(*first).count(L"A long name of a file.txt"));
    }
    CRootListings next;
    EXPECT_EQ(second, next.Get(L"E:\\"));
    EXPECT_EQ(0u, Kept(*second).count(L"A long name of a file.txt"));
    EXPECT_EQ(1u, Kept(*second).count(L"Album"));

    // The device form reaches the root's entries as well.
    ASSERT_TRUE(MakeStickFile(L"device.txt", "d"));
    CRootListings walk;
    CRootListing* third = walk.Get(L"E:\\");
    ASSERT_TRUE(third != NULL);
    ASSERT_EQ(0u, Kept(*third).count(L"device.txt")) << "created after the listing";
    EXPECT_TRUE(GateDeleteFile(L"\\\\.\\E:\\Album\\..\\nothing.txt", kKeepOrLeave) == FALSE);
    EXPECT_TRUE(GateSetAttributes(L"\\\\.\\E:\\device.txt", FILE_ATTRIBUTE_HIDDEN));
    CRootListings after;
    CRootListing* fourth = after.Get(L"E:\\");
    ASSERT_TRUE(fourth != NULL);
    EXPECT_NE(third, fourth);
    EXPECT_EQ(Fresh(), Kept(*fourth));
}
