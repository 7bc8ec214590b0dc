#include "killers/task_listing_ahead.h"

#include <cstddef>

namespace {

CTaskListingAhead* g_ahead = NULL;

}  // namespace

CTaskListingAhead::CTaskListingAhead() : m_listing(NULL), m_active(g_ahead == NULL)
{
    if (m_active)
        g_ahead = this;
}

CTaskListingAhead::~CTaskListingAhead()
{
    if (m_active)
        g_ahead = NULL;
    delete m_listing;
}

void StartTaskListingAhead()
{
    if (g_ahead && !g_ahead->m_listing)
        g_ahead->m_listing = new CTaskListing;
}

CTaskListing* TaskListingAhead() { return g_ahead ? g_ahead->m_listing : NULL; }
