// The Task Scheduler's listing, asked for ahead of the autostart walk: the
// service answers slowly, and the stick walks have work meanwhile.
#pragma once

#include "platform/task_scheduler.h"

// While an object of this class lives (a scan makes one for its commands),
// StartTaskListingAhead() starts the listing on a thread of its own; the
// autostart walk takes it with TaskListingAhead(). The first object alive
// takes effect; without one, nothing is listed ahead and the walk lists
// for itself. The destructor waits for a listing still under way.
class CTaskListingAhead
{
public:
    CTaskListingAhead();
    ~CTaskListingAhead();

private:
    friend void StartTaskListingAhead();
    friend CTaskListing* TaskListingAhead();
    CTaskListing* m_listing;
    bool m_active;

    CTaskListingAhead(const CTaskListingAhead&);
    CTaskListingAhead& operator=(const CTaskListingAhead&);
};

// Starts the listing once the worm's processes are ended (they could
// otherwise change their tasks after it); later calls change nothing.
void StartTaskListingAhead();
// The listing started ahead, or NULL.
CTaskListing* TaskListingAhead();
