// The Task Scheduler's listing, asked for ahead of the autostart walk: the
// service answers slowly, and the stick walks have work meanwhile.
#pragma once

#include "platform/task_scheduler.h"

// While an object of this class lives (a scan makes one for its run), the
// Task Scheduler's service is connected to on a thread of its own, and
// StartTaskListingAhead() lets it list; the autostart walk takes that
// listing with TaskListingAhead(). The first object alive takes effect;
// without one, or before the start, nothing is listed ahead and the walk
// lists for itself. The destructor ends the thread, waiting for it.
class CTaskListingAhead
{
public:
    // Takes over `made` (a listing made CTaskListing::kWhenAsked, connected
    // ahead of the run), or connects anew.
    explicit CTaskListingAhead(CTaskListing* made = NULL);
    ~CTaskListingAhead();

private:
    friend void StartTaskListingAhead();
    friend CTaskListing* TaskListingAhead();
    CTaskListing* m_listing;  // NULL but in the object that took effect
    bool m_started;

    CTaskListingAhead(const CTaskListingAhead&);
    CTaskListingAhead& operator=(const CTaskListingAhead&);
};

// Starts the listing once the worm's processes are ended (they could
// otherwise change their tasks after it); later calls change nothing.
void StartTaskListingAhead();
// The listing started ahead, or NULL.
CTaskListing* TaskListingAhead();
