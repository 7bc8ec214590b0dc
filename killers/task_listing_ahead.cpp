#include "killers/task_listing_ahead.h"

#include <cstddef>

namespace {

CTaskListingAhead* g_ahead = NULL;

}  // namespace

CTaskListingAhead::CTaskListingAhead(CTaskListing* made) : m_listing(made), m_started(false)
{
    if (g_ahead)
    {
        delete m_listing;
        m_listing = NULL;
        return;
    }
    if (!m_listing)
        m_listing = new CTaskListing(CTaskListing::kWhenAsked);
    g_ahead = this;
}

CTaskListingAhead::~CTaskListingAhead()
{
    if (g_ahead == this)
        g_ahead = NULL;
    delete m_listing;
}

void StartTaskListingAhead()
{
    if (g_ahead && !g_ahead->m_started)
    {
        g_ahead->m_listing->ListNow();
        g_ahead->m_started = true;
    }
}

CTaskListing* TaskListingAhead() { return g_ahead && g_ahead->m_started ? g_ahead->m_listing : NULL; }
